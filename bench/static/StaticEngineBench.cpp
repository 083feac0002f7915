// How long pagestow-cli (built-in engine) takes to save a page of 120 images on two hosts when every
// request is answered after 40 ms, next to wget --page-requisites on the same page.
//
//   static_engine_bench [--images N] [--latency MS] [--runs R] [--cli PATH] [--serve 1]
//
// With --serve 1 it only serves the page, prints its address and waits for a line on standard input
// (for profiling a run by hand).

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {
using namespace pagestow::testing;
using Clock = std::chrono::steady_clock;

// Runs a program in folder with its output thrown away; its exit status and the seconds it took.
std::pair<int, double> TimedRun(const std::vector<std::string>& command, const std::string& folder)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<char*> argv;
    for (const auto& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return { -1, 0 };
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    return { WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds };
}

int CountFiles(const std::filesystem::path& folder)
{
    return int(ListFiles(folder).size());
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int images = 120;
    int latencyMs = 40;
    int runs = 3;
    bool serveOnly = false;
    std::string cli = PAGESTOW_CLI_PROGRAM;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--images")
            images = std::atoi(argv[i + 1]);
        else if (name == "--latency")
            latencyMs = std::atoi(argv[i + 1]);
        else if (name == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--serve")
            serveOnly = std::atoi(argv[i + 1]) != 0;
        else if (name == "--cli")
            cli = argv[i + 1];
    }

    TestServer a("127.0.0.1");
    TestServer b("127.0.0.2");
    std::string page = "<html><head><title>bench</title></head><body>\n";
    for (int i = 0; i < images; ++i) {
        TestServer& host = i % 2 == 0 ? a : b;
        std::string path = "/img/p" + std::to_string(i) + ".gif";
        host.Serve(path, "GIF89a" + std::string(2000, char('a' + i % 26)), "image/gif");
        page += "<img src='" + host.Url(path) + "'>\n";
    }
    page += "</body></html>\n";
    a.Serve("/index.html", page);
    a.SetLatency(std::chrono::milliseconds(latencyMs));
    b.SetLatency(std::chrono::milliseconds(latencyMs));

    if (serveOnly) {
        std::printf("%s\n", a.Url("/index.html").c_str());
        std::fflush(stdout);
        std::getchar();
        return 0;
    }

    // Six connections per host each take a share of the images, one latency apiece, after the page.
    int perHost = (images + 1) / 2;
    double bound = latencyMs / 1000.0 * (1 + (perHost + 5) / 6);

    TemporaryFolder scratch;
    setenv("PAGESTOW_CACHE_DIR", (scratch.Path() / "cache").c_str(), 1);
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    std::vector<double> ours;
    std::vector<double> theirs;
    int oursSaved = 0;
    int theirsSaved = 0;
    for (int run = 0; run < runs; ++run) {
        TemporaryFolder pagestowOut;
        auto [status, seconds]
            = TimedRun({ cli, "--save-dir", pagestowOut.Path().string(), a.Url("/index.html") },
                pagestowOut.Path().string());
        if (status != 0) {
            std::fprintf(stderr, "pagestow-cli failed with status %d\n", status);
            return 1;
        }
        ours.push_back(seconds);
        oursSaved = CountFiles(pagestowOut.Path());

        TemporaryFolder wgetOut;
        auto [wgetStatus, wgetSeconds] = TimedRun(
            { "wget", "--page-requisites", "--span-hosts", "-q", "--no-proxy", a.Url("/index.html") },
            wgetOut.Path().string());
        if (wgetStatus < 0) {
            std::fprintf(stderr, "wget could not be run\n");
            return 1;
        }
        theirs.push_back(wgetSeconds);
        theirsSaved = CountFiles(wgetOut.Path());
    }

    double oursMedian = Median(ours);
    double theirsMedian = Median(theirs);
    std::printf(
        "page of %d images on two hosts, %d ms per request, median of %d runs\n", images, latencyMs, runs);
    std::printf("  pagestow-cli (static engine):  %.3f s  (%d files)\n", oursMedian, oursSaved);
    std::printf("  wget --page-requisites:        %.3f s  (%d files)\n", theirsMedian, theirsSaved);
    std::printf("  wget / pagestow-cli:           %.1fx  (goal: at least 10x)\n", theirsMedian / oursMedian);
    std::printf(
        "  six connections per host allow %.3f s; pagestow-cli takes %.2fx that (goal: at most 1.5x)\n",
        bound, oursMedian / bound);
    return 0;
}
