#pragma once

// How the capture puts files on disk: complete or not at all (internal to the capture).

#include "base/Owned.h"
#include "capture/CaptureRecord.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>

namespace pagestow::capture {

using base::UniqueFd;

// A file that is being made under a temporary name beside its target; removed unless Commit renamed
// it to the target.
class PartialFile {
public:
    // Names a fresh temporary file in target's folder (nothing is created yet).
    explicit PartialFile(const std::string& target);
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const std::string& Path() const { return m_partial; }
    // Renames the temporary file to the target, replacing what is there; 0 or the errno.
    int Commit();

private:
    std::string m_target;
    std::string m_partial;
    bool m_exists = true;
};

// The outcome of a write: 0 or the errno of what failed, and whether the file could be created at all.
struct WriteOutcome {
    int error = 0;
    bool created = false;
};

// Writes bytes to file, creating or replacing it, through a temporary file renamed once complete.
// Nothing is left behind when it fails.
WriteOutcome WriteWholeFile(const std::string& file, std::string_view bytes);

// Puts the bytes of source at target, replacing what is there: a hard link where both lie on one file
// system (the engine cache never changes a file once stored), else a kernel copy; through a temporary
// name either way. 0 with bytes set to the file's size, or the errno of what failed (nothing is left
// at target's temporary name then, and an earlier file at target stays as it was).
// With CopyMethod::Copy, never a link.
int CopyWholeFile(const std::string& source, const std::string& target, std::uint64_t& bytes,
    CopyMethod method = CopyMethod::HardLink);

// CopyWholeFile for a source that is never changed once written and whose size is known (a body in the
// engine cache): a hard link made straight at target takes one system call and sets bytes to size.
int CopyStoredFile(const std::string& source, std::uint64_t size, const std::string& target,
    std::uint64_t& bytes, CopyMethod method = CopyMethod::HardLink);

// Copies made by CopyStoredFile on a thread of their own while the caller goes on, each reported back
// on the caller's thread in the order they were asked for. The capture's walk does its own work
// while the file system makes the links: on a page of thousands of images the links are a third of
// the walk. Only the thread that made it may use it.
class BackgroundCopies {
public:
    // Told the copy's outcome: 0 and the bytes copied, or the errno (nothing at target then).
    using Done = std::function<void(int error, std::uint64_t bytes)>;

    explicit BackgroundCopies(CopyMethod method = CopyMethod::HardLink);
    // Waits for every copy and reports it (Finish).
    ~BackgroundCopies();
    BackgroundCopies(const BackgroundCopies&) = delete;
    BackgroundCopies& operator=(const BackgroundCopies&) = delete;

    // Asks for CopyStoredFile(source, size, target); done is called later from Report or Finish.
    void Submit(std::string source, std::uint64_t size, std::string target, Done done);
    // Reports the copies made so far, in order, without waiting.
    void Report();
    // Waits for every copy asked for and reports them, in order.
    void Finish();
    // Gives up the copies not made yet, and waits only for the one being made: none is reported.
    void Abandon();
    // Whether a copy to target, or to a path differing from it only in the letter case of ASCII
    // letters (which the capture counts as one file), was asked for and not reported yet.
    bool Holds(const std::string& target) const;

private:
    struct Copy {
        std::string source;
        std::uint64_t size = 0;
        std::string target;
    };
    struct Outcome {
        int error = 0;
        std::uint64_t bytes = 0;
    };
    struct Waiting {
        // The target as m_targets holds it.
        std::string key;
        Done done;
    };
    void Run();
    // Reports what has arrived; with wait, first waits until something has (or nothing is left).
    void ReportArrived(bool wait);

    // The caller's thread only.
    std::deque<Waiting> m_waiting;
    std::unordered_multiset<std::string> m_targets;
    // Shared with the copying thread.
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_arrived;
    std::deque<Copy> m_todo;
    std::deque<Outcome> m_outcomes;
    bool m_stop = false;
    // Read by the copying thread before each copy.
    std::atomic<bool> m_abandoned { false };
    const CopyMethod m_method;
    // The copying thread waits for work.
    bool m_sleeping = false;
    std::thread m_thread;
};

} // namespace pagestow::capture
