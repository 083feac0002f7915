#pragma once

#include "engine/RequestOptions.h"

#include <chrono>
#include <string>
#include <vector>

namespace pagestow::cli {

// The page engines pagestow-cli knows by name.
enum class EngineName { Static, Chromium, WebKit };

// Where addresses come from, in the order of the arguments: one given as an argument, or a file
// ("-" for standard input) that holds one address a line.
struct AddressSource {
    enum class Kind { Address, File };
    Kind kind = Kind::Address;
    std::string text;
    bool operator==(const AddressSource&) const = default;
};

struct CliOptions {
    EngineName engine = EngineName::Static;
    // As given; empty means the current folder.
    std::string saveDir;
    // Bounds one page's load.
    std::chrono::milliseconds timeout { 60'000 };
    bool verbose = false;
    // No result lines, status texts or progress; messages and errors still go to standard error.
    bool quiet = false;
    // One JSON object a line per address on standard output; the result lines go to standard error.
    bool json = false;
    // Also save what stylesheets load and write an offline copy.
    bool offlineCopy = false;
    // The browser engines scroll each page through before taking it (--no-scroll: they do not).
    bool scroll = true;
    // Addresses captured at once, each worker process with an engine of its own.
    int jobs = 1;
    // A worker's number in its batch (hidden --worker-index).
    int workerIndex = 0;
    // What every request of every page carries, and where the cookie store goes at the end: a cookie
    // file to start from (--load-cookies), headers (--header, in order), the user agent, and the cookie
    // file to write (--save-cookies). Empty, nothing is added.
    std::string loadCookies;
    std::vector<engine::RequestHeader> headers;
    std::string userAgent;
    std::string saveCookies;
    // One file to keep or send, beside each saved page: the single HTML file (--single-file, its
    // scripts by --single-file-scripts), the MHTML file, the screenshot and the PDF.
    bool singleFile = false;
    std::string singleFileScripts; // "", "keep" or "remove"
    bool mhtml = false;
    bool screenshot = false;
    bool pdf = false;
    // The run's archive: a WARC file (--warc-file NAME writes NAME.warc.gz) and a WACZ package (--wacz
    // FILE), and for a worker of --jobs the run's WARC its part is named after (hidden --warc-part).
    std::string warcFile;
    std::string wacz;
    std::string warcPart;
    // A crawl from the one address given (-r): how deep, which links, how politely, and whether it goes
    // on with the crawl an earlier run of the same start address left in the save folder.
    struct Crawl {
        bool recursive = false;
        // -1: no bound (--level inf, or 0 as wget reads it).
        int level = 5;
        bool noParent = false;
        bool spanHosts = false;
        std::vector<std::string> domains;
        std::string acceptRegex;
        std::string rejectRegex;
        std::size_t pageLimit = 10'000;
        bool robots = true;
        std::chrono::milliseconds wait { 0 };
        bool randomWait = false;
        bool resume = false;
    };
    Crawl crawl;
    // A worker of a crawl: the capture folder its pages share (hidden --capture-folder), and its replies
    // carry each page's files (hidden --crawl-worker).
    std::string captureFolder;
    bool crawlWorker = false;
    // The addresses given as arguments (in sources too).
    std::vector<std::string> addresses;
    std::vector<AddressSource> sources;
};

struct ParsedArguments {
    enum class Action { Capture, Explain, Help, Version, UsageError, Worker };
    Action action = Action::UsageError;
    CliOptions options;
    // The arguments for --explain: the others, without the capture options.
    std::vector<std::string> explainArguments;
    // What was wrong, for a usage error.
    std::string error;
};

// The usage text printed for --help and after a usage error.
extern const char* const kUsage;

// The text printed for --version.
std::string VersionText();

// Reads the arguments after the program name.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// The arguments that give a worker process the same capture options (engine, save folder, time-out,
// verbosity, output form, offline copy, scrolling, what requests carry), with the save folder made
// absolute.
std::vector<std::string> WorkerArguments(const CliOptions& options, const std::string& absoluteSaveDir);

} // namespace pagestow::cli
