// Peak memory and time of pagestow-cli (built-in engine) on pages made to exhaust it: a brotli page
// that unpacks to 1 GiB, four such frames, a gzip image of 1 GiB, 300,000 unclosed <b>, 100,000
// nested <div>, 80,000 attributes on one <img>. Each case runs in a fresh pagestow-cli; its peak
// resident memory comes from wait4. The goal is every case below 512 MB, and done within the
// time-out plus 10 seconds.
//
//   static_bomb_bench [--cli PATH] [--timeout SECONDS] [CASE...]

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <brotli/encode.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {
using namespace pagestow;
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
};
constexpr Case kCases[] = {
    { "brotli-page-1gib", "/brotli.htm" },
    { "brotli-frames-4x1gib", "/frames.htm" },
    { "gzip-image-1gib", "/image.htm" },
    { "bold-300000", "/bold.htm" },
    { "divs-100000", "/divs.htm" },
    { "attributes-80000", "/attributes.htm" },
};

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
    server.Serve("/big.gif",
        GzipOfGenerated(kUnpacked,
            [](std::string& chunk, size_t done) {
                chunk.assign(1 << 16, '\0');
                if (done == 0)
                    chunk.replace(0, 6, "GIF89a");
            }),
        "image/gif", 200, { { "Content-Encoding", "gzip" } });
    server.Serve("/image.htm", "<html><body><img src=big.gif></body></html>");
    auto gzipPage = [&](const std::string& path, const std::string& markup) {
        server.Serve(path,
            GzipOfGenerated(markup.size(),
                [&](std::string& chunk, size_t done) { chunk = markup.substr(done, 1 << 16); }),
            "text/html", 200, { { "Content-Encoding", "gzip" } });
    };
    gzipPage("/bold.htm", "<html><body>" + Repeat("<b>", 300000) + "<img src=a.gif>");
    gzipPage("/divs.htm", "<html><body>" + Repeat("<div>", 100000) + Repeat("</div>", 100000));
    std::string tag = "<html><body><img src=a.gif";
    for (int i = 0; i < 80000; ++i)
        tag += " a" + std::to_string(i);
    gzipPage("/attributes.htm", tag + ">");
    server.Serve("/a.gif", "GIF89a", "image/gif");
}

struct Outcome {
    double seconds = 0;
    int status = -1;
    long peakKilobytes = 0;
};

Outcome Run(const std::vector<std::string>& args, const std::string& folder)
{
    Outcome outcome;
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
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage {};
        wait4(pid, &status, 0, &usage);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.peakKilobytes = usage.ru_maxrss;
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

} // namespace

int main(int argc, char** argv)
{
    std::string cli = PAGESTOW_CLI_PROGRAM;
    int timeout = 30;
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--cli" && i + 1 < argc)
            cli = argv[++i];
        else if (arg == "--timeout" && i + 1 < argc)
            timeout = std::atoi(argv[++i]);
        else
            wanted.push_back(arg);
    }
    testing::TestServer server;
    std::printf("preparing the pages...\n");
    std::fflush(stdout);
    ServeCases(server);
    std::printf("%-22s %9s %6s %13s   (goal: below 512 MB, within %d s)\n", "case", "seconds", "exit",
        "peak RSS MB", timeout + 10);
    for (const Case& c : kCases) {
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), c.name) == wanted.end())
            continue;
        testing::TemporaryFolder folder;
        Outcome outcome = Run({ cli, "--timeout", std::to_string(timeout), "--save-dir",
                                  folder.Path().string(), server.Url(c.path) },
            folder.Path().string());
        std::printf("%-22s %9.2f %6d %13.1f\n", c.name, outcome.seconds, outcome.status,
            double(outcome.peakKilobytes) / 1024);
        std::fflush(stdout);
    }
    return 0;
}
