#include "TestPictures.h"

#include "banner/BannerRecord.h"

#include <cstddef>
#include <cstdio>

#include <cstdlib>
#include <cstring>
#include <gif_lib.h>
#include <jpeglib.h>
#include <stdexcept>

namespace pagestow::banner::testing {
namespace {

    Bytes EncodeJpeg(int width, int height, int components, const std::uint8_t* colour)
    {
        jpeg_compress_struct info {};
        jpeg_error_mgr errors {};
        info.err = jpeg_std_error(&errors);
        jpeg_create_compress(&info);
        unsigned char* buffer = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&info, &buffer, &size);
        info.image_width = JDIMENSION(width);
        info.image_height = JDIMENSION(height);
        info.input_components = components;
        info.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 100, TRUE);
        jpeg_start_compress(&info, TRUE);
        std::vector<std::uint8_t> row(std::size_t(width) * components);
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = colour[i % components];
        while (info.next_scanline < info.image_height) {
            JSAMPROW pointer = row.data();
            jpeg_write_scanlines(&info, &pointer, 1);
        }
        jpeg_finish_compress(&info);
        Bytes jpeg(buffer, buffer + size);
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return jpeg;
    }

    int WriteGifBytes(GifFileType* gif, const GifByteType* data, int count)
    {
        auto* output = static_cast<Bytes*>(gif->UserData);
        output->insert(output->end(), data, data + count);
        return count;
    }

    const GifColorType kPalette[4] = { { 0, 0, 0 }, { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 } };

    void Check(int result)
    {
        if (result == GIF_ERROR)
            throw std::runtime_error("giflib could not encode the test picture");
    }

} // namespace

Bytes MakeJpeg(int width, int height, std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    const std::uint8_t colour[] = { red, green, blue };
    return EncodeJpeg(width, height, 3, colour);
}

Bytes MakeGreyJpeg(int width, int height, std::uint8_t grey)
{
    return EncodeJpeg(width, height, 1, &grey);
}

Bytes MakeGif(int screenWidth, int screenHeight, const std::vector<GifFrame>& frames)
{
    Bytes output;
    int error = 0;
    GifFileType* gif = EGifOpen(&output, WriteGifBytes, &error);
    if (!gif)
        throw std::runtime_error("giflib could not start the test picture");
    EGifSetGifVersion(gif, true);
    ColorMapObject* palette = GifMakeMapObject(4, kPalette);
    Check(EGifPutScreenDesc(gif, screenWidth, screenHeight, 2, 0, palette));
    for (const GifFrame& frame : frames) {
        if (frame.transparent >= 0) {
            GraphicsControlBlock control {};
            control.DisposalMode = DISPOSAL_UNSPECIFIED;
            control.TransparentColor = frame.transparent;
            GifByteType extension[4];
            std::size_t length = EGifGCBToExtension(&control, extension);
            Check(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension));
        }
        Check(EGifPutImageDesc(
            gif, frame.left, frame.top, frame.width, frame.height, frame.interlaced, nullptr));
        // An interlaced frame is stored in four passes of rows.
        std::vector<int> order;
        if (frame.interlaced) {
            for (auto [start, step] : { std::pair { 0, 8 }, { 4, 8 }, { 2, 4 }, { 1, 2 } }) {
                for (int row = start; row < frame.height; row += step)
                    order.push_back(row);
            }
        } else {
            for (int row = 0; row < frame.height; ++row)
                order.push_back(row);
        }
        for (int row : order) {
            std::vector<GifPixelType> line(frame.indices.begin() + std::ptrdiff_t(row) * frame.width,
                frame.indices.begin() + std::ptrdiff_t(row + 1) * frame.width);
            Check(EGifPutLine(gif, line.data(), frame.width));
        }
    }
    GifFreeMapObject(palette);
    if (EGifCloseFile(gif, &error) == GIF_ERROR)
        throw std::runtime_error("giflib could not finish the test picture");
    return output;
}

std::vector<std::uint8_t> GifColour(int index)
{
    return { kPalette[index].Red, kPalette[index].Green, kPalette[index].Blue };
}

GifFrame PatternFrame(int width, int height)
{
    GifFrame frame;
    frame.width = width;
    frame.height = height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            frame.indices.push_back(std::uint8_t((x + 2 * y) % 4));
    }
    return frame;
}

Bytes MakeRecord(std::string_view hint, std::string_view link, std::string_view kind, const Bytes& image)
{
    Bytes record;
    AppendRecordField(record, hint);
    AppendRecordField(record, link);
    AppendRecordField(record, kind);
    AppendRecordField(record, image);
    return record;
}

Bytes ToBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::string ToString(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace pagestow::banner::testing
