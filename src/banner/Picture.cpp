#include "banner/Picture.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <gif_lib.h>
#include <jerror.h>
#include <jpeglib.h>
#include <memory>

namespace pagestow::banner {
namespace {

    // libjpeg reports a fatal error by calling error_exit, which must not return: it jumps back into
    // DecodeJpegInto. Only libjpeg's own C frames lie between the two, so no destructor is skipped.
    struct JpegErrors {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
        bool truncated;
    };

    void OnJpegError(j_common_ptr info)
    {
        std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
    }

    void OnJpegMessage(j_common_ptr info, int level)
    {
        // Level -1 is a warning about the data. A file that ends before its last scan is reported as
        // one and filled with grey; a banner that was cut short is no banner.
        if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
            reinterpret_cast<JpegErrors*>(info->err)->truncated = true;
    }

    void OnJpegOutput(j_common_ptr) { }

    // Kept free of C++ objects of its own so that the jump out of libjpeg skips nothing.
    bool DecodeJpegInto(const std::uint8_t* data, unsigned long size, Picture* picture)
    {
        jpeg_decompress_struct info {};
        JpegErrors errors {};
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = OnJpegError;
        errors.manager.emit_message = OnJpegMessage;
        errors.manager.output_message = OnJpegOutput;
        if (setjmp(errors.jump)) {
            jpeg_destroy_decompress(&info);
            return false;
        }
        jpeg_create_decompress(&info);
        info.mem->max_memory_to_use = 64L * 1024 * 1024;
        jpeg_mem_src(&info, data, size);
        if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.image_width > unsigned(kMaxPictureSide)
            || info.image_height > unsigned(kMaxPictureSide)) {
            jpeg_destroy_decompress(&info);
            return false;
        }
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        if (info.output_components != 3) {
            jpeg_destroy_decompress(&info);
            return false;
        }
        picture->width = int(info.output_width);
        picture->height = int(info.output_height);
        picture->format = PixelFormat::Rgb;
        picture->pixels.resize(std::size_t(picture->Stride()) * std::size_t(picture->height));
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = picture->pixels.data() + std::size_t(info.output_scanline) * picture->Stride();
            jpeg_read_scanlines(&info, &row, 1);
        }
        // A file that lacks only its closing marker has all its pixels.
        bool complete = !errors.truncated;
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        return complete;
    }

    struct GifSource {
        std::span<const std::uint8_t> file;
        std::size_t offset = 0;
    };

    int ReadGifBytes(GifFileType* gif, GifByteType* buffer, int wanted)
    {
        auto* source = static_cast<GifSource*>(gif->UserData);
        std::size_t count = std::min(std::size_t(wanted), source->file.size() - source->offset);
        // An empty field has no data pointer at all.
        if (count > 0)
            std::memcpy(buffer, source->file.data() + source->offset, count);
        source->offset += count;
        return int(count);
    }

    struct GifCloser {
        void operator()(GifFileType* gif) const
        {
            int error = 0;
            DGifCloseFile(gif, &error);
        }
    };

    // Reads the frame's indices row by row; an interlaced frame stores its rows in four passes.
    bool ReadGifRaster(GifFileType* gif, int width, int height, std::vector<GifPixelType>& raster)
    {
        raster.assign(std::size_t(width) * std::size_t(height), 0);
        auto readRow = [&](int row) {
            return DGifGetLine(gif, raster.data() + std::size_t(row) * width, width) != GIF_ERROR;
        };
        if (!gif->Image.Interlace) {
            for (int row = 0; row < height; ++row) {
                if (!readRow(row))
                    return false;
            }
            return true;
        }
        constexpr int kPassStart[] = { 0, 4, 2, 1 };
        constexpr int kPassStep[] = { 8, 8, 4, 2 };
        for (int pass = 0; pass < 4; ++pass) {
            for (int row = kPassStart[pass]; row < height; row += kPassStep[pass]) {
                if (!readRow(row))
                    return false;
            }
        }
        return true;
    }

    std::optional<Picture> ComposeGifFrame(GifFileType* gif, int transparent)
    {
        const GifImageDesc& frame = gif->Image;
        const ColorMapObject* colours = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
        if (!colours || frame.Width <= 0 || frame.Height <= 0 || frame.Width > kMaxPictureSide
            || frame.Height > kMaxPictureSide || frame.Left < 0 || frame.Top < 0)
            return std::nullopt;
        std::vector<GifPixelType> raster;
        if (!ReadGifRaster(gif, frame.Width, frame.Height, raster))
            return std::nullopt;

        // A file without a logical screen size shows its frame's extent.
        int width = gif->SWidth > 0 ? gif->SWidth : frame.Left + frame.Width;
        int height = gif->SHeight > 0 ? gif->SHeight : frame.Top + frame.Height;
        if (width > kMaxPictureSide || height > kMaxPictureSide)
            return std::nullopt;
        bool coversScreen
            = frame.Left == 0 && frame.Top == 0 && frame.Width >= width && frame.Height >= height;
        bool hasTransparency = transparent >= 0 && transparent < colours->ColorCount;

        Picture picture;
        picture.width = width;
        picture.height = height;
        picture.format = coversScreen && !hasTransparency ? PixelFormat::Rgb : PixelFormat::Rgba;
        picture.pixels.assign(std::size_t(picture.Stride()) * std::size_t(height), 0);
        int bytes = picture.BytesPerPixel();
        for (int row = 0; row < frame.Height && frame.Top + row < height; ++row) {
            for (int column = 0; column < frame.Width && frame.Left + column < width; ++column) {
                int index = raster[std::size_t(row) * frame.Width + column];
                std::uint8_t* pixel = picture.pixels.data() + std::size_t(frame.Top + row) * picture.Stride()
                    + std::size_t(frame.Left + column) * bytes;
                if (hasTransparency && index == transparent)
                    continue;
                // An index past the colour table draws black, as browsers do.
                if (index < colours->ColorCount) {
                    pixel[0] = colours->Colors[index].Red;
                    pixel[1] = colours->Colors[index].Green;
                    pixel[2] = colours->Colors[index].Blue;
                }
                if (bytes == 4)
                    pixel[3] = 0xff;
            }
        }
        return picture;
    }

} // namespace

std::optional<Picture> DecodeJpeg(std::span<const std::uint8_t> file)
{
    if (file.empty())
        return std::nullopt;
    Picture picture;
    if (!DecodeJpegInto(file.data(), static_cast<unsigned long>(file.size()), &picture))
        return std::nullopt;
    return picture;
}

std::optional<Picture> DecodeGif(std::span<const std::uint8_t> file)
{
    GifSource source { file };
    int error = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&source, ReadGifBytes, &error));
    if (!gif)
        return std::nullopt;
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR)
            return std::nullopt;
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif.get()) == GIF_ERROR)
                return std::nullopt;
            return ComposeGifFrame(gif.get(), transparent);
        }
        if (type != EXTENSION_RECORD_TYPE)
            return std::nullopt;
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR)
            return std::nullopt;
        // The graphic control extension before the first frame names its transparent colour.
        if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
            GraphicsControlBlock control {};
            if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
                transparent = control.TransparentColor;
        }
        while (block) {
            if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR)
                return std::nullopt;
        }
    }
}

} // namespace pagestow::banner
