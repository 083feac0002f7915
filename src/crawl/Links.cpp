#include "crawl/Links.h"

#include "base/Ascii.h"
#include "url/Address.h"
#include "url/Canonical.h"
#include "url/Resolve.h"

#include <array>
#include <optional>
#include <unordered_set>

// The links are read by a scanner of start tags that follows the HTML tokenizer's rules for tags,
// attributes, comments and raw text, and builds no tree: a document of any size costs one pass and no
// more memory than the links it gives.

namespace pagestow::crawl {
namespace {

    enum class Flow { Continue, Stop };

    struct Attribute {
        std::string_view name;
        std::string_view value; // as written, character references not yet decoded
    };

    struct StartTag {
        std::string name; // lower case
        std::vector<Attribute> attributes;

        // The first attribute of that (lower-case) name, as HTML keeps the first of duplicates.
        std::optional<std::string_view> Find(std::string_view wanted) const
        {
            for (const Attribute& attribute : attributes) {
                if (base::EqualsIgnoringAsciiCase(attribute.name, wanted))
                    return attribute.value;
            }
            return std::nullopt;
        }
    };

    bool IsAsciiAlpha(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    }

    bool IsAsciiAlnum(char c)
    {
        return IsAsciiAlpha(c) || (c >= '0' && c <= '9');
    }

    // Elements whose content is text up to their end tag, never markup.
    bool HoldsRawText(std::string_view name)
    {
        constexpr std::array<std::string_view, 8> kNames
            = { "script", "style", "xmp", "iframe", "noembed", "noframes", "textarea", "title" };
        for (std::string_view raw : kNames) {
            if (name == raw)
                return true;
        }
        return false;
    }

    // Where the end tag of name starts at or after at, or the end of html.
    std::size_t FindEndTag(std::string_view html, std::size_t at, std::string_view name)
    {
        for (;;) {
            std::size_t open = html.find("</", at);
            if (open == std::string_view::npos)
                return html.size();
            std::size_t after = open + 2 + name.size();
            if (base::EqualsIgnoringAsciiCase(html.substr(open + 2, name.size()), name)
                && (after >= html.size() || base::IsHtmlSpace(html[after]) || html[after] == '/'
                    || html[after] == '>'))
                return open;
            at = open + 2;
        }
    }

    // Reads the attributes of a tag from at; the position after its ">", or nullopt when the text ends
    // inside the tag (which HTML drops).
    std::optional<std::size_t> ReadAttributes(
        std::string_view html, std::size_t at, std::vector<Attribute>& out)
    {
        const std::size_t n = html.size();
        for (;;) {
            while (at < n && (base::IsHtmlSpace(html[at]) || html[at] == '/'))
                ++at;
            if (at >= n)
                return std::nullopt;
            if (html[at] == '>')
                return at + 1;
            // The first character belongs to the name even when it is "=".
            std::size_t nameStart = at++;
            while (at < n && !base::IsHtmlSpace(html[at]) && html[at] != '/' && html[at] != '>'
                && html[at] != '=')
                ++at;
            Attribute attribute { html.substr(nameStart, at - nameStart), {} };
            std::size_t look = at;
            while (look < n && base::IsHtmlSpace(html[look]))
                ++look;
            if (look < n && html[look] == '=') {
                at = look + 1;
                while (at < n && base::IsHtmlSpace(html[at]))
                    ++at;
                if (at >= n)
                    return std::nullopt;
                char quote = html[at];
                if (quote == '"' || quote == '\'') {
                    std::size_t close = html.find(quote, at + 1);
                    if (close == std::string_view::npos)
                        return std::nullopt;
                    attribute.value = html.substr(at + 1, close - at - 1);
                    at = close + 1;
                } else {
                    std::size_t start = at;
                    while (at < n && !base::IsHtmlSpace(html[at]) && html[at] != '>')
                        ++at;
                    attribute.value = html.substr(start, at - start);
                }
            }
            out.push_back(attribute);
        }
    }

    // Calls visit for each start tag outside <template> in document order until it answers Stop.
    template <class Visit> void ScanStartTags(std::string_view html, Visit visit)
    {
        const std::size_t n = html.size();
        StartTag tag;
        int templateDepth = 0;
        std::size_t at = 0;
        while (at < n) {
            std::size_t open = html.find('<', at);
            if (open == std::string_view::npos || open + 1 >= n)
                return;
            at = open + 1;
            char c = html[at];
            if (c == '!' && html.substr(at, 3) == "!--") {
                std::size_t body = at + 3;
                if (html.substr(body, 1) == ">" || html.substr(body, 2) == "->") {
                    at = html.find('>', body) + 1;
                    continue;
                }
                std::size_t close = html.find("-->", body);
                at = close == std::string_view::npos ? n : close + 3;
                continue;
            }
            bool endTag = c == '/';
            std::size_t nameStart = endTag ? at + 1 : at;
            if (c == '!' || c == '?' || (endTag && (nameStart >= n || !IsAsciiAlpha(html[nameStart])))) {
                // A bogus comment, up to the next ">".
                std::size_t close = html.find('>', endTag ? nameStart : at);
                at = close == std::string_view::npos ? n : close + 1;
                continue;
            }
            if (!endTag && !IsAsciiAlpha(c))
                continue;
            std::size_t nameEnd = nameStart;
            while (nameEnd < n && !base::IsHtmlSpace(html[nameEnd]) && html[nameEnd] != '/'
                && html[nameEnd] != '>')
                ++nameEnd;
            tag.name = base::LowerAscii(html.substr(nameStart, nameEnd - nameStart));
            tag.attributes.clear();
            auto after = ReadAttributes(html, nameEnd, tag.attributes);
            if (!after)
                return;
            at = *after;
            if (tag.name == "template") {
                templateDepth += endTag ? (templateDepth > 0 ? -1 : 0) : 1;
                continue;
            }
            if (endTag)
                continue;
            if (templateDepth == 0 && visit(tag) == Flow::Stop)
                return;
            if (tag.name == "plaintext")
                return;
            if (HoldsRawText(tag.name))
                at = FindEndTag(html, at, tag.name);
        }
    }

    void AppendUtf8(std::string& out, std::uint32_t code)
    {
        if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }

    struct NamedReference {
        std::string_view name;
        std::string_view text;
        bool legacy; // also read without the ";"
    };

    // The named references that turn up in addresses; an address that uses another keeps it as written.
    constexpr std::array<NamedReference, 12> kNamedReferences = { {
        { "amp", "&", true },
        { "lt", "<", true },
        { "gt", ">", true },
        { "quot", "\"", true },
        { "nbsp", "\xC2\xA0", true },
        { "apos", "'", false },
        { "sol", "/", false },
        { "colon", ":", false },
        { "quest", "?", false },
        { "equals", "=", false },
        { "num", "#", false },
        { "percnt", "%", false },
    } };

    // Reads the character reference after the "&" at value[at]; how many characters it takes (0 when
    // there is none).
    std::size_t ReadReference(std::string_view value, std::size_t at, std::string& out)
    {
        std::size_t i = at + 1;
        if (i < value.size() && value[i] == '#') {
            ++i;
            bool hex = i < value.size() && (value[i] == 'x' || value[i] == 'X');
            if (hex)
                ++i;
            std::size_t digitsStart = i;
            std::uint32_t code = 0;
            while (i < value.size()
                && (hex ? base::IsHexDigit(value[i]) : (value[i] >= '0' && value[i] <= '9'))) {
                code = std::min<std::uint32_t>(
                    code * (hex ? 16 : 10) + base::HexDigitValue(value[i]), 0x110000);
                ++i;
            }
            if (i == digitsStart)
                return 0;
            if (i < value.size() && value[i] == ';')
                ++i;
            AppendUtf8(out, code);
            return i - at;
        }
        std::size_t nameEnd = i;
        while (nameEnd < value.size() && nameEnd - i < 8 && IsAsciiAlnum(value[nameEnd]))
            ++nameEnd;
        std::string_view name = value.substr(i, nameEnd - i);
        bool semicolon = nameEnd < value.size() && value[nameEnd] == ';';
        for (const NamedReference& reference : kNamedReferences) {
            if (semicolon && name == reference.name) {
                out += reference.text;
                return nameEnd + 1 - at;
            }
            // Without the ";", in an attribute only when no name or "=" follows.
            if (reference.legacy && name.substr(0, reference.name.size()) == reference.name) {
                std::size_t next = i + reference.name.size();
                if (next < value.size() && (IsAsciiAlnum(value[next]) || value[next] == '='))
                    continue;
                out += reference.text;
                return next - at;
            }
        }
        return 0;
    }

    std::string DecodeReferences(std::string_view value)
    {
        std::string out;
        out.reserve(value.size());
        for (std::size_t i = 0; i < value.size();) {
            std::size_t taken = value[i] == '&' ? ReadReference(value, i, out) : 0;
            if (taken == 0)
                out += value[i++];
            else
                i += taken;
        }
        return out;
    }

    bool HasToken(std::string_view list, std::string_view word)
    {
        std::size_t at = 0;
        while (at < list.size()) {
            while (at < list.size() && base::IsHtmlSpace(list[at]))
                ++at;
            std::size_t end = at;
            while (end < list.size() && !base::IsHtmlSpace(list[end]))
                ++end;
            if (end > at && base::EqualsIgnoringAsciiCase(list.substr(at, end - at), word))
                return true;
            at = end;
        }
        return false;
    }

    // The kind of link a start tag makes and the attribute naming its address; nullopt for any other.
    std::optional<std::pair<PageLink::Kind, std::string_view>> LinkOf(const StartTag& tag)
    {
        using Kind = PageLink::Kind;
        if (tag.name == "a")
            return std::make_pair(Kind::Anchor, std::string_view("href"));
        if (tag.name == "area")
            return std::make_pair(Kind::Area, std::string_view("href"));
        if (tag.name == "frame" || tag.name == "iframe")
            return std::make_pair(Kind::Frame, std::string_view("src"));
        if (tag.name == "link") {
            std::string rel = DecodeReferences(tag.Find("rel").value_or(""));
            if (HasToken(rel, "next") || HasToken(rel, "prev"))
                return std::make_pair(Kind::Relation, std::string_view("href"));
        }
        return std::nullopt;
    }

} // namespace

std::vector<PageLink> ExtractLinks(
    std::string_view html, std::string_view documentAddress, std::size_t maxLinks)
{
    std::vector<PageLink> links;
    const std::string document = url::Canonicalize(documentAddress);
    if (document.empty() || maxLinks == 0)
        return links;

    std::string baseAddress = document;
    ScanStartTags(html, [&](const StartTag& tag) {
        if (tag.name != "base")
            return Flow::Continue;
        auto href = tag.Find("href");
        if (!href)
            return Flow::Continue;
        if (auto resolved = url::Resolve(document, DecodeReferences(*href)))
            baseAddress = *resolved;
        return Flow::Stop;
    });

    std::unordered_set<std::string> seen;
    ScanStartTags(html, [&](const StartTag& tag) {
        auto link = LinkOf(tag);
        if (!link)
            return Flow::Continue;
        auto value = tag.Find(link->second);
        if (!value || value->size() > kMaxLinkBytes)
            return Flow::Continue;
        auto resolved = url::Resolve(baseAddress, DecodeReferences(*value));
        if (!resolved || !seen.insert(*resolved).second)
            return Flow::Continue;
        links.push_back({ link->first, std::move(*resolved) });
        return links.size() >= maxLinks ? Flow::Stop : Flow::Continue;
    });
    return links;
}

bool IsHtmlType(std::string_view contentType)
{
    std::string_view type = base::TrimHtmlSpace(contentType.substr(0, contentType.find(';')));
    return base::EqualsIgnoringAsciiCase(type, "text/html")
        || base::EqualsIgnoringAsciiCase(type, "application/xhtml+xml");
}

bool LooksLikeFile(std::string_view address)
{
    constexpr std::array<std::string_view, 74> kFileExtensions = { "7z", "aac", "apk", "avi", "avif", "bin",
        "bmp", "bz2", "css", "csv", "deb", "dmg", "doc", "docx", "eot", "epub", "exe", "flac", "gif", "gz",
        "ico", "img", "iso", "jar", "jpeg", "jpg", "js", "json", "m4a", "m4v", "mjs", "mkv", "mov", "mp3",
        "mp4", "mpeg", "mpg", "msi", "odp", "ods", "odt", "oga", "ogg", "ogv", "opus", "otf", "pdf", "png",
        "ppt", "pptx", "rar", "rpm", "rtf", "svg", "tar", "tgz", "tif", "tiff", "ttf", "txt", "wasm", "wav",
        "webm", "webp", "wmv", "woff", "woff2", "xls", "xlsx", "xml", "xz", "zip", "zst", "heic" };
    auto parsed = url::Address::Parse(address);
    if (!parsed)
        return false;
    std::string_view path = std::string_view(parsed->Text()).substr(parsed->PathStart());
    path = path.substr(0, path.find_first_of("?#"));
    std::string_view name = path.substr(path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == name.size())
        return false;
    std::string extension = base::LowerAscii(name.substr(dot + 1));
    for (std::string_view known : kFileExtensions) {
        if (extension == known)
            return true;
    }
    return false;
}

} // namespace pagestow::crawl
