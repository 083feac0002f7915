#pragma once

#include "archive/FileOutput.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::archive {

// A zip file of stored (uncompressed) entries, as a WACZ package holds them, with Zip64 fields and
// end records where a size or an offset passes what 32 bits hold.
class ZipWriter {
public:
    // zip64From: the size or offset from which the Zip64 forms are used (lowered only to test them).
    explicit ZipWriter(FileOutput& out, std::uint64_t zip64From = 0xFFFFFFFFu);

    // An entry of size bytes whose CRC-32 is crc, its bytes handed over by write (which returns false
    // on failure); false when anything failed or write handed over another number of bytes.
    bool AddEntry(std::string_view name, std::uint64_t size, std::uint32_t crc,
        const std::function<bool(const std::function<bool(std::string_view)>& sink)>& write);
    bool AddEntry(std::string_view name, std::string_view bytes);
    // The central directory and the end records.
    bool Finish();

private:
    struct Entry {
        std::string name;
        std::uint64_t size;
        std::uint32_t crc;
        std::uint64_t offset;
    };
    FileOutput& m_out;
    std::uint64_t m_zip64From;
    std::uint16_t m_dosTime = 0;
    std::uint16_t m_dosDate = 0;
    std::vector<Entry> m_entries;
};

// zlib's CRC-32 of bytes, continued from crc.
std::uint32_t Crc32(std::uint32_t crc, std::string_view bytes);

} // namespace pagestow::archive
