#include "offline/OfflineCopy.h"

#include "base/Owned.h"
#include "offline/OfflineHtml.h"
#include "offline/OfflineUrl.h"
#include "url/Canonical.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <exception>
#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <unistd.h>

namespace pagestow::offline {
namespace {

    constexpr std::string_view kCopyMark = ".offline";

    std::string Folded(const std::filesystem::path& path)
    {
        std::string text = path.lexically_normal().string();
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        }
        return text;
    }

    std::optional<std::string> ReadFile(const std::filesystem::path& path, std::string& reason)
    {
        std::ifstream stream(path, std::ios::binary);
        if (!stream) {
            reason = std::strerror(errno);
            return std::nullopt;
        }
        std::ostringstream bytes;
        bytes << stream.rdbuf();
        if (stream.bad()) {
            reason = "Input/output error";
            return std::nullopt;
        }
        return std::move(bytes).str();
    }

    // Writes bytes to a fresh file beside path that takes path's name only once it is complete.
    bool WriteWhole(const std::filesystem::path& path, std::string_view bytes, std::string& reason)
    {
        static std::atomic<unsigned> counter { 0 };
        std::filesystem::path partial = path.parent_path()
            / (".pagestow-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part");
        base::UniqueFd fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd) {
            reason = std::strerror(errno);
            return false;
        }
        size_t written = 0;
        while (written < bytes.size()) {
            ssize_t n = ::write(fd.Get(), bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                reason = std::strerror(n < 0 ? errno : ENOSPC);
                fd.Reset();
                ::unlink(partial.c_str());
                return false;
            }
            written += size_t(n);
        }
        const int closeError = fd.Close();
        if (closeError != 0 || ::rename(partial.c_str(), path.c_str()) != 0) {
            reason = std::strerror(closeError != 0 ? closeError : errno);
            ::unlink(partial.c_str());
            return false;
        }
        return true;
    }

    class CopyWriter {
    public:
        CopyWriter(const std::filesystem::path& captureFolder, const std::vector<CapturedFile>& files)
            : m_root(captureFolder.lexically_normal())
            , m_files(files)
        {
            for (const CapturedFile& file : files)
                m_taken.insert(Folded(file.path));
            // 1. Every document and stylesheet gets the name of its copy first, so that a copy can
            //    point at copies written after it.
            m_copies.resize(files.size());
            for (size_t i = 0; i < files.size(); ++i) {
                const CapturedFile& file = files[i];
                std::string canonical = url::Canonicalize(file.address);
                if (!canonical.empty())
                    m_byAddress.emplace(canonical, i);
                for (const std::string& other : file.otherAddresses) {
                    if (std::string alias = url::Canonicalize(other); !alias.empty())
                        m_byAddress.emplace(alias, i);
                }
                if (file.role == CapturedFile::Role::File || !IsInside(m_root, file.path))
                    continue;
                m_copies[i] = FreeCopyName(file.path);
            }
        }

        // Writes the copies, on several threads when there are many (a crawl's pages): each copy is
        // its own work, read from the maps made above. What beforeEachCopy throws ends the writing and
        // passes to the caller once the copies under way are done.
        OfflineCopyResult Run(const std::function<void()>& beforeEachCopy, CopyScripts scripts)
        {
            std::vector<std::string> reasons(m_files.size());
            std::vector<char> written(m_files.size(), 0);
            std::atomic<size_t> next { 0 };
            std::atomic<bool> stop { false };
            std::exception_ptr stopped;
            std::mutex stopping;
            auto work = [&] {
                for (size_t i = next++; i < m_files.size() && !stop; i = next++) {
                    if (m_copies[i].empty())
                        continue;
                    try {
                        if (beforeEachCopy) {
                            std::lock_guard lock(stopping);
                            beforeEachCopy();
                        }
                    } catch (...) {
                        std::lock_guard lock(stopping);
                        if (!stopped)
                            stopped = std::current_exception();
                        stop = true;
                        return;
                    }
                    written[i] = WriteCopy(i, scripts, reasons[i]) ? 1 : 0;
                }
            };
            size_t documents = 0;
            for (const auto& copy : m_copies)
                documents += copy.empty() ? 0 : 1;
            constexpr size_t kCopiesForThreads = 16;
            unsigned threads = documents >= kCopiesForThreads ? std::max(1u, std::thread::hardware_concurrency()) : 1;
            std::vector<std::thread> helpers;
            for (unsigned t = 1; t < threads; ++t)
                helpers.emplace_back(work);
            work();
            for (std::thread& helper : helpers)
                helper.join();
            if (stopped)
                std::rethrow_exception(stopped);

            OfflineCopyResult result;
            bool pageSeen = false;
            for (size_t i = 0; i < m_files.size(); ++i) {
                if (m_copies[i].empty())
                    continue;
                bool isPage = m_files[i].role == CapturedFile::Role::Document && !pageSeen;
                if (m_files[i].role == CapturedFile::Role::Document)
                    pageSeen = true;
                if (!written[i]) {
                    result.failures.push_back({ m_copies[i], reasons[i] });
                    continue;
                }
                result.copies.push_back(m_copies[i]);
                if (isPage)
                    result.page = m_copies[i];
            }
            return result;
        }

        // Writes the copy of file i; false with reason set when it could not be.
        bool WriteCopy(size_t i, CopyScripts scripts, std::string& reason) const
        {
            const CapturedFile& file = m_files[i];
            auto original = ReadFile(file.path, reason);
            if (!original)
                return false;
            std::filesystem::path folder = m_copies[i].parent_path();
            LocalAddressMap map = [&](const ResolvedReference& reference, AddressUse) {
                return LocalAddress(reference, folder);
            };
            std::string base = url::Canonicalize(file.address);
            std::string copy = file.role == CapturedFile::Role::Document
                ? RewriteDocument(*original, base, map, { scripts == CopyScripts::Remove })
                : RewriteStylesheet(*original, CssSource::Stylesheet, base, map);
            return WriteWhole(m_copies[i], copy, reason);
        }

    private:
        std::filesystem::path FreeCopyName(const std::filesystem::path& original)
        {
            std::filesystem::path copy = OfflineCopyPath(original);
            for (int number = 2; m_taken.count(Folded(copy)) != 0; ++number) {
                std::filesystem::path name = original.filename();
                std::string stem = name.has_extension() ? name.stem().string() : name.string();
                std::string extension = name.has_extension() ? name.extension().string() : std::string();
                copy = original.parent_path()
                    / (stem + std::string(kCopyMark) + std::to_string(number) + extension);
            }
            m_taken.insert(Folded(copy));
            return copy;
        }

        std::optional<std::string> LocalAddress(
            const ResolvedReference& reference, const std::filesystem::path& folder) const
        {
            auto found = m_byAddress.find(reference.canonical);
            if (found == m_byAddress.end())
                return std::nullopt;
            size_t index = found->second;
            // A document or stylesheet is opened as its copy; anything else as the saved file.
            std::filesystem::path target = m_copies[index].empty() ? m_files[index].path : m_copies[index];
            return RelativeAddress(m_root, folder, target);
        }

        std::filesystem::path m_root;
        const std::vector<CapturedFile>& m_files;
        std::vector<std::filesystem::path> m_copies;
        std::map<std::string, size_t> m_byAddress;
        std::set<std::string> m_taken;
    };

} // namespace

std::filesystem::path OfflineCopyPath(const std::filesystem::path& original)
{
    std::filesystem::path name = original.filename();
    if (!name.has_extension())
        return original.parent_path() / (name.string() + std::string(kCopyMark));
    return original.parent_path()
        / (name.stem().string() + std::string(kCopyMark) + name.extension().string());
}

OfflineCopyResult WriteOfflineCopy(const std::filesystem::path& captureFolder,
    const std::vector<CapturedFile>& files, const std::function<void()>& beforeEachCopy, CopyScripts scripts)
{
    return CopyWriter(captureFolder, files).Run(beforeEachCopy, scripts);
}

} // namespace pagestow::offline
