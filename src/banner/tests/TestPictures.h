#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::banner::testing {

using Bytes = std::vector<std::uint8_t>;

// A JPEG of one colour (quality 100), RGB or greyscale.
Bytes MakeJpeg(int width, int height, std::uint8_t red, std::uint8_t green, std::uint8_t blue);
Bytes MakeGreyJpeg(int width, int height, std::uint8_t grey);

struct GifFrame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool interlaced = false;
    int transparent = -1; // the colour index a graphic control extension marks transparent
    std::vector<std::uint8_t> indices; // width x height colour indices, row by row
};

// A GIF89a with a 4-colour global table (black, red, green, blue), encoded with giflib.
Bytes MakeGif(int screenWidth, int screenHeight, const std::vector<GifFrame>& frames);
// The colour of an index of that table.
std::vector<std::uint8_t> GifColour(int index);

// A frame covering width x height whose index at (x, y) is (x + 2 * y) % 4.
GifFrame PatternFrame(int width, int height);

// A banner record made of the four fields.
Bytes MakeRecord(std::string_view hint, std::string_view link, std::string_view kind, const Bytes& image);

Bytes ToBytes(std::string_view text);
std::string ToString(const Bytes& bytes);

} // namespace pagestow::banner::testing
