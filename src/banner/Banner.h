#pragma once

#include "banner/BannerRecord.h"
#include "banner/Picture.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pagestow::banner {

// The banner control (GGIm) as the window provides it. Called on the user-interface thread only.
class BannerDisplay {
public:
    virtual ~BannerDisplay() = default;
    // Replaces the picture; it is drawn at its own size from the control's top-left corner, not
    // stretched.
    virtual void ShowPicture(const Picture& picture) = 0;
    // Switches the control's hint on and sets its text (UTF-8; line breaks are CR LF).
    virtual void SetHint(std::string_view hint) = 0;
    // The link a click opens; empty when a click does nothing.
    virtual void SetLink(std::string_view link) = 0;
};

// A record made ready for the display: texts in UTF-8, the picture decoded when the kind names one.
struct BannerUpdate {
    std::string hint;
    std::string link;
    int kind = 0;
    std::optional<Picture> picture;
};

enum class BannerLoad {
    Loaded,
    RecordMalformed, // the record does not read; the banner stays as it was
    PictureUndecodable, // kind 1 or 2, but the picture does not decode; the banner stays as it was
};

// Reads the record and decodes its picture into update, without touching any banner. Safe on any
// thread.
BannerLoad PrepareBanner(std::span<const std::uint8_t> record, BannerUpdate& update);

// The banner's variables and its control. Lives on the user-interface thread.
class Banner {
public:
    explicit Banner(BannerDisplay& display);

    // Turns a record into the banner: hint and link always, the picture when the kind is 1 (JPEG) or
    // 2 (GIF). A record that does not read, or whose picture does not decode, changes nothing.
    BannerLoad LoadBanner(std::span<const std::uint8_t> record);
    // Shows a prepared record.
    void Apply(BannerUpdate update);

    const std::string& Hint() const { return m_bannerHint; }
    const std::string& Link() const { return m_bannerLink; }
    int ImageKind() const { return m_bannerImageKind; }

private:
    BannerDisplay& m_display;
    std::string m_bannerHint;
    std::string m_bannerLink;
    int m_bannerImageKind = 0;
};

// A click on the banner: the link to open with the desktop's default action, without its leading and
// trailing blanks and control characters; nothing when that leaves it empty.
std::optional<std::string> GGImClick(const Banner& banner);

// The default banner record (DEFAULTGG) built into the program: a 250 x 60 JPEG, a two-line hint, no
// link.
std::span<const std::uint8_t> DefaultBannerRecord();

} // namespace pagestow::banner
