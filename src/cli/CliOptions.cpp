#include "cli/CliOptions.h"

#include "base/Ascii.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace pagestow::cli {

const char* const kUsage
    = "usage: pagestow-cli [OPTION]... ADDRESS...\n"
      "       pagestow-cli [OPTION]... -i FILE\n"
      "       pagestow-cli --explain ADDRESS [--base DOCUMENT] [--save-dir DIR]\n"
      "\n"
      "Saves each page with the stylesheets, scripts and images it loaded into\n"
      "DIR/qzwd_YYMMDDhhmmRRR/host/directory (DIR defaults to the current folder).\n"
      "\n"
      "  --engine NAME      page engine: static (built in, the default), chromium or webkit\n"
      "  --save-dir DIR     the save folder, used exactly as given\n"
      "  --timeout SECONDS  bounds the loading of one page (default 60); the page then\n"
      "                     completes with what has arrived\n"
      "  -i, --input FILE   reads addresses from FILE, one a line (- for standard input;\n"
      "                     blank lines and lines starting with # are skipped)\n"
      "  -j, --jobs N       captures up to N addresses at once, in worker processes\n"
      "  --json             one JSON object a line per address on standard output; the\n"
      "                     result lines then go to standard error\n"
      "  -q, --quiet        no result lines, status texts or progress line\n"
      "  --verbose          status texts and log lines on standard error\n"
      "  --offline-copy     also save what stylesheets load, and write a copy of the page\n"
      "                     that opens from disk (see docs/offline-copy.md)\n"
      "  --no-scroll        chromium and webkit: take the page as loaded, without first\n"
      "                     scrolling it through (at most 50 screens or 20 s) so that\n"
      "                     images loaded only as they come into view are loaded too\n"
      "  --load-cookies FILE  sends the cookies of FILE (the Netscape cookie file wget and\n"
      "                     curl write) where their domain, path and secure flag match\n"
      "  --save-cookies FILE  writes the cookies held at the end (those the servers set\n"
      "                     included, session cookies with expiry 0) to FILE, mode 0600\n"
      "  --header 'NAME: VALUE'  adds a header to every request (may be repeated)\n"
      "  --user-agent TEXT  sends TEXT as the user agent\n"
      "  --single-file      also writes each page as one HTML file that holds its\n"
      "                     stylesheets, pictures, fonts and frames (see docs/one-file.md)\n"
      "  --single-file-scripts keep|remove  the single file's and the offline copy's\n"
      "                     scripts (default: kept for static, removed for the browsers)\n"
      "  --mhtml            also writes each page and what it loaded as one MHTML file\n"
      "  --screenshot       chromium and webkit: also a PNG of the whole page\n"
      "  --pdf              chromium and webkit: also the page printed to PDF\n"
      "  --warc-file NAME   also writes every request and response of the run, and each\n"
      "                     page as the engine saved it, to the WARC file NAME.warc.gz\n"
      "  --wacz FILE        also writes the run as a WACZ package (a WARC with its index\n"
      "                     and page list) that ReplayWeb.page and pywb open\n"
      "  -r, --recursive    also saves the pages the start page links to, and theirs,\n"
      "                     into one capture folder (one start address; see docs/crawl.md)\n"
      "  --level N          follows links N deep (default 5; inf or 0: no bound)\n"
      "  -np, --no-parent   never goes above the start address's folder\n"
      "  -H, --span-hosts   follows links to other hosts (--domains LIST: only those)\n"
      "  --accept-regex RE, --reject-regex RE  follows only addresses RE matches / not\n"
      "  --page-limit N     saves at most N pages (default 10000)\n"
      "  --no-robots        ignores the sites' robots.txt (read and obeyed by default)\n"
      "  --wait SECONDS     waits between pages of one host (--random-wait: 0.5 to 1.5 times)\n"
      "  --continue         goes on with the crawl of the same start address in DIR\n"
      "  --explain ADDRESS  prints the address record of ADDRESS (with --base, resolved\n"
      "                     against DOCUMENT first) and the path its file would get\n"
      "  --version          prints the version\n"
      "  -h, --help         prints this text\n"
      "\n"
      "Exit status: 0 when every page was saved whole, 1 when any address was rejected\n"
      "or failed or a file could not be written, 2 for a usage error or a cookie file\n"
      "that cannot be read, 3 when every page was saved but standard output could not\n"
      "be written, 130 when interrupted.\n";

std::string VersionText()
{
    return std::string("pagestow-cli ") + PAGESTOW_VERSION + "\n";
}

namespace {

    bool ParseEngine(const std::string& text, EngineName& engine)
    {
        if (text == "static")
            engine = EngineName::Static;
        else if (text == "chromium")
            engine = EngineName::Chromium;
        else if (text == "webkit")
            engine = EngineName::WebKit;
        else
            return false;
        return true;
    }

    bool ParseSeconds(const std::string& text, std::chrono::milliseconds& timeout)
    {
        if (text.empty())
            return false;
        char* end = nullptr;
        double seconds = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds <= 0 || seconds > 1e6)
            return false;
        timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
        return true;
    }

    bool ParseJobs(const std::string& text, int& jobs)
    {
        if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), ::isdigit))
            return false;
        jobs = std::atoi(text.c_str());
        return jobs >= 1 && jobs <= 256;
    }

    ParsedArguments UsageError(std::string error)
    {
        ParsedArguments parsed;
        parsed.action = ParsedArguments::Action::UsageError;
        parsed.error = std::move(error);
        return parsed;
    }

    // Options that take a value, by every name they go by.
    std::string LongName(const std::string& name)
    {
        if (name == "-i")
            return "--input";
        if (name == "-j")
            return "--jobs";
        return name;
    }

    bool TakesValue(const std::string& name)
    {
        return name == "--engine" || name == "--save-dir" || name == "--timeout" || name == "--input"
            || name == "--jobs" || name == "--base" || name == "--worker-index" || name == "--load-cookies"
            || name == "--save-cookies" || name == "--header" || name == "--user-agent" || name == "--warc-file"
            || name == "--wacz" || name == "--warc-part" || name == "--single-file-scripts" || name == "--level"
            || name == "--domains" || name == "--accept-regex" || name == "--reject-regex"
            || name == "--page-limit" || name == "--wait" || name == "--capture-folder";
    }

    // The options of what requests carry; the usage error's text, "" when the value is taken. A
    // header's value is never repeated in a message: it may be a password.
    std::string ApplyRequestValue(const std::string& name, const std::string& value, CliOptions& options)
    {
        if (name == "--load-cookies" || name == "--save-cookies") {
            if (value.empty())
                return name + " needs a file";
            (name == "--load-cookies" ? options.loadCookies : options.saveCookies) = value;
        } else if (name == "--header") {
            std::string error;
            std::optional<engine::RequestHeader> header = engine::ParseRequestHeader(value, error);
            if (!header)
                return "--header: " + error;
            options.headers.push_back(std::move(*header));
        } else if (name == "--user-agent") {
            if (value.empty() || value.find_first_of("\r\n") != std::string::npos)
                return "--user-agent needs a text on one line";
            options.userAgent = value;
        }
        return {};
    }

    // The options of a crawl that take a value; the usage error's text, "" when the value is taken.
    std::string ApplyCrawlValue(const std::string& name, const std::string& value, CliOptions::Crawl& crawl)
    {
        if (name == "--level") {
            if (value == "inf" || value == "0") {
                crawl.level = -1;
                return {};
            }
            bool digits = !value.empty() && value.size() <= 6
                && std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
            if (!digits)
                return "--level needs a number of links, or inf, not \"" + value + "\"";
            crawl.level = std::atoi(value.c_str());
        } else if (name == "--page-limit") {
            char* end = nullptr;
            errno = 0;
            unsigned long long limit = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || *end || errno || limit == 0
                || limit > 100'000'000)
                return "--page-limit needs a number of pages from 1 to 100000000, not \"" + value + "\"";
            crawl.pageLimit = std::size_t(limit);
        } else if (name == "--wait") {
            std::chrono::milliseconds wait {};
            if (value != "0" && !ParseSeconds(value, wait))
                return "--wait needs a number of seconds, not \"" + value + "\"";
            crawl.wait = value == "0" ? std::chrono::milliseconds(0) : wait;
        } else if (name == "--domains") {
            crawl.domains.clear();
            for (size_t start = 0; start <= value.size();) {
                size_t comma = std::min(value.find(',', start), value.size());
                std::string domain = base::LowerAscii(value.substr(start, comma - start));
                if (!domain.empty())
                    crawl.domains.push_back(domain);
                start = comma + 1;
            }
            if (crawl.domains.empty())
                return "--domains needs a list of domains, separated by commas";
        } else if (name == "--accept-regex") {
            crawl.acceptRegex = value;
        } else if (name == "--reject-regex") {
            crawl.rejectRegex = value;
        }
        return {};
    }

    // The state of one reading of the arguments beyond the options themselves.
    struct ArgumentReading {
        const std::vector<std::string>& args;
        ParsedArguments parsed;
        bool explain = false;
        bool worker = false;
    };

    // A switch without a value: whether arg is one (and it is applied). Help and version end the
    // reading (the action is set).
    bool ApplySwitch(const std::string& arg, ArgumentReading& reading)
    {
        CliOptions& options = reading.parsed.options;
        if (arg == "--help" || arg == "-h")
            reading.parsed.action = ParsedArguments::Action::Help;
        else if (arg == "--version")
            reading.parsed.action = ParsedArguments::Action::Version;
        else if (arg == "--no-scroll")
            options.scroll = false;
        else if (arg == "--verbose")
            options.verbose = true;
        else if (arg == "-q" || arg == "--quiet")
            options.quiet = true;
        else if (arg == "--json")
            options.json = true;
        else if (arg == "--offline-copy")
            options.offlineCopy = true;
        else if (arg == "--single-file")
            options.singleFile = true;
        else if (arg == "--mhtml")
            options.mhtml = true;
        else if (arg == "--screenshot")
            options.screenshot = true;
        else if (arg == "--pdf")
            options.pdf = true;
        else if (arg == "-r" || arg == "--recursive")
            options.crawl.recursive = true;
        else if (arg == "-np" || arg == "--no-parent")
            options.crawl.noParent = true;
        else if (arg == "-H" || arg == "--span-hosts")
            options.crawl.spanHosts = true;
        else if (arg == "--no-robots")
            options.crawl.robots = false;
        else if (arg == "--random-wait")
            options.crawl.randomWait = true;
        else if (arg == "--continue")
            options.crawl.resume = true;
        else if (arg == "--crawl-worker")
            options.crawlWorker = true;
        else if (arg == "--explain")
            reading.explain = true;
        else if (arg == "--worker")
            reading.worker = true;
        else
            return false;
        return true;
    }

    // An option with its value as given: after "=" for the long ones, joined on for the short ones
    // ("-ilist.txt", "-j4"), or else (hasValue false) in the next argument.
    struct NamedValue {
        std::string name;
        std::string value;
        bool hasValue = false;
    };

    NamedValue SplitValue(const std::string& arg)
    {
        NamedValue option { arg, {}, false };
        if (arg.rfind("--", 0) == 0) {
            if (size_t equals = arg.find('='); equals != std::string::npos)
                option = { arg.substr(0, equals), arg.substr(equals + 1), true };
        } else if (arg.size() > 2) {
            option = { arg.substr(0, 2), arg.substr(2), true };
        }
        option.name = LongName(option.name);
        return option;
    }

    // Applies the value of the option at position i; the usage error's text when the value is refused,
    // "" when it is taken.
    std::string ApplyValue(
        const std::string& name, const std::string& value, size_t i, ArgumentReading& reading)
    {
        CliOptions& options = reading.parsed.options;
        if (std::string error = ApplyRequestValue(name, value, options); !error.empty())
            return error;
        if (name == "--engine" && !ParseEngine(value, options.engine))
            return "unknown engine \"" + value + "\" (static, chromium or webkit)";
        if (name == "--timeout" && !ParseSeconds(value, options.timeout))
            return "--timeout needs a number of seconds above 0, not \"" + value + "\"";
        if (name == "--jobs" && !ParseJobs(value, options.jobs))
            return "--jobs needs a number from 1 to 256, not \"" + value + "\"";
        if (name == "--worker-index" && !ParseJobs(value, options.workerIndex))
            return "--worker-index needs a number";
        if (name == "--save-dir") {
            if (value.empty())
                return "--save-dir needs a folder";
            options.saveDir = value;
        }
        if (name == "--single-file-scripts") {
            if (value != "keep" && value != "remove")
                return "--single-file-scripts needs keep or remove, not \"" + value + "\"";
            options.singleFileScripts = value;
        }
        if (name == "--warc-file" || name == "--wacz" || name == "--warc-part") {
            if (value.empty())
                return name + " needs a file name";
            (name == "--warc-file" ? options.warcFile : name == "--wacz" ? options.wacz : options.warcPart) = value;
        }
        if (std::string error = ApplyCrawlValue(name, value, options.crawl); !error.empty())
            return error;
        if (name == "--capture-folder")
            options.captureFolder = value;
        if (name == "--input") {
            if (value.empty())
                return "--input needs a file (- for standard input)";
            options.sources.push_back({ AddressSource::Kind::File, value });
        }
        if (name == "--base") {
            const auto& args = reading.args;
            if (!reading.explain && std::find(args.begin() + long(i), args.end(), "--explain") == args.end())
                return "--base goes with --explain";
            reading.parsed.explainArguments.push_back("--base");
            reading.parsed.explainArguments.push_back(value);
        }
        return {};
    }

    // The crawl's options go with -r, and -r with one start address.
    std::string CheckCrawlOptions(const std::vector<std::string>& args, const CliOptions& options)
    {
        if (options.crawl.recursive) {
            if (options.sources.size() != 1 || options.sources[0].kind != AddressSource::Kind::Address)
                return "--recursive takes one start address";
            return {};
        }
        for (const std::string& arg : args) {
            std::string name = SplitValue(arg).name;
            for (const char* option : { "--level", "--no-parent", "-np", "--span-hosts", "-H", "--domains",
                     "--accept-regex", "--reject-regex", "--page-limit", "--no-robots", "--wait", "--random-wait",
                     "--continue" }) {
                if (arg == option || name == option)
                    return std::string(option) + " goes with --recursive";
            }
        }
        return {};
    }

} // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& args)
{
    ArgumentReading reading { args, {} };
    CliOptions& options = reading.parsed.options;
    bool onlyAddresses = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool isOption = !onlyAddresses && arg.size() >= 2 && arg[0] == '-';
        if (!isOption) {
            options.addresses.push_back(arg);
            options.sources.push_back({ AddressSource::Kind::Address, arg });
            reading.parsed.explainArguments.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyAddresses = true;
            continue;
        }
        if (ApplySwitch(arg, reading)) {
            if (reading.parsed.action == ParsedArguments::Action::Help
                || reading.parsed.action == ParsedArguments::Action::Version) {
                reading.parsed.explainArguments.clear();
                return reading.parsed;
            }
            continue;
        }
        NamedValue option = SplitValue(arg);
        if (!TakesValue(option.name))
            return UsageError("unknown option " + option.name);
        if (!option.hasValue) {
            if (i + 1 >= args.size())
                return UsageError(option.name + " needs a value");
            option.value = args[++i];
        }
        if (std::string error = ApplyValue(option.name, option.value, i, reading); !error.empty())
            return UsageError(error);
    }
    if (reading.explain) {
        reading.parsed.action = ParsedArguments::Action::Explain;
        return reading.parsed;
    }
    // The arguments for --explain are kept only for it.
    reading.parsed.explainArguments.clear();
    if (reading.worker) {
        reading.parsed.action = ParsedArguments::Action::Worker;
        return reading.parsed;
    }
    if (options.sources.empty())
        return UsageError("no address given");
    if (std::string error = CheckCrawlOptions(args, options); !error.empty())
        return UsageError(error);
    reading.parsed.action = ParsedArguments::Action::Capture;
    return reading.parsed;
}

std::vector<std::string> WorkerArguments(const CliOptions& options, const std::string& absoluteSaveDir)
{
    const char* engines[] = { "static", "chromium", "webkit" };
    std::vector<std::string> args { "--worker", "--engine", engines[int(options.engine)], "--save-dir",
        absoluteSaveDir, "--timeout", std::to_string(options.timeout.count() / 1000.0) };
    if (options.verbose)
        args.push_back("--verbose");
    if (options.quiet)
        args.push_back("--quiet");
    if (options.json)
        args.push_back("--json");
    if (options.offlineCopy)
        args.push_back("--offline-copy");
    for (const auto& [on, option] : { std::pair { options.singleFile, "--single-file" },
             std::pair { options.mhtml, "--mhtml" }, std::pair { options.screenshot, "--screenshot" },
             std::pair { options.pdf, "--pdf" } }) {
        if (on)
            args.push_back(option);
    }
    if (!options.singleFileScripts.empty())
        args.insert(args.end(), { "--single-file-scripts", options.singleFileScripts });
    if (!options.scroll)
        args.push_back("--no-scroll");
    for (const auto& [option, value] : { std::pair { "--load-cookies", &options.loadCookies },
             std::pair { "--save-cookies", &options.saveCookies },
             std::pair { "--user-agent", &options.userAgent } }) {
        if (!value->empty())
            args.insert(args.end(), { option, *value });
    }
    for (const engine::RequestHeader& header : options.headers)
        args.insert(args.end(), { "--header", header.name + ": " + header.value });
    return args;
}

} // namespace pagestow::cli
