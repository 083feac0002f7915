#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::banner {

// Every field of a banner record starts with a length header of this many bytes.
inline constexpr std::size_t kLengthHeaderSize = 10;

// The four fields of a banner record, as they were stored.
struct BannerRecord {
    std::string hint; // GBK, up to its first NUL
    std::string link; // GBK, up to its first NUL
    int kind = 0; // 1 = JPEG, 2 = GIF; anything else carries no picture
    std::vector<std::uint8_t> image; // the picture file's bytes
    std::size_t end = 0; // offset just past the image field; anything after it is not read
    bool operator==(const BannerRecord&) const = default;
};

enum class RecordError {
    None,
    HeaderPastEnd, // the record ends inside a length header
    LengthNotANumber, // a length header does not hold a decimal number
    FieldPastEnd, // a field runs past the end of the record
    KindNotANumber, // the kind field does not hold a decimal number
};

// The length a 10-byte header holds: leading blanks, then decimal digits up to the first NUL or the
// header's end; whatever follows the NUL is not read. Nothing when the header holds no such number.
std::optional<std::uint64_t> ParseLengthHeader(std::span<const std::uint8_t, kLengthHeaderSize> header);

// Reads the four fields (hint, link, kind, image) from the start of stream into record. On an error the
// record is left as it was.
RecordError ReadBannerRecord(std::span<const std::uint8_t> stream, BannerRecord& record);

// Converts GBK text (code page 936) to UTF-8; a byte sequence that is not GBK becomes U+FFFD.
std::string GbkToUtf8(std::string_view gbk);

// Writes one field the way ReadBannerRecord reads it: the length in digits, a NUL, filler up to 10
// bytes, then the bytes.
void AppendRecordField(std::vector<std::uint8_t>& record, std::span<const std::uint8_t> bytes);
void AppendRecordField(std::vector<std::uint8_t>& record, std::string_view text);

} // namespace pagestow::banner
