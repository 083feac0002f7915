#include "cli/CliOptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace pagestow::cli {

const char* const kUsage
    = "usage: pagestow-cli [--engine static|chromium|webkit] [--save-dir DIR] [--timeout SECONDS] "
      "[--verbose] [--offline-copy] "
      "ADDRESS...\n"
      "       pagestow-cli --explain ADDRESS [--base DOCUMENT]\n"
      "\n"
      "Saves each page with the stylesheets, scripts and images it loaded into\n"
      "DIR/qzwd_YYMMDDhhmmRRR/host/directory (DIR defaults to the current folder).\n"
      "\n"
      "  --engine NAME      page engine: static (built in, the default), chromium or webkit\n"
      "  --save-dir DIR     the save folder\n"
      "  --timeout SECONDS  bounds the loading of one page (default 60); the page then\n"
      "                     completes with what has arrived\n"
      "  --verbose          status texts and log lines on standard error\n"
      "  --offline-copy     also save what stylesheets load, and write a copy of the page\n"
      "                     that opens from disk (see docs/offline-copy.md)\n"
      "  --explain ADDRESS  prints the address record of ADDRESS (with --base, resolved\n"
      "                     against DOCUMENT first)\n"
      "\n"
      "Exit status: 0 when every page was saved, 1 when any address was rejected or\n"
      "failed, 2 for a usage error.\n";

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

    ParsedArguments UsageError(std::string error)
    {
        ParsedArguments parsed;
        parsed.action = ParsedArguments::Action::UsageError;
        parsed.error = std::move(error);
        return parsed;
    }

} // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& args)
{
    ParsedArguments parsed;
    if (!args.empty() && args[0] == "--explain") {
        parsed.action = ParsedArguments::Action::Explain;
        parsed.explainArguments.assign(args.begin() + 1, args.end());
        return parsed;
    }
    CliOptions& options = parsed.options;
    bool onlyAddresses = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (onlyAddresses || arg.size() < 2 || arg.rfind("--", 0) != 0) {
            if (!onlyAddresses && arg.size() >= 2 && arg[0] == '-' && arg != "-h")
                return UsageError("unknown option " + arg);
            if (arg == "-h") {
                parsed.action = ParsedArguments::Action::Help;
                return parsed;
            }
            options.addresses.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyAddresses = true;
            continue;
        }
        if (arg == "--help") {
            parsed.action = ParsedArguments::Action::Help;
            return parsed;
        }
        if (arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (arg == "--offline-copy") {
            options.offlineCopy = true;
            continue;
        }
        // The options with a value take it as the next argument or after "=".
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        if (size_t equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        if (name != "--engine" && name != "--save-dir" && name != "--timeout")
            return UsageError("unknown option " + name);
        if (!hasValue) {
            if (i + 1 >= args.size())
                return UsageError(name + " needs a value");
            value = args[++i];
        }
        if (name == "--engine" && !ParseEngine(value, options.engine))
            return UsageError("unknown engine \"" + value + "\" (static, chromium or webkit)");
        if (name == "--timeout" && !ParseSeconds(value, options.timeout))
            return UsageError("--timeout needs a number of seconds above 0, not \"" + value + "\"");
        if (name == "--save-dir") {
            if (value.empty())
                return UsageError("--save-dir needs a folder");
            options.saveDir = value;
        }
    }
    if (options.addresses.empty())
        return UsageError("no address given");
    parsed.action = ParsedArguments::Action::Capture;
    return parsed;
}

} // namespace pagestow::cli
