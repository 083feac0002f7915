#pragma once

#include "capture/CaptureRecord.h"
#include "cli/CaptureRunner.h"
#include "cli/CliOptions.h"
#include "engine/RequestOptions.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace pagestow::cli {

class WorkerPool;

// One page a crawl took, as the page taker hands it back.
struct TakenPage {
    std::uint64_t id = 0;
    AddressResult result;
    // What a worker printed for the page (the in-process taker prints as it goes), and the page's
    // result as a line of JSON.
    std::string out;
    std::string err;
    std::string json;
};

// Takes the pages of a crawl: in this process, one at a time, or in worker processes, several at once.
class PageTaker {
public:
    virtual ~PageTaker() = default;
    // Whether a page can be started now; with ahead, also by a worker that has one under way (the page
    // then starts after it), which the pages of a host that is waited for between pages never are.
    virtual bool HasRoom(bool ahead) const = 0;
    virtual void Start(std::uint64_t id, const std::string& address, bool ahead) = 0;
    // The page it is to start next and, in order, those after it as far as the crawl knows them now: it
    // may have them asked for ahead.
    virtual void Upcoming(const std::vector<std::string>& addresses) { (void)addresses; }
    // The pages that ended, waiting up to timeout for one.
    virtual std::vector<TakenPage> Wait(std::chrono::milliseconds timeout) = 0;
    // Ends the pages under way as interrupted.
    virtual void Stop() { }
};

// Takes each page with runner, in this process.
std::unique_ptr<PageTaker> MakeRunnerTaker(CaptureRunner& runner);
// Takes pages with the crawl workers of pool, giving each worker up to perWorker pages at once (the
// one under way and those it may ask for ahead).
std::unique_ptr<PageTaker> MakePoolTaker(WorkerPool& pool, std::size_t perWorker = 1);

// The reply field of a crawl worker: what the crawl needs of the page beyond its printed lines.
std::string EncodePageRecord(const AddressResult& result);
bool DecodePageRecord(const std::string& text, AddressResult& result);

// The start address as the crawl keys it: canonical, http:// taken for an address without a scheme
// as the engines take it; "" when it is none.
std::string CrawlStartAddress(const std::string& typed);

// The crawl's state file in its capture folder.
inline constexpr const char* kCrawlStateFile = ".pagestow-crawl";

// Finds or makes the capture folder of a crawl from start in saveDir: with resume, the newest one whose
// state file names the same start address; otherwise a fresh one. "" with error set when none can be had.
std::string CrawlFolder(const std::string& saveDir, const std::string& start, bool resume, std::string& error);

// A crawl from one start address: the queue, the scope and robots.txt rules, the host clock, the state
// file and, with the offline copy, the copies of every page written once the crawl knows which pages it
// saved. The pages are taken by a page taker into one capture folder.
class CrawlRun {
public:
    // settings are the capture's (their captureFolder the crawl's); requests what the engine sends.
    CrawlRun(const CliOptions& options, const capture::CaptureSettings& settings,
        const engine::RequestOptions& requests, const std::atomic<bool>* interrupted, std::ostream& out,
        std::ostream& err);
    ~CrawlRun();
    CrawlRun(const CrawlRun&) = delete;
    CrawlRun& operator=(const CrawlRun&) = delete;

    // Crawls from start with taker (files by their extension with fileTaker, when given); the exit
    // status: 0 when every page taken was saved whole, 1 when any failed or a file could not be written,
    // 2 for a start address or scope that cannot be used, 130 when interrupted.
    int Run(const std::string& start, PageTaker& taker, PageTaker* fileTaker);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace pagestow::cli
