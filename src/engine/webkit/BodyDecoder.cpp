#include "engine/webkit/BodyDecoder.h"

#include "base/Ascii.h"

namespace pagestow::engine::webkit {

BodyDecoder::BodyDecoder(std::string_view contentEncoding)
{
    std::string_view coding = base::TrimHtmlSpace(contentEncoding);
    if (coding.empty() || base::EqualsIgnoringAsciiCase(coding, "identity")) {
        m_identity = true;
    } else if (base::EqualsIgnoringAsciiCase(coding, "gzip")
        || base::EqualsIgnoringAsciiCase(coding, "x-gzip")) {
        m_converter.reset(G_CONVERTER(g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP)));
        m_gzip = true;
    } else if (base::EqualsIgnoringAsciiCase(coding, "deflate")) {
        m_deflate = true;
    } else {
        m_known = false;
    }
}

bool BodyDecoder::Feed(std::string_view bytes, std::string& out)
{
    if (!m_known || m_failed)
        return false;
    if (m_identity) {
        out.append(bytes);
        return true;
    }
    if (m_deflate && !m_converter) {
        // A zlib header is two bytes whose value is a multiple of 31, method 8; servers also send raw
        // deflate.
        m_head.append(bytes);
        if (m_head.size() < 2)
            return true;
        unsigned value
            = (unsigned(static_cast<unsigned char>(m_head[0])) << 8) | static_cast<unsigned char>(m_head[1]);
        bool zlib = (m_head[0] & 0x0F) == 8 && value % 31 == 0;
        m_converter.reset(G_CONVERTER(
            g_zlib_decompressor_new(zlib ? G_ZLIB_COMPRESSOR_FORMAT_ZLIB : G_ZLIB_COMPRESSOR_FORMAT_RAW)));
        std::string head = std::move(m_head);
        return Run(head, false, out);
    }
    return Run(bytes, false, out);
}

bool BodyDecoder::Finish(std::string& out)
{
    if (!m_known || m_failed)
        return false;
    if (m_identity)
        return true;
    if (!m_converter && !Feed({}, out))
        return false;
    if (!m_converter)
        return false;
    return Run({}, true, out) && m_finished && m_produced > 0;
}

bool BodyDecoder::Run(std::string_view bytes, bool atEnd, std::string& out)
{
    char buffer[64 * 1024];
    for (;;) {
        // Bytes after the end of the stream are another gzip member, or damage.
        if (m_finished && bytes.empty())
            return true;
        if (m_finished) {
            if (!m_gzip) {
                m_failed = true;
                return false;
            }
            g_converter_reset(m_converter.get());
            m_finished = false;
        }
        gsize read = 0;
        gsize written = 0;
        base::GErrorPtr error;
        GError* raw = nullptr;
        GConverterResult result = g_converter_convert(m_converter.get(), bytes.data(), bytes.size(), buffer,
            sizeof buffer, atEnd ? G_CONVERTER_INPUT_AT_END : G_CONVERTER_NO_FLAGS, &read, &written, &raw);
        error.reset(raw);
        if (result == G_CONVERTER_ERROR) {
            // More input is needed: everything given so far is taken in.
            if (!atEnd && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_PARTIAL_INPUT))
                return true;
            m_failed = true;
            return false;
        }
        out.append(buffer, written);
        m_produced += written;
        bytes.remove_prefix(read);
        if (result == G_CONVERTER_FINISHED)
            m_finished = true;
        else if (bytes.empty() && written < sizeof buffer && !atEnd)
            return true;
        else if (atEnd && read == 0 && written == 0)
            return m_finished;
    }
}

} // namespace pagestow::engine::webkit
