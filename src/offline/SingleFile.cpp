#include "offline/SingleFile.h"

#include "base/Ascii.h"
#include "base/Owned.h"
#include "offline/CssReferences.h"
#include "offline/OfflineHtml.h"
#include "offline/OfflineUrl.h"
#include "url/Canonical.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

namespace pagestow::offline {
namespace {

    constexpr std::string_view kSingleMark = ".single";
    // A saved file stands in the text being built as kOpen, its index, kClose; the writer streams its
    // data: address there. No HTML or CSS the rewriter writes holds these two bytes.
    constexpr char kOpen = '\x01';
    constexpr char kClose = '\x02';
    // Read and encoded in pieces of this size (a multiple of 3, so base64 needs no padding between).
    constexpr size_t kPiece = 3 * 16 * 1024;
    // Frames inside frames, and stylesheets per single file (import loops end earlier: each once).
    constexpr int kMaxFrameDepth = 8;
    constexpr size_t kMaxStylesheets = 4096;
    // An <img> picture used more than once and larger than this is written once, in a rule.
    constexpr std::uintmax_t kSmallPicture = 4096;
    // The src of an <img> whose picture a rule gives: a transparent 1 x 1 GIF, told apart by its
    // fragment.
    constexpr std::string_view kBlankPicture
        = "data:image/gif;base64,R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7#pagestow-";

    std::optional<std::string> ReadFile(const std::filesystem::path& path)
    {
        std::ifstream stream(path, std::ios::binary);
        if (!stream)
            return std::nullopt;
        std::ostringstream bytes;
        bytes << stream.rdbuf();
        if (stream.bad())
            return std::nullopt;
        return std::move(bytes).str();
    }

    std::string MediaType(const std::filesystem::path& path)
    {
        static const std::map<std::string, std::string_view> kTypes
            = { { ".png", "image/png" }, { ".jpg", "image/jpeg" }, { ".jpeg", "image/jpeg" },
                  { ".gif", "image/gif" }, { ".webp", "image/webp" }, { ".avif", "image/avif" },
                  { ".svg", "image/svg+xml" }, { ".ico", "image/x-icon" }, { ".bmp", "image/bmp" },
                  { ".woff", "font/woff" }, { ".woff2", "font/woff2" }, { ".ttf", "font/ttf" },
                  { ".otf", "font/otf" }, { ".css", "text/css" }, { ".js", "text/javascript" },
                  { ".mjs", "text/javascript" }, { ".json", "application/json" }, { ".mp4", "video/mp4" },
                  { ".webm", "video/webm" }, { ".mp3", "audio/mpeg" } };
        auto found = kTypes.find(base::LowerAscii(path.extension().string()));
        return std::string(found == kTypes.end() ? "application/octet-stream" : found->second);
    }

    std::string Marker(size_t index)
    {
        return kOpen + std::to_string(index) + kClose;
    }

    std::string VariableName(size_t index)
    {
        return "--pagestow-" + std::to_string(index);
    }

    // "</style" inside a <style> element would end it early; "<\/style" reads the same in CSS.
    std::string GuardStyleText(std::string text)
    {
        for (size_t at = text.find("</"); at != std::string::npos; at = text.find("</", at + 2)) {
            if (base::LowerAscii(std::string_view(text).substr(at + 2, 5)) == "style")
                text.insert(at + 1, "\\");
        }
        return text;
    }

    // A file that takes its name only once it is complete, and is removed on every other path.
    class PartialFile {
    public:
        explicit PartialFile(std::filesystem::path target)
            : m_target(std::move(target))
        {
            static std::atomic<unsigned> counter { 0 };
            m_partial = m_target.parent_path()
                / (".pagestow-" + std::to_string(getpid()) + "-single-" + std::to_string(counter++)
                    + ".part");
            m_fd = base::UniqueFd(::open(m_partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!m_fd)
                m_error = errno;
        }
        ~PartialFile()
        {
            if (!m_done) {
                m_fd.Reset();
                ::unlink(m_partial.c_str());
            }
        }

        void Write(std::string_view bytes)
        {
            size_t written = 0;
            while (m_error == 0 && written < bytes.size()) {
                ssize_t n = ::write(m_fd.Get(), bytes.data() + written, bytes.size() - written);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    m_error = n < 0 ? errno : ENOSPC;
                else
                    written += size_t(n);
            }
            m_size += written;
        }

        // Closes and names the file; the reason when that or a write failed.
        std::optional<std::string> Finish()
        {
            if (m_error == 0) {
                const int closeError = m_fd.Close();
                if (closeError != 0)
                    m_error = closeError;
                else if (::rename(m_partial.c_str(), m_target.c_str()) != 0)
                    m_error = errno;
                else
                    m_done = true;
            }
            if (m_done)
                return std::nullopt;
            return std::string(std::strerror(m_error));
        }

        std::uint64_t Size() const { return m_size; }

    private:
        std::filesystem::path m_target;
        std::filesystem::path m_partial;
        base::UniqueFd m_fd;
        int m_error = 0;
        bool m_done = false;
        std::uint64_t m_size = 0;
    };

    void AppendBase64(std::string_view bytes, std::string& out)
    {
        static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        size_t i = 0;
        for (; i + 3 <= bytes.size(); i += 3) {
            unsigned v = unsigned(std::uint8_t(bytes[i])) << 16 | unsigned(std::uint8_t(bytes[i + 1])) << 8
                | unsigned(std::uint8_t(bytes[i + 2]));
            out += kDigits[v >> 18];
            out += kDigits[(v >> 12) & 63];
            out += kDigits[(v >> 6) & 63];
            out += kDigits[v & 63];
        }
        if (i < bytes.size()) {
            unsigned v = unsigned(std::uint8_t(bytes[i])) << 16;
            if (i + 1 < bytes.size())
                v |= unsigned(std::uint8_t(bytes[i + 1])) << 8;
            out += kDigits[v >> 18];
            out += kDigits[(v >> 12) & 63];
            out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
            out += '=';
        }
    }

    // What one document of the single file (the page or a frame) writes once: the custom properties on
    // :root that hold the pictures its CSS uses, and the rules that give repeated <img> pictures.
    struct DocumentScope {
        std::set<size_t> variables;
        std::set<size_t> pictureRules;
        std::set<size_t> stylesheets;
        std::map<size_t, int> pictureUses;

        std::string Declarations() const
        {
            if (variables.empty() && pictureRules.empty())
                return {};
            std::string text = "<style>:root{";
            for (size_t index : variables)
                text += VariableName(index) + ":url(\"" + Marker(index) + "\");";
            text += "}";
            for (size_t index : pictureRules)
                text += "img[src$=\"#pagestow-" + std::to_string(index) + "\"]{content:var("
                    + VariableName(index) + ")}";
            return text + "</style>";
        }
    };

    class SingleFileWriter {
    public:
        SingleFileWriter(const std::filesystem::path& captureFolder, const std::vector<CapturedFile>& files,
            CopyScripts scripts, const std::function<void()>& beforeEachPart)
            : m_root(captureFolder.lexically_normal())
            , m_files(files)
            , m_scripts(scripts)
            , m_beforeEachPart(beforeEachPart)
        {
            for (size_t i = 0; i < files.size(); ++i) {
                std::string canonical = url::Canonicalize(files[i].address);
                if (!canonical.empty() && IsInside(m_root, files[i].path))
                    m_byAddress.emplace(canonical, i);
            }
        }

        SingleFileResult Run()
        {
            SingleFileResult result;
            size_t page = 0;
            while (page < m_files.size() && m_files[page].role != CapturedFile::Role::Document)
                ++page;
            if (page == m_files.size() || !IsInside(m_root, m_files[page].path))
                return result;
            std::set<size_t> open;
            std::optional<std::string> text = Document(page, 0, open);
            if (!text) {
                result.failures.push_back({ m_files[page].path, "cannot be read" });
                return result;
            }
            std::filesystem::path target = FreeName(SingleFilePath(m_files[page].path));
            PartialFile file(target);
            WriteExpanded(*text, file);
            if (auto reason = file.Finish()) {
                result.failures.push_back({ target, *reason });
                return result;
            }
            result.file = target;
            result.bytes = file.Size();
            for (size_t index : m_held) {
                std::error_code error;
                std::uintmax_t size = std::filesystem::file_size(m_files[index].path, error);
                if (!error)
                    result.partsBytes += size;
            }
            return result;
        }

    private:
        std::optional<size_t> Find(const ResolvedReference& reference) const
        {
            auto found = m_byAddress.find(reference.canonical);
            if (found == m_byAddress.end())
                return std::nullopt;
            return found->second;
        }

        std::optional<std::string> ReadPart(size_t index)
        {
            if (m_beforeEachPart)
                m_beforeEachPart();
            auto text = ReadFile(m_files[index].path);
            if (text)
                m_held.insert(index);
            return text;
        }

        // The document's text with its stylesheets, frames and files in place (as markers).
        std::optional<std::string> Document(size_t index, int depth, std::set<size_t>& open)
        {
            std::optional<std::string> html = ReadPart(index);
            if (!html)
                return std::nullopt;
            open.insert(index);
            std::string address = url::Canonicalize(m_files[index].address);
            DocumentScope scope;
            // 1. Count the <img> uses of each picture, so that a repeated large one goes into a rule.
            RewriteDocument(*html, address, [&](const ResolvedReference& reference, AddressUse use) {
                if (auto found = Find(reference); found && use == AddressUse::Image)
                    ++scope.pictureUses[*found];
                return std::optional<std::string>();
            });
            // 2. Rewrite it, inlining what it uses.
            LocalAddressMap map
                = [&](const ResolvedReference& reference, AddressUse use) -> std::optional<std::string> {
                auto found = Find(reference);
                if (!found || m_files[*found].role == CapturedFile::Role::Document)
                    return std::nullopt;
                if (use == AddressUse::Image && scope.pictureUses[*found] > 1
                    && Size(*found) > kSmallPicture) {
                    scope.variables.insert(*found);
                    scope.pictureRules.insert(*found);
                    m_held.insert(*found);
                    return std::string(kBlankPicture) + std::to_string(*found);
                }
                m_held.insert(*found);
                return Marker(*found);
            };
            DocumentRules rules;
            rules.removeScripts = m_scripts == CopyScripts::Remove;
            rules.selfContained = true;
            rules.inlineStylesheet
                = [&](const ResolvedReference& reference, std::string_view) -> std::optional<std::string> {
                auto found = Find(reference);
                if (!found)
                    return std::string();
                return GuardStyleText(Stylesheet(*found, scope));
            };
            rules.rewriteCss = [&](std::string_view css, CssSource source, const std::string& base) {
                std::string text = Css(css, source, base, scope);
                return source == CssSource::Stylesheet ? GuardStyleText(std::move(text)) : text;
            };
            rules.frameDocument = [&](const ResolvedReference& reference) -> std::optional<std::string> {
                auto found = Find(reference);
                if (!found || m_files[*found].role != CapturedFile::Role::Document || depth >= kMaxFrameDepth
                    || open.count(*found) != 0)
                    return std::nullopt;
                return Document(*found, depth + 1, open);
            };
            std::string text = RewriteDocument(*html, address, map, rules);
            open.erase(index);
            return text + scope.Declarations();
        }

        // A saved stylesheet with what it imports before it, each once per document.
        std::string Stylesheet(size_t index, DocumentScope& scope)
        {
            if (!scope.stylesheets.insert(index).second || m_stylesheetsRead >= kMaxStylesheets)
                return {};
            ++m_stylesheetsRead;
            std::optional<std::string> css = ReadPart(index);
            if (!css)
                return {};
            return Css(*css, CssSource::Stylesheet, url::Canonicalize(m_files[index].address), scope);
        }

        // CSS with its imports resolved (their text first, the @import left pointing at an empty
        // stylesheet), fonts as data: addresses and pictures as custom properties of the document.
        std::string Css(std::string_view css, CssSource source, const std::string& base, DocumentScope& scope)
        {
            ReferenceResolver resolver(base);
            std::string imported;
            std::string own = RewriteCssTokens(
                css, source, [&](const CssReference& reference) -> std::optional<std::string> {
                    const auto& resolved = resolver.Resolve(reference.value);
                    if (!resolved)
                        return std::nullopt;
                    auto found = Find(*resolved);
                    std::string address;
                    if (reference.kind == CssReferenceKind::Import) {
                        if (found)
                            imported += Stylesheet(*found, scope) + "\n";
                        address = "data:text/css,";
                    } else if (!found) {
                        address = "data:,";
                    } else if (reference.kind == CssReferenceKind::Image
                        && reference.form == CssReferenceForm::UrlToken) {
                        scope.variables.insert(*found);
                        m_held.insert(*found);
                        return "var(" + VariableName(*found) + ")";
                    } else {
                        m_held.insert(*found);
                        address = Marker(*found) + resolved->fragment;
                    }
                    std::string quoted = QuoteCssString(address);
                    return reference.form == CssReferenceForm::UrlToken ? "url(" + quoted + ")" : quoted;
                });
            return imported + own;
        }

        std::uintmax_t Size(size_t index) const
        {
            std::error_code error;
            std::uintmax_t size = std::filesystem::file_size(m_files[index].path, error);
            return error ? 0 : size;
        }

        // Writes text with each marker replaced by the data: address of its file, read in pieces.
        void WriteExpanded(std::string_view text, PartialFile& file)
        {
            size_t at = 0;
            while (at < text.size()) {
                size_t open = text.find(kOpen, at);
                size_t close = open == std::string_view::npos ? open : text.find(kClose, open);
                if (close == std::string_view::npos) {
                    file.Write(text.substr(at));
                    return;
                }
                file.Write(text.substr(at, open - at));
                at = close + 1;
                size_t index = 0;
                bool valid = close > open + 1 && close - open <= 10;
                for (size_t i = open + 1; valid && i < close; ++i) {
                    valid = text[i] >= '0' && text[i] <= '9';
                    index = index * 10 + size_t(text[i] - '0');
                }
                if (!valid || index >= m_files.size()) {
                    file.Write(text.substr(open, close + 1 - open));
                    continue;
                }
                WriteDataAddress(index, file);
            }
        }

        void WriteDataAddress(size_t index, PartialFile& file)
        {
            file.Write("data:" + MediaType(m_files[index].path) + ";base64,");
            std::ifstream stream(m_files[index].path, std::ios::binary);
            std::string piece(kPiece, '\0');
            std::string encoded;
            while (stream) {
                stream.read(piece.data(), std::streamsize(piece.size()));
                size_t got = size_t(stream.gcount());
                if (got == 0)
                    break;
                encoded.clear();
                AppendBase64(std::string_view(piece).substr(0, got), encoded);
                file.Write(encoded);
            }
        }

        std::filesystem::path FreeName(std::filesystem::path name) const
        {
            std::set<std::filesystem::path> taken;
            for (const CapturedFile& file : m_files)
                taken.insert(file.path.lexically_normal());
            std::filesystem::path first = name;
            for (int number = 2; taken.count(name.lexically_normal()) != 0; ++number)
                name = first.parent_path()
                    / (first.stem().stem().string() + std::string(kSingleMark) + std::to_string(number)
                        + first.extension().string());
            return name;
        }

        std::filesystem::path m_root;
        const std::vector<CapturedFile>& m_files;
        CopyScripts m_scripts;
        const std::function<void()>& m_beforeEachPart;
        std::map<std::string, size_t> m_byAddress;
        // The files whose bytes the single file holds.
        std::set<size_t> m_held;
        size_t m_stylesheetsRead = 0;
    };

} // namespace

std::filesystem::path SingleFilePath(const std::filesystem::path& page)
{
    std::filesystem::path name = page.filename();
    std::string extension = base::LowerAscii(name.extension().string());
    bool html = extension == ".htm" || extension == ".html";
    std::string stem = name.has_extension() ? name.stem().string() : name.string();
    return page.parent_path()
        / (stem + std::string(kSingleMark) + (html ? name.extension().string() : ".htm"));
}

SingleFileResult WriteSingleFile(const std::filesystem::path& captureFolder,
    const std::vector<CapturedFile>& files, CopyScripts scripts, const std::function<void()>& beforeEachPart)
{
    return SingleFileWriter(captureFolder, files, scripts, beforeEachPart).Run();
}

} // namespace pagestow::offline
