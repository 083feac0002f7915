#pragma once

#include <brotli/encode.h>
#include <zlib.h>

#include <string>

// Compressors for test bodies: a zlib or raw deflate stream, and a brotli stream.
namespace pagestow::engine::static_engine::test {

inline std::string Deflate(const std::string& text, bool raw)
{
    z_stream stream {};
    deflateInit2(
        &stream, Z_BEST_COMPRESSION, Z_DEFLATED, raw ? -MAX_WBITS : MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, uLong(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = uInt(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline std::string Brotli(const std::string& text)
{
    size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size ? size : 64, '\0');
    size = out.size();
    BrotliEncoderCompress(BROTLI_MAX_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
        reinterpret_cast<const uint8_t*>(text.data()), &size, reinterpret_cast<uint8_t*>(out.data()));
    out.resize(size);
    return out;
}

} // namespace pagestow::engine::static_engine::test
