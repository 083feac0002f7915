#include "engine/EngineCache.h"

#include "base/Owned.h"
#include "url/Canonical.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_map>

namespace pagestow::engine {
namespace fs = std::filesystem;

namespace {

    // Writes all of bytes to fd; false on any failure.
    bool WriteAllTo(int fd, std::string_view bytes)
    {
        const char* data = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            ssize_t written = ::write(fd, data, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            data += written;
            left -= size_t(written);
        }
        return true;
    }

    // Opens a body's file for writing. The folder is made with the cache; only when a file cannot be
    // made there is it made again (a look at the folder for every body is a tenth of the time of a
    // page of small images).
    int OpenBodyFile(const fs::path& file, const fs::path& folder)
    {
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            std::error_code error;
            fs::create_directories(folder, error);
            fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        }
        return fd;
    }

    fs::path HomeFolder()
    {
        if (const char* home = std::getenv("HOME"); home && *home)
            return home;
        if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
            return entry->pw_dir;
        return fs::temp_directory_path();
    }

    fs::path CacheRoot()
    {
        if (const char* dir = std::getenv("PAGESTOW_CACHE_DIR"); dir && *dir)
            return dir;
        // A relative XDG_CACHE_HOME is invalid and is ignored, as the XDG rules say.
        if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
            return fs::path(xdg) / "pagestow";
        return HomeFolder() / ".cache" / "pagestow";
    }

    // The pid in a run folder's name "run-<pid>-<random>", or 0 when the name is not of that form.
    pid_t RunFolderPid(const std::string& name)
    {
        if (name.rfind("run-", 0) != 0)
            return 0;
        size_t end = name.find('-', 4);
        if (end == std::string::npos || end == 4 || end + 1 >= name.size())
            return 0;
        long long pid = 0;
        for (size_t i = 4; i < end; ++i) {
            if (name[i] < '0' || name[i] > '9' || pid > 1'000'000'000)
                return 0;
            pid = pid * 10 + (name[i] - '0');
        }
        return pid > 0 ? pid_t(pid) : 0;
    }

    bool ProcessAlive(pid_t pid)
    {
        return kill(pid, 0) == 0 || errno == EPERM;
    }

    std::string RandomSuffix()
    {
        std::random_device device;
        std::uniform_int_distribution<unsigned> digit(0, 35);
        std::string suffix;
        for (int i = 0; i < 8; ++i) {
            unsigned d = digit(device);
            suffix += char(d < 10 ? '0' + d : 'a' + (d - 10));
        }
        return suffix;
    }

    constexpr std::string_view kRemovingSuffix = "-removing";
    constexpr std::string_view kLockSuffix = ".lock";

    bool EndsWith(std::string_view text, std::string_view end)
    {
        return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
    }

    // The lock file of a run's folder, whether set aside or not.
    fs::path LockFileOf(const fs::path& folder)
    {
        std::string name = folder.filename().string();
        if (EndsWith(name, kRemovingSuffix))
            name.resize(name.size() - kRemovingSuffix.size());
        return folder.parent_path() / (name + std::string(kLockSuffix));
    }

    // Takes the lock of a run's folder without waiting: the descriptor, or -1 when another process
    // holds it or the file cannot be made. existed tells whether the lock file was there before.
    int TryLock(const fs::path& lockFile, bool* existed = nullptr)
    {
        int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
        if (existed)
            *existed = fd >= 0;
        if (fd < 0)
            fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Starts "rm -rf -- folder lockFile" in a session of its own, without waiting for it: no signal
    // to this program's group (Ctrl-C, a closed terminal) reaches it, and it holds the lock (as its
    // descriptor 3) until it ends. False when it could not be started.
    bool SpawnRemoval(const fs::path& folder, const fs::path& lockFile, int lock)
    {
        posix_spawn_file_actions_t actions;
        if (posix_spawn_file_actions_init(&actions) != 0)
            return false;
        posix_spawnattr_t attributes;
        if (posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return false;
        }
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        // A descriptor duplicated onto another number loses its close-on-exec flag; 3 itself is
        // moved out of the way first.
        base::UniqueFd moved;
        if (lock == 3) {
            moved.Reset(::fcntl(lock, F_DUPFD_CLOEXEC, 10));
            lock = moved.Get();
        }
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (lock >= 0)
            posix_spawn_file_actions_adddup2(&actions, lock, 3);
        std::string path = folder.string();
        std::string lockPath = lockFile.string();
        char rm[] = "rm";
        char force[] = "-rf";
        char end[] = "--";
        char* arguments[] = { rm, force, end, path.data(), lockPath.data(), nullptr };
        pid_t pid = 0;
        int result = posix_spawn(&pid, "/bin/rm", &actions, &attributes, arguments, environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        return result == 0;
    }

    // Removes a run's folder (already set aside, or renamed aside here) and its lock file while
    // holding the lock: in the background when a remover can be started, otherwise at once.
    void RemoveRunFolder(fs::path folder, const fs::path& lockFile, int lock)
    {
        if (!EndsWith(folder.filename().string(), kRemovingSuffix)) {
            fs::path aside = folder;
            aside += std::string(kRemovingSuffix);
            if (::rename(folder.c_str(), aside.c_str()) == 0)
                folder = aside;
        }
        if (!SpawnRemoval(folder, lockFile, lock)) {
            std::error_code error;
            fs::remove_all(folder, error);
            fs::remove(lockFile, error);
        }
        if (lock >= 0)
            ::close(lock);
    }

} // namespace

EngineCache::EngineCache(fs::path folder)
    : m_folder(std::move(folder))
{
    std::error_code error;
    fs::create_directories(m_folder, error);
    m_lock = TryLock(LockFileOf(m_folder));
}

EngineCache::~EngineCache()
{
    StopWriter();
    std::error_code error;
    std::uint64_t files = 0;
    {
        std::lock_guard lock(m_mutex);
        files = m_nextFile;
    }
    // Removing many thousand files takes a noticeable moment that nobody needs to wait for: the
    // folder is renamed aside and removed by a process of its own that outlives this one, and holds
    // the folder's lock until it is done (a later run takes up the removal should it die).
    fs::path lockFile = LockFileOf(m_folder);
    if (files >= kBackgroundRemovalFiles) {
        RemoveRunFolder(m_folder, lockFile, m_lock);
        return;
    }
    fs::remove_all(m_folder, error);
    fs::remove(lockFile, error);
    if (m_lock >= 0)
        ::close(m_lock);
}

void EngineCache::RemoveFoldersOfDeadRuns(const fs::path& root)
{
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        pid_t pid = RunFolderPid(name);
        if (pid == 0 || pid == getpid())
            continue;
        std::error_code ignored;
        if (EndsWith(name, kLockSuffix)) {
            // A lock file whose folder is gone: its remover ended between the two.
            fs::path folder = it->path().parent_path() / name.substr(0, name.size() - kLockSuffix.size());
            fs::path aside = folder;
            aside += std::string(kRemovingSuffix);
            if (fs::exists(folder, ignored) || fs::exists(aside, ignored))
                continue;
            if (int lock = TryLock(it->path()); lock >= 0) {
                fs::remove(it->path(), ignored);
                ::close(lock);
            }
            continue;
        }
        if (!it->is_directory(ignored) || it->is_symlink(ignored))
            continue;
        fs::path lockFile = LockFileOf(it->path());
        bool locked = false;
        int lock = TryLock(lockFile, &locked);
        if (lock < 0)
            continue;
        // Without a lock file, only the pid says whether the run is over.
        if (!locked && !EndsWith(name, kRemovingSuffix) && ProcessAlive(pid)) {
            fs::remove(lockFile, ignored);
            ::close(lock);
            continue;
        }
        RemoveRunFolder(it->path(), lockFile, lock);
    }
}

std::unique_ptr<EngineCache> EngineCache::OpenForRun()
{
    fs::path root = CacheRoot();
    std::error_code error;
    fs::create_directories(root, error);
    RemoveFoldersOfDeadRuns(root);
    return std::make_unique<EngineCache>(root / ("run-" + std::to_string(getpid()) + "-" + RandomSuffix()));
}

EngineCache::Entry::Entry(EngineCache& cache, fs::path file)
    : m_cache(cache)
    , m_file(std::move(file))
{
}

EngineCache::Entry::~Entry()
{
    if (m_committed || !m_fd)
        return;
    m_fd.Reset();
    std::error_code error;
    fs::remove(m_file, error);
}

bool EngineCache::Entry::Write(std::string_view bytes)
{
    if (m_failed || m_committed)
        return false;
    if (!m_fd && m_held.size() + bytes.size() <= kHeldBodyBytes) {
        m_held.append(bytes);
        m_size += bytes.size();
        return true;
    }
    if (!m_fd) {
        std::string held = std::move(m_held);
        m_held = {};
        m_fd.Reset(OpenBodyFile(m_file, m_cache.m_folder));
        if (!m_fd || !WriteAllTo(m_fd.Get(), held)) {
            m_failed = true;
            return false;
        }
    }
    // Straight to the file: a stream's buffer only adds a copy, the bodies come in blocks already.
    if (!WriteAllTo(m_fd.Get(), bytes)) {
        m_failed = true;
        return false;
    }
    m_size += bytes.size();
    return true;
}

void EngineCache::Entry::Commit(const std::vector<std::string>& addresses)
{
    if (m_committed || m_failed)
        return;
    if (!m_fd) {
        m_committed = true;
        m_cache.WriteHeld({ m_file, std::move(m_held), addresses });
        return;
    }
    // A body that could not be written whole (or whose close reported a write-back error) is no
    // copy of the resource: it is not indexed, and the destructor removes its file.
    if (m_fd.Close() != 0) {
        m_failed = true;
        return;
    }
    m_committed = true;
    m_cache.Index(addresses, { m_file, m_size });
}

std::unique_ptr<EngineCache::Entry> EngineCache::BeginEntry()
{
    std::uint64_t number;
    {
        std::lock_guard lock(m_mutex);
        number = m_nextFile++;
    }
    return std::unique_ptr<Entry>(new Entry(*this, m_folder / ("body-" + std::to_string(number))));
}

void EngineCache::WriteHeld(QueuedBody body)
{
    std::unique_lock lock(m_mutex);
    if (m_stopping) {
        lock.unlock();
        if (WriteBodyFile(body))
            Index(body.addresses, { body.file, body.bytes.size() });
        return;
    }
    // Bodies are indexed in the order of their commits, so a commit waits for room in the queue.
    if (m_queuedBytes + body.bytes.size() > kQueuedBodyBytes && m_writerWaiting)
        m_work.notify_one();
    m_written.wait(
        lock, [&] { return m_queue.empty() || m_queuedBytes + body.bytes.size() <= kQueuedBodyBytes; });
    m_queuedBytes += body.bytes.size();
    m_queue.push_back(std::move(body));
    // The writer is woken for a batch, not for every body: waking it costs both threads a system call
    // and a switch, which on a page of thousands of small images was a tenth of the loading thread's
    // time. Whoever needs the files waits for them (WaitForWrites), and that wakes it for the rest.
    if (!m_writer.joinable())
        m_writer = std::thread([this] { RunWriter(); });
    else if (m_writerWaiting && (m_queue.size() >= kWakeBodies || m_queuedBytes >= kWakeBytes))
        m_work.notify_one();
}

bool EngineCache::WriteBodyFile(const QueuedBody& body)
{
    base::UniqueFd fd(OpenBodyFile(body.file, m_folder));
    if (fd && WriteAllTo(fd.Get(), body.bytes) && fd.Close() == 0)
        return true;
    fd.Reset();
    std::error_code error;
    fs::remove(body.file, error);
    return false;
}

void EngineCache::RunWriter()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_writerWaiting = true;
        m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        m_writerWaiting = false;
        if (m_queue.empty())
            return;
        // Everything queued so far in one go: the loading thread is woken once a batch, not once a
        // body.
        std::deque<QueuedBody> batch;
        batch.swap(m_queue);
        m_writing = true;
        lock.unlock();
        std::vector<bool> written;
        written.reserve(batch.size());
        for (const QueuedBody& body : batch)
            written.push_back(WriteBodyFile(body));
        lock.lock();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (written[i])
                IndexLocked(batch[i].addresses, { std::move(batch[i].file), batch[i].bytes.size() });
            m_queuedBytes -= batch[i].bytes.size();
        }
        m_writing = false;
        m_written.notify_all();
    }
}

void EngineCache::WaitForWrites(std::unique_lock<std::mutex>& lock) const
{
    if (!m_queue.empty() && m_writerWaiting)
        m_work.notify_one();
    m_written.wait(lock, [this] { return m_queue.empty() && !m_writing; });
}

void EngineCache::StopWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_one();
    if (m_writer.joinable())
        m_writer.join();
}

void EngineCache::Store(const std::vector<std::string>& addresses, std::string_view bytes)
{
    auto entry = BeginEntry();
    if (entry->Write(bytes) || bytes.empty())
        entry->Commit(addresses);
}

std::optional<fs::path> EngineCache::Lookup(std::string_view address) const
{
    auto body = Find(address);
    if (!body)
        return std::nullopt;
    return std::move(body->file);
}

std::optional<CachedBody> EngineCache::Find(std::string_view address) const
{
    std::string key = url::Canonicalize(address);
    if (key.empty())
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    WaitForWrites(lock);
    auto it = m_index.find(key);
    if (it == m_index.end())
        return std::nullopt;
    return m_bodies[it->second];
}

void EngineCache::Clear()
{
    std::unique_lock lock(m_mutex);
    WaitForWrites(lock);
    std::error_code error;
    for (const CachedBody& body : m_bodies)
        fs::remove(body.file, error);
    m_bodies.clear();
    m_index.clear();
}

void EngineCache::Index(const std::vector<std::string>& addresses, CachedBody body)
{
    std::lock_guard lock(m_mutex);
    IndexLocked(addresses, std::move(body));
}

void EngineCache::IndexLocked(const std::vector<std::string>& addresses, CachedBody body)
{
    std::size_t position = m_bodies.size();
    bool indexed = false;
    for (const std::string& address : addresses) {
        std::string key = url::Canonicalize(address);
        if (key.empty())
            continue;
        m_index.insert_or_assign(std::move(key), position);
        indexed = true;
    }
    if (indexed)
        m_bodies.push_back(std::move(body));
}

std::uint32_t GetCachedFileName(const EngineCache& cache, const std::string& address, std::string& cacheFile)
{
    auto body = cache.Find(address);
    if (!body)
        return kFileNotFound;
    cacheFile = body->file.string();
    return 0;
}

} // namespace pagestow::engine
