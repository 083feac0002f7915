// Peak memory and time of pagestow-cli on pages made to exhaust it, on every engine: a brotli page
// that unpacks to 1 GiB, four such frames, a 32 MiB gzip image (32 KB on the wire), 300,000 unclosed
// <b>, 100,000 nested <div>, 80,000 attributes on one <img>, 100,000 images, 20 images of 10 MiB of
// random bytes. Each case runs in a
// fresh pagestow-cli with its own HOME and cache; while it runs, /proc is read every 50 ms for the
// program's own peak (VmHWM) and for the memory of its whole process tree (the browser and its
// helpers included, shared pages counted once: the sum of their proportional set sizes). The goal is every
// case below 512 MB for the built-in engine's tree and below the browsers' memory limit
// (kEngineMemoryLimit) for a browser's, done within the time-out plus 10 seconds. Chromium and WebKit need a
// display: run under xvfb-run.
//
//   bomb_memory_bench [--cli PATH] [--timeout SECONDS] [--engine NAME]... [CASE...]
//
// Further cases, run only when named: gzip-image-1gib, bold-3000000.

#include "base/ProcFile.h"
#include "engine/Contract.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <brotli/encode.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {
using namespace pagestow;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kUnpacked = size_t(1) << 30;

// Compresses size bytes made by fill (64 KiB at a time), never holding them all.
std::string BrotliOfGenerated(size_t size, const std::function<void(std::string&, size_t)>& fill)
{
    BrotliEncoderState* state = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
    BrotliEncoderSetParameter(state, BROTLI_PARAM_QUALITY, 5);
    BrotliEncoderSetParameter(state, BROTLI_PARAM_LGWIN, 24);
    std::string out;
    std::string chunk;
    uint8_t buffer[1 << 16];
    for (size_t done = 0;;) {
        bool last = done >= size;
        if (!last) {
            fill(chunk, done);
            done += chunk.size();
        }
        size_t availableIn = last ? 0 : chunk.size();
        auto* nextIn = reinterpret_cast<const uint8_t*>(chunk.data());
        do {
            size_t availableOut = sizeof buffer;
            uint8_t* nextOut = buffer;
            BrotliEncoderCompressStream(state, last ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS,
                &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
            out.append(reinterpret_cast<char*>(buffer), sizeof buffer - availableOut);
        } while (availableIn > 0 || BrotliEncoderHasMoreOutput(state)
            || (last && !BrotliEncoderIsFinished(state)));
        if (last)
            break;
    }
    BrotliEncoderDestroyInstance(state);
    return out;
}

std::string GzipOfGenerated(size_t size, const std::function<void(std::string&, size_t)>& fill)
{
    z_stream stream {};
    deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string out;
    std::string chunk;
    Bytef buffer[1 << 16];
    for (size_t done = 0;;) {
        bool last = done >= size;
        if (!last) {
            fill(chunk, done);
            done += chunk.size();
        } else {
            chunk.clear();
        }
        stream.next_in = reinterpret_cast<Bytef*>(chunk.data());
        stream.avail_in = uInt(chunk.size());
        int result;
        do {
            stream.next_out = buffer;
            stream.avail_out = sizeof buffer;
            result = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(reinterpret_cast<char*>(buffer), sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0 || (last && result != Z_STREAM_END));
        if (last)
            break;
    }
    deflateEnd(&stream);
    return out;
}

void Letters(std::string& chunk, size_t)
{
    chunk.assign(1 << 16, 'a');
}

std::string Repeat(const std::string& piece, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}

struct Case {
    const char* name;
    const char* path;
    bool byDefault;
};
constexpr Case kCases[] = {
    { "brotli-page-1gib", "/brotli.htm", true },
    { "brotli-frames-4x1gib", "/frames.htm", true },
    { "gzip-image-32mib", "/image32.htm", true },
    { "bold-300000", "/bold.htm", true },
    { "divs-100000", "/divs.htm", true },
    { "attributes-80000", "/attributes.htm", true },
    { "images-100000", "/images.htm", true },
    { "random-images-20x10mib", "/random.htm", true },
    { "gzip-image-1gib", "/image.htm", false },
    { "bold-3000000", "/bold-many.htm", false },
};

// The built-in engine's goal; an engine that runs a browser gets the browser's memory limit.
constexpr double kBudgetMegabytes = 512;
constexpr double kBrowserBudgetMegabytes = double(pagestow::engine::kEngineMemoryLimit) / (1024 * 1024);

double BudgetOf(const std::string& engine)
{
    return engine == "static" ? kBudgetMegabytes : kBrowserBudgetMegabytes;
}

void ServeCases(testing::TestServer& server)
{
    const std::string brotli = BrotliOfGenerated(kUnpacked, Letters);
    server.Serve("/brotli.htm", brotli, "text/html", 200, { { "Content-Encoding", "br" } });
    std::string frames = "<html><body>";
    for (int i = 0; i < 4; ++i) {
        std::string path = "/frame" + std::to_string(i) + ".htm";
        server.Serve(path, brotli, "text/html", 200, { { "Content-Encoding", "br" } });
        frames += "<iframe src=" + path + "></iframe>";
    }
    server.Serve("/frames.htm", frames + "</body></html>");
    auto gzipImage = [&](const std::string& path, size_t size) {
        server.Serve(path,
            GzipOfGenerated(size,
                [](std::string& chunk, size_t done) {
                    chunk.assign(1 << 16, '\0');
                    if (done == 0)
                        chunk.replace(0, 6, "GIF89a");
                }),
            "image/gif", 200, { { "Content-Encoding", "gzip" } });
    };
    gzipImage("/big.gif", kUnpacked);
    server.Serve("/image.htm", "<html><body><img src=big.gif></body></html>");
    gzipImage("/big32.gif", size_t(32) << 20);
    server.Serve("/image32.htm", "<html><body><img src=big32.gif></body></html>");
    auto gzipPage = [&](const std::string& path, const std::string& markup) {
        server.Serve(path,
            GzipOfGenerated(markup.size(),
                [&](std::string& chunk, size_t done) { chunk = markup.substr(done, 1 << 16); }),
            "text/html", 200, { { "Content-Encoding", "gzip" } });
    };
    gzipPage("/bold.htm", "<html><body>" + Repeat("<b>", 300000) + "<img src=a.gif>");
    gzipPage("/bold-many.htm", "<html><body>" + Repeat("<b>", 3000000) + "<img src=a.gif>");
    gzipPage("/divs.htm", "<html><body>" + Repeat("<div>", 100000) + Repeat("</div>", 100000));
    std::string tag = "<html><body><img src=a.gif";
    for (int i = 0; i < 80000; ++i)
        tag += " a" + std::to_string(i);
    gzipPage("/attributes.htm", tag + ">");
    server.Serve("/a.gif", "GIF89a", "image/gif");
    // 100,000 elements over 100 addresses: the cost of a large document tree, not of 100,000 requests.
    std::string images = "<html><body>";
    for (int i = 0; i < 100000; ++i)
        images += "<img src=i/" + std::to_string(i % 100) + ".gif>";
    for (int i = 0; i < 100; ++i)
        server.Serve("/i/" + std::to_string(i) + ".gif", "GIF89a" + std::to_string(i), "image/gif");
    gzipPage("/images.htm", images + "</body></html>");
    // Sound large bodies: a 1 x 1 PNG each, then 10 MiB of random bytes that decoders skip.
    std::string random = "<html><body>";
    unsigned seed = 1;
    for (int i = 0; i < 20; ++i) {
        std::string picture("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                            "\0\0\0\rIDATx\x9c"
                            "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
            67);
        picture.resize(67 + (10u << 20));
        for (size_t at = 67; at < picture.size(); ++at) {
            seed = seed * 1103515245u + 12345u;
            picture[at] = char(seed >> 16);
        }
        std::string path = "/random/" + std::to_string(i) + ".png";
        server.Serve(path, std::move(picture), "image/png");
        random += "<img src=" + path + ">";
    }
    server.Serve("/random.htm", random + "</body></html>");
}

// The proportional set size of a process, its resident size when that cannot be read.
long ProportionalKilobytes(pid_t pid, long resident)
{
    std::istringstream rollup(base::ReadProcFile(("/proc/" + std::to_string(pid) + "/smaps_rollup").c_str()));
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Pss:", 0) == 0)
            return std::atol(line.c_str() + 4);
    }
    return resident;
}

// Reads /proc for the peak of one process and of its descendants.
class TreeSampler {
public:
    explicit TreeSampler(pid_t root)
        : m_root(root)
    {
    }

    void Sample()
    {
        std::map<pid_t, pid_t> parents;
        std::map<pid_t, long> resident;
        std::error_code error;
        for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator();
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            pid_t pid = std::atoi(name.c_str());
            std::istringstream status(base::ReadProcFile((it->path() / "status").c_str()));
            std::string line;
            while (std::getline(status, line)) {
                if (line.rfind("PPid:", 0) == 0)
                    parents[pid] = std::atoi(line.c_str() + 5);
                else if (line.rfind("VmRSS:", 0) == 0)
                    resident[pid] = std::atol(line.c_str() + 6);
                else if (pid == m_root && line.rfind("VmHWM:", 0) == 0)
                    m_ownPeak = std::max(m_ownPeak, std::atol(line.c_str() + 6));
            }
        }
        long total = 0;
        std::string detail;
        for (const auto& [pid, rss] : resident) {
            for (pid_t at = pid, steps = 0; at > 1 && steps < 64; ++steps) {
                if (at == m_root) {
                    long pss = ProportionalKilobytes(pid, rss);
                    total += pss;
                    detail += " " + std::to_string(pid) + ":" + std::to_string(pss / 1024);
                    break;
                }
                auto parent = parents.find(at);
                if (parent == parents.end())
                    break;
                at = parent->second;
            }
        }
        if (total > m_treePeak && std::getenv("BOMB_DETAIL"))
            std::fprintf(stderr, "peak %ld MB:%s\n", total / 1024, detail.c_str());
        m_treePeak = std::max(m_treePeak, total);
    }

    long OwnPeak() const { return m_ownPeak; }
    // The tree's peak counts each shared page once, split among the processes that share it (the
    // proportional set size): the browser's processes share much of their libraries and memory.
    long TreePeak() const { return m_treePeak; }

private:
    pid_t m_root;
    long m_ownPeak = 0;
    long m_treePeak = 0;
};

struct Outcome {
    double seconds = 0;
    int status = -1;
    long ownPeak = 0;
    long treePeak = 0;
    long largestProcess = 0;
    size_t files = 0;
};

size_t FilesBelow(const fs::path& folder)
{
    size_t files = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file())
            ++files;
    }
    return files;
}

Outcome Run(const std::vector<std::string>& args, const fs::path& folder)
{
    Outcome outcome;
    fs::create_directories(folder / "home");
    fs::create_directories(folder / "pages");
    std::vector<std::string> environment
        = { "HOME=" + (folder / "home").string(), "XDG_CACHE_HOME=" + (folder / "home/.cache").string() };
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "HOME=", 5) != 0 && std::strncmp(*entry, "XDG_CACHE_HOME=", 15) != 0)
            environment.push_back(*entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
        TreeSampler sampler(pid);
        int status = 0;
        rusage usage {};
        for (;;) {
            sampler.Sample();
            pid_t done = wait4(pid, &status, WNOHANG, &usage);
            if (done == pid)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        // wait4 reports the largest single process of the tree, the program's children included.
        outcome.largestProcess = usage.ru_maxrss;
        outcome.ownPeak = std::max(sampler.OwnPeak(), 0L);
        outcome.treePeak = std::max(sampler.TreePeak(), outcome.ownPeak);
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    outcome.files = FilesBelow(folder / "pages");
    return outcome;
}

std::string Verdict(const Outcome& outcome, int timeout, double budget)
{
    std::string verdict;
    if (outcome.status >= 128)
        verdict = "killed by signal " + std::to_string(outcome.status - 128);
    else if (double(outcome.treePeak) / 1024 > budget)
        verdict = "over budget";
    else if (outcome.seconds > timeout + 10)
        verdict = "over time";
    else
        verdict = "ok";
    return verdict;
}

} // namespace

int main(int argc, char** argv)
{
    std::string cli = PAGESTOW_CLI_PROGRAM;
    int timeout = 30;
    std::vector<std::string> engines;
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--cli" && i + 1 < argc)
            cli = argv[++i];
        else if (arg == "--timeout" && i + 1 < argc)
            timeout = std::atoi(argv[++i]);
        else if (arg == "--engine" && i + 1 < argc)
            engines.push_back(argv[++i]);
        else
            wanted.push_back(arg);
    }
    if (engines.empty())
        engines = { "static", "chromium", "webkit" };
    testing::TestServer server;
    std::printf("preparing the pages...\n");
    std::fflush(stdout);
    ServeCases(server);
    std::printf("%-22s %-9s %8s %5s %6s %9s %9s %9s  %s\n", "case", "engine", "seconds", "exit", "files",
        "cli MB", "tree MB", "largest", "outcome");
    std::printf(
        "(goal: tree below %.0f MB for the built-in engine and %.0f MB for a browser, done within %d s;"
        " exit 0 saved, 1 not saved, 2 partly)\n",
        kBudgetMegabytes, kBrowserBudgetMegabytes, timeout + 10);
    std::fflush(stdout);
    for (const Case& c : kCases) {
        bool named = std::find(wanted.begin(), wanted.end(), c.name) != wanted.end();
        if (wanted.empty() ? !c.byDefault : !named)
            continue;
        for (const std::string& engineName : engines) {
            testing::TemporaryFolder folder;
            Outcome outcome = Run({ cli, "--engine", engineName, "--timeout", std::to_string(timeout),
                                      "--save-dir", (folder.Path() / "pages").string(), server.Url(c.path) },
                folder.Path());
            std::printf("%-22s %-9s %8.2f %5d %6zu %9.1f %9.1f %9.1f  %s\n", c.name, engineName.c_str(),
                outcome.seconds, outcome.status, outcome.files, double(outcome.ownPeak) / 1024,
                double(outcome.treePeak) / 1024, double(outcome.largestProcess) / 1024,
                Verdict(outcome, timeout, BudgetOf(engineName)).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
