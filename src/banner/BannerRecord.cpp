#include "banner/BannerRecord.h"

#include "base/Owned.h"

#include <cerrno>
#include <iconv.h>
#include <limits>
#include <memory>

namespace pagestow::banner {
namespace {

    bool IsDigit(std::uint8_t byte)
    {
        return byte >= '0' && byte <= '9';
    }

    // Text fields end at their first NUL, if they hold one.
    std::string TextField(std::span<const std::uint8_t> bytes)
    {
        std::string text(bytes.begin(), bytes.end());
        if (auto nul = text.find('\0'); nul != std::string::npos)
            text.resize(nul);
        return text;
    }

    // The kind: leading blanks, an optional sign, decimal digits, nothing else.
    std::optional<int> ParseKind(std::string_view text)
    {
        std::size_t at = text.find_first_not_of(' ');
        if (at == std::string_view::npos)
            return std::nullopt;
        bool negative = text[at] == '-';
        if (text[at] == '-' || text[at] == '+')
            ++at;
        if (at == text.size())
            return std::nullopt;
        long long value = 0;
        for (; at < text.size(); ++at) {
            if (!IsDigit(std::uint8_t(text[at])))
                return std::nullopt;
            value = value * 10 + (text[at] - '0');
            if (value > std::numeric_limits<int>::max())
                return std::nullopt;
        }
        return int(negative ? -value : value);
    }

} // namespace

std::optional<std::uint64_t> ParseLengthHeader(std::span<const std::uint8_t, kLengthHeaderSize> header)
{
    std::size_t at = 0;
    while (at < header.size() && header[at] == ' ')
        ++at;
    std::size_t firstDigit = at;
    std::uint64_t value = 0;
    for (; at < header.size() && header[at] != '\0'; ++at) {
        if (!IsDigit(header[at]))
            return std::nullopt;
        value = value * 10 + (header[at] - '0');
    }
    if (at == firstDigit)
        return std::nullopt;
    return value;
}

RecordError ReadBannerRecord(std::span<const std::uint8_t> stream, BannerRecord& record)
{
    std::span<const std::uint8_t> fields[4];
    std::size_t position = 0;
    for (auto& field : fields) {
        if (stream.size() - position < kLengthHeaderSize)
            return RecordError::HeaderPastEnd;
        auto length = ParseLengthHeader(stream.subspan(position).first<kLengthHeaderSize>());
        if (!length)
            return RecordError::LengthNotANumber;
        position += kLengthHeaderSize;
        if (*length > stream.size() - position)
            return RecordError::FieldPastEnd;
        field = stream.subspan(position, std::size_t(*length));
        position += std::size_t(*length);
    }
    auto kind = ParseKind(TextField(fields[2]));
    if (!kind)
        return RecordError::KindNotANumber;

    record.hint = TextField(fields[0]);
    record.link = TextField(fields[1]);
    record.kind = *kind;
    record.image.assign(fields[3].begin(), fields[3].end());
    record.end = position;
    return RecordError::None;
}

std::string GbkToUtf8(std::string_view gbk)
{
    std::string utf8;
    base::Iconv converter("UTF-8", "CP936");
    if (!converter.Valid())
        return std::string(gbk);
    char* in = const_cast<char*>(gbk.data());
    std::size_t inLeft = gbk.size();
    char buffer[256];
    while (inLeft > 0) {
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t result = iconv(converter.Get(), &in, &inLeft, &out, &outLeft);
        utf8.append(buffer, std::size_t(out - buffer));
        if (result != std::size_t(-1) || errno == E2BIG)
            continue;
        // EILSEQ or EINVAL (a sequence cut off by the field's end): mark one byte and go on.
        utf8 += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
    }
    return utf8;
}

void AppendRecordField(std::vector<std::uint8_t>& record, std::span<const std::uint8_t> bytes)
{
    std::string digits = std::to_string(bytes.size());
    digits.resize(kLengthHeaderSize, '\0');
    record.insert(record.end(), digits.begin(), digits.end());
    record.insert(record.end(), bytes.begin(), bytes.end());
}

void AppendRecordField(std::vector<std::uint8_t>& record, std::string_view text)
{
    AppendRecordField(record, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace pagestow::banner
