#include "TestPictures.h"

#include "banner/Banner.h"
#include "banner/Picture.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace pagestow::banner {
namespace {

    using namespace testing;

    std::vector<std::uint8_t> PixelAt(const Picture& picture, int x, int y)
    {
        auto start = picture.pixels.begin() + std::ptrdiff_t(y) * picture.Stride()
            + std::ptrdiff_t(x) * picture.BytesPerPixel();
        return std::vector<std::uint8_t>(start, start + picture.BytesPerPixel());
    }

    std::vector<std::uint8_t> Opaque(std::vector<std::uint8_t> colour)
    {
        colour.push_back(0xff);
        return colour;
    }

    TEST(DecodeJpeg, GivesTheFilesSizeInRgb)
    {
        auto picture = DecodeJpeg(MakeJpeg(37, 23, 200, 40, 90));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 37);
        EXPECT_EQ(picture->height, 23);
        EXPECT_EQ(picture->format, PixelFormat::Rgb);
        ASSERT_EQ(picture->pixels.size(), 37u * 23u * 3u);
        // JPEG is lossy; a flat colour at quality 100 comes back within a step or two.
        std::vector<std::uint8_t> corner = PixelAt(*picture, 36, 22);
        EXPECT_LE(std::abs(corner[0] - 200), 3);
        EXPECT_LE(std::abs(corner[1] - 40), 3);
        EXPECT_LE(std::abs(corner[2] - 90), 3);
    }

    TEST(DecodeJpeg, GreyscaleComesBackAsRgb)
    {
        auto picture = DecodeJpeg(MakeGreyJpeg(16, 9, 128));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->format, PixelFormat::Rgb);
        std::vector<std::uint8_t> pixel = PixelAt(*picture, 3, 3);
        EXPECT_EQ(pixel[0], pixel[1]);
        EXPECT_EQ(pixel[1], pixel[2]);
        EXPECT_LE(std::abs(pixel[0] - 128), 2);
    }

    TEST(DecodeJpeg, DefaultBannerPictureIs250By60)
    {
        BannerRecord fields;
        ASSERT_EQ(ReadBannerRecord(DefaultBannerRecord(), fields), RecordError::None);
        auto picture = DecodeJpeg(fields.image);
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 250);
        EXPECT_EQ(picture->height, 60);
    }

    TEST(DecodeGif, FirstFrameComesBackPixelForPixel)
    {
        for (bool interlaced : { false, true }) {
            GifFrame frame = PatternFrame(33, 17);
            frame.interlaced = interlaced;
            auto picture = DecodeGif(MakeGif(33, 17, { frame }));
            ASSERT_TRUE(picture) << "interlaced " << interlaced;
            EXPECT_EQ(picture->width, 33);
            EXPECT_EQ(picture->height, 17);
            EXPECT_EQ(picture->format, PixelFormat::Rgb);
            std::vector<std::uint8_t> expected;
            for (std::uint8_t index : frame.indices) {
                auto colour = GifColour(index);
                expected.insert(expected.end(), colour.begin(), colour.end());
            }
            EXPECT_EQ(picture->pixels, expected) << "interlaced " << interlaced;
        }
    }

    TEST(DecodeGif, LaterFramesAreNotShown)
    {
        GifFrame first = PatternFrame(8, 8);
        GifFrame second { 0, 0, 8, 8, false, -1, std::vector<std::uint8_t>(64, 3) };
        auto picture = DecodeGif(MakeGif(8, 8, { first, second }));
        ASSERT_TRUE(picture);
        EXPECT_EQ(PixelAt(*picture, 0, 0), GifColour(0));
        EXPECT_EQ(PixelAt(*picture, 1, 0), GifColour(1));
    }

    TEST(DecodeGif, TransparentColourGetsAlphaZero)
    {
        GifFrame frame = PatternFrame(4, 2);
        frame.transparent = 2;
        auto picture = DecodeGif(MakeGif(4, 2, { frame }));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->format, PixelFormat::Rgba);
        // Row 0 holds indices 0 1 2 3, row 1 holds 2 3 0 1.
        EXPECT_EQ(PixelAt(*picture, 0, 0), Opaque(GifColour(0)));
        EXPECT_EQ(PixelAt(*picture, 2, 0), (std::vector<std::uint8_t> { 0, 0, 0, 0 }));
        EXPECT_EQ(PixelAt(*picture, 0, 1), (std::vector<std::uint8_t> { 0, 0, 0, 0 }));
        EXPECT_EQ(PixelAt(*picture, 3, 1), Opaque(GifColour(1)));
    }

    TEST(DecodeGif, FrameSmallerThanTheScreenSitsAtItsOffset)
    {
        GifFrame frame { 2, 1, 2, 2, false, -1, { 1, 1, 1, 1 } };
        auto picture = DecodeGif(MakeGif(5, 4, { frame }));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 5);
        EXPECT_EQ(picture->height, 4);
        EXPECT_EQ(picture->format, PixelFormat::Rgba);
        EXPECT_EQ(PixelAt(*picture, 0, 0), (std::vector<std::uint8_t> { 0, 0, 0, 0 }));
        EXPECT_EQ(PixelAt(*picture, 2, 1), Opaque(GifColour(1)));
        EXPECT_EQ(PixelAt(*picture, 3, 2), Opaque(GifColour(1)));
        EXPECT_EQ(PixelAt(*picture, 4, 3), (std::vector<std::uint8_t> { 0, 0, 0, 0 }));
    }

    TEST(DecodePicture, FilesThatDoNotDecodeGiveNothing)
    {
        Bytes jpeg = MakeJpeg(64, 64, 10, 20, 30);
        Bytes gif = MakeGif(16, 16, { PatternFrame(16, 16) });
        Bytes noFrame = MakeGif(16, 16, {});
        struct Case {
            const char* name;
            Bytes file;
            bool gif;
        };
        const Case cases[] = {
            { "empty jpeg", {}, false },
            { "empty gif", {}, true },
            { "text as jpeg", ToBytes("not a picture at all"), false },
            { "text as gif", ToBytes("not a picture at all"), true },
            { "jpeg cut in half", Bytes(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(jpeg.size() / 2)),
                false },
            { "gif cut in half", Bytes(gif.begin(), gif.begin() + std::ptrdiff_t(gif.size() / 2)), true },
            { "gif without a frame", noFrame, true },
            { "gif read as jpeg", gif, false },
            { "jpeg read as gif", jpeg, true },
            { "jpeg wider than allowed", MakeJpeg(kMaxPictureSide + 8, 8, 0, 0, 0), false },
        };
        for (const Case& test : cases) {
            auto picture = test.gif ? DecodeGif(test.file) : DecodeJpeg(test.file);
            EXPECT_FALSE(picture) << test.name;
        }
    }

} // namespace
} // namespace pagestow::banner
