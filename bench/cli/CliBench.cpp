// pagestow-cli measured as a user runs it, against a local server:
//   start-up: an empty page per engine, beside wget2 on the same page (median of the runs);
//   memory:   peak resident memory of one run over 10, 100 and 1,000 pages;
//   jobs:     200 pages with --jobs 1, 2, 4 and 8, pages per second;
//   archive:  a page of 1,000 images of 8 KiB each without and with --warc-file, and with --wacz
//             (median seconds and peak memory of the runs).
//
//   cli_bench [--runs R] [--parts startup,memory,jobs,archive]
//
// The webkit engine needs a display (run under xvfb-run); what cannot run is reported as skipped.

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace pagestow;
using Clock = std::chrono::steady_clock;

struct RunFigures {
    int status = -1;
    double seconds = 0;
    // Peak resident memory of the program (with worker processes: of the largest), in MiB.
    double peakMiB = 0;
};

// Runs the program with standard output and error thrown away and measures it.
RunFigures Measure(const std::vector<std::string>& command)
{
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    RunFigures figures;
    auto start = Clock::now();
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return figures;
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    figures.peakMiB = double(std::max(usage.ru_maxrss, 0L)) / 1024;
    return figures;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::vector<std::string> Cli(const std::string& engine, const std::string& saveDir)
{
    return { PAGESTOW_CLI_PROGRAM, "--engine", engine, "--save-dir", saveDir, "-q" };
}

void StartUp(testing::TestServer& server, int runs)
{
    std::printf("start-up: an empty page, median of %d runs\n", runs);
    std::printf("%-22s %10s\n", "program", "seconds");
    std::string address = server.Url("/empty.htm");
    auto row = [&](const std::string& name, const std::vector<std::string>& command) {
        std::vector<double> seconds;
        for (int run = 0; run < runs; ++run) {
            RunFigures figures = Measure(command);
            if (figures.status != 0) {
                std::printf("%-22s skipped (exit status %d)\n", name.c_str(), figures.status);
                return;
            }
            seconds.push_back(figures.seconds);
        }
        std::printf("%-22s %10.3f\n", name.c_str(), Median(seconds));
        std::fflush(stdout);
    };
    testing::TemporaryFolder folder;
    row("wget2", { "wget2", "-q", "-O", "/dev/null", address });
    row("pagestow-cli --version", { PAGESTOW_CLI_PROGRAM, "--version" });
    for (const char* engine : { "static", "chromium", "webkit" }) {
        std::vector<std::string> command = Cli(engine, folder.Path().string());
        command.push_back(address);
        row(std::string("pagestow-cli ") + engine, command);
    }
}

std::string WriteList(const testing::TemporaryFolder& folder, testing::TestServer& server, int pages)
{
    std::string path = (folder.Path() / ("list-" + std::to_string(pages) + ".txt")).string();
    std::ofstream list(path);
    for (int i = 0; i < pages; ++i)
        list << server.Url("/p/" + std::to_string(i % 200) + ".htm") << '\n';
    return path;
}

void Memory(testing::TestServer& server)
{
    std::printf("\nmemory: one run of the built-in engine over many pages (peak resident memory)\n");
    std::printf("%8s %10s %10s\n", "pages", "seconds", "peak MiB");
    testing::TemporaryFolder lists;
    for (int pages : { 10, 100, 1000 }) {
        testing::TemporaryFolder save;
        std::vector<std::string> command = Cli("static", save.Path().string());
        command.insert(command.end(), { "-i", WriteList(lists, server, pages) });
        RunFigures figures = Measure(command);
        std::printf("%8d %10.2f %10.1f%s\n", pages, figures.seconds, figures.peakMiB,
            figures.status == 0 ? "" : "  (not every page saved)");
        std::fflush(stdout);
    }
}

void Jobs(testing::TestServer& server)
{
    std::printf("\njobs: 200 pages of 4 images each, built-in engine, 20 ms per request\n");
    std::printf("%6s %10s %10s\n", "jobs", "seconds", "pages/s");
    testing::TemporaryFolder lists;
    std::string list = WriteList(lists, server, 200);
    for (int jobs : { 1, 2, 4, 8 }) {
        testing::TemporaryFolder save;
        std::vector<std::string> command = Cli("static", save.Path().string());
        command.insert(command.end(), { "--jobs", std::to_string(jobs), "-i", list });
        RunFigures figures = Measure(command);
        std::printf("%6d %10.2f %10.1f%s\n", jobs, figures.seconds, 200 / figures.seconds,
            figures.status == 0 ? "" : "  (not every page saved)");
        std::fflush(stdout);
    }
}

void Archive(testing::TestServer& server, int runs)
{
    std::printf("\narchive: a page of 1,000 images of 8 KiB, built-in engine, median of %d runs\n", runs);
    std::printf("%-16s %10s %10s %12s\n", "output", "seconds", "peak MiB", "archive MiB");
    struct Row {
        const char* name;
        // The option and the file it names in the save folder, and the file it writes there.
        const char* option;
        const char* value;
        const char* file;
    };
    const Row rows[] = { { "folder tree", nullptr, nullptr, nullptr },
        { "--warc-file", "--warc-file", "run", "run.warc.gz" }, { "--wacz", "--wacz", "run.wacz", "run.wacz" } };
    for (const Row& row : rows) {
        std::vector<double> seconds;
        std::vector<double> peaks;
        double archiveMiB = 0;
        bool failed = false;
        for (int run = 0; run < runs; ++run) {
            testing::TemporaryFolder save;
            std::vector<std::string> command = Cli("static", save.Path().string());
            if (row.option)
                command.insert(command.end(), { row.option, (save.Path() / row.value).string() });
            command.push_back(server.Url("/thousand.htm"));
            RunFigures figures = Measure(command);
            failed = failed || figures.status != 0;
            seconds.push_back(figures.seconds);
            peaks.push_back(figures.peakMiB);
            if (row.file) {
                std::error_code error;
                archiveMiB = double(std::filesystem::file_size(save.Path() / row.file, error)) / (1 << 20);
            }
        }
        std::printf("%-16s %10.3f %10.1f %12.1f%s\n", row.name, Median(seconds), Median(peaks), archiveMiB,
            failed ? "  (a run failed)" : "");
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 9;
    std::string parts = "startup,memory,jobs,archive";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--parts")
            parts = argv[i + 1];
    }
    // The runs' engine caches go to a scratch folder.
    testing::TemporaryFolder cache;
    setenv("PAGESTOW_CACHE_DIR", cache.Path().c_str(), 1);
    setenv("XDG_CACHE_HOME", cache.Path().c_str(), 1);

    testing::TestServer server;
    server.Serve("/empty.htm", "");
    for (int i = 0; i < 200; ++i) {
        std::string page = "<html><body><h1>Page " + std::to_string(i) + "</h1>";
        for (int image = 0; image < 4; ++image) {
            std::string name = "/i/" + std::to_string(i) + "-" + std::to_string(image) + ".gif";
            page += "<img src=" + name + ">";
            server.Serve(name, "GIF89a" + std::string(1000, char('a' + image)), "image/gif");
        }
        server.Serve("/p/" + std::to_string(i) + ".htm", page + "</body></html>");
    }
    {
        std::string page = "<html><body>";
        for (int i = 0; i < 1000; ++i) {
            std::string name = "/t/" + std::to_string(i) + ".png";
            // Bytes that do not compress, as a picture's do not.
            std::string bytes(8192, '\0');
            std::uint32_t state = 2463534242u + std::uint32_t(i);
            for (char& byte : bytes) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                byte = char(state);
            }
            server.Serve(name, "PNG" + std::to_string(i) + bytes, "image/png");
            page += "<img src=" + name + ">";
        }
        server.Serve("/thousand.htm", page + "</body></html>");
    }
    if (parts.find("startup") != std::string::npos)
        StartUp(server, runs);
    if (parts.find("archive") != std::string::npos)
        Archive(server, runs);
    server.SetLatency(std::chrono::milliseconds(20));
    if (parts.find("memory") != std::string::npos)
        Memory(server);
    if (parts.find("jobs") != std::string::npos)
        Jobs(server);
    return 0;
}
