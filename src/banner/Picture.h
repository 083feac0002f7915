#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pagestow::banner {

enum class PixelFormat {
    Rgb, // three bytes a pixel: red, green, blue
    Rgba, // four bytes a pixel: red, green, blue, alpha (0 = transparent)
};

// A decoded banner picture: rows from top to bottom, pixels from left to right, no row padding.
struct Picture {
    int width = 0;
    int height = 0;
    PixelFormat format = PixelFormat::Rgb;
    std::vector<std::uint8_t> pixels;

    int BytesPerPixel() const { return format == PixelFormat::Rgba ? 4 : 3; }
    int Stride() const { return width * BytesPerPixel(); }
    bool operator==(const Picture&) const = default;
};

// Pictures wider or higher than this are refused: a banner is 250 x 60, and a header that claims
// more must not make the decoder allocate without bound.
inline constexpr int kMaxPictureSide = 4096;

// Decodes a complete JPEG/JFIF file held in memory (libjpeg) into an RGB picture. Nothing when the
// file does not decode, ends before its last scan, or is larger than kMaxPictureSide.
std::optional<Picture> DecodeJpeg(std::span<const std::uint8_t> file);

// Decodes the first frame of a complete GIF file held in memory (giflib), placed on the file's logical
// screen. RGB when the frame covers the screen without transparency, RGBA otherwise (uncovered and
// transparent pixels get alpha 0). Nothing when the file holds no frame or does not decode.
std::optional<Picture> DecodeGif(std::span<const std::uint8_t> file);

} // namespace pagestow::banner
