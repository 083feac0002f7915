#pragma once

#include "base/Owned.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine {

// The engine cache: every resource an engine loaded completely with a final 2xx response, as a file
// holding the body exactly as received, indexed by the requested and the final address. Lookups
// canonicalise the address the way an engine does before it fetches.
class EngineCache {
public:
    // A cache in folder, which is created; the folder is removed when the cache is destroyed.
    explicit EngineCache(std::filesystem::path folder);
    ~EngineCache();
    EngineCache(const EngineCache&) = delete;
    EngineCache& operator=(const EngineCache&) = delete;

    // The cache of this program run: a folder of its own under $PAGESTOW_CACHE_DIR, or else
    // $XDG_CACHE_HOME/pagestow (~/.cache/pagestow), removed at exit. Folders left by runs that
    // died are removed when it is first made.
    static EngineCache& ForThisRun();

    // Removes the folders "run-<pid>-<random>" under root whose process no longer runs.
    static void RemoveFoldersOfDeadRuns(const std::filesystem::path& root);

    // One body being written into the cache. Nothing is indexed until Commit; an entry destroyed
    // without Commit removes its file.
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
        std::uint64_t m_size = 0;
        bool m_failed = false;
        bool m_committed = false;
    };

    // Starts a new entry.
    std::unique_ptr<Entry> BeginEntry();
    // Stores bytes under every address given.
    void Store(const std::vector<std::string>& addresses, std::string_view bytes);
    // The file holding the body of address, when the cache has it.
    std::optional<std::filesystem::path> Lookup(std::string_view address) const;
    // Removes every entry (the files too).
    void Clear();

    const std::filesystem::path& Folder() const { return m_folder; }

    // From this many files on, the folder is set aside when the cache is destroyed and removed by a
    // process of its own, so that the program does not wait for it.
    static constexpr std::uint64_t kBackgroundRemovalFiles = 1000;

    // The address as the engine fetches it: scheme and host in lower case, default port dropped,
    // dot segments removed, fragment dropped, blanks and non-ASCII bytes percent-encoded. Empty for
    // a text that is no absolute address with a scheme.
    static std::string Canonicalize(std::string_view address);

private:
    void Index(const std::vector<std::string>& addresses, const std::filesystem::path& file);

    std::filesystem::path m_folder;
    mutable std::mutex m_mutex;
    std::map<std::string, std::filesystem::path> m_index;
    std::uint64_t m_nextFile = 0;
};

// The platform's code for a file that does not exist (ENOENT).
inline constexpr std::uint32_t kFileNotFound = 2;

// Looks address up in this run's engine cache: 0 with cacheFile set to the file's path, or
// kFileNotFound with cacheFile left as it was.
std::uint32_t GetCachedFileName(const std::string& address, std::string& cacheFile);

} // namespace pagestow::engine
