// A small zip writer (PKWARE APPNOTE 6.3): every entry stored, sizes and CRC known before its local
// header is written, so no data descriptors are needed and a reader that starts from a local header
// (ReplayWeb.page reads WACZ entries by range) finds what it needs there.

#include "archive/Zip.h"

#include <zlib.h>

#include <ctime>

namespace pagestow::archive {
namespace {

    constexpr std::uint16_t kVersionZip64 = 45;
    constexpr std::uint16_t kVersionPlain = 20;
    constexpr std::uint16_t kUtf8Names = 1 << 11;

    void Put16(std::string& out, std::uint16_t value)
    {
        out += char(value & 0xFF);
        out += char(value >> 8);
    }

    void Put32(std::string& out, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            out += char((value >> (8 * i)) & 0xFF);
    }

    void Put64(std::string& out, std::uint64_t value)
    {
        for (int i = 0; i < 8; ++i)
            out += char((value >> (8 * i)) & 0xFF);
    }

    std::uint32_t Clamp32(std::uint64_t value, bool zip64)
    {
        return zip64 ? 0xFFFFFFFFu : std::uint32_t(value);
    }

} // namespace

std::uint32_t Crc32(std::uint32_t crc, std::string_view bytes)
{
    while (!bytes.empty()) {
        std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
        crc = std::uint32_t(crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), uInt(piece)));
        bytes.remove_prefix(piece);
    }
    return crc;
}

ZipWriter::ZipWriter(FileOutput& out, std::uint64_t zip64From)
    : m_out(out)
    , m_zip64From(zip64From)
{
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    m_dosTime = std::uint16_t((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    m_dosDate = std::uint16_t(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

bool ZipWriter::AddEntry(std::string_view name, std::uint64_t size, std::uint32_t crc,
    const std::function<bool(const std::function<bool(std::string_view)>& sink)>& write)
{
    Entry entry { std::string(name), size, crc, m_out.Offset() };
    bool zip64 = size >= m_zip64From;
    std::string header;
    Put32(header, 0x04034b50);
    Put16(header, zip64 ? kVersionZip64 : kVersionPlain);
    Put16(header, kUtf8Names);
    Put16(header, 0); // stored
    Put16(header, m_dosTime);
    Put16(header, m_dosDate);
    Put32(header, crc);
    Put32(header, Clamp32(size, zip64));
    Put32(header, Clamp32(size, zip64));
    Put16(header, std::uint16_t(name.size()));
    Put16(header, zip64 ? 20 : 0);
    header.append(name);
    if (zip64) {
        Put16(header, 0x0001);
        Put16(header, 16);
        Put64(header, size);
        Put64(header, size);
    }
    if (!m_out.Write(header))
        return false;
    std::uint64_t written = 0;
    std::uint32_t check = 0;
    bool handed = write([&](std::string_view bytes) {
        written += bytes.size();
        check = Crc32(check, bytes);
        return m_out.Write(bytes);
    });
    if (!handed || m_out.Failed())
        return false;
    if (written != size || check != crc) {
        m_out.Fail("the bytes of " + entry.name + " changed while they were packaged");
        return false;
    }
    m_entries.push_back(std::move(entry));
    return true;
}

bool ZipWriter::AddEntry(std::string_view name, std::string_view bytes)
{
    return AddEntry(name, bytes.size(), Crc32(0, bytes), [&](const auto& sink) { return sink(bytes); });
}

bool ZipWriter::Finish()
{
    std::uint64_t directoryStart = m_out.Offset();
    std::string directory;
    for (const Entry& entry : m_entries) {
        bool bigSize = entry.size >= m_zip64From;
        bool bigOffset = entry.offset >= m_zip64From;
        std::string extra;
        if (bigSize) {
            Put64(extra, entry.size);
            Put64(extra, entry.size);
        }
        if (bigOffset)
            Put64(extra, entry.offset);
        if (!extra.empty()) {
            std::string field;
            Put16(field, 0x0001);
            Put16(field, std::uint16_t(extra.size()));
            extra = field + extra;
        }
        bool zip64 = bigSize || bigOffset;
        Put32(directory, 0x02014b50);
        Put16(directory, (3 << 8) | kVersionZip64); // made on Unix
        Put16(directory, zip64 ? kVersionZip64 : kVersionPlain);
        Put16(directory, kUtf8Names);
        Put16(directory, 0);
        Put16(directory, m_dosTime);
        Put16(directory, m_dosDate);
        Put32(directory, entry.crc);
        Put32(directory, Clamp32(entry.size, bigSize));
        Put32(directory, Clamp32(entry.size, bigSize));
        Put16(directory, std::uint16_t(entry.name.size()));
        Put16(directory, std::uint16_t(extra.size()));
        Put16(directory, 0); // comment
        Put16(directory, 0); // disk
        Put16(directory, 0); // internal attributes
        Put32(directory, 0100644u << 16); // a regular file, rw-r--r--
        Put32(directory, Clamp32(entry.offset, bigOffset));
        directory.append(entry.name).append(extra);
    }
    std::uint64_t directorySize = directory.size();
    std::uint64_t count = m_entries.size();
    bool zip64 = directoryStart >= m_zip64From || directorySize >= m_zip64From || count >= 0xFFFF
        || m_zip64From < 0xFFFFFFFFu;
    std::string end;
    if (zip64) {
        std::uint64_t recordStart = directoryStart + directorySize;
        Put32(end, 0x06064b50);
        Put64(end, 44);
        Put16(end, (3 << 8) | kVersionZip64);
        Put16(end, kVersionZip64);
        Put32(end, 0);
        Put32(end, 0);
        Put64(end, count);
        Put64(end, count);
        Put64(end, directorySize);
        Put64(end, directoryStart);
        Put32(end, 0x07064b50);
        Put32(end, 0);
        Put64(end, recordStart);
        Put32(end, 1);
    }
    Put32(end, 0x06054b50);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, zip64 ? 0xFFFF : std::uint16_t(count));
    Put16(end, zip64 ? 0xFFFF : std::uint16_t(count));
    Put32(end, Clamp32(directorySize, zip64));
    Put32(end, Clamp32(directoryStart, zip64));
    Put16(end, 0);
    return m_out.Write(directory) && m_out.Write(end);
}

} // namespace pagestow::archive
