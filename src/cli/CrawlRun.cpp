#include "cli/CrawlRun.h"

#include "base/Ascii.h"
#include "capture/Capture.h"
#include "capture/StylesheetResources.h"
#include "cli/WorkerPool.h"
#include "crawl/Links.h"
#include "crawl/Politeness.h"
#include "crawl/Robots.h"
#include "crawl/Scope.h"
#include "engine/static/Fetch.h"
#include "engine/static/StaticEngine.h"
#include "mapping/LocalPath.h"
#include "url/Address.h"
#include "url/Canonical.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace pagestow::cli {
namespace {

    using Clock = std::chrono::steady_clock;
    namespace fs = std::filesystem;

    // Links read from one document, and bytes read of it: a page of a million links stays bounded.
    constexpr std::size_t kMaxLinksPerDocument = 100'000;
    constexpr std::uintmax_t kMaxDocumentBytes = std::uintmax_t(64) << 20;
    constexpr std::size_t kMaxRobotsBytes = 512 * 1024;
    constexpr std::chrono::seconds kRobotsTimeout { 30 };
    // How far into the queue a page of a host that may start now is looked for, when the first
    // pages wait for their host's --wait.
    constexpr std::size_t kReadyLookahead = 256;
    // How far into the queue the pages to be asked for ahead are looked for.
    constexpr std::size_t kUpcomingLookahead = 8;

    const char* KindName(capture::SavedEntry::Kind kind)
    {
        switch (kind) {
        case capture::SavedEntry::Kind::Document:
            return "d";
        case capture::SavedEntry::Kind::Stylesheet:
            return "c";
        case capture::SavedEntry::Kind::Script:
            return "s";
        case capture::SavedEntry::Kind::Image:
            return "i";
        case capture::SavedEntry::Kind::Other:
            break;
        }
        return "o";
    }

    capture::SavedEntry::Kind KindOfName(const std::string& name)
    {
        if (name == "d")
            return capture::SavedEntry::Kind::Document;
        if (name == "c")
            return capture::SavedEntry::Kind::Stylesheet;
        if (name == "s")
            return capture::SavedEntry::Kind::Script;
        if (name == "i")
            return capture::SavedEntry::Kind::Image;
        return capture::SavedEntry::Kind::Other;
    }

    nlohmann::json SavedJson(const AddressResult& result)
    {
        nlohmann::json saved = nlohmann::json::array();
        for (const capture::SavedEntry& entry : result.saved)
            saved.push_back({ KindName(entry.kind), entry.address, entry.path, entry.earlier ? 1 : 0 });
        return saved;
    }

    void ReadSaved(const nlohmann::json& json, AddressResult& result)
    {
        if (const auto saved = json.find("saved"); saved != json.end() && saved->is_array()) {
            for (const auto& item : *saved) {
                if (!item.is_array() || item.size() != 4 || !item[0].is_string() || !item[1].is_string()
                    || !item[2].is_string())
                    continue;
                capture::SavedEntry entry;
                entry.kind = KindOfName(item[0].get<std::string>());
                entry.address = item[1].get<std::string>();
                entry.path = item[2].get<std::string>();
                entry.earlier = item[3] == 1;
                result.saved.push_back(std::move(entry));
            }
        }
        if (const auto sheets = json.find("stylesheets"); sheets != json.end() && sheets->is_array()) {
            for (const auto& sheet : *sheets) {
                if (sheet.is_string())
                    result.stylesheets.push_back(sheet.get<std::string>());
            }
        }
    }

    std::string StringField(const nlohmann::json& json, const char* name)
    {
        auto found = json.find(name);
        return found != json.end() && found->is_string() ? found->get<std::string>() : std::string();
    }

    std::string Dump(const nlohmann::json& json)
    {
        return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }

    // The host (and port) of an address, for the host clock.
    std::string HostOf(const std::string& address)
    {
        std::string site = url::OriginOf(address);
        size_t scheme = site.find("://");
        return scheme == std::string::npos ? site : site.substr(scheme + 3);
    }

    // Whether a saved document reads as markup, whose links a crawl follows.
    bool ReadsAsMarkup(const std::string& bytes)
    {
        size_t at = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
        while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at])))
            ++at;
        return at < bytes.size() && bytes[at] == '<';
    }

    std::optional<std::string> ReadDocument(const std::string& path)
    {
        std::error_code error;
        std::uintmax_t size = fs::file_size(path, error);
        if (error)
            return std::nullopt;
        std::ifstream in(path, std::ios::binary);
        std::string bytes(std::size_t(std::min(size, kMaxDocumentBytes)), '\0');
        in.read(bytes.data(), std::streamsize(bytes.size()));
        bytes.resize(std::size_t(in.gcount()));
        return bytes;
    }

    class RunnerTaker : public PageTaker {
    public:
        explicit RunnerTaker(CaptureRunner& runner)
            : m_runner(runner)
        {
        }
        bool HasRoom(bool) const override { return m_done.empty(); }
        void Upcoming(const std::vector<std::string>& addresses) override { m_runner.Prefetch(addresses); }
        void Start(std::uint64_t id, const std::string& address, bool) override
        {
            TakenPage page;
            page.id = id;
            page.result = m_runner.CaptureAddress(address);
            page.json = ResultJson(page.result);
            m_done.push_back(std::move(page));
        }
        std::vector<TakenPage> Wait(std::chrono::milliseconds) override
        {
            std::vector<TakenPage> done;
            done.swap(m_done);
            return done;
        }

    private:
        CaptureRunner& m_runner;
        std::vector<TakenPage> m_done;
    };

    class PoolTaker : public PageTaker {
    public:
        PoolTaker(WorkerPool& pool, std::size_t perWorker)
            : m_pool(pool)
            , m_perWorker(perWorker)
        {
        }
        bool HasRoom(bool ahead) const override { return LeastGiven(ahead) < m_pool.Size(); }
        void Start(std::uint64_t id, const std::string& address, bool ahead) override
        {
            std::size_t k = LeastGiven(ahead);
            if (k == m_pool.Size())
                return;
            m_addresses[id] = address;
            m_pool.Send(k, id, address);
        }
        std::vector<TakenPage> Wait(std::chrono::milliseconds timeout) override
        {
            std::vector<TakenPage> done;
            for (WorkerPool::Event& event : m_pool.Wait(timeout)) {
                TakenPage page;
                page.id = event.id;
                page.result.address = m_addresses[event.id];
                m_addresses.erase(event.id);
                if (event.lost || event.fields.size() < 5) {
                    page.result.outcome = m_stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed;
                    page.result.reason = "the worker process ended before the page was done";
                    // A page given ahead to a worker stopped by an interrupt was never started: it
                    // says nothing (and is taken again by --continue).
                    if (std::string line = ErrorLine(page.result); !line.empty())
                        page.err = line + "\n";
                    page.json = ResultJson(page.result);
                } else {
                    int outcome = std::atoi(event.fields[0].c_str());
                    if (outcome < 0 || outcome > int(AddressOutcome::Interrupted))
                        outcome = int(AddressOutcome::Failed);
                    page.result.outcome = AddressOutcome(outcome);
                    page.out = std::move(event.fields[1]);
                    page.err = std::move(event.fields[2]);
                    page.json = std::move(event.fields[3]);
                    DecodePageRecord(event.fields[4], page.result);
                }
                done.push_back(std::move(page));
            }
            return done;
        }
        void Stop() override
        {
            m_stopped = true;
            m_pool.Stop();
        }

    private:
        // The worker with the fewest tasks that has room for one more (without ahead, an idle one);
        // Size() when none has.
        std::size_t LeastGiven(bool ahead) const
        {
            std::size_t chosen = m_pool.Size();
            for (std::size_t k = 0; k < m_pool.Size(); ++k) {
                std::size_t given = m_pool.Given(k);
                if (given < (ahead ? m_perWorker : 1) && (chosen == m_pool.Size() || given < m_pool.Given(chosen)))
                    chosen = k;
            }
            return chosen;
        }

        WorkerPool& m_pool;
        std::size_t m_perWorker;
        std::map<std::uint64_t, std::string> m_addresses;
        bool m_stopped = false;
    };

} // namespace

std::unique_ptr<PageTaker> MakeRunnerTaker(CaptureRunner& runner)
{
    return std::make_unique<RunnerTaker>(runner);
}

std::unique_ptr<PageTaker> MakePoolTaker(WorkerPool& pool, std::size_t perWorker)
{
    return std::make_unique<PoolTaker>(pool, std::max<std::size_t>(perWorker, 1));
}

std::string EncodePageRecord(const AddressResult& result)
{
    nlohmann::json json { { "final", result.finalAddress }, { "page", result.pageFile },
        { "saved", SavedJson(result) }, { "stylesheets", result.stylesheets }, { "status", result.httpStatus },
        { "retry_after", result.retryAfter } };
    return Dump(json);
}

bool DecodePageRecord(const std::string& text, AddressResult& result)
{
    nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object())
        return false;
    result.finalAddress = StringField(json, "final");
    result.pageFile = StringField(json, "page");
    result.httpStatus = json.value("status", 0);
    result.retryAfter = StringField(json, "retry_after");
    ReadSaved(json, result);
    return true;
}

std::string CrawlStartAddress(const std::string& typed)
{
    std::string address = url::Canonicalize(typed);
    return address.empty() ? url::Canonicalize("http://" + typed) : address;
}

std::string CrawlFolder(const std::string& saveDir, const std::string& start, bool resume, std::string& error)
{
    std::string dir = saveDir.empty() || saveDir.back() == '/' ? saveDir : saveDir + "/";
    if (resume) {
        std::vector<std::string> names;
        std::error_code listError;
        for (const auto& entry : fs::directory_iterator(dir, listError)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("qzwd_", 0) != 0)
                continue;
            std::ifstream state(entry.path() / kCrawlStateFile);
            std::string first;
            if (!state || !std::getline(state, first))
                continue;
            nlohmann::json head = nlohmann::json::parse(first, nullptr, false);
            if (head.is_object() && StringField(head, "start") == start)
                names.push_back(name);
        }
        if (!names.empty())
            return *std::max_element(names.begin(), names.end());
    }
    std::vector<capture::WriteFailure> failures;
    std::string folder = capture::ClaimCaptureFolder(dir, failures);
    if (!failures.empty()) {
        error = "cannot make the capture folder " + failures.front().path + ": " + failures.front().reason;
        return {};
    }
    return folder;
}

struct CrawlRun::State {
    const CliOptions& options;
    capture::CaptureSettings settings;
    engine::RequestOptions requests;
    const std::atomic<bool>* interrupted;
    std::ostream& out;
    std::ostream& err;

    struct Queued {
        std::string address;
        int depth = 0;
    };
    std::optional<crawl::Scope> scope;
    std::unique_ptr<crawl::HostClock> clock;
    std::map<std::string, crawl::RobotsRules> robots;
    std::deque<Queued> queue;
    std::unordered_set<std::string> seen;
    // Pages that asked to be tried again later (Retry-After), each once.
    std::unordered_set<std::string> retried;
    std::map<std::uint64_t, Queued> underWay;
    std::uint64_t nextId = 0;
    std::size_t taken = 0;
    std::size_t saved = 0;
    std::size_t failed = 0;
    std::size_t excluded = 0;
    std::size_t sameFile = 0;
    std::unordered_set<std::string> pageFiles;
    ExitStatus status;
    bool stopped = false;
    // What the offline copy of the whole crawl is written from.
    std::vector<capture::SavedEntry> files;
    std::unordered_set<std::string> filePaths;
    std::set<std::string> stylesheets;
    std::vector<std::pair<std::string, std::string>> redirected;
    std::string startAddress;
    std::string startPageFile;
    base::UniqueFd journal;

    bool Interrupted() const { return interrupted && interrupted->load(); }
    std::string CapturePath() const
    {
        std::string dir = settings.saveDir;
        if (!dir.empty() && dir.back() != '/')
            dir += '/';
        return dir + settings.captureFolder;
    }

    // One line of the state file, written with one call so that a line is whole or the last one cut.
    void Journal(const nlohmann::json& line)
    {
        if (!journal)
            return;
        WriteAllTo(journal.Get(), Dump(line) + "\n");
    }

    // Pages whose addresses differ only where the folder tree does not look (the query) would be
    // saved to one file, the later over the earlier: a page is taken only when its file is its own.
    bool ClaimPageFile(const std::string& address)
    {
        return pageFiles.insert(base::LowerAscii(mapping::DocumentFile(settings.saveDir, settings.captureFolder, address)))
            .second;
    }

    void Enqueue(const std::string& address, int depth)
    {
        if (!seen.insert(address).second)
            return;
        queue.push_back({ address, depth });
        Journal({ { "queued", address }, { "depth", depth } });
    }

    // Removes the files a page wrote itself (not those it found from earlier pages), and the folders
    // that leaves empty.
    void RemoveOwnFiles(AddressResult& result) const
    {
        fs::path root = fs::path(CapturePath()).lexically_normal();
        for (const capture::SavedEntry& entry : result.saved) {
            std::error_code ignored;
            if (entry.earlier || !fs::remove(entry.path, ignored))
                continue;
            for (fs::path folder = fs::path(entry.path).parent_path().lexically_normal();
                 folder != root && folder.string().rfind(root.string(), 0) == 0 && fs::remove(folder, ignored);
                 folder = folder.parent_path()) { }
        }
        result.saved.clear();
    }

    // A document that is no markup (a PDF the built-in engine saved as served) is a file of the
    // crawl: it gets no offline copy and is not read for links.
    static void MarkFiles(AddressResult& result)
    {
        for (capture::SavedEntry& entry : result.saved) {
            if (entry.kind != capture::SavedEntry::Kind::Document || entry.earlier)
                continue;
            std::string head(512, '\0');
            std::ifstream in(entry.path, std::ios::binary);
            in.read(head.data(), std::streamsize(head.size()));
            head.resize(std::size_t(in.gcount()));
            if (crawl::LooksLikeFile(entry.address) || !ReadsAsMarkup(head))
                entry.kind = capture::SavedEntry::Kind::Other;
        }
    }

    // The files of one page taken, entered for the offline copy of the crawl.
    void TakeFiles(const AddressResult& result)
    {
        for (const capture::SavedEntry& entry : result.saved) {
            if (filePaths.insert(entry.path).second)
                files.push_back(entry);
            if (entry.kind == capture::SavedEntry::Kind::Document)
                seen.insert(url::Canonicalize(entry.address));
        }
        stylesheets.insert(result.stylesheets.begin(), result.stylesheets.end());
        if (!result.finalAddress.empty())
            seen.insert(url::Canonicalize(result.finalAddress));
        std::string requested = url::Canonicalize(result.address);
        if (!result.pageFile.empty() && !requested.empty() && requested != url::Canonicalize(result.finalAddress))
            redirected.emplace_back(requested, result.pageFile);
        if (result.address == startAddress && startPageFile.empty())
            startPageFile = result.pageFile;
    }

    void QueueLinks(const AddressResult& result, int depth)
    {
        for (const capture::SavedEntry& entry : result.saved) {
            if (entry.kind != capture::SavedEntry::Kind::Document || entry.earlier)
                continue;
            std::optional<std::string> bytes = ReadDocument(entry.path);
            if (!bytes)
                continue;
            for (const crawl::PageLink& link : crawl::ExtractLinks(*bytes, entry.address, kMaxLinksPerDocument)) {
                if (seen.count(link.address) != 0)
                    continue;
                if (scope->Judge(link.address, depth + 1) != crawl::Verdict::Follow)
                    continue;
                if (!ClaimPageFile(link.address)) {
                    seen.insert(link.address);
                    ++sameFile;
                    if (options.verbose)
                        err << "pagestow-cli: " << link.address << ": not taken: another page of the crawl has its file\n";
                    continue;
                }
                Enqueue(link.address, depth + 1);
            }
        }
    }

    const crawl::RobotsRules& RobotsFor(const std::string& address)
    {
        std::string site = url::OriginOf(address);
        auto found = robots.find(site);
        if (found != robots.end())
            return found->second;
        std::string agent = requests.userAgent.empty() ? std::string(engine::kStaticUserAgent) : requests.userAgent;
        engine::FetchedText fetched
            = engine::FetchText(site + "/robots.txt", requests, kMaxRobotsBytes, kRobotsTimeout);
        const crawl::RobotsRules& rules
            = robots.emplace(site, crawl::RulesForAnswer(fetched.status, fetched.body, agent)).first->second;
        // A site's Crawl-delay holds where it is longer than --wait.
        if (std::optional<double> delay = rules.CrawlDelay())
            clock->SetHostWait(HostOf(address), std::chrono::milliseconds(std::llround(std::min(*delay, 3600.0) * 1000)));
        return rules;
    }

    // The next queued page that may start now: the first whose host's wait is over; nullopt, with
    // wakeAt set, when every page looked at waits.
    std::optional<Queued> NextReady(Clock::time_point& wakeAt)
    {
        auto now = Clock::now();
        wakeAt = Clock::time_point::max();
        std::size_t looked = 0;
        for (auto it = queue.begin(); it != queue.end() && looked < kReadyLookahead; ++it, ++looked) {
            auto ready = clock->NextStart(HostOf(it->address), now);
            if (ready <= now) {
                Queued page = std::move(*it);
                queue.erase(it);
                return page;
            }
            wakeAt = std::min(wakeAt, ready);
        }
        return std::nullopt;
    }

    // The page starting now and, in order, those to be started after it that may be asked for ahead:
    // those the page limit leaves, whose host need not be waited for and whose robots.txt is read and
    // allows them. forFiles: those the taker of files takes (or the others).
    std::vector<std::string> Upcoming(const std::string& starting, bool forFiles, bool filesApart)
    {
        std::vector<std::string> upcoming { starting };
        auto now = Clock::now();
        std::size_t looked = 0;
        for (auto it = queue.begin(); it != queue.end() && looked < kUpcomingLookahead; ++it, ++looked) {
            if (taken + upcoming.size() - 1 >= options.crawl.pageLimit)
                break;
            if (filesApart && crawl::LooksLikeFile(it->address) != forFiles)
                continue;
            if (clock->NextStart(HostOf(it->address), now) > now)
                continue;
            if (options.crawl.robots) {
                auto rules = robots.find(url::OriginOf(it->address));
                if (rules == robots.end() || !rules->second.Allows(crawl::RobotsPath(it->address)))
                    continue;
            }
            upcoming.push_back(it->address);
        }
        return upcoming;
    }

    void PrintProgress()
    {
        if (options.quiet || !(options.verbose || ::isatty(STDERR_FILENO)))
            return;
        err << "pagestow-cli: crawl: " << saved << " saved, " << queue.size() + underWay.size() << " queued, "
            << failed << " failed\n"
            << std::flush;
    }

    void Ended(TakenPage& page)
    {
        auto found = underWay.find(page.id);
        if (found == underWay.end())
            return;
        Queued queued = std::move(found->second);
        underWay.erase(found);
        out << page.out;
        err << page.err;
        out.flush();
        err.flush();
        AddressResult& result = page.result;
        if (result.outcome == AddressOutcome::Interrupted) {
            if (options.json && !page.json.empty())
                out << page.json << '\n' << std::flush;
            // Not done: --continue takes it again.
            status.Add(result.outcome);
            queue.push_front(queued);
            return;
        }
        bool kept = result.outcome == AddressOutcome::Captured || result.outcome == AddressOutcome::Incomplete;
        if (kept && result.httpStatus >= 400) {
            // An error page is no page of the site (wget keeps none either): its own files go. A 429 or
            // 503 that asks to come back later is waited out once.
            RemoveOwnFiles(result);
            std::optional<std::chrono::seconds> retry;
            if ((result.httpStatus == 429 || result.httpStatus == 503) && retried.insert(queued.address).second)
                retry = crawl::ParseRetryAfter(result.retryAfter, std::chrono::system_clock::now());
            if (retry) {
                err << "pagestow-cli: " << queued.address << ": the server answered " << result.httpStatus
                    << "; tried again in " << retry->count() << " s (Retry-After)\n";
                clock->HoldUntil(HostOf(queued.address), Clock::now() + *retry);
                --taken;
                queue.push_front(std::move(queued));
                return;
            }
            result.outcome = AddressOutcome::Failed;
            result.reason = "the server answered " + std::to_string(result.httpStatus) + "; the page is not kept";
            err << ErrorLine(result) << "\n" << std::flush;
            page.json = ResultJson(result);
            kept = false;
        }
        if (options.json && !page.json.empty())
            out << page.json << '\n' << std::flush;
        status.Add(result.outcome);
        (kept ? saved : failed) += 1;
        if (kept) {
            MarkFiles(result);
            TakeFiles(result);
            QueueLinks(result, queued.depth);
        }
        nlohmann::json line { { "done", queued.address }, { "outcome", OutcomeName(result.outcome) } };
        if (kept) {
            line["final"] = result.finalAddress;
            line["page"] = result.pageFile;
            line["saved"] = SavedJson(result);
            line["stylesheets"] = result.stylesheets;
        }
        Journal(line);
        PrintProgress();
    }

    // Replays the state file of an earlier run: what it queued and took, so that this run goes on
    // from there. A last line cut short is left out.
    void Replay(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<Queued> queued;
        std::unordered_set<std::string> done;
        for (std::string line; std::getline(in, line);) {
            if (in.eof())
                break; // no line end: cut short
            nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
            if (!json.is_object())
                continue;
            if (std::string address = StringField(json, "queued"); !address.empty()) {
                int depth = json.value("depth", 0);
                queued.push_back({ address, depth });
                continue;
            }
            std::string address = StringField(json, "done");
            if (address.empty())
                continue;
            std::string outcome = StringField(json, "outcome");
            if (outcome == "saved" || outcome == "incomplete") {
                done.insert(address);
                AddressResult result;
                result.address = address;
                result.finalAddress = StringField(json, "final");
                result.pageFile = StringField(json, "page");
                ReadSaved(json, result);
                TakeFiles(result);
                ++saved;
                ++taken;
            } else if (outcome == "robots") {
                done.insert(address);
            }
        }
        for (Queued& page : queued) {
            seen.insert(page.address);
            ClaimPageFile(page.address);
        }
        for (Queued& page : queued) {
            if (!done.count(page.address))
                queue.push_back(std::move(page));
        }
    }

    void WriteOfflineCopy()
    {
        std::vector<capture::SavedEntry> ordered;
        // The start page's document first: its copy is the file the last line names.
        for (const capture::SavedEntry& entry : files) {
            if (entry.path == startPageFile)
                ordered.push_back(entry);
        }
        for (const capture::SavedEntry& entry : files) {
            if (entry.path != startPageFile)
                ordered.push_back(entry);
        }
        capture::SharedOfflineCopy written = capture::WriteSharedOfflineCopy(CapturePath(), ordered,
            std::vector<std::string>(stylesheets.begin(), stylesheets.end()), redirected, settings.KeepsScripts(),
            [this] {
                if (Interrupted())
                    throw capture::CaptureInterrupted();
            });
        if (!options.quiet) {
            for (const auto& copy : written.copies)
                out << capture::OfflineCopyReportLine(copy) << '\n';
        }
        for (const auto& failure : written.failures) {
            err << "pagestow-cli: could not write " << failure.path << ": " << failure.reason << "\n";
            status.Add(AddressOutcome::Incomplete);
        }
        if (!written.page.empty() && !options.quiet)
            out << capture::OfflineCopyLine(written.page) << '\n';
        out.flush();
    }
};

CrawlRun::CrawlRun(const CliOptions& options, const capture::CaptureSettings& settings,
    const engine::RequestOptions& requests, const std::atomic<bool>* interrupted, std::ostream& out,
    std::ostream& err)
    : m_state(std::make_unique<State>(options, settings, requests, interrupted, out, err))
{
}

CrawlRun::~CrawlRun() = default;

int CrawlRun::Run(const std::string& start, PageTaker& taker, PageTaker* fileTaker)
{
    State& state = *m_state;
    const CliOptions::Crawl& options = state.options.crawl;
    std::string startAddress = CrawlStartAddress(start);
    if (startAddress.empty() || (startAddress.rfind("http://", 0) != 0 && startAddress.rfind("https://", 0) != 0)) {
        state.err << "pagestow-cli: " << start << ": a crawl starts from an http or https address\n";
        return 2;
    }
    state.startAddress = startAddress;

    crawl::ScopeOptions scope;
    scope.start = startAddress;
    scope.noParent = options.noParent;
    scope.spanHosts = options.spanHosts;
    scope.domains = options.domains;
    scope.acceptRegex = options.acceptRegex;
    scope.rejectRegex = options.rejectRegex;
    scope.maxLevel = options.level;
    std::string scopeError;
    state.scope = crawl::Scope::Make(scope, scopeError);
    if (!state.scope) {
        state.err << "pagestow-cli: " << scopeError << "\n";
        return 2;
    }
    state.clock = std::make_unique<crawl::HostClock>(options.wait, options.randomWait);

    std::string statePath = state.CapturePath() + "/" + kCrawlStateFile;
    bool resumed = options.resume && fs::exists(statePath);
    if (resumed)
        state.Replay(statePath);
    state.journal = base::UniqueFd(::open(statePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!state.journal) {
        state.err << "pagestow-cli: cannot write " << statePath << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    if (!resumed) {
        state.Journal({ { "start", startAddress }, { "version", 1 } });
        state.ClaimPageFile(startAddress);
        state.Enqueue(startAddress, 0);
    } else if (state.seen.empty()) {
        state.Enqueue(startAddress, 0);
    }

    while (true) {
        if (state.Interrupted() && !state.stopped) {
            state.stopped = true;
            taker.Stop();
            if (fileTaker)
                fileTaker->Stop();
        }
        bool started = false;
        Clock::time_point wakeAt = Clock::time_point::max();
        while (!state.stopped && state.taken < options.pageLimit && !state.queue.empty()) {
            std::optional<State::Queued> page = state.NextReady(wakeAt);
            if (!page)
                break;
            bool file = fileTaker && crawl::LooksLikeFile(page->address);
            PageTaker& chosen = file ? *fileTaker : taker;
            if (options.robots && !state.RobotsFor(page->address).Allows(crawl::RobotsPath(page->address))) {
                ++state.excluded;
                if (state.options.verbose)
                    state.err << "pagestow-cli: " << page->address << ": excluded by robots.txt\n";
                state.Journal({ { "done", page->address }, { "outcome", "robots" } });
                continue;
            }
            // Read after robots.txt, whose Crawl-delay paces the host from its first page on.
            const bool ahead = !state.clock->Paces(HostOf(page->address));
            if (!chosen.HasRoom(ahead)) {
                state.queue.push_front(std::move(*page));
                break;
            }
            std::uint64_t id = state.nextId++;
            state.clock->Started(HostOf(page->address), Clock::now());
            state.underWay[id] = *page;
            ++state.taken;
            started = true;
            chosen.Upcoming(state.Upcoming(page->address, file, fileTaker != nullptr));
            chosen.Start(id, page->address, ahead);
            for (PageTaker* each : { &taker, fileTaker }) {
                if (!each)
                    continue;
                for (TakenPage& ended : each->Wait(std::chrono::milliseconds(0)))
                    state.Ended(ended);
            }
            if (state.Interrupted())
                break;
        }
        if (state.underWay.empty()
            && (state.stopped || state.queue.empty() || state.taken >= options.pageLimit)) {
            if (!state.Interrupted() || state.stopped)
                break;
            continue;
        }
        auto timeout = std::chrono::milliseconds(100);
        if (state.underWay.empty() && wakeAt != Clock::time_point::max()) {
            auto until = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - Clock::now());
            timeout = std::clamp(until, std::chrono::milliseconds(1), std::chrono::milliseconds(100));
            std::this_thread::sleep_for(timeout);
            continue;
        }
        if (started && state.underWay.empty())
            continue;
        for (PageTaker* each : { &taker, fileTaker }) {
            if (!each)
                continue;
            auto waitFor = each == &taker && fileTaker ? std::chrono::milliseconds(50) : timeout;
            for (TakenPage& ended : each->Wait(waitFor))
                state.Ended(ended);
        }
    }

    bool interrupted = state.stopped || state.Interrupted();
    if (!interrupted && state.options.offlineCopy) {
        try {
            state.WriteOfflineCopy();
        } catch (const capture::CaptureInterrupted&) {
            interrupted = true;
        }
    }
    if (!state.options.quiet) {
        state.err << "pagestow-cli: crawl: " << state.saved << (state.saved == 1 ? " page" : " pages") << " saved, "
                  << state.failed << " failed";
        if (state.excluded)
            state.err << ", " << state.excluded << " excluded by robots.txt";
        if (state.sameFile)
            state.err << ", " << state.sameFile << " not taken for another page's file";
        if (!state.queue.empty())
            state.err << ", " << state.queue.size() << " left in the queue"
                      << (state.taken >= options.pageLimit ? " (--page-limit)" : "");
        state.err << "\n" << std::flush;
    }
    if (interrupted)
        state.status.Add(AddressOutcome::Interrupted);
    return state.status.Value();
}

} // namespace pagestow::cli
