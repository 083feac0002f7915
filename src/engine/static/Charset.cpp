#include "engine/static/Charset.h"

#include "base/Ascii.h"
#include "base/Owned.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>

namespace pagestow::engine::static_engine {
namespace {

    using base::IsHtmlSpace;

    bool IsAsciiLetter(char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }

    bool StartsWithIgnoringCase(std::string_view text, size_t at, std::string_view prefix)
    {
        if (text.size() - at < prefix.size() || at > text.size())
            return false;
        for (size_t i = 0; i < prefix.size(); ++i) {
            if (base::LowerAscii(text[at + i]) != prefix[i])
                return false;
        }
        return true;
    }

    // The labels browsers accept, mapped to the set's name (the common sets of the encoding standard).
    const std::map<std::string, std::string, std::less<>>& Labels()
    {
        static const std::map<std::string, std::string, std::less<>> labels = [] {
            std::map<std::string, std::string, std::less<>> map;
            auto add = [&](const char* name, std::initializer_list<const char*> names) {
                for (const char* label : names)
                    map[label] = name;
            };
            add("UTF-8",
                { "unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8", "utf-8", "utf8",
                    "x-unicode20utf8" });
            add("GBK",
                { "chinese", "csgb2312", "csiso58gb231280", "gb2312", "gb_2312", "gb_2312-80", "gbk",
                    "iso-ir-58", "x-gbk" });
            add("gb18030", { "gb18030" });
            add("Big5", { "big5", "big5-hkscs", "cn-big5", "csbig5", "x-x-big5" });
            add("EUC-JP", { "cseucpkdfmtjapanese", "euc-jp", "x-euc-jp" });
            add("ISO-2022-JP", { "csiso2022jp", "iso-2022-jp" });
            add("Shift_JIS",
                { "csshiftjis", "ms932", "ms_kanji", "shift-jis", "shift_jis", "sjis", "windows-31j",
                    "x-sjis" });
            add("EUC-KR",
                { "cseuckr", "csksc56011987", "euc-kr", "iso-ir-149", "korean", "ks_c_5601-1987",
                    "ks_c_5601-1989", "ksc5601", "ksc_5601", "windows-949" });
            add("windows-1252",
                { "ansi_x3.4-1968", "ascii", "cp1252", "cp819", "csisolatin1", "ibm819", "iso-8859-1",
                    "iso-ir-100", "iso8859-1", "iso88591", "iso_8859-1", "iso_8859-1:1987", "l1", "latin1",
                    "us-ascii", "windows-1252", "x-cp1252" });
            add("UTF-16LE",
                { "csunicode", "iso-10646-ucs-2", "ucs-2", "unicode", "unicodefeff", "utf-16", "utf-16le" });
            add("UTF-16BE", { "unicodefffe", "utf-16be" });
            add("windows-1250", { "cp1250", "windows-1250", "x-cp1250" });
            add("windows-1251", { "cp1251", "windows-1251", "x-cp1251" });
            add("windows-1253", { "cp1253", "windows-1253", "x-cp1253" });
            add("windows-1254",
                { "cp1254", "csisolatin5", "iso-8859-9", "iso-ir-148", "iso8859-9", "iso88599", "iso_8859-9",
                    "l5", "latin5", "windows-1254", "x-cp1254" });
            add("windows-1255", { "cp1255", "windows-1255", "x-cp1255" });
            add("windows-1256", { "cp1256", "windows-1256", "x-cp1256" });
            add("windows-1257", { "cp1257", "windows-1257", "x-cp1257" });
            add("windows-1258", { "cp1258", "windows-1258", "x-cp1258" });
            add("windows-874",
                { "dos-874", "iso-8859-11", "iso8859-11", "iso885911", "tis-620", "windows-874" });
            add("ISO-8859-2",
                { "csisolatin2", "iso-8859-2", "iso-ir-101", "iso8859-2", "iso88592", "iso_8859-2", "l2",
                    "latin2" });
            add("ISO-8859-5",
                { "csisolatincyrillic", "cyrillic", "iso-8859-5", "iso-ir-144", "iso8859-5", "iso88595",
                    "iso_8859-5" });
            add("ISO-8859-7",
                { "csisolatingreek", "ecma-118", "elot_928", "greek", "greek8", "iso-8859-7", "iso-ir-126",
                    "iso8859-7", "iso88597", "iso_8859-7", "sun_eu_greek" });
            add("ISO-8859-15",
                { "csisolatin9", "iso-8859-15", "iso8859-15", "iso885915", "iso_8859-15", "l9", "latin-9" });
            add("KOI8-R", { "cskoi8r", "koi", "koi8", "koi8-r", "koi8_r" });
            add("KOI8-U", { "koi8-ru", "koi8-u" });
            add("x-user-defined", { "x-user-defined" });
            return map;
        }();
        return labels;
    }

    // The iconv name that decodes a set as browsers do (GBK is read with the gb18030 decoder).
    std::string IconvName(const std::string& name)
    {
        static const std::map<std::string, std::string, std::less<>> names = {
            { "GBK", "GB18030" },
            { "gb18030", "GB18030" },
            { "Big5", "BIG5-HKSCS" },
            { "Shift_JIS", "CP932" },
            { "EUC-KR", "CP949" },
            { "windows-874", "CP874" },
        };
        auto found = names.find(name);
        return found == names.end() ? name : found->second;
    }

    void AppendUtf8(std::string& out, char32_t c)
    {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }

    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

    std::string DecodeWindows1252(std::string_view bytes, bool userDefined)
    {
        static constexpr char16_t kHigh[32]
            = { 0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                  0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                  0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178 };
        std::string out;
        out.reserve(bytes.size() + bytes.size() / 4);
        for (char byte : bytes) {
            unsigned char c = (unsigned char)byte;
            if (c < 0x80)
                out += byte;
            else if (userDefined)
                AppendUtf8(out, char32_t(0xF780 + c - 0x80));
            else if (c < 0xA0)
                AppendUtf8(out, kHigh[c - 0x80]);
            else
                AppendUtf8(out, c);
        }
        return out;
    }

    // Replaces every ill-formed sequence of a UTF-8 text by U+FFFD.
    std::string SanitizeUtf8(std::string_view bytes)
    {
        std::string out;
        out.reserve(bytes.size());
        size_t i = 0;
        while (i < bytes.size()) {
            unsigned char c = (unsigned char)bytes[i];
            size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            std::string_view sequence = bytes.substr(i, length);
            if (sequence.size() == length && IsValidUtf8(sequence)) {
                out.append(sequence);
                i += length;
            } else {
                out += kReplacement;
                ++i;
            }
        }
        return out;
    }

    std::string DecodeWithIconv(std::string_view bytes, const std::string& from)
    {
        base::Iconv converter("UTF-8", from.c_str());
        if (!converter.Valid())
            return DecodeWindows1252(bytes, false);
        std::string out;
        out.resize(bytes.size() * 2 + 16);
        char* in = const_cast<char*>(bytes.data());
        size_t inLeft = bytes.size();
        size_t written = 0;
        while (inLeft > 0) {
            char* outPointer = out.data() + written;
            size_t outLeft = out.size() - written;
            size_t result = iconv(converter.Get(), &in, &inLeft, &outPointer, &outLeft);
            written = out.size() - outLeft;
            if (result != size_t(-1))
                break;
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
            } else {
                // An invalid or truncated sequence: one replacement character, and on with the next byte.
                if (out.size() - written < kReplacement.size())
                    out.resize(out.size() * 2);
                out.replace(written, kReplacement.size(), kReplacement);
                written += kReplacement.size();
                ++in;
                --inLeft;
                iconv(converter.Get(), nullptr, nullptr, nullptr, nullptr);
            }
        }
        out.resize(written);
        return out;
    }

    // The "get an attribute" step of the prescan; false at '>' or at the end of the input. pos
    // points past the attribute afterwards.
    bool GetAttribute(std::string_view text, size_t& pos, std::string& name, std::string& value, bool& atEnd)
    {
        name.clear();
        value.clear();
        auto end = [&] { return pos >= text.size(); };
        while (!end() && (IsHtmlSpace(text[pos]) || text[pos] == '/'))
            ++pos;
        if (end()) {
            atEnd = true;
            return false;
        }
        if (text[pos] == '>')
            return false;
        // The name.
        for (;;) {
            if (end()) {
                atEnd = true;
                return false;
            }
            char c = text[pos];
            if (c == '=' && !name.empty()) {
                ++pos;
                goto valueStart;
            }
            if (IsHtmlSpace(c))
                break;
            if (c == '/' || c == '>')
                return true;
            name += base::LowerAscii(c);
            ++pos;
        }
        while (!end() && IsHtmlSpace(text[pos]))
            ++pos;
        if (end()) {
            atEnd = true;
            return false;
        }
        if (text[pos] != '=')
            return true;
        ++pos;
    valueStart:
        while (!end() && IsHtmlSpace(text[pos]))
            ++pos;
        if (end()) {
            atEnd = true;
            return false;
        }
        if (text[pos] == '"' || text[pos] == '\'') {
            char quote = text[pos];
            for (++pos; !end(); ++pos) {
                if (text[pos] == quote) {
                    ++pos;
                    return true;
                }
                value += base::LowerAscii(text[pos]);
            }
            atEnd = true;
            return false;
        }
        if (text[pos] == '>')
            return true;
        for (; !end(); ++pos) {
            if (IsHtmlSpace(text[pos]) || text[pos] == '>')
                return true;
            value += base::LowerAscii(text[pos]);
        }
        atEnd = true;
        return false;
    }

    // The charset named inside a meta content value ("text/html; charset=gbk").
    std::optional<std::string> CharsetFromMetaContent(std::string_view content)
    {
        size_t pos = 0;
        for (;;) {
            size_t found = std::string_view::npos;
            for (size_t i = pos; i + 7 <= content.size(); ++i) {
                if (StartsWithIgnoringCase(content, i, "charset")) {
                    found = i;
                    break;
                }
            }
            if (found == std::string_view::npos)
                return std::nullopt;
            pos = found + 7;
            while (pos < content.size() && IsHtmlSpace(content[pos]))
                ++pos;
            if (pos >= content.size() || content[pos] != '=')
                continue;
            ++pos;
            while (pos < content.size() && IsHtmlSpace(content[pos]))
                ++pos;
            if (pos >= content.size())
                return std::nullopt;
            if (content[pos] == '"' || content[pos] == '\'') {
                size_t close = content.find(content[pos], pos + 1);
                if (close == std::string_view::npos)
                    return std::nullopt;
                return std::string(content.substr(pos + 1, close - pos - 1));
            }
            size_t stop = pos;
            while (stop < content.size() && !IsHtmlSpace(content[stop]) && content[stop] != ';')
                ++stop;
            return std::string(content.substr(pos, stop - pos));
        }
    }

} // namespace

std::optional<std::string> CharsetForLabel(std::string_view label)
{
    while (!label.empty() && IsHtmlSpace(label.front()))
        label.remove_prefix(1);
    while (!label.empty() && IsHtmlSpace(label.back()))
        label.remove_suffix(1);
    std::string lower;
    for (char c : label)
        lower += base::LowerAscii(c);
    auto found = Labels().find(lower);
    if (found == Labels().end())
        return std::nullopt;
    return found->second;
}

std::string CharsetParameter(std::string_view contentType)
{
    size_t pos = contentType.find(';');
    while (pos != std::string_view::npos) {
        ++pos;
        while (pos < contentType.size() && IsHtmlSpace(contentType[pos]))
            ++pos;
        size_t equals = contentType.find_first_of("=;", pos);
        if (equals == std::string_view::npos)
            return {};
        if (contentType[equals] == ';') {
            pos = equals;
            continue;
        }
        std::string name;
        for (char c : contentType.substr(pos, equals - pos))
            name += base::LowerAscii(c);
        while (!name.empty() && IsHtmlSpace(name.back()))
            name.pop_back();
        size_t valueStart = equals + 1;
        std::string value;
        size_t next;
        if (valueStart < contentType.size() && contentType[valueStart] == '"') {
            size_t close = contentType.find('"', valueStart + 1);
            value = std::string(contentType.substr(valueStart + 1,
                close == std::string_view::npos ? std::string_view::npos : close - valueStart - 1));
            next = close == std::string_view::npos ? close : contentType.find(';', close);
        } else {
            next = contentType.find(';', valueStart);
            value = std::string(
                contentType.substr(valueStart, next == std::string_view::npos ? next : next - valueStart));
        }
        if (name == "charset")
            return value;
        pos = next;
    }
    return {};
}

std::optional<std::string> PrescanForMetaCharset(std::string_view bytes)
{
    // 1. Only the first 1,024 bytes are looked at, as a browser's prescan does.
    std::string_view text = bytes.substr(0, 1024);
    size_t pos = 0;
    bool atEnd = false;
    std::string name;
    std::string value;
    while (pos < text.size() && !atEnd) {
        // 2. A comment is skipped whole; one that does not end in the window ends the prescan.
        if (StartsWithIgnoringCase(text, pos, "<!--")) {
            size_t close = text.find("-->", pos + 2);
            if (close == std::string_view::npos)
                return std::nullopt;
            pos = close + 3;
            continue;
        }
        if (StartsWithIgnoringCase(text, pos, "<meta") && pos + 5 < text.size()
            && (IsHtmlSpace(text[pos + 5]) || text[pos + 5] == '/')) {
            // 3. A meta element: its attributes, each name counted once, say whether it declares a
            // character set, by a charset attribute or by a content-type pragma.
            pos += 5;
            std::vector<std::string> seen;
            bool gotPragma = false;
            std::optional<bool> needPragma;
            std::optional<std::string> charset;
            bool charsetFailed = false;
            while (GetAttribute(text, pos, name, value, atEnd)) {
                if (std::find(seen.begin(), seen.end(), name) != seen.end())
                    continue;
                seen.push_back(name);
                if (name == "http-equiv") {
                    if (value == "content-type")
                        gotPragma = true;
                } else if (name == "content") {
                    if (!charset && !charsetFailed) {
                        if (auto label = CharsetFromMetaContent(value)) {
                            charset = CharsetForLabel(*label);
                            charsetFailed = !charset;
                            needPragma = true;
                        }
                    }
                } else if (name == "charset") {
                    charset = CharsetForLabel(value);
                    charsetFailed = !charset;
                    needPragma = false;
                }
            }
            // 4. A declaration counts only when complete; a pragma's charset needs its http-equiv.
            // UTF-16 in a document read as ASCII cannot be true, so it reads as UTF-8.
            if (atEnd)
                return std::nullopt;
            if (needPragma && !(*needPragma && !gotPragma) && charset) {
                if (*charset == "UTF-16LE" || *charset == "UTF-16BE")
                    return std::string("UTF-8");
                if (*charset == "x-user-defined")
                    return std::string("windows-1252");
                return charset;
            }
            ++pos;
            continue;
        }
        if (text[pos] == '<' && pos + 1 < text.size()
            && (IsAsciiLetter(text[pos + 1])
                || (text[pos + 1] == '/' && pos + 2 < text.size() && IsAsciiLetter(text[pos + 2])))) {
            // 5. Any other start or end tag: its name and attributes are stepped over, so that a
            // "<meta" inside an attribute value is not taken for one.
            while (pos < text.size() && !IsHtmlSpace(text[pos]) && text[pos] != '>')
                ++pos;
            while (GetAttribute(text, pos, name, value, atEnd)) { }
            ++pos;
            continue;
        }
        if (StartsWithIgnoringCase(text, pos, "<!") || StartsWithIgnoringCase(text, pos, "</")
            || StartsWithIgnoringCase(text, pos, "<?")) {
            // 6. Declarations, processing instructions and bogus end tags run to the next '>'.
            size_t close = text.find('>', pos + 2);
            if (close == std::string_view::npos)
                return std::nullopt;
            pos = close + 1;
            continue;
        }
        // 7. Any other byte is text.
        ++pos;
    }
    return std::nullopt;
}

DetectedCharset DetectCharset(std::string_view bytes, std::string_view contentType)
{
    // 1. A byte-order mark decides, and is no part of the text.
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return { "UTF-8", 3 };
    if (bytes.substr(0, 2) == "\xFE\xFF")
        return { "UTF-16BE", 2 };
    if (bytes.substr(0, 2) == "\xFF\xFE")
        return { "UTF-16LE", 2 };
    // 2. The transport's charset.
    if (auto charset = CharsetForLabel(CharsetParameter(contentType)))
        return { *charset, 0 };
    // 3. A declaration near the start of the document.
    if (auto charset = PrescanForMetaCharset(bytes))
        return { *charset, 0 };
    // 4. An undeclared document: UTF-8 when it reads as UTF-8, otherwise the web's historic default.
    return { IsValidUtf8(bytes) ? "UTF-8" : "windows-1252", 0 };
}

std::string DecodeToUtf8(std::string_view bytes, const std::string& charsetName)
{
    if (charsetName == "UTF-8")
        return IsValidUtf8(bytes) ? std::string(bytes) : SanitizeUtf8(bytes);
    if (charsetName == "windows-1252" || charsetName == "x-user-defined")
        return DecodeWindows1252(bytes, charsetName == "x-user-defined");
    bool ascii = true;
    for (char c : bytes) {
        if ((unsigned char)c >= 0x80 || c == 0x1B) {
            ascii = false;
            break;
        }
    }
    // Every set a page may name reads ASCII as ASCII, except the two UTF-16 forms.
    if (ascii && charsetName != "UTF-16LE" && charsetName != "UTF-16BE")
        return std::string(bytes);
    return DecodeWithIconv(bytes, IconvName(charsetName));
}

bool IsValidUtf8(std::string_view bytes)
{
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = (unsigned char)bytes[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                low = 0xA0;
            if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                low = 0x90;
            if (c == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        unsigned char second = (unsigned char)bytes[i + 1];
        if (second < low || second > high)
            return false;
        for (size_t k = 2; k < length; ++k) {
            unsigned char next = (unsigned char)bytes[i + k];
            if (next < 0x80 || next > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}

} // namespace pagestow::engine::static_engine
