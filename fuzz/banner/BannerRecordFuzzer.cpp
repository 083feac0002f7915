// Feeds arbitrary bytes to the banner record reader and to the preparation that decodes the record's
// picture. Nothing may crash, and whatever is read must lie inside the input.
//
//     banner_record_fuzzer fuzz/banner/corpus

#include "banner/Banner.h"
#include "banner/BannerRecord.h"

#include <cstdlib>
#include <string_view>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool IsUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        std::size_t length = lead < 0x80 ? 1
            : (lead >> 5) == 6           ? 2
            : (lead >> 4) == 14          ? 3
            : (lead >> 3) == 30          ? 4
                                         : 0;
        if (length == 0 || at + length > text.size())
            return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((static_cast<unsigned char>(text[at + i]) >> 6) != 2)
                return false;
        }
        at += length;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pagestow::banner;
    std::span<const std::uint8_t> input(data, size);

    BannerRecord record;
    RecordError error = ReadBannerRecord(input, record);
    if (error == RecordError::None) {
        Require(record.end <= size);
        Require(record.end >= 4 * kLengthHeaderSize + record.image.size());
        Require(record.hint.find('\0') == std::string::npos);
        Require(record.link.find('\0') == std::string::npos);
    } else {
        Require(record == BannerRecord {});
    }

    BannerUpdate update;
    BannerLoad load = PrepareBanner(input, update);
    Require((load == BannerLoad::RecordMalformed) == (error != RecordError::None));
    if (load == BannerLoad::Loaded) {
        Require(IsUtf8(update.hint));
        Require(IsUtf8(update.link));
        Require(update.picture.has_value() == (record.kind == 1 || record.kind == 2));
        if (update.picture) {
            const Picture& picture = *update.picture;
            Require(picture.width > 0 && picture.height > 0);
            Require(picture.width <= kMaxPictureSide && picture.height <= kMaxPictureSide);
            Require(picture.pixels.size() == std::size_t(picture.Stride()) * std::size_t(picture.height));
        }
    }
    return 0;
}
