#include "support/Gzip.h"

#include <brotli/encode.h>
#include <zlib.h>

#include <cstdint>

namespace pagestow::testing {
namespace {

    // windowBits as deflateInit2 reads it: 15 for zlib, -15 for raw deflate, 15 + 16 for gzip.
    std::string Compress(const std::string& text, int windowBits)
    {
        z_stream stream {};
        deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
        std::string out(deflateBound(&stream, uLong(text.size())) + 32, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        stream.avail_in = uInt(text.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = uInt(out.size());
        deflate(&stream, Z_FINISH);
        out.resize(stream.total_out);
        deflateEnd(&stream);
        return out;
    }

} // namespace

std::string Gzip(const std::string& text)
{
    return Compress(text, MAX_WBITS + 16);
}

std::string Deflate(const std::string& text, bool raw)
{
    return Compress(text, raw ? -MAX_WBITS : MAX_WBITS);
}

std::string Gunzip(const std::string& bytes)
{
    std::string out;
    std::size_t at = 0;
    while (at < bytes.size()) {
        z_stream stream {};
        if (inflateInit2(&stream, MAX_WBITS + 16) != Z_OK)
            break;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at));
        stream.avail_in = uInt(bytes.size() - at);
        int code = Z_OK;
        while (code == Z_OK) {
            char buffer[1 << 16];
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            code = inflate(&stream, Z_NO_FLUSH);
            out.append(buffer, sizeof buffer - stream.avail_out);
        }
        at = bytes.size() - stream.avail_in;
        inflateEnd(&stream);
        if (code != Z_STREAM_END)
            break;
    }
    return out;
}

std::string Brotli(const std::string& text)
{
    size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size ? size : 64, '\0');
    size = out.size();
    BrotliEncoderCompress(BROTLI_MAX_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
        reinterpret_cast<const uint8_t*>(text.data()), &size, reinterpret_cast<uint8_t*>(out.data()));
    out.resize(size);
    return out;
}

} // namespace pagestow::testing
