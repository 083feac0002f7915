#include "engine/MemoryWatch.h"
#include "base/ProcFile.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pagestow::engine {
namespace {

    // The parent in /proc/<pid>/stat: the field after the state, after the parenthesised name
    // (which may itself hold blanks and parentheses).
    pid_t ParentOf(pid_t pid)
    {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
        const std::string stat = base::ReadProcFile(path);
        const auto close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size())
            return 0;
        // ") S 1234 ..."
        return pid_t(std::strtol(stat.c_str() + close + 4, nullptr, 10));
    }

    // The proportional set size in bytes from /proc/<pid>/smaps_rollup; 0 when it cannot be read.
    std::uint64_t ProportionalBytes(pid_t pid)
    {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/smaps_rollup", int(pid));
        const std::string rollup = base::ReadProcFile(path);
        constexpr std::string_view kField = "\nPss:";
        const auto at = rollup.find(kField);
        if (at == std::string::npos)
            return 0;
        return std::strtoull(rollup.c_str() + at + kField.size(), nullptr, 10) * 1024;
    }

    // The resident size in bytes that a process's own growth shows in: its anonymous pages and the
    // shared memory it maps (a renderer's tiles and the buffers it hands the browser), from
    // /proc/<pid>/status (one small read). 0 when the process is gone.
    std::uint64_t ResidentBytes(pid_t pid)
    {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
        const std::string status = base::ReadProcFile(path);
        std::uint64_t kilobytes = 0;
        for (std::string_view field : { std::string_view("\nRssAnon:"), std::string_view("\nRssShmem:") }) {
            const auto at = status.find(field);
            if (at != std::string::npos)
                kilobytes += std::strtoull(status.c_str() + at + field.size(), nullptr, 10);
        }
        return kilobytes * 1024;
    }

    // The numbers of every process now running, from one listing of /proc.
    std::vector<pid_t> RunningProcesses()
    {
        std::vector<pid_t> running;
        std::error_code error;
        for (auto it = std::filesystem::directory_iterator("/proc", error);
             !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
                running.push_back(pid_t(std::atoi(name.c_str())));
        }
        return running;
    }

    // Places each process once, when it first shows in /proc: below root when its parent is root
    // or below it. Root itself is never a member.
    class TreePlacer {
    public:
        explicit TreePlacer(pid_t root)
            : m_root(root)
        {
        }

        // Places every process of running not yet placed and forgets those gone; the processes that
        // joined the tree now.
        std::vector<pid_t> Place(const std::vector<pid_t>& running)
        {
            std::vector<pid_t> joinedNow;
            std::unordered_map<pid_t, bool> still;
            still.reserve(running.size());
            auto placedAs = [&](pid_t pid) -> const bool* {
                if (auto current = still.find(pid); current != still.end())
                    return &current->second;
                if (auto before = m_placed.find(pid); before != m_placed.end())
                    return &before->second;
                return nullptr;
            };
            for (pid_t pid : running) {
                if (const bool* known = placedAs(pid)) {
                    still.emplace(pid, *known);
                    continue;
                }
                // Up the parents to one already placed (a parent listed after its child when the
                // numbers wrapped round is placed on the way).
                std::vector<pid_t> chain { pid };
                bool member = false;
                for (pid_t at = ParentOf(pid); chain.size() < 64; at = ParentOf(at)) {
                    if (at == m_root) {
                        member = true;
                        break;
                    }
                    if (at <= 1)
                        break;
                    if (const bool* known = placedAs(at)) {
                        member = *known;
                        break;
                    }
                    chain.push_back(at);
                }
                for (pid_t joined : chain) {
                    const bool isMember = member && joined != m_root;
                    still[joined] = isMember;
                    if (isMember)
                        joinedNow.push_back(joined);
                }
            }
            m_placed = std::move(still);
            return joinedNow;
        }

        // Whether pid was running at the last Place() and is below root.
        bool Member(pid_t pid) const
        {
            auto found = m_placed.find(pid);
            return found != m_placed.end() && found->second;
        }

        void Clear() { m_placed.clear(); }

    private:
        pid_t m_root;
        std::unordered_map<pid_t, bool> m_placed;
    };

    // The processes the watch counts during one load, and the estimate of what they use.
    //
    // The members are the processes this process started and theirs (TreePlacer). A member's
    // proportional set size is read when it joins and again every kFullEvery (it costs a walk of its
    // page tables); in between, the estimate adds what its anonymous and shared memory grew since,
    // one small read per member. A bomb page grows by hundreds of megabytes a second, so the
    // estimate is taken often and a process started meanwhile counts from its first tick.
    //
    // The walk of the page tables is what the watch costs: 6 ms for a browser process of a few hundred
    // megabytes, most of the watch's time on a page of a thousand images. So the sizes are read every
    // kFullEvery only while the estimate is in the top quarter of the limit; below it, every
    // kFullEverySettled and on the tick after a member left (its shared pages now count for the
    // others). Between reads the estimate adds resident growth, which counts shared pages whole and so
    // errs high.
    class ProcessTally {
    public:
        explicit ProcessTally(std::uint64_t limit)
            : m_nearLimit(limit - limit / 4)
            , m_placer(getpid())
        {
        }

        // A new load: growth counts from here, for every process.
        void Rebase()
        {
            m_members.clear();
            m_placer.Clear();
            m_lastFull = std::chrono::steady_clock::now();
            m_lastEstimate = 0;
            m_memberLeft = false;
        }

        struct Reading {
            std::uint64_t estimate = 0;
            // The member that grew most since it joined (0 when there is none).
            pid_t grewMost = 0;
        };

        // Takes in the processes that joined, drops those that left, and estimates them all.
        Reading Tick()
        {
            const bool full = FullReadDue();
            for (pid_t joined : m_placer.Place(RunningProcesses())) {
                const std::uint64_t proportional = ProportionalBytes(joined);
                m_members[joined] = Member { proportional, ResidentBytes(joined), proportional };
            }
            Reading reading;
            std::uint64_t mostGrowth = 0;
            for (auto it = m_members.begin(); it != m_members.end();) {
                if (!m_placer.Member(it->first)) {
                    it = m_members.erase(it);
                    m_memberLeft = true;
                    continue;
                }
                const std::uint64_t bytes = Estimate(it->first, it->second, full);
                reading.estimate += bytes;
                // Growth, not size, names the process to end: a browser's main process maps the most
                // (and ending it takes every other with it), a page's renderer is the one that grows.
                const std::uint64_t growth = bytes > it->second.joined ? bytes - it->second.joined : 0;
                if (reading.grewMost == 0 || growth > mostGrowth) {
                    reading.grewMost = it->first;
                    mostGrowth = growth;
                }
                ++it;
            }
            m_lastEstimate = reading.estimate;
            return reading;
        }

        void Forget(pid_t pid) { m_members.erase(pid); }

    private:
        struct Member {
            std::uint64_t proportional = 0;
            std::uint64_t resident = 0;
            // The proportional set size when it joined: the process that grew most is the one ended.
            std::uint64_t joined = 0;
        };

        static constexpr auto kFullEvery = std::chrono::milliseconds(250);
        static constexpr auto kFullEverySettled = std::chrono::seconds(2);

        bool FullReadDue()
        {
            const auto now = std::chrono::steady_clock::now();
            const auto sinceFull = now - m_lastFull;
            const bool full = m_memberLeft || sinceFull >= kFullEverySettled
                || (sinceFull >= kFullEvery && m_lastEstimate >= m_nearLimit);
            if (full)
                m_lastFull = now;
            m_memberLeft = false;
            return full;
        }

        // A member's bytes: read whole on a full read, else its last reading plus its resident growth.
        static std::uint64_t Estimate(pid_t pid, Member& member, bool full)
        {
            if (full) {
                member.proportional = ProportionalBytes(pid);
                member.resident = ResidentBytes(pid);
                return member.proportional;
            }
            const std::uint64_t resident = ResidentBytes(pid);
            return member.proportional + (resident > member.resident ? resident - member.resident : 0);
        }

        const std::uint64_t m_nearLimit;
        std::unordered_map<pid_t, Member> m_members;
        TreePlacer m_placer;
        std::chrono::steady_clock::time_point m_lastFull = std::chrono::steady_clock::now();
        std::uint64_t m_lastEstimate = 0;
        bool m_memberLeft = false;
    };

} // namespace

TreeMemory MeasureTree(pid_t root)
{
    TreeMemory memory { ProportionalBytes(root), 0, 0 };
    TreePlacer placer(root);
    for (pid_t pid : placer.Place(RunningProcesses())) {
        const std::uint64_t bytes = ProportionalBytes(pid);
        memory.total += bytes;
        if (bytes > memory.largestBytes) {
            memory.largest = pid;
            memory.largestBytes = bytes;
        }
    }
    return memory;
}

MemoryWatch::MemoryWatch(std::uint64_t limit, std::chrono::milliseconds interval)
    : m_limit(limit)
    , m_interval(interval)
    , m_thread([this] { Run(); })
{
}

MemoryWatch::~MemoryWatch()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void MemoryWatch::Run()
{
    ProcessTally tally(m_limit);
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        // Between loads nothing is measured.
        m_wake.wait(lock, [this] { return m_stop || m_active; });
        if (m_stop)
            break;
        const bool rebase = m_rebase;
        m_rebase = false;
        lock.unlock();
        if (rebase)
            tally.Rebase();
        const ProcessTally::Reading reading = tally.Tick();
        if (reading.estimate > m_peak.load())
            m_peak.store(reading.estimate);
        if (reading.estimate > m_limit && reading.grewMost > 0) {
            // Ended at once: a process that grows this fast must not get another interval.
            m_exceeded.store(true);
            kill(reading.grewMost, SIGKILL);
            tally.Forget(reading.grewMost);
        }
        lock.lock();
        m_wake.wait_for(lock, m_interval, [this] { return m_stop || m_rebase; });
    }
}

void MemoryWatch::Begin()
{
    {
        std::lock_guard lock(m_mutex);
        m_active = true;
        m_rebase = true;
        m_exceeded.store(false);
        m_peak.store(0);
    }
    m_wake.notify_all();
}

void MemoryWatch::End()
{
    std::lock_guard lock(m_mutex);
    m_active = false;
}

std::string MemoryExceededText()
{
    return "The page needs more than " + std::to_string(kEngineMemoryLimit / (1024 * 1024))
        + " MB of memory in the browser";
}

} // namespace pagestow::engine
