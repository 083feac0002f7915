#include "engine/webkit/BodyDecoder.h"

#include "support/Gzip.h"

#include <gtest/gtest.h>

namespace pagestow::engine::webkit {
namespace {

    using pagestow::testing::Deflate;
    using pagestow::testing::Gzip;

    const std::string kText = [] {
        std::string text;
        for (int i = 0; i < 100000; ++i)
            text += char('a' + i * 7 % 26);
        return text;
    }();

    struct DecodeCase {
        const char* name;
        const char* coding;
        std::string body;
        // Whether the body decodes to kText as a whole stream (else it is refused).
        bool whole;
    };

    std::string Damaged(std::string bytes, std::size_t fromEnd)
    {
        bytes[bytes.size() - fromEnd] ^= 0x5a;
        return bytes;
    }

    class BodyDecoderTest : public ::testing::TestWithParam<DecodeCase> { };

    TEST_P(BodyDecoderTest, DecodesWholeStreamsAndRefusesDamagedOnes)
    {
        const DecodeCase& item = GetParam();
        BodyDecoder decoder(item.coding);
        std::string out;
        bool sound = true;
        // Fed in uneven pieces, as a network delivers them.
        for (std::size_t at = 0; sound && at < item.body.size(); at += 1000 + at % 7)
            sound = decoder.Feed(std::string_view(item.body).substr(at, 1000 + at % 7), out);
        sound = sound && decoder.Finish(out);
        EXPECT_EQ(sound, item.whole);
        if (item.whole) {
            EXPECT_EQ(out, kText);
        }
    }

    INSTANTIATE_TEST_SUITE_P(Codings, BodyDecoderTest,
        ::testing::Values(DecodeCase { "identity", "", kText, true },
            DecodeCase { "identity_named", " Identity ", kText, true },
            DecodeCase { "gzip", "gzip", Gzip(kText), true },
            DecodeCase { "x_gzip", "X-GZIP", Gzip(kText), true },
            DecodeCase { "gzip_with_bytes_after_its_end", "gzip", Gzip(kText) + "junk", false },
            DecodeCase { "gzip_members_one_after_the_other", "gzip",
                Gzip(kText.substr(0, 3000)) + Gzip(kText.substr(3000, 1)) + Gzip(kText.substr(3001)), true },
            DecodeCase { "gzip_with_a_member_begun", "gzip", Gzip(kText) + Gzip("x").substr(0, 12), false },
            DecodeCase { "gzip_of_nothing", "gzip", Gzip(""), false },
            DecodeCase { "gzip_of_nothing_then_more", "gzip", Gzip("") + kText, false },
            DecodeCase {
                "zlib_deflate_with_bytes_after_its_end", "deflate", Deflate(kText, false) + "junk", false },
            DecodeCase {
                "raw_deflate_with_bytes_after_its_end", "deflate", Deflate(kText, true) + "junk", false },
            DecodeCase { "zlib_deflate_of_nothing", "deflate", Deflate("", false), false },
            DecodeCase { "gzip_cut_in_half", "gzip", Gzip(kText).substr(0, Gzip(kText).size() / 2), false },
            DecodeCase {
                "gzip_without_its_trailer", "gzip", Gzip(kText).substr(0, Gzip(kText).size() - 8), false },
            DecodeCase { "gzip_with_a_bad_checksum", "gzip", Damaged(Gzip(kText), 6), false },
            DecodeCase { "gzip_that_is_not", "gzip", kText, false },
            DecodeCase { "gzip_empty", "gzip", "", false },
            DecodeCase { "zlib_deflate", "deflate", Deflate(kText, false), true },
            DecodeCase { "raw_deflate", "deflate", Deflate(kText, true), true },
            DecodeCase { "zlib_deflate_cut", "deflate", Deflate(kText, false).substr(0, 100), false },
            DecodeCase {
                "zlib_deflate_with_a_bad_checksum", "deflate", Damaged(Deflate(kText, false), 2), false },
            DecodeCase { "brotli_is_not_offered", "br", kText, false },
            DecodeCase { "two_codings", "gzip, gzip", Gzip(Gzip(kText)), false }),
        [](const ::testing::TestParamInfo<DecodeCase>& param) { return std::string(param.param.name); });

} // namespace
} // namespace pagestow::engine::webkit
