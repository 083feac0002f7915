// The MHTML file: a page and what it loaded as one multipart/related message (RFC 2557, RFC 2045),
// in the form Chromium writes and reads (Content-Location matched against each resolved address).

#include "offline/Mhtml.h"

#include "offline/OfflineHtml.h"
#include "offline/OfflineUrl.h"

#include <gumbo.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <system_error>

namespace pagestow::offline {
namespace {
    namespace fs = std::filesystem;

    // Base64 lines of 76 characters are 57 bytes; a piece read is a thousand of those lines.
    constexpr size_t kBase64LineBytes = 57;
    constexpr size_t kPieceBytes = kBase64LineBytes * 1024;
    constexpr size_t kMaxLine = 76;
    constexpr size_t kTitleBytes = 256 * 1024;
    constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    using File = std::unique_ptr<std::FILE, FileCloser>;

    bool StartsWith(std::string_view text, std::string_view prefix)
    {
        return text.substr(0, prefix.size()) == prefix;
    }

    std::string Lower(std::string text)
    {
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return text;
    }

    std::string Base64(std::string_view bytes)
    {
        std::string out;
        out.reserve((bytes.size() + 2) / 3 * 4);
        size_t i = 0;
        for (; i + 3 <= bytes.size(); i += 3) {
            unsigned v = (static_cast<unsigned char>(bytes[i]) << 16)
                | (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
            out += kBase64[(v >> 18) & 63];
            out += kBase64[(v >> 12) & 63];
            out += kBase64[(v >> 6) & 63];
            out += kBase64[v & 63];
        }
        if (i < bytes.size()) {
            unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
            if (i + 1 < bytes.size())
                v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
            out += kBase64[(v >> 18) & 63];
            out += kBase64[(v >> 12) & 63];
            out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
            out += '=';
        }
        return out;
    }

    bool IsText(const std::string& type)
    {
        return StartsWith(type, "text/") || type == "image/svg+xml" || type == "application/javascript"
            || type == "application/json" || type == "application/xml";
    }

    // Quoted-printable (RFC 2045 6.7) fed in pieces: a line break of the body (LF or CRLF) becomes a
    // CRLF of the message, every other byte outside printable ASCII, and "=", is escaped, and longer
    // lines are broken with a soft "=" so that none exceeds 76 characters.
    class QuotedPrintable {
    public:
        explicit QuotedPrintable(std::string& out)
            : m_out(out)
        {
        }

        void Feed(std::string_view bytes)
        {
            for (char c : bytes) {
                if (m_pendingCr) {
                    m_pendingCr = false;
                    if (c == '\n') {
                        HardBreak();
                        continue;
                    }
                    Byte('\r');
                }
                if (c == '\r')
                    m_pendingCr = true;
                else if (c == '\n')
                    HardBreak();
                else
                    Byte(c);
            }
        }

        void Finish()
        {
            if (m_pendingCr)
                Byte('\r');
            m_pendingCr = false;
            FlushWhitespace(true);
        }

    private:
        void Emit(std::string_view encoded)
        {
            // Room is kept for the soft break's "=".
            if (m_column + encoded.size() > kMaxLine - 1) {
                m_out += "=\r\n";
                m_column = 0;
            }
            m_out += encoded;
            m_column += encoded.size();
        }

        void Escaped(unsigned char c)
        {
            static constexpr char kHex[] = "0123456789ABCDEF";
            const char escape[3] = { '=', kHex[c >> 4], kHex[c & 15] };
            Emit(std::string_view(escape, 3));
        }

        // A space or tab stays literal unless a line break follows it.
        void FlushWhitespace(bool beforeBreak)
        {
            if (m_whitespace == 0)
                return;
            char c = static_cast<char>(m_whitespace);
            m_whitespace = 0;
            if (beforeBreak)
                Escaped(static_cast<unsigned char>(c));
            else
                Emit(std::string_view(&c, 1));
        }

        void Byte(char c)
        {
            FlushWhitespace(false);
            auto u = static_cast<unsigned char>(c);
            if (c == ' ' || c == '\t')
                m_whitespace = u;
            else if (u >= 33 && u <= 126 && c != '=')
                Emit(std::string_view(&c, 1));
            else
                Escaped(u);
        }

        void HardBreak()
        {
            FlushWhitespace(true);
            m_out += "\r\n";
            m_column = 0;
        }

        std::string& m_out;
        size_t m_column = 0;
        unsigned m_whitespace = 0;
        bool m_pendingCr = false;
    };

    std::string RandomHex(size_t digits)
    {
        std::random_device device;
        std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device()
            ^ static_cast<std::uint64_t>(std::time(nullptr)));
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out;
        for (size_t i = 0; i < digits; ++i)
            out += kHex[generator() & 15];
        return out;
    }

    std::string RfcDate(std::time_t date)
    {
        std::tm utc {};
        gmtime_r(&date, &utc);
        static constexpr const char* kDays[] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
        static constexpr const char* kMonths[]
            = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
        char text[64];
        std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday],
            utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
        return text;
    }

    // A header value as one line: line breaks and other controls of an address become spaces.
    std::string HeaderValue(std::string_view value)
    {
        std::string out(value);
        for (char& c : out) {
            if (static_cast<unsigned char>(c) < 32 || c == 127)
                c = ' ';
        }
        return out;
    }

    // Writes one message to a temporary file and renames it into place once complete.
    class MessageWriter {
    public:
        explicit MessageWriter(const fs::path& target)
            : m_target(target)
            , m_temporary(target.string() + ".part-" + RandomHex(8))
        {
        }
        ~MessageWriter()
        {
            m_file.reset();
            if (!m_done) {
                std::error_code ignored;
                fs::remove(m_temporary, ignored);
            }
        }

        bool Open()
        {
            m_file.reset(std::fopen(m_temporary.c_str(), "wbx"));
            return Check(m_file != nullptr);
        }

        bool Write(std::string_view bytes)
        {
            if (m_error)
                return false;
            m_bytes += bytes.size();
            return Check(
                bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), m_file.get()) == bytes.size());
        }

        bool Commit()
        {
            if (m_error)
                return false;
            bool closed = std::fclose(m_file.release()) == 0;
            if (!Check(closed))
                return false;
            std::error_code error;
            fs::rename(m_temporary, m_target, error);
            if (error) {
                m_error = error.value();
                return false;
            }
            m_done = true;
            return true;
        }

        std::string Reason() const { return std::strerror(m_error ? m_error : EIO); }
        std::uint64_t Bytes() const { return m_bytes; }

    private:
        bool Check(bool ok)
        {
            if (!ok && !m_error)
                m_error = errno ? errno : EIO;
            return ok;
        }

        fs::path m_target;
        fs::path m_temporary;
        File m_file;
        int m_error = 0;
        bool m_done = false;
        std::uint64_t m_bytes = 0;
    };

    // Encodes the body of one part from its file, piece by piece. False when the file cannot be read.
    bool WriteBody(MessageWriter& writer, std::FILE* source, std::string_view head, bool text)
    {
        std::string piece(head);
        std::string encoded;
        QuotedPrintable quoted(encoded);
        std::array<char, kPieceBytes> buffer;
        std::string carry;
        while (true) {
            if (text)
                quoted.Feed(piece);
            else {
                carry += piece;
                size_t whole = carry.size() / kBase64LineBytes * kBase64LineBytes;
                for (size_t at = 0; at < whole; at += kBase64LineBytes)
                    encoded += Base64(std::string_view(carry).substr(at, kBase64LineBytes)) + "\r\n";
                carry.erase(0, whole);
            }
            if (!writer.Write(encoded))
                return true;
            encoded.clear();
            size_t got = std::fread(buffer.data(), 1, buffer.size(), source);
            if (got == 0) {
                if (std::ferror(source))
                    return false;
                break;
            }
            piece.assign(buffer.data(), got);
        }
        if (text) {
            quoted.Finish();
            encoded += "\r\n";
        } else if (!carry.empty())
            encoded += Base64(carry) + "\r\n";
        writer.Write(encoded);
        return true;
    }

    std::string TextOf(const GumboNode* node)
    {
        std::string text;
        if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE)
            return node->v.text.text;
        if (node->type != GUMBO_NODE_ELEMENT)
            return text;
        const GumboVector& children = node->v.element.children;
        for (unsigned i = 0; i < children.length; ++i)
            text += TextOf(static_cast<const GumboNode*>(children.data[i]));
        return text;
    }

    const GumboNode* FindTitle(const GumboNode* node)
    {
        if (node->type != GUMBO_NODE_ELEMENT)
            return nullptr;
        if (node->v.element.tag == GUMBO_TAG_TITLE)
            return node;
        if (node->v.element.tag == GUMBO_TAG_SVG)
            return nullptr;
        const GumboVector& children = node->v.element.children;
        for (unsigned i = 0; i < children.length; ++i) {
            if (const GumboNode* found = FindTitle(static_cast<const GumboNode*>(children.data[i])))
                return found;
        }
        return nullptr;
    }

    void CollectFrames(
        const GumboNode* node, ReferenceResolver& resolver, std::vector<std::string>& addresses)
    {
        if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
            return;
        const GumboElement& element = node->v.element;
        if (element.tag == GUMBO_TAG_IFRAME || element.tag == GUMBO_TAG_FRAME) {
            if (const GumboAttribute* src = gumbo_get_attribute(&element.attributes, "src")) {
                if (const auto& resolved = resolver.Resolve(src->value))
                    addresses.push_back(resolved->canonical);
            }
        }
        for (unsigned i = 0; i < element.children.length; ++i)
            CollectFrames(static_cast<const GumboNode*>(element.children.data[i]), resolver, addresses);
    }

} // namespace

std::vector<std::string> FrameAddresses(std::string_view html, const std::string& documentUrl)
{
    ReferenceResolver resolver(ReadDocumentStyles(html, documentUrl).baseUrl);
    std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> output(
        gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size()),
        [](GumboOutput* parsed) { gumbo_destroy_output(&kGumboDefaultOptions, parsed); });
    std::vector<std::string> addresses;
    if (output)
        CollectFrames(output->root, resolver, addresses);
    return addresses;
}

fs::path MhtmlPath(const fs::path& pagePath)
{
    fs::path stem = pagePath.parent_path() / pagePath.stem();
    fs::path candidate = stem.string() + ".mhtml";
    for (int n = 2; fs::exists(fs::symlink_status(candidate)) && n < 10000; ++n)
        candidate = stem.string() + "." + std::to_string(n) + ".mhtml";
    return candidate;
}

std::string MhtmlContentType(MhtmlPart::Role role, const fs::path& path, std::string_view head)
{
    // 1. What the bytes say: images and fonts say it at their start, whatever they were saved as.
    static constexpr std::pair<std::string_view, std::string_view> kMagic[] = {
        { "GIF87a", "image/gif" },
        { "GIF89a", "image/gif" },
        { "\x89PNG\r\n\x1a\n", "image/png" },
        { "\xff\xd8\xff", "image/jpeg" },
        { "BM", "image/bmp" },
        { std::string_view("\0\0\1\0", 4), "image/x-icon" },
        { "wOFF", "font/woff" },
        { "wOF2", "font/woff2" },
        { std::string_view("\0\1\0\0", 4), "font/ttf" },
        { "OTTO", "font/otf" },
        { "true", "font/ttf" },
    };
    for (const auto& [magic, type] : kMagic) {
        if (StartsWith(head, magic))
            return std::string(type);
    }
    if (head.size() >= 12 && StartsWith(head, "RIFF") && head.substr(8, 4) == "WEBP")
        return "image/webp";
    if (head.size() >= 12 && head.substr(4, 4) == "ftyp"
        && (head.substr(8, 4) == "avif" || head.substr(8, 4) == "avis"))
        return "image/avif";
    // 2. SVG, which the capture may have saved as a stylesheet (a <link rel=icon> is saved as the
    //    <link> elements are).
    std::string extension = Lower(path.extension().string());
    std::string_view start
        = head.substr(std::min(head.find_first_not_of(" \t\r\n\xef\xbb\xbf"), head.size()));
    bool svg = StartsWith(start, "<svg")
        || (StartsWith(start, "<?xml") && start.find("<svg") != std::string_view::npos);
    if (role != MhtmlPart::Role::Document && (extension == ".svg" || svg))
        return "image/svg+xml";
    // 3. What the capture saved it as.
    switch (role) {
    case MhtmlPart::Role::Document:
        return "text/html";
    case MhtmlPart::Role::Stylesheet:
        return "text/css";
    case MhtmlPart::Role::Script:
        return "text/javascript";
    case MhtmlPart::Role::Other:
        break;
    }
    // 4. The name.
    static constexpr std::pair<std::string_view, std::string_view> kExtensions[] = {
        { ".svg", "image/svg+xml" },
        { ".jpg", "image/jpeg" },
        { ".jpeg", "image/jpeg" },
        { ".png", "image/png" },
        { ".gif", "image/gif" },
        { ".webp", "image/webp" },
        { ".ico", "image/x-icon" },
        { ".woff", "font/woff" },
        { ".woff2", "font/woff2" },
        { ".ttf", "font/ttf" },
        { ".otf", "font/otf" },
        { ".css", "text/css" },
        { ".js", "text/javascript" },
        { ".mjs", "text/javascript" },
        { ".htm", "text/html" },
        { ".html", "text/html" },
        { ".json", "application/json" },
        { ".txt", "text/plain" },
    };
    for (const auto& [known, type] : kExtensions) {
        if (extension == known)
            return std::string(type);
    }
    return "application/octet-stream";
}

std::string DocumentTitle(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::string head(kTitleBytes, '\0');
    stream.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(stream.gcount()));
    std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> output(
        gumbo_parse_with_options(&kGumboDefaultOptions, head.data(), head.size()),
        [](GumboOutput* parsed) { gumbo_destroy_output(&kGumboDefaultOptions, parsed); });
    const GumboNode* title = output ? FindTitle(output->root) : nullptr;
    if (!title)
        return {};
    // Whitespace collapses as a browser shows the title.
    std::string text;
    for (char c : TextOf(title)) {
        bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
        if (!space)
            text += c;
        else if (!text.empty() && text.back() != ' ')
            text += ' ';
    }
    if (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string EncodeSubject(std::string_view title)
{
    bool plain = title.size() <= 900;
    for (char c : title) {
        auto u = static_cast<unsigned char>(c);
        plain = plain && u >= 32 && u < 127;
    }
    if (plain && title.find("=?") == std::string_view::npos)
        return std::string(title);
    // Encoded words of at most 45 bytes (60 characters of base64), never splitting a UTF-8 sequence.
    std::string out;
    size_t at = 0;
    while (at < title.size()) {
        size_t end = std::min(title.size(), at + 45);
        while (end < title.size() && end > at + 1 && (static_cast<unsigned char>(title[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty())
            out += "\r\n ";
        out += "=?utf-8?B?" + Base64(title.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

MhtmlResult WriteMhtml(const fs::path& target, const std::vector<MhtmlPart>& parts,
    const std::string& subject, std::time_t date, const std::function<void()>& beforeEachPart)
{
    MhtmlResult result;
    // "=_" cannot occur in base64 or quoted-printable text, so no part can hold the boundary.
    const std::string boundary = "----=_Pagestow_" + RandomHex(32);
    MessageWriter writer(target);
    if (!writer.Open()) {
        result.failure = writer.Reason();
        return result;
    }
    std::string header = "From: <Saved by Pagestow>\r\nSnapshot-Content-Location: "
        + HeaderValue(parts.empty() ? std::string() : parts.front().address)
        + "\r\nSubject: " + EncodeSubject(subject) + "\r\nDate: " + RfcDate(date)
        + "\r\nMIME-Version: 1.0\r\nContent-Type: "
          "multipart/related;\r\n\ttype=\"text/html\";\r\n\tboundary=\""
        + boundary + "\"\r\n\r\n";
    writer.Write(header);
    for (const MhtmlPart& part : parts) {
        if (beforeEachPart)
            beforeEachPart();
        File source(std::fopen(part.path.c_str(), "rb"));
        if (!source)
            continue;
        std::array<char, 64> head {};
        size_t headSize = std::fread(head.data(), 1, head.size(), source.get());
        std::string_view headBytes(head.data(), headSize);
        std::string type = MhtmlContentType(part.role, part.path, headBytes);
        bool text = IsText(type);
        writer.Write("--" + boundary + "\r\nContent-Type: " + type
            + "\r\nContent-Transfer-Encoding: " + (text ? "quoted-printable" : "base64")
            + "\r\nContent-Location: " + HeaderValue(part.address) + "\r\n\r\n");
        // A body that cannot be read to its end would leave a part cut short: the file is not written.
        if (!WriteBody(writer, source.get(), headBytes, text)) {
            result.failure
                = std::string(std::strerror(errno ? errno : EIO)) + " (" + part.path.string() + ")";
            return result;
        }
    }
    writer.Write("--" + boundary + "--\r\n");
    if (!writer.Commit()) {
        result.failure = writer.Reason();
        return result;
    }
    result.file = target;
    result.bytes = writer.Bytes();
    return result;
}

} // namespace pagestow::offline
