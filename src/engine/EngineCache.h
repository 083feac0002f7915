#pragma once

#include "base/Owned.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pagestow::engine {

// A body in the engine cache: its file, which is never changed once stored, and its size.
struct CachedBody {
    std::filesystem::path file;
    std::uint64_t size = 0;
};

// The engine cache: every resource an engine loaded completely with a final 2xx response, as a file
// holding the body exactly as received, indexed by the requested and the final address. Lookups
// canonicalise the address the way an engine does before it fetches (url::Canonicalize).
class EngineCache {
public:
    // A cache in folder, which is created; the folder is removed when the cache is destroyed.
    explicit EngineCache(std::filesystem::path folder);
    ~EngineCache();
    EngineCache(const EngineCache&) = delete;
    EngineCache& operator=(const EngineCache&) = delete;

    // A cache of this program run: a folder of its own under $PAGESTOW_CACHE_DIR, or else
    // $XDG_CACHE_HOME/pagestow (~/.cache/pagestow), removed when the cache is destroyed. Folders
    // left by runs that died are removed first.
    static std::unique_ptr<EngineCache> OpenForRun();

    // Removes, in the background, the folders "run-<pid>-<random>" under root whose run has ended:
    // a run holds the lock file "<folder>.lock" for as long as its cache lives, and its remover
    // holds it until the folder is gone. A folder whose remover was killed is taken up again here.
    // A folder without a lock file (written by an older version) counts as ended once its pid does.
    static void RemoveFoldersOfDeadRuns(const std::filesystem::path& root);

    // One body being written into the cache. Nothing is indexed until Commit; an entry destroyed
    // without Commit removes its file. A small body is held in memory and written by the cache's
    // writer thread once committed, so that making thousands of files overlaps the loading; a larger
    // one goes to its file as it comes.
    class Entry {
    public:
        ~Entry();
        // Appends bytes; false when the file could not be written.
        bool Write(std::string_view bytes);
        std::uint64_t Size() const { return m_size; }
        // Indexes the file under every address given (requested and final address).
        void Commit(const std::vector<std::string>& addresses);

    private:
        friend class EngineCache;
        Entry(EngineCache& cache, std::filesystem::path file);
        EngineCache& m_cache;
        std::filesystem::path m_file;
        base::UniqueFd m_fd;
        // The body so far while it is small enough to be held.
        std::string m_held;
        std::uint64_t m_size = 0;
        bool m_failed = false;
        bool m_committed = false;
    };

    // Bodies up to this size are held in memory until committed.
    static constexpr std::size_t kHeldBodyBytes = 256 * 1024;
    // At most this many bytes of held bodies wait for the writer thread; beyond it a commit waits.
    static constexpr std::uint64_t kQueuedBodyBytes = 32u << 20;
    // The writer thread is woken once this many bodies or bytes wait, or when the files are needed.
    static constexpr std::size_t kWakeBodies = 32;
    static constexpr std::uint64_t kWakeBytes = 1u << 20;

    // Starts a new entry.
    std::unique_ptr<Entry> BeginEntry();
    // Stores bytes under every address given.
    void Store(const std::vector<std::string>& addresses, std::string_view bytes);
    // The file holding the body of address, when the cache has it.
    std::optional<std::filesystem::path> Lookup(std::string_view address) const;
    // The body of address with its size, when the cache has it (from the index alone).
    std::optional<CachedBody> Find(std::string_view address) const;
    // Removes every entry (the files too).
    void Clear();

    const std::filesystem::path& Folder() const { return m_folder; }

    // From this many files on, the folder is set aside when the cache is destroyed and removed by a
    // process of its own, so that the program does not wait for it.
    static constexpr std::uint64_t kBackgroundRemovalFiles = 1000;

private:
    struct QueuedBody {
        std::filesystem::path file;
        std::string bytes;
        std::vector<std::string> addresses;
    };

    void Index(const std::vector<std::string>& addresses, CachedBody body);
    void IndexLocked(const std::vector<std::string>& addresses, CachedBody body);
    // Queues a held body for the writer thread, which writes it to its file and indexes it.
    void WriteHeld(QueuedBody body);
    bool WriteBodyFile(const QueuedBody& body);
    void RunWriter();
    // Waits until every queued body is written (and indexed, or dropped when it could not be).
    void WaitForWrites(std::unique_lock<std::mutex>& lock) const;
    void StopWriter();

    std::filesystem::path m_folder;
    // The lock of the folder ("<folder>.lock", held from the constructor on), or -1.
    int m_lock = -1;
    mutable std::mutex m_mutex;
    // Every body stored, and the position of each address's body among them.
    std::vector<CachedBody> m_bodies;
    std::unordered_map<std::string, std::size_t> m_index;
    std::uint64_t m_nextFile = 0;

    std::thread m_writer;
    std::deque<QueuedBody> m_queue;
    std::uint64_t m_queuedBytes = 0;
    bool m_writing = false;
    bool m_writerWaiting = false;
    bool m_stopping = false;
    mutable std::condition_variable m_work;
    mutable std::condition_variable m_written;
};

// The platform's code for a file that does not exist (ENOENT).
inline constexpr std::uint32_t kFileNotFound = 2;

// Looks address up in an engine cache: 0 with cacheFile set to the file's path, or kFileNotFound
// with cacheFile left as it was.
std::uint32_t GetCachedFileName(const EngineCache& cache, const std::string& address, std::string& cacheFile);

} // namespace pagestow::engine
