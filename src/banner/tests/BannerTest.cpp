#include "RecordingDisplay.h"
#include "TestPictures.h"

#include "banner/Banner.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace pagestow::banner {
namespace {

    using namespace testing;

    const std::string kDefaultHint = "  广告位招商\r\nQQ:0123456789";

    TEST(LoadBanner, DefaultRecordShowsItsPictureAndHintAndNoLink)
    {
        RecordingDisplay display;
        Banner banner(display);
        EXPECT_EQ(banner.LoadBanner(DefaultBannerRecord()), BannerLoad::Loaded);
        EXPECT_EQ(display.Calls(),
            (std::vector<std::string> { "hint " + kDefaultHint, "link ", "picture 250x60" }));
        EXPECT_EQ(banner.Hint(), kDefaultHint);
        EXPECT_EQ(banner.Link(), "");
        EXPECT_EQ(banner.ImageKind(), 1);
        EXPECT_EQ(GGImClick(banner), std::nullopt);
    }

    TEST(LoadBanner, GifRecordReplacesEverything)
    {
        RecordingDisplay display;
        Banner banner(display);
        banner.LoadBanner(DefaultBannerRecord());
        // "新广告" in GBK.
        Bytes record = MakeRecord("\xD0\xC2\xB9\xE3\xB8\xE6", "http://ads.example/", "2",
            MakeGif(20, 10, { PatternFrame(20, 10) }));
        EXPECT_EQ(banner.LoadBanner(record), BannerLoad::Loaded);
        std::vector<std::string> calls = display.Calls();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.end()),
            (std::vector<std::string> { "hint 新广告", "link http://ads.example/", "picture 20x10" }));
        EXPECT_EQ(banner.ImageKind(), 2);
        EXPECT_EQ(GGImClick(banner), "http://ads.example/");
    }

    TEST(LoadBanner, KindOtherThanJpegOrGifChangesHintAndLinkAndKeepsThePicture)
    {
        for (const char* kind : { "3", "0", "-1" }) {
            RecordingDisplay display;
            Banner banner(display);
            banner.LoadBanner(DefaultBannerRecord());
            EXPECT_EQ(banner.LoadBanner(MakeRecord("new", "http://a.example/", kind, ToBytes("ignored"))),
                BannerLoad::Loaded);
            std::vector<std::string> calls = display.Calls();
            EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.end()),
                (std::vector<std::string> { "hint new", "link http://a.example/" }))
                << kind;
            EXPECT_EQ(display.LastPicture().width, 250) << kind;
            EXPECT_EQ(banner.ImageKind(), std::atoi(kind));
        }
    }

    TEST(LoadBanner, MalformedRecordLeavesTheBannerAsItWas)
    {
        Bytes good = MakeRecord("h", "http://x.example/", "1", MakeJpeg(8, 8, 1, 2, 3));
        Bytes badLength = good;
        badLength[0] = 'x';
        struct Case {
            const char* name;
            Bytes record;
            BannerLoad result;
        };
        const Case cases[] = {
            { "length that is no number", badLength, BannerLoad::RecordMalformed },
            { "field past the end", Bytes(good.begin(), good.end() - 1), BannerLoad::RecordMalformed },
            { "empty record", {}, BannerLoad::RecordMalformed },
            { "kind that is no number", MakeRecord("h", "l", "jpeg", MakeJpeg(8, 8, 1, 2, 3)),
                BannerLoad::RecordMalformed },
            { "jpeg that does not decode", MakeRecord("h", "l", "1", ToBytes("garbage")),
                BannerLoad::PictureUndecodable },
            { "gif that does not decode", MakeRecord("h", "l", "2", MakeJpeg(8, 8, 1, 2, 3)),
                BannerLoad::PictureUndecodable },
            { "jpeg of length 0", MakeRecord("h", "l", "1", {}), BannerLoad::PictureUndecodable },
            { "gif of length 0", MakeRecord("h", "l", "2", {}), BannerLoad::PictureUndecodable },
        };
        for (const Case& test : cases) {
            RecordingDisplay display;
            Banner banner(display);
            banner.LoadBanner(DefaultBannerRecord());
            EXPECT_EQ(banner.LoadBanner(test.record), test.result) << test.name;
            EXPECT_EQ(display.Calls().size(), 3u) << test.name;
            EXPECT_EQ(banner.Hint(), kDefaultHint) << test.name;
            EXPECT_EQ(banner.Link(), "") << test.name;
            EXPECT_EQ(banner.ImageKind(), 1) << test.name;
        }
    }

    TEST(GGImClick, OpensTheLinkWithoutSurroundingBlanksAndControlCharacters)
    {
        struct Case {
            std::string link;
            std::optional<std::string> opened;
        };
        const Case cases[] = {
            { "http://a.example/", "http://a.example/" },
            { "  http://a.example/path  ", "http://a.example/path" },
            { "\t\r\nhttp://a.example/\x01\x1f\r\n", "http://a.example/" },
            { " http://a.example/two words ", "http://a.example/two words" },
            { "", std::nullopt },
            { " \t\r\n\x01", std::nullopt },
        };
        for (const Case& test : cases) {
            RecordingDisplay display;
            Banner banner(display);
            ASSERT_EQ(banner.LoadBanner(MakeRecord("", test.link, "3", {})), BannerLoad::Loaded);
            EXPECT_EQ(GGImClick(banner), test.opened) << ::testing::PrintToString(test.link);
        }
    }

    TEST(MakeDefaultBanner, ToolWritesARecordShapedLikeTheBuiltInOne)
    {
        pagestow::testing::TemporaryFolder folder;
        std::string output = (folder.Path() / "DEFAULTGG.bin").string();
        std::string command = std::string(PAGESTOW_MAKE_DEFAULT_BANNER) + " " + output + " > /dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        Bytes record = ToBytes(pagestow::testing::ReadFileBytes(output));
        ASSERT_EQ(record.size(), 6937u);
        BannerRecord fields;
        ASSERT_EQ(ReadBannerRecord(record, fields), RecordError::None);
        BannerRecord builtIn;
        ASSERT_EQ(ReadBannerRecord(DefaultBannerRecord(), builtIn), RecordError::None);
        EXPECT_EQ(fields.hint, builtIn.hint);
        EXPECT_EQ(fields.link, builtIn.link);
        EXPECT_EQ(fields.kind, builtIn.kind);
        EXPECT_EQ(fields.image.size(), 6869u);
        auto picture = DecodeJpeg(fields.image);
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 250);
        EXPECT_EQ(picture->height, 60);
    }

} // namespace
} // namespace pagestow::banner
