#include "banner/Banner.h"

#include <utility>

namespace pagestow::banner {

BannerLoad PrepareBanner(std::span<const std::uint8_t> record, BannerUpdate& update)
{
    BannerRecord fields;
    if (ReadBannerRecord(record, fields) != RecordError::None)
        return BannerLoad::RecordMalformed;
    std::optional<Picture> picture;
    if (fields.kind == 1 || fields.kind == 2) {
        picture = fields.kind == 1 ? DecodeJpeg(fields.image) : DecodeGif(fields.image);
        if (!picture)
            return BannerLoad::PictureUndecodable;
    }
    update.hint = GbkToUtf8(fields.hint);
    update.link = GbkToUtf8(fields.link);
    update.kind = fields.kind;
    update.picture = std::move(picture);
    return BannerLoad::Loaded;
}

Banner::Banner(BannerDisplay& display)
    : m_display(display)
{
}

BannerLoad Banner::LoadBanner(std::span<const std::uint8_t> record)
{
    BannerUpdate update;
    BannerLoad result = PrepareBanner(record, update);
    if (result == BannerLoad::Loaded)
        Apply(std::move(update));
    return result;
}

void Banner::Apply(BannerUpdate update)
{
    m_bannerHint = std::move(update.hint);
    m_bannerLink = std::move(update.link);
    m_bannerImageKind = update.kind;
    m_display.SetHint(m_bannerHint);
    m_display.SetLink(m_bannerLink);
    if (update.picture)
        m_display.ShowPicture(*update.picture);
}

std::optional<std::string> GGImClick(const Banner& banner)
{
    // Blanks and control characters are the bytes up to and including the space.
    std::string_view link = banner.Link();
    while (!link.empty() && std::uint8_t(link.front()) <= ' ')
        link.remove_prefix(1);
    while (!link.empty() && std::uint8_t(link.back()) <= ' ')
        link.remove_suffix(1);
    if (link.empty())
        return std::nullopt;
    return std::string(link);
}

} // namespace pagestow::banner
