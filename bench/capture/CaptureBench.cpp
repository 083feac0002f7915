// Prints how long a capture takes for pages of 1,000, 4,000 and 16,000 img elements whose images
// are all in the engine cache (with hard links from the cache, and with copies), how long finding
// each element by a rescan of the whole element list would take for the same pages, how long the
// copies alone take by std::filesystem::copy_file, by kernel copy and by hard link, and how long
// the program waits for the engine cache's removal at its end, removed in place or set aside.
//
//   capture_bench [sizes...]

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "capture/FileWriting.h"
#include "engine/EngineCache.h"
#include "engine/Snapshot.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {
using namespace pagestow;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A front end that only counts, as a window with nothing to do would.
class CountingFrontEnd : public capture::FrontEnd {
public:
    void AddResultLine(const std::string&) override { ++results; }
    void SetStatusText(const std::string&) override { }
    void AddLogLine(const std::string&) override { }
    void PumpMessages() override { ++pumps; }
    void ShowMessage(const std::string& message) override { std::fprintf(stderr, "%s\n", message.c_str()); }
    long results = 0;
    long pumps = 0;
};

std::shared_ptr<engine::SnapshotDocument> MakePage(int images, engine::EngineCache& cache)
{
    auto page = std::make_shared<engine::SnapshotDocument>();
    page->url = "http://www.example.com/news/page.htm";
    page->characterSet = "UTF-8";
    page->serialization = "<html><body>" + std::string(size_t(images) * 30, 'x') + "</body></html>";
    page->elements = { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
    for (int i = 0; i < images; ++i) {
        std::string src = "img/" + std::to_string(i % 64) + "/p" + std::to_string(i) + ".gif";
        page->elements.push_back({ "IMG", { { "alt", "picture" }, { "src", src } }, 2 });
        cache.Store({ "http://www.example.com/news/" + src }, "GIF89a" + src);
    }
    page->body = 2;
    return page;
}

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// The element-finding work of the step as first described, over the snapshot's element list: for
// every element, a visit of every position of the list that compares it with the element's source
// index (its position), with the message pump at each visit.
double RescanSeconds(const engine::SnapshotDocument& document, capture::FrontEnd& frontEnd)
{
    auto start = Clock::now();
    long found = 0;
    const std::size_t length = document.elements.size();
    for (std::size_t wanted = 0; wanted < length; ++wanted) {
        for (std::size_t position = 0; position < document.elements.size(); ++position) {
            frontEnd.PumpMessages();
            if (position == wanted)
                ++found;
        }
    }
    double seconds = Seconds(Clock::now() - start);
    if (found != long(length))
        std::fprintf(stderr, "rescan found %ld of %zu\n", found, length);
    return seconds;
}

// The copies of a capture's files alone: n cache files of the size of the page's images.
void PrintCopyFigures(const fs::path& scratch, int files, std::uintmax_t size)
{
    fs::path source = scratch / "copy-source";
    fs::create_directories(source);
    for (int i = 0; i < files; ++i) {
        FILE* file = std::fopen((source / std::to_string(i)).c_str(), "wb");
        std::string bytes(size, char('a' + i % 26));
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    auto run = [&](const char* name, auto copy) {
        fs::path target = scratch / ("copy-" + std::string(name));
        fs::create_directories(target);
        auto start = Clock::now();
        for (int i = 0; i < files; ++i)
            copy((source / std::to_string(i)).string(), (target / (std::to_string(i) + ".gif")).string());
        double seconds = Seconds(Clock::now() - start);
        std::printf("%8d %-28s %10.3f\n", files, name, seconds);
        fs::remove_all(target);
    };
    run("std::filesystem::copy_file", [](const std::string& from, const std::string& to) {
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    });
    run("temporary + copy_file_range", [](const std::string& from, const std::string& to) {
        std::uint64_t bytes = 0;
        capture::CopyWholeFile(from, to, bytes, capture::CopyMethod::Copy);
    });
    run("temporary + hard link", [](const std::string& from, const std::string& to) {
        std::uint64_t bytes = 0;
        capture::CopyWholeFile(from, to, bytes, capture::CopyMethod::HardLink);
    });
    fs::remove_all(source);
}

// How long the end of the program waits for a cache of n files to go: remove_all in place (what
// the cache did before), and the cache's own destructor (which sets a large folder aside for rm).
void PrintRemovalFigures(const fs::path& scratch, int files)
{
    for (bool own : { false, true }) {
        fs::path folder = scratch / ("run-" + std::to_string(getpid()) + (own ? "-own" : "-inplace"));
        std::optional<engine::EngineCache> cache;
        cache.emplace(folder);
        for (int i = 0; i < files; ++i)
            cache->Store({ "http://h/" + std::to_string(i) + ".gif" }, "GIF89a");
        // The cache writes small bodies on a thread of its own, and a lookup waits for them: the
        // removal is timed once every file is on disk (and cannot race with their writing).
        (void)cache->Find("http://h/0.gif");
        auto start = Clock::now();
        if (own) {
            cache.reset();
        } else {
            fs::remove_all(folder);
        }
        double seconds = Seconds(Clock::now() - start);
        cache.reset();
        std::printf(
            "%8d %-28s %10.3f\n", files, own ? "the cache's destructor" : "remove_all in place", seconds);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes = { 1000, 4000, 16000 };
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i)
            sizes.push_back(std::atoi(argv[i]));
    }

    std::string pattern = (fs::temp_directory_path() / "pagestow-capture-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    fs::path scratch = pattern;
    setenv("PAGESTOW_CACHE_DIR", (scratch / "cache").c_str(), 1);

    std::unique_ptr<engine::EngineCache> cache = engine::EngineCache::OpenForRun();
    CountingFrontEnd frontEnd;
    std::printf("%8s %12s %12s %12s %14s %14s\n", "elements", "capture s", "(copying) s", "files",
        "rescan find s", "pumps");
    for (int size : sizes) {
        int images = size - 3;
        cache->Clear();
        std::shared_ptr<const engine::SnapshotDocument> page = MakePage(images, *cache);
        capture::CaptureSettings settings;
        settings.saveDir = (scratch / ("pages-" + std::to_string(size))).string();
        settings.cache = cache.get();
        frontEnd.results = 0;
        frontEnd.pumps = 0;

        auto start = Clock::now();
        bool accepted = capture::CapturePage(page.get(), settings, frontEnd).accepted;
        double captureSeconds = Seconds(Clock::now() - start);
        long pumps = frontEnd.pumps;
        long files = frontEnd.results - 1;
        std::error_code error;
        fs::remove_all(settings.saveDir, error);

        settings.copies = capture::CopyMethod::Copy;
        start = Clock::now();
        capture::CapturePage(page.get(), settings, frontEnd);
        double copySeconds = Seconds(Clock::now() - start);
        fs::remove_all(settings.saveDir, error);
        double rescan = RescanSeconds(*page, frontEnd);

        std::printf("%8d %12.3f %12.3f %12ld %14.3f %14ld%s\n", size, captureSeconds, copySeconds, files,
            rescan, pumps, accepted ? "" : "  (not accepted)");
    }
    cache.reset();

    std::printf("\n%8s %-28s %10s\n", "files", "copies of 64 KiB", "seconds");
    for (int files : { 1000, 10000 })
        PrintCopyFigures(scratch, files, 64 * 1024);
    std::printf("\n%8s %-28s %10s\n", "files", "engine cache at exit", "waited s");
    for (int files : { 1000, 10000 })
        PrintRemovalFigures(scratch, files);
    std::error_code error;
    fs::remove_all(scratch, error);
    return 0;
}
