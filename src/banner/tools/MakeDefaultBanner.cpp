// Draws the default banner picture (250 x 60: a gradient, a few shapes and the word "Pagestow"),
// encodes it as a JPEG of exactly 6869 bytes and writes the default banner record around it.
//
//     pagestow-make-default-banner OUTPUT

#include "banner/BannerRecord.h"

#include <cstddef>
#include <cstdio>

#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <jpeglib.h>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 250;
constexpr int kHeight = 60;
constexpr std::size_t kJpegSize = 6869;
// A COM segment costs its marker and its length field before any text.
constexpr std::size_t kCommentOverhead = 4;

// Two blanks, "广告位招商" (advertising space available), CR LF, "QQ:" and a contact number, in GBK.
// QQ numbers never begin with 0, so this one reaches nobody.
const std::string kHint = "  \xB9\xE3\xB8\xE6\xCE\xBB\xD5\xD0\xC9\xCC\r\nQQ:0123456789";

// A 5 x 7 face for the letters of the word, one string a row, '#' for ink.
struct Glyph {
    char letter;
    std::array<const char*, 7> rows;
};

const Glyph kGlyphs[] = {
    { 'P', { "####.", "#...#", "#...#", "####.", "#....", "#....", "#...." } },
    { 'a', { ".....", ".....", ".###.", "....#", ".####", "#...#", ".####" } },
    { 'g', { ".....", ".....", ".####", "#...#", ".####", "....#", ".###." } },
    { 'e', { ".....", ".....", ".###.", "#...#", "#####", "#....", ".###." } },
    { 's', { ".....", ".....", ".####", "#....", ".###.", "....#", "####." } },
    { 't', { "..#..", "..#..", "#####", "..#..", "..#..", "..#..", "...##" } },
    { 'o', { ".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###." } },
    { 'w', { ".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#." } },
};

struct Canvas {
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(kWidth * kHeight * 3);

    void Blend(int x, int y, std::array<int, 3> colour, double alpha)
    {
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight)
            return;
        std::uint8_t* pixel = &pixels[(y * kWidth + x) * 3];
        for (int channel = 0; channel < 3; ++channel)
            pixel[channel]
                = std::uint8_t(std::lround(pixel[channel] * (1 - alpha) + colour[channel] * alpha));
    }
};

void DrawBackground(Canvas& canvas)
{
    // A gradient from deep blue on the left to teal on the right, a little lighter at the top.
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            double across = double(x) / (kWidth - 1);
            double down = double(y) / (kHeight - 1);
            std::uint8_t* pixel = &canvas.pixels[(y * kWidth + x) * 3];
            pixel[0] = std::uint8_t(20 + 10 * across + 20 * (1 - down));
            pixel[1] = std::uint8_t(40 + 110 * across + 20 * (1 - down));
            pixel[2] = std::uint8_t(120 + 30 * across + 20 * (1 - down));
        }
    }
    // Two soft circles on the right, like stacked pages seen from above.
    for (auto [cx, cy, r] : { std::array<int, 3> { 222, 30, 20 }, std::array<int, 3> { 236, 18, 12 } }) {
        for (int y = cy - r; y <= cy + r; ++y) {
            for (int x = cx - r; x <= cx + r; ++x) {
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                    canvas.Blend(x, y, { 255, 255, 255 }, 0.18);
            }
        }
    }
    // A thin rule under the word.
    for (int x = 24; x < 200; ++x)
        canvas.Blend(x, 49, { 255, 210, 90 }, 0.9);
}

void DrawWord(Canvas& canvas, const std::string& word, int left, int top, int scale)
{
    int x = left;
    for (char letter : word) {
        for (const Glyph& glyph : kGlyphs) {
            if (glyph.letter != letter)
                continue;
            for (int row = 0; row < 7; ++row) {
                for (int column = 0; column < 5; ++column) {
                    if (glyph.rows[row][column] != '#')
                        continue;
                    for (int dy = 0; dy < scale; ++dy) {
                        for (int dx = 0; dx < scale; ++dx) {
                            int px = x + column * scale + dx;
                            int py = top + row * scale + dy;
                            canvas.Blend(px + 2, py + 2, { 0, 0, 0 }, 0.35); // shadow
                            canvas.Blend(px, py, { 255, 255, 255 }, 1.0);
                        }
                    }
                }
            }
        }
        x += 6 * scale;
    }
}

std::vector<std::uint8_t> EncodeJpeg(const Canvas& canvas, int quality)
{
    jpeg_compress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = kWidth;
    info.image_height = kHeight;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&canvas.pixels[info.next_scanline * kWidth * 3]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<std::uint8_t> jpeg(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    free(buffer);
    return jpeg;
}

// Brings the file to exactly size bytes with a comment segment placed after the JFIF header, where
// every decoder skips it.
std::vector<std::uint8_t> PadWithComment(std::vector<std::uint8_t> jpeg, std::size_t size)
{
    std::size_t app0End = 4 + ((std::size_t(jpeg[4]) << 8) | jpeg[5]);
    std::size_t textLength = size - jpeg.size() - kCommentOverhead;
    std::string text = "Pagestow default banner, drawn for the project.";
    std::string filler;
    while (filler.size() < textLength)
        filler += text + ' ';
    filler.resize(textLength);
    std::size_t segmentLength = textLength + 2;
    std::vector<std::uint8_t> segment
        = { 0xFF, 0xFE, std::uint8_t(segmentLength >> 8), std::uint8_t(segmentLength) };
    segment.insert(segment.end(), filler.begin(), filler.end());
    jpeg.insert(jpeg.begin() + std::ptrdiff_t(app0End), segment.begin(), segment.end());
    return jpeg;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " OUTPUT\n";
        return 2;
    }
    Canvas canvas;
    DrawBackground(canvas);
    DrawWord(canvas, "Pagestow", 24, 14, 4);

    std::vector<std::uint8_t> jpeg;
    int quality = 95;
    for (; quality >= 10; --quality) {
        jpeg = EncodeJpeg(canvas, quality);
        if (jpeg.size() + kCommentOverhead <= kJpegSize)
            break;
    }
    if (quality < 10 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF || jpeg[3] != 0xE0) {
        std::cerr << "cannot fit the picture into " << kJpegSize << " bytes\n";
        return 1;
    }
    jpeg = PadWithComment(std::move(jpeg), kJpegSize);

    std::vector<std::uint8_t> record;
    pagestow::banner::AppendRecordField(record, kHint);
    pagestow::banner::AppendRecordField(record, std::string_view());
    pagestow::banner::AppendRecordField(record, std::string_view("1"));
    pagestow::banner::AppendRecordField(record, jpeg);

    std::ofstream output(argv[1], std::ios::binary);
    output.write(reinterpret_cast<const char*>(record.data()), std::streamsize(record.size()));
    if (!output) {
        std::cerr << "cannot write " << argv[1] << "\n";
        return 1;
    }
    std::cout << "quality " << quality << ", picture " << jpeg.size() << " bytes, record " << record.size()
              << " bytes\n";
    return 0;
}
