#include "engine/webkit/CharsetEncoding.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>

namespace pagestow::engine::webkit {
namespace {

    std::string Lower(std::string_view text)
    {
        std::string lower(text);
        for (char& c : lower) {
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        }
        return lower;
    }

    bool IsUtf8(std::string_view charset)
    {
        std::string name = Lower(charset);
        return name.empty() || name == "utf-8" || name == "utf8";
    }

    // The converter's name for a set where the two disagree.
    std::string ConverterName(std::string_view charset)
    {
        std::string name = Lower(charset);
        if (name == "iso-8859-8-i")
            return "ISO-8859-8";
        return std::string(charset);
    }

    // The length of the UTF-8 sequence at text and its code point; a malformed byte counts as one
    // byte holding U+FFFD.
    size_t DecodeOne(const char* text, size_t available, char32_t& codePoint)
    {
        auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
        unsigned char lead = byte(0);
        size_t length = lead < 0x80 ? 1
            : (lead >> 5) == 0x6    ? 2
            : (lead >> 4) == 0xE    ? 3
            : (lead >> 3) == 0x1E   ? 4
                                    : 0;
        if (length == 0 || length > available) {
            codePoint = 0xFFFD;
            return 1;
        }
        codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80) {
                codePoint = 0xFFFD;
                return 1;
            }
            codePoint = (codePoint << 6) | (byte(i) & 0x3F);
        }
        return length;
    }

    class Converter {
    public:
        explicit Converter(const std::string& charset)
            : m_handle(iconv_open(charset.c_str(), "UTF-8"))
        {
        }
        ~Converter()
        {
            if (Valid())
                iconv_close(m_handle);
        }
        Converter(const Converter&) = delete;
        Converter& operator=(const Converter&) = delete;
        bool Valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
        iconv_t Handle() const { return m_handle; }

    private:
        iconv_t m_handle;
    };

} // namespace

bool CanEncodeCharset(std::string_view charset)
{
    return IsUtf8(charset) || Converter(ConverterName(charset)).Valid();
}

std::string EncodeForCharset(std::string_view utf8, std::string_view charset)
{
    if (IsUtf8(charset))
        return std::string(utf8);
    Converter converter(ConverterName(charset));
    if (!converter.Valid())
        return std::string(utf8);

    std::string output;
    char buffer[4096];
    auto flushBuffer = [&](char* end) { output.append(buffer, size_t(end - buffer)); };
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof(buffer);
        size_t result = iconv(converter.Handle(), &in, &inLeft, &out, &outLeft);
        flushBuffer(out);
        if (result != size_t(-1) || errno == E2BIG)
            continue;
        // The character at `in` cannot be written in the set (or is malformed): write it as a
        // character reference, converted like the text around it (ASCII exists in every set a
        // page can be read in, and a wide set such as UTF-16 needs its own bytes for it).
        char32_t codePoint = 0;
        size_t length = DecodeOne(in, inLeft, codePoint);
        char reference[16];
        int written = std::snprintf(reference, sizeof(reference), "&#x%04X;", unsigned(codePoint));
        char* referenceIn = reference;
        size_t referenceLeft = size_t(written);
        while (referenceLeft > 0) {
            out = buffer;
            outLeft = sizeof(buffer);
            if (iconv(converter.Handle(), &referenceIn, &referenceLeft, &out, &outLeft) == size_t(-1)
                && errno != E2BIG) {
                flushBuffer(out);
                output.append(referenceIn, referenceLeft);
                break;
            }
            flushBuffer(out);
        }
        in += length;
        inLeft -= length;
    }
    char* out = buffer;
    size_t outLeft = sizeof(buffer);
    iconv(converter.Handle(), nullptr, nullptr, &out, &outLeft);
    flushBuffer(out);
    return output;
}

} // namespace pagestow::engine::webkit
