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

        OfflineCopyResult Run(const std::function<void()>& beforeEachCopy, CopyScripts scripts)
        {
            OfflineCopyResult result;
            bool pageSeen = false;
            for (size_t i = 0; i < m_files.size(); ++i) {
                const CapturedFile& file = m_files[i];
                if (m_copies[i].empty())
                    continue;
                if (beforeEachCopy)
                    beforeEachCopy();
                bool isPage = file.role == CapturedFile::Role::Document && !pageSeen;
                if (file.role == CapturedFile::Role::Document)
                    pageSeen = true;
                std::string reason;
                auto original = ReadFile(file.path, reason);
                if (!original) {
                    result.failures.push_back({ m_copies[i], reason });
                    continue;
                }
                std::filesystem::path folder = m_copies[i].parent_path();
                LocalAddressMap map = [&](const ResolvedReference& reference, AddressUse) {
                    return LocalAddress(reference, folder);
                };
                std::string base = url::Canonicalize(file.address);
                std::string copy = file.role == CapturedFile::Role::Document
                    ? RewriteDocument(*original, base, map, { scripts == CopyScripts::Remove })
                    : RewriteStylesheet(*original, CssSource::Stylesheet, base, map);
                if (!WriteWhole(m_copies[i], copy, reason)) {
                    result.failures.push_back({ m_copies[i], reason });
                    continue;
                }
                result.copies.push_back(m_copies[i]);
                if (isPage)
                    result.page = m_copies[i];
            }
            return result;
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
