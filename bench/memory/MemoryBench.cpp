// Prints the peak resident memory of capturing pages with the built-in engine, each case in a process
// of its own: an empty page (the base line), a page of 16,000 elements, a page with 200 MB of images
// (100 of 2 MB), and one document of 32 MB. Bodies of resources are streamed into the engine cache, so
// the images should cost little; a document is held in memory while it is parsed.
//
//   memory_bench [CASE...]        cases: blank elements-16000 images-200mb document-32mb
//
// The servers run in this process; each case runs in a fresh copy of this program
// (memory_bench --run CASE ORIGIN FOLDER), which reports its own peak (VmHWM: the resource usage of a
// child would also count the memory of the process it was started from, up to its exec).

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "engine/static/StaticEngine.h"
#include "support/TestServer.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {
using namespace pagestow;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kElementsImages = 16'000 - 3;
constexpr int kLargeImages = 100;
constexpr size_t kLargeImageBytes = 2 << 20;
constexpr size_t kLargeDocumentBytes = 32 << 20;

struct Case {
    const char* name;
    const char* path;
};
constexpr Case kCases[] = {
    { "blank", "/blank.htm" },
    { "elements-16000", "/elements.htm" },
    { "images-200mb", "/images.htm" },
    { "document-32mb", "/document.htm" },
};

// A body of size bytes made on the fly, so that the server holds none of it.
void ServeGenerated(
    testing::TestServer& server, const std::string& path, size_t size, const std::string& type)
{
    server.Handle(path, [size, type](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, type, [](size_t offset, size_t length, httplib::DataSink& sink) {
            std::string chunk(std::min<size_t>(length, 64 * 1024), '\0');
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = char('a' + (offset + i) % 26);
            return sink.write(chunk.data(), chunk.size());
        });
    });
}

void ServeCases(testing::TestServer& server)
{
    server.Serve("/blank.htm", "<html><body></body></html>");

    std::string elements = "<html><head></head><body>";
    for (int i = 0; i < kElementsImages; ++i) {
        std::string path = "/e/" + std::to_string(i % 64) + "/p" + std::to_string(i) + ".gif";
        server.Serve(path, "GIF89a" + path, "image/gif");
        elements += "<img alt=picture src=" + path + ">";
    }
    server.Serve("/elements.htm", elements + "</body></html>");

    std::string images = "<html><body>";
    for (int i = 0; i < kLargeImages; ++i) {
        std::string path = "/big/" + std::to_string(i) + ".jpg";
        ServeGenerated(server, path, kLargeImageBytes, "image/jpeg");
        images += "<img src=" + path + ">";
    }
    server.Serve("/images.htm", images + "</body></html>");

    std::string document = "<html><body><img src=/e/0/p0.gif><!--" + std::string(kLargeDocumentBytes, 'd')
        + "--></body></html>";
    server.Serve("/document.htm", document);
}

class CountingFrontEnd : public capture::FrontEnd {
public:
    void AddResultLine(const std::string&) override { ++results; }
    void SetStatusText(const std::string&) override { }
    void AddLogLine(const std::string&) override { }
    void PumpMessages() override { }
    void ShowMessage(const std::string& message) override { std::fprintf(stderr, "%s\n", message.c_str()); }
    long results = 0;
};

long PeakKilobytesOfThisProcess()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::uint64_t BytesBelow(const fs::path& folder)
{
    std::uint64_t bytes = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file())
            bytes += it->file_size();
    }
    return bytes;
}

// The child: loads and captures origin + path, then prints "seconds files bytes peak-kB".
int RunCase(const std::string& path, const std::string& origin, const fs::path& folder)
{
    setenv("PAGESTOW_CACHE_DIR", (folder / "cache").c_str(), 1);
    auto engine = engine::CreateStaticEngine();
    bool completed = false;
    CountingFrontEnd frontEnd;
    engine->SetDocumentCompleteHandler(
        [&](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
            completed = completed
                || (completion == engine::PageEngine::Completion::TopLevel && !frontEnd.CaptureRunning());
        });
    capture::CaptureSettings settings;
    settings.saveDir = (folder / "pages").string() + "/";
    settings.cache = &engine->Cache();

    auto start = Clock::now();
    engine->SetLoadTimeout(std::chrono::minutes(5));
    engine->Navigate(origin + path);
    while (!completed && Clock::now() - start < std::chrono::minutes(6))
        engine->ProcessEvents(std::chrono::milliseconds(50));
    bool accepted = completed && capture::CapturePage(engine->Document().get(), settings, frontEnd).accepted;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    engine->SetDocumentCompleteHandler(nullptr);

    std::printf("%.2f %ld %llu %ld %s\n", seconds, frontEnd.results,
        (unsigned long long)BytesBelow(folder / "pages"), PeakKilobytesOfThisProcess(),
        accepted ? "yes" : "no");
    return accepted ? 0 : 1;
}

// Runs one case in a fresh process; the line it printed.
std::string RunChild(const Case& c, const std::string& origin, const fs::path& folder)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string folderText = folder.string();
    std::vector<char*> argv = { self.data(), const_cast<char*>("--run"), const_cast<char*>(c.path),
        const_cast<char*>(origin.c_str()), folderText.data(), nullptr };
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string output;
    char buffer[256];
    for (ssize_t n; spawned == 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    if (spawned == 0)
        waitpid(pid, &status, 0);
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--run") == 0)
        return RunCase(argv[2], argv[3], argv[4]);

    std::vector<Case> cases;
    for (int i = 1; i < argc; ++i) {
        for (const Case& c : kCases) {
            if (c.name == std::string(argv[i]))
                cases.push_back(c);
        }
    }
    if (cases.empty())
        cases.assign(std::begin(kCases), std::end(kCases));

    testing::TestServer server;
    ServeCases(server);
    std::string pattern = (fs::temp_directory_path() / "pagestow-memory-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    fs::path scratch = pattern;

    std::printf(
        "%-16s %10s %8s %12s %14s %s\n", "case", "seconds", "lines", "saved MB", "peak RSS MB", "accepted");
    for (const Case& c : cases) {
        fs::path folder = scratch / c.name;
        fs::create_directories(folder);
        std::string line = RunChild(c, server.Origin(), folder);
        double seconds = 0;
        long lines = 0;
        unsigned long long saved = 0;
        long childPeak = 0;
        char accepted[8] = "";
        std::sscanf(line.c_str(), "%lf %ld %llu %ld %7s", &seconds, &lines, &saved, &childPeak, accepted);
        std::printf("%-16s %10.2f %8ld %12.1f %14.1f %s\n", c.name, seconds, lines, double(saved) / (1 << 20),
            double(childPeak) / 1024, accepted);
        std::fflush(stdout);
        std::error_code error;
        fs::remove_all(folder, error);
    }
    std::error_code error;
    fs::remove_all(scratch, error);
    return 0;
}
