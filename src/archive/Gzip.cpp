#include "archive/Gzip.h"

#include <zlib.h>

#include <stdexcept>

namespace pagestow::archive {

struct GzipWriter::Stream {
    z_stream z {};
    bool open = false;
};

GzipWriter::GzipWriter(FileOutput& out)
    : m_out(out)
    , m_stream(std::make_unique<Stream>())
    , m_buffer(64 * 1024, '\0')
{
    // 16 + 15: a gzip wrapper around a 32 KiB window.
    if (deflateInit2(&m_stream->z, 1, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start zlib's deflate");
    m_stream->open = true;
}

GzipWriter::~GzipWriter()
{
    if (m_stream->open)
        deflateEnd(&m_stream->z);
}

bool GzipWriter::Deflate(std::string_view bytes, int flush)
{
    z_stream& z = m_stream->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = uInt(bytes.size());
    int result = Z_OK;
    do {
        z.next_out = reinterpret_cast<Bytef*>(m_buffer.data());
        z.avail_out = uInt(m_buffer.size());
        result = deflate(&z, flush);
        if (result == Z_STREAM_ERROR) {
            m_out.Fail("zlib's deflate failed");
            return false;
        }
        std::size_t produced = m_buffer.size() - z.avail_out;
        if (produced > 0 && !m_out.Write(std::string_view(m_buffer.data(), produced)))
            return false;
    } while (z.avail_in > 0 || z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return true;
}

bool GzipWriter::Add(std::string_view bytes)
{
    // avail_in is 32 bits wide: a large piece goes in parts.
    constexpr std::size_t kPiece = 1u << 30;
    while (bytes.size() > kPiece) {
        if (!Deflate(bytes.substr(0, kPiece), Z_NO_FLUSH))
            return false;
        bytes.remove_prefix(kPiece);
    }
    return Deflate(bytes, Z_NO_FLUSH);
}

bool GzipWriter::SetStored(bool stored)
{
    if (stored == m_stored)
        return true;
    // What is pending goes out in the old way first; then the level changes for what follows.
    if (!Deflate({}, Z_BLOCK))
        return false;
    z_stream& z = m_stream->z;
    z.next_in = nullptr;
    z.avail_in = 0;
    z.next_out = reinterpret_cast<Bytef*>(m_buffer.data());
    z.avail_out = uInt(m_buffer.size());
    int result = deflateParams(&z, stored ? 0 : 1, Z_DEFAULT_STRATEGY);
    std::size_t produced = m_buffer.size() - z.avail_out;
    if (produced > 0 && !m_out.Write(std::string_view(m_buffer.data(), produced)))
        return false;
    if (result != Z_OK) {
        m_out.Fail("zlib's deflate failed");
        return false;
    }
    m_stored = stored;
    return true;
}

bool GzipWriter::EndMember()
{
    bool written = Deflate({}, Z_FINISH);
    deflateReset(&m_stream->z);
    return written;
}

} // namespace pagestow::archive
