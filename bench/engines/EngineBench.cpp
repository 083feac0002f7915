// How long each page engine built here takes to capture a page of 120 images, half of them on a
// second host, when every request is answered after 40 ms: engine start, load (navigation to the
// top-level completion) and capture (CapturePage) timed apart, over several runs.
//
//   engine_bench [--images N] [--latency MS] [--runs R] [--engines static,chromium,webkit]
//
// The WebKit engine needs a display (run under xvfb-run); an engine that cannot run is reported as
// skipped.

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "cli/EngineTable.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace pagestow;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Counts what the capture saved; pumping lets the engine run as the window's message loop does.
class CountingFrontEnd : public capture::FrontEnd {
public:
    explicit CountingFrontEnd(engine::PageEngine& pageEngine)
        : m_engine(pageEngine)
    {
    }
    void AddResultLine(const std::string&) override { ++results; }
    void SetStatusText(const std::string&) override { }
    void AddLogLine(const std::string&) override { }
    void PumpMessages() override { m_engine.ProcessEvents(std::chrono::milliseconds(0)); }
    void ShowMessage(const std::string& message) override
    {
        std::fprintf(stderr, "message: %s\n", message.c_str());
    }
    int results = 0;

private:
    engine::PageEngine& m_engine;
};

// A valid PNG of its own for every image: a 1 x 1 picture, then bytes after its end that decoders
// skip, so that no two share a body.
std::string Picture(int number)
{
    std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                      "\0\0\0\rIDATx\x9c"
                      "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
        67);
    bytes += "picture " + std::to_string(number) + " ";
    bytes.resize(bytes.size() + 2048, char('a' + number % 26));
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    int images = 120;
    int latencyMs = 40;
    int runs = 3;
    std::string engines = "static,chromium,webkit";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--images")
            images = std::max(2, std::atoi(argv[i + 1]));
        else if (name == "--latency")
            latencyMs = std::max(0, std::atoi(argv[i + 1]));
        else if (name == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--engines")
            engines = argv[i + 1];
    }

    testing::TestServer first("127.0.0.1");
    testing::TestServer second("127.0.0.2");
    std::string page = "<!DOCTYPE html><html><head><title>Pictures</title></head><body>\n";
    for (int i = 0; i < images; ++i) {
        testing::TestServer& host = i % 2 == 0 ? first : second;
        std::string path = "/pictures/p" + std::to_string(i) + ".png";
        host.Serve(path, Picture(i), "image/png");
        page += "<img src=\"" + (i % 2 == 0 ? path.substr(path.rfind('/') + 1) : host.Url(path)) + "\">\n";
    }
    page += "</body></html>\n";
    first.Serve("/pictures/index.html", page);
    first.SetLatency(std::chrono::milliseconds(latencyMs));
    second.SetLatency(std::chrono::milliseconds(latencyMs));
    std::string address = first.Url("/pictures/index.html");

    std::printf("capture of a page of %d images (%d on each of two hosts), %d ms per request, %d runs\n",
        images, images / 2, latencyMs, runs);
    std::printf(
        "%-9s %9s %12s %12s %12s %7s\n", "engine", "start s", "load s", "capture s", "total s", "files");

    std::stringstream list(engines);
    for (std::string name; std::getline(list, name, ',');) {
        auto start = Clock::now();
        std::string missing;
        auto pageEngine = cli::StartEngine(name, missing);
        double startSeconds = Seconds(start);
        if (!pageEngine) {
            std::printf("%-9s skipped: %s\n", name.c_str(), missing.c_str());
            continue;
        }
        bool complete = false;
        pageEngine->SetDocumentCompleteHandler(
            [&](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
                if (completion == engine::PageEngine::Completion::TopLevel)
                    complete = true;
            });
        CountingFrontEnd frontEnd(*pageEngine);

        std::vector<double> loads;
        std::vector<double> captures;
        std::vector<double> totals;
        int saved = 0;
        for (int run = 0; run < runs; ++run) {
            testing::TemporaryFolder folder;
            capture::CaptureSettings settings;
            settings.saveDir = folder.Path().string();
            settings.cache = &pageEngine->Cache();
            pageEngine->Cache().Clear();
            frontEnd.results = 0;
            complete = false;
            auto loadStart = Clock::now();
            pageEngine->Navigate(address);
            while (!complete && Seconds(loadStart) < 120)
                pageEngine->ProcessEvents(std::chrono::milliseconds(20));
            loads.push_back(Seconds(loadStart));
            auto captureStart = Clock::now();
            bool accepted
                = complete && capture::CapturePage(pageEngine->Document().get(), settings, frontEnd).accepted;
            captures.push_back(Seconds(captureStart));
            totals.push_back(Seconds(loadStart));
            saved = accepted ? int(testing::ListFiles(folder.Path()).size()) : 0;
        }
        pageEngine->SetDocumentCompleteHandler(nullptr);
        std::printf("%-9s %9.2f %5.2f (%4.2f) %5.2f (%4.2f) %5.2f (%4.2f) %7d\n", name.c_str(), startSeconds,
            Median(loads), *std::min_element(loads.begin(), loads.end()), Median(captures),
            *std::min_element(captures.begin(), captures.end()), Median(totals),
            *std::min_element(totals.begin(), totals.end()), saved);
        std::fflush(stdout);
    }
    std::printf("load, capture and total: median of the runs (fastest in brackets); files: the page and its "
                "images saved in the last run\n");
    return 0;
}
