#include "capture/FileWriting.h"

#include "base/Ascii.h"

#include "mapping/FileUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pagestow::capture {
namespace {

    std::string FolderOf(const std::string& file)
    {
        size_t slash = file.find_last_of('/');
        return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
    }

    // Writes all of bytes; 0 or the errno (ENOSPC for a write that made no progress).
    int WriteAll(int fd, std::string_view bytes)
    {
        size_t written = 0;
        while (written < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errno : ENOSPC;
            written += size_t(n);
        }
        return 0;
    }

    // Copies size bytes from one descriptor to the other, in the kernel where it can.
    int CopyAll(int from, int to, std::uint64_t size)
    {
        std::uint64_t copied = 0;
        bool kernelCopy = true;
        char buffer[1 << 16];
        while (copied < size) {
            if (kernelCopy) {
                ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, size_t(size - copied), 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
                    kernelCopy = false;
                    continue;
                }
                if (n < 0)
                    return errno;
                if (n == 0)
                    return EIO; // The source ended before its size: no complete copy.
                copied += std::uint64_t(n);
                continue;
            }
            ssize_t n = ::read(from, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno;
            if (n == 0)
                return EIO;
            if (int error = WriteAll(to, std::string_view(buffer, size_t(n))))
                return error;
            copied += std::uint64_t(n);
        }
        return 0;
    }

    // A write past RLIMIT_FSIZE must fail with EFBIG and not end the program.
    void IgnoreFileSizeSignal()
    {
        static const bool ignored = [] {
            struct sigaction current { };
            if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
                ::signal(SIGXFSZ, SIG_IGN);
            return true;
        }();
        (void)ignored;
    }

} // namespace

PartialFile::PartialFile(const std::string& target)
    : m_target(target)
{
    // The process and this object's own address name it: no other file being made at the same time
    // in this process has either, and a name is free again only once its file is gone.
    char self[2 * sizeof(void*) + 1];
    std::snprintf(self, sizeof self, "%zx", reinterpret_cast<std::uintptr_t>(this));
    m_partial = FolderOf(target) + ".pagestow-" + std::to_string(::getpid()) + "-" + self + ".part";
}

PartialFile::~PartialFile()
{
    if (m_exists)
        ::unlink(m_partial.c_str());
}

int PartialFile::Commit()
{
    if (::rename(m_partial.c_str(), m_target.c_str()) != 0)
        return errno;
    m_exists = false;
    return 0;
}

WriteOutcome WriteWholeFile(const std::string& file, std::string_view bytes)
{
    IgnoreFileSizeSignal();
    PartialFile partial(file);
    UniqueFd fd(::open(partial.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd)
        return { errno, false };
    if (int error = WriteAll(fd.Get(), bytes))
        return { error, true };
    if (int error = fd.Close())
        return { error, true };
    if (int error = partial.Commit())
        return { error, false };
    return { 0, true };
}

namespace {

    // The copy of CopyWholeFile once no link was made straight at target; linkAside when something
    // is at target already, so that a link under the temporary name can be renamed over it.
    int CopyThroughPartialFile(
        const std::string& source, const std::string& target, bool linkAside, std::uint64_t& bytes)
    {
        UniqueFd from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
        if (!from)
            return errno;
        struct stat info { };
        if (::fstat(from.Get(), &info) != 0)
            return errno;
        if (!S_ISREG(info.st_mode))
            return EINVAL;

        PartialFile partial(target);
        if (linkAside && ::link(source.c_str(), partial.Path().c_str()) == 0) {
            if (int error = partial.Commit())
                return error;
            bytes = std::uint64_t(info.st_size);
            return 0;
        }
        UniqueFd to(::open(partial.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!to)
            return errno;
        if (int error = CopyAll(from.Get(), to.Get(), std::uint64_t(info.st_size)))
            return error;
        if (int error = to.Close())
            return error;
        if (int error = partial.Commit())
            return error;
        bytes = std::uint64_t(info.st_size);
        return 0;
    }

} // namespace

int CopyWholeFile(
    const std::string& source, const std::string& target, std::uint64_t& bytes, CopyMethod method)
{
    IgnoreFileSizeSignal();
    // A link needs the source's size and that it is a regular file; a copy finds both out itself.
    if (method == CopyMethod::Copy)
        return CopyThroughPartialFile(source, target, false, bytes);
    struct stat info { };
    if (::stat(source.c_str(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return EINVAL;
    return CopyStoredFile(source, std::uint64_t(info.st_size), target, bytes);
}

int CopyStoredFile(const std::string& source, std::uint64_t size, const std::string& target,
    std::uint64_t& bytes, CopyMethod method)
{
    IgnoreFileSizeSignal();
    // A new hard link appears whole at once, so where nothing is at target yet it needs neither a
    // temporary name nor an open source: with the source's size known and the source never changed,
    // one system call a file, which is most of the capture's time on pages of thousands of images.
    // Something at target: link under the temporary name and rename over it. Any other failure
    // (another file system, no links there) makes it a copy.
    bool linkAside = false;
    if (method == CopyMethod::HardLink) {
        if (::link(source.c_str(), target.c_str()) == 0) {
            bytes = size;
            return 0;
        }
        linkAside = errno == EEXIST;
    }
    return CopyThroughPartialFile(source, target, linkAside, bytes);
}

BackgroundCopies::BackgroundCopies(CopyMethod method)
    : m_method(method)
{
    // The copying thread must find the signal already ignored; the first copy sets it.
    IgnoreFileSizeSignal();
}

BackgroundCopies::~BackgroundCopies()
{
    try {
        Finish();
    } catch (...) {
        // A report that failed while the walk is being left for another error: that error stands.
    }
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void BackgroundCopies::Submit(std::string source, std::uint64_t size, std::string target, Done done)
{
    // A bounded backlog: the walk does not run ahead of the file system without limit.
    constexpr std::size_t kMaxWaiting = 4096;
    if (m_waiting.size() >= kMaxWaiting)
        ReportArrived(true);
    std::string key = base::LowerAscii(target);
    m_targets.insert(key);
    m_waiting.push_back({ std::move(key), std::move(done) });
    // The copying thread is woken for a batch: waking it costs a system call on each side, as much as
    // the link it would make.
    constexpr std::size_t kWakeCopies = 64;
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        m_todo.push_back({ std::move(source), size, std::move(target) });
        wake = m_sleeping && m_todo.size() >= kWakeCopies;
    }
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
    else if (wake)
        m_work.notify_one();
}

bool BackgroundCopies::Holds(const std::string& target) const
{
    return !m_targets.empty() && m_targets.count(base::LowerAscii(target)) != 0;
}

void BackgroundCopies::Report()
{
    ReportArrived(false);
}

void BackgroundCopies::Finish()
{
    while (!m_waiting.empty())
        ReportArrived(true);
}

void BackgroundCopies::Abandon()
{
    m_abandoned = true;
    {
        std::lock_guard lock(m_mutex);
        m_todo.clear();
    }
    m_waiting.clear();
    m_targets.clear();
}

void BackgroundCopies::ReportArrived(bool wait)
{
    if (m_waiting.empty())
        return;
    std::deque<Outcome> arrived;
    {
        std::unique_lock lock(m_mutex);
        if (wait) {
            if (m_sleeping && !m_todo.empty())
                m_work.notify_one();
            m_arrived.wait(lock, [this] { return !m_outcomes.empty(); });
        }
        arrived.swap(m_outcomes);
    }
    // One copying thread takes the copies in order, so the outcomes come in the order asked for.
    for (const Outcome& outcome : arrived) {
        Waiting waiting = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_targets.erase(m_targets.find(waiting.key));
        waiting.done(outcome.error, outcome.bytes);
    }
}

void BackgroundCopies::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_sleeping = true;
        m_work.wait(lock, [this] { return m_stop || !m_todo.empty(); });
        m_sleeping = false;
        if (m_todo.empty())
            return;
        std::deque<Copy> batch;
        batch.swap(m_todo);
        lock.unlock();
        std::vector<Outcome> outcomes(batch.size());
        for (std::size_t i = 0; i < batch.size() && !m_abandoned; ++i)
            outcomes[i].error = CopyStoredFile(
                batch[i].source, batch[i].size, batch[i].target, outcomes[i].bytes, m_method);
        lock.lock();
        m_outcomes.insert(m_outcomes.end(), outcomes.begin(), outcomes.end());
        m_arrived.notify_one();
    }
}

} // namespace pagestow::capture
