// The speed table: pagestow-cli with each engine next to wget2, curl's floor and each browser just
// loading the page, on pages from an empty one to 10,000 images. Every figure is the wall time of a
// whole program run (start-up included), the median of the runs; within a run the tools take turns
// on a row. The pages come from RawServer (one send per response, paths found by an index) on
// 127.0.0.1 and 127.0.0.2, half of the images on each; every output goes to a fresh folder on
// /dev/shm.
//
//   engine_table_bench [--rows empty,120,1000@40,1000,10000,10mb]
//       [--tools static,wget2,curl,chromium,chromium-load,webkit,webkit-load] [--runs 3] [--timeout 300]
//       [--scratch /dev/shm] [--cpu 1]
//   engine_table_bench --serve ROW     (serves the row's page until a line arrives on standard input)
//
// The webkit and webkit-load columns need a display (run under xvfb-run). A column whose program is
// missing shows "n/a"; "!" marks a median over runs of which one failed or saved fewer files than the
// page has (listed below the table). With --cpu 1 each cell also gives the median CPU time (user
// and system) of the program itself, which a busy machine disturbs less than the wall time; the
// browsers' helper processes are not in it.

#include "RawServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using pagestow::bench::RawServer;
using Clock = std::chrono::steady_clock;

struct Row {
    std::string key;
    std::string title;
    int images;
    int latencyMs;
    size_t imageBytes;
};

const std::vector<Row> kRows = {
    { "empty", "empty page (start-up)", 0, 0, 0 },
    { "120", "120 images, 2 hosts, 40 ms", 120, 40, 2100 },
    { "1000@40", "1,000 images, 40 ms", 1000, 40, 2100 },
    { "1000", "1,000 images, 0 ms", 1000, 0, 2100 },
    { "10000", "10,000 images, 0 ms", 10000, 0, 2100 },
    { "10mb", "20 images of 10 MB", 20, 0, 10u << 20 },
};

struct Tool {
    std::string key;
    std::string title;
    bool saves; // Whether its output folder must hold the page and every image.
};

const std::vector<Tool> kTools = {
    { "static", "pagestow static", true },
    { "wget2", "wget2 (12 threads)", true },
    { "curl", "curl floor", true },
    { "chromium", "pagestow chromium", true },
    { "chromium-load", "Chromium just loading", false },
    { "webkit", "pagestow webkit", true },
    { "webkit-load", "WebKit just loading", false },
};

constexpr const char* kChromium = "/usr/lib/chromium/chromium";

// A valid PNG of its own for every image: a 1 x 1 picture, then bytes after its end that decoders
// skip, so that no two share a body.
std::string Picture(int number, size_t size)
{
    std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                      "\0\0\0\rIDATx\x9c"
                      "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
        67);
    bytes += "picture " + std::to_string(number) + " ";
    bytes.resize(std::max(size, bytes.size()), char('a' + number % 26));
    return bytes;
}

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, ',');)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

struct RunResult {
    bool started = false;
    int status = -1;
    bool timedOut = false;
    double seconds = 0;
    double cpuSeconds = 0; // User and system time of the program itself (not of its children).
};

// Runs command in folder (its own process group, output to log) with extra environment entries;
// ends the group when it outlives timeout.
RunResult TimedRun(const std::vector<std::string>& command, const fs::path& folder, const fs::path& log,
    const std::vector<std::string>& environment, double timeout)
{
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool replaced = std::any_of(environment.begin(), environment.end(),
            [&](const std::string& own) { return own.substr(0, own.find('=')) == name; });
        if (!replaced && name != "http_proxy" && name != "HTTP_PROXY")
            envStrings.push_back(text);
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& text : envStrings)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const auto& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(
        &actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    RunResult result;
    auto start = Clock::now();
    pid_t pid = 0;
    result.started = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (!result.started)
        return result;
    int pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    pollfd wait { pidFd, POLLIN, 0 };
    if (pidFd < 0 || ::poll(&wait, 1, int(timeout * 1000)) == 0) {
        if (pidFd >= 0) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
        }
    }
    int status = 0;
    rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (pidFd >= 0)
        ::close(pidFd);
    // Helpers a browser left behind must not run into the next tool's turn.
    ::kill(-pid, SIGKILL);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Waits (for at most limit) until folder holds nothing, or is gone.
void WaitUntilEmpty(const fs::path& folder, std::chrono::seconds limit)
{
    auto end = Clock::now() + limit;
    std::error_code error;
    while (Clock::now() < end && fs::exists(folder, error) && !fs::is_empty(folder, error))
        usleep(20'000);
}

int CountFiles(const fs::path& folder)
{
    int files = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error))
            ++files;
    return files;
}

bool Executable(const std::string& path)
{
    return ::access(path.c_str(), X_OK) == 0;
}

std::string Median(std::vector<double> values)
{
    if (values.empty())
        return "–";
    std::sort(values.begin(), values.end());
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", values[values.size() / 2]);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    std::string rowList = "empty,120,1000@40,1000,10000,10mb";
    std::string toolList = "static,wget2,curl,chromium,chromium-load,webkit,webkit-load";
    int runs = 3;
    double timeout = 300;
    fs::path scratchRoot = "/dev/shm";
    bool serveOnly = false;
    bool cpu = false;
    std::string cli = PAGESTOW_CLI_PROGRAM;
    std::string webkitLoad = PAGESTOW_WEBKIT_LOAD_PROGRAM;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--rows")
            rowList = argv[i + 1];
        else if (name == "--tools")
            toolList = argv[i + 1];
        else if (name == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--timeout")
            timeout = std::max(1.0, std::atof(argv[i + 1]));
        else if (name == "--serve")
            serveOnly = true, rowList = argv[i + 1];
        else if (name == "--cpu")
            cpu = std::atoi(argv[i + 1]) != 0;
        else if (name == "--scratch")
            scratchRoot = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    std::vector<const Row*> rows;
    for (const auto& key : Split(rowList)) {
        auto found = std::find_if(kRows.begin(), kRows.end(), [&](const Row& row) { return row.key == key; });
        if (found == kRows.end()) {
            std::fprintf(stderr, "no row %s\n", key.c_str());
            return 2;
        }
        rows.push_back(&*found);
    }
    std::vector<const Tool*> tools;
    for (const auto& key : Split(toolList)) {
        auto found
            = std::find_if(kTools.begin(), kTools.end(), [&](const Tool& tool) { return tool.key == key; });
        if (found == kTools.end()) {
            std::fprintf(stderr, "no tool %s\n", key.c_str());
            return 2;
        }
        tools.push_back(&*found);
    }

    std::error_code error;
    fs::path scratch = scratchRoot / ("pagestow-table-" + std::to_string(::getpid()));
    fs::create_directories(scratch / "home", error);
    std::vector<std::string> environment
        = { "HOME=" + (scratch / "home").string(), "XDG_CACHE_HOME=" + (scratch / "home" / ".cache").string(),
              "PAGESTOW_CACHE_DIR=" + (scratch / "cache").string(), "NO_PROXY=*", "no_proxy=*" };
    bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");

    RawServer first("127.0.0.1");
    RawServer second("127.0.0.2");

    std::printf("wall time of a whole program run, median of %d (tools interleaved); scratch %s\n\n", runs,
        scratch.c_str());
    std::printf("| page |");
    for (const Tool* tool : tools)
        std::printf(" %s |", tool->title.c_str());
    std::printf("\n|---|");
    for (size_t i = 0; i < tools.size(); ++i)
        std::printf("---|");
    std::printf("\n");
    std::fflush(stdout);

    std::vector<std::string> notes;
    for (const Row* row : rows) {
        first.Clear();
        second.Clear();
        std::string page = "<!DOCTYPE html><html><head><title>Pictures</title></head><body>\n";
        std::vector<std::string> addresses;
        for (int i = 0; i < row->images; ++i) {
            RawServer& host = i % 2 == 0 ? first : second;
            std::string path = "/pictures/p" + std::to_string(i) + ".png";
            host.Serve(path, Picture(i, row->imageBytes), "image/png");
            page
                += "<img src=\"" + (i % 2 == 0 ? "p" + std::to_string(i) + ".png" : host.Url(path)) + "\">\n";
            addresses.push_back(host.Url(path));
        }
        page += "</body></html>\n";
        first.Serve("/pictures/index.html", page, "text/html");
        first.SetLatency(std::chrono::milliseconds(row->latencyMs));
        second.SetLatency(std::chrono::milliseconds(row->latencyMs));
        std::string address = first.Url("/pictures/index.html");
        addresses.insert(addresses.begin(), address);
        fs::path curlList = scratch / ("curl-" + row->key + ".txt");
        {
            std::ofstream list(curlList);
            for (size_t i = 0; i < addresses.size(); ++i)
                list << "url = \"" << addresses[i] << "\"\noutput = \"f" << i << "\"\n";
        }
        const int expected = row->images + 1;
        if (serveOnly) {
            std::printf("%s\n", address.c_str());
            std::fflush(stdout);
            std::getchar();
            break;
        }

        std::map<std::string, std::vector<double>> seconds;
        std::map<std::string, std::vector<double>> cpuSeconds;
        std::map<std::string, std::string> missing;
        for (int run = 0; run < runs; ++run) {
            for (const Tool* tool : tools) {
                const std::string& key = tool->key;
                if (missing.count(key))
                    continue;
                std::vector<std::string> command;
                bool needsDisplay = false;
                fs::path out = scratch / (row->key + "-" + key + "-" + std::to_string(run));
                fs::create_directories(out, error);
                std::string timeoutText = std::to_string(int(timeout));
                if (key == "static" || key == "chromium" || key == "webkit") {
                    command = { cli, "--engine", key, "--save-dir", out.string(), "--timeout", timeoutText,
                        "-q", address };
                    needsDisplay = key == "webkit";
                } else if (key == "wget2") {
                    command = { "wget2", "-q", "-p", "-H", "--max-threads=12", "--no-robots", "--no-config",
                        "--tries=1", address };
                } else if (key == "curl") {
                    command = { "curl", "-s", "--parallel", "--parallel-max", "12", "-K", curlList.string() };
                } else if (key == "chromium-load") {
                    if (!Executable(kChromium)) {
                        missing[key] = "n/a";
                        continue;
                    }
                    command = { kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                        "--disable-background-networking", "--user-data-dir=" + (out / "profile").string(),
                        "--dump-dom", address };
                } else if (key == "webkit-load") {
                    needsDisplay = true;
                    command = { webkitLoad, address };
                }
                if (needsDisplay && !display) {
                    missing[key] = "n/a (no display)";
                    continue;
                }
                RunResult result = TimedRun(command, out,
                    scratch / (row->key + "-" + key + "-" + std::to_string(run) + ".log"), environment,
                    timeout);
                if (!result.started) {
                    missing[key] = "n/a";
                    continue;
                }
                seconds[key].push_back(result.seconds);
                cpuSeconds[key].push_back(result.cpuSeconds);
                int files = tool->saves ? CountFiles(out) : expected;
                if (result.status != 0 || files < expected) {
                    missing[key + "!"] = "!";
                    notes.push_back(row->title + ", " + tool->title + ", run " + std::to_string(run + 1)
                        + ": "
                        + (result.timedOut ? "timed out" : "exit status " + std::to_string(result.status))
                        + ", " + std::to_string(files) + " of " + std::to_string(expected) + " files");
                }
                fs::remove_all(out, error);
                // The engine removes its cache in the background as it exits: that work is not left
                // to land on the next tool's run.
                WaitUntilEmpty(scratch / "cache", std::chrono::seconds(10));
            }
        }
        std::printf("| %s |", row->title.c_str());
        for (const Tool* tool : tools) {
            auto found = missing.find(tool->key);
            if (found != missing.end() && seconds[tool->key].empty())
                std::printf(" %s |", found->second.c_str());
            else
                std::printf(cpu ? " %s%s (cpu %s) |" : " %s%s |", Median(seconds[tool->key]).c_str(),
                    missing.count(tool->key + "!") ? " !" : "", Median(cpuSeconds[tool->key]).c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (const auto& note : notes)
        std::printf("! %s\n", note.c_str());
    if (notes.empty())
        fs::remove_all(scratch, error);
    else
        std::printf("the standard error of every run is kept in %s/ROW-TOOL-RUN.log\n", scratch.c_str());
    return 0;
}
