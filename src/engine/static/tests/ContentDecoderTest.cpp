#include "engine/static/ContentDecoder.h"

#include "support/Gzip.h"

#include <gtest/gtest.h>

namespace pagestow::engine::static_engine {
namespace {
    using testing::Brotli;
    using testing::Deflate;

    struct Decoded {
        bool fed = true;
        bool finished = false;
        std::string bytes;
    };

    // Feeds body in pieces of piece bytes, as a network delivers it.
    Decoded Decode(const std::string& encoding, const std::string& body, size_t piece = 7)
    {
        Decoded decoded;
        auto decoder = ContentDecoder::ForEncoding(encoding);
        if (!decoder) {
            decoded.bytes = body;
            decoded.finished = true;
            return decoded;
        }
        for (size_t at = 0; at < body.size() && decoded.fed; at += piece) {
            decoded.fed
                = decoder->Feed(std::string_view(body).substr(at, piece), [&](std::string_view bytes) {
                      decoded.bytes.append(bytes);
                      return true;
                  });
        }
        decoded.finished = decoder->Finished();
        return decoded;
    }

    std::string Text()
    {
        std::string text;
        for (int i = 0; i < 20000; ++i)
            text += "line " + std::to_string(i * 7919 % 10007) + "\n";
        return text;
    }

    std::string GzipOf(const std::string& text)
    {
        return testing::Gzip(text);
    }
    std::string ZlibOf(const std::string& text)
    {
        return Deflate(text, false);
    }
    std::string RawDeflateOf(const std::string& text)
    {
        return Deflate(text, true);
    }
    std::string BrotliOf(const std::string& text)
    {
        return Brotli(text);
    }
    std::string BrotliThenGzipOf(const std::string& text)
    {
        return testing::Gzip(Brotli(text));
    }

    struct Coding {
        const char* name;
        const char* header;
        std::string (*encode)(const std::string&);
    };

    class EachCoding : public ::testing::TestWithParam<Coding> { };

    TEST_P(EachCoding, WholeStreamDecodesAndEnds)
    {
        const std::string text = Text();
        Decoded decoded = Decode(GetParam().header, GetParam().encode(text));
        EXPECT_TRUE(decoded.fed);
        EXPECT_TRUE(decoded.finished);
        EXPECT_EQ(decoded.bytes, text);
    }

    TEST_P(EachCoding, StreamCutInHalfHasNotEnded)
    {
        const std::string text = Text();
        std::string body = GetParam().encode(text);
        Decoded decoded = Decode(GetParam().header, body.substr(0, body.size() / 2));
        EXPECT_FALSE(decoded.finished);
        EXPECT_LT(decoded.bytes.size(), text.size());
        EXPECT_EQ(decoded.bytes, text.substr(0, decoded.bytes.size()));
    }

    TEST_P(EachCoding, StreamWithoutItsLastByteHasNotEnded)
    {
        std::string body = GetParam().encode(Text());
        EXPECT_FALSE(Decode(GetParam().header, body.substr(0, body.size() - 1)).finished);
    }

    TEST_P(EachCoding, DamagedStreamFails)
    {
        // Raw deflate carries no check value: damage may decode to other bytes, as in a browser.
        if (GetParam().encode == RawDeflateOf)
            GTEST_SKIP() << "raw deflate cannot tell damage";
        std::string body = GetParam().encode(Text());
        for (size_t i = body.size() / 3; i < body.size() / 3 + 16; ++i)
            body[i] = char(~body[i]);
        Decoded decoded = Decode(GetParam().header, body);
        EXPECT_FALSE(decoded.fed && decoded.finished);
    }

    std::string CodingName(const ::testing::TestParamInfo<Coding>& param)
    {
        return param.param.name;
    }

    INSTANTIATE_TEST_SUITE_P(Codings, EachCoding,
        ::testing::Values(Coding { "gzip", "gzip", GzipOf }, Coding { "zlib", "deflate", ZlibOf },
            Coding { "rawDeflate", "Deflate", RawDeflateOf }, Coding { "brotli", "br", BrotliOf },
            Coding { "brotliThenGzip", "br, gzip", BrotliThenGzipOf }),
        CodingName);

    TEST(ContentDecoder, IdentityAndNoCodingNeedNoDecoder)
    {
        EXPECT_EQ(ContentDecoder::ForEncoding(""), nullptr);
        EXPECT_EQ(ContentDecoder::ForEncoding(" identity "), nullptr);
    }

    TEST(ContentDecoder, CodingNotOfferedFails)
    {
        auto decoder = ContentDecoder::ForEncoding("zstd");
        ASSERT_NE(decoder, nullptr);
        EXPECT_FALSE(decoder->Feed("abc", [](std::string_view) { return true; }));
        EXPECT_FALSE(decoder->Finished());
    }

    TEST_P(EachCoding, BytesAfterTheEndOfTheStreamAreDamage)
    {
        const std::string coded = GetParam().encode(Text());
        for (const std::string& more :
            { std::string("x"), std::string("trailing junk"), std::string(9, '\0') }) {
            for (size_t piece : { size_t(7), size_t(1) << 20 }) {
                Decoded decoded = Decode(GetParam().header, coded + more, piece);
                EXPECT_FALSE(decoded.fed && decoded.finished) << more.size() << " more, pieces of " << piece;
            }
        }
    }

    TEST_P(EachCoding, StreamThatDecodesToNothingIsDamaged)
    {
        // Such a stream is a few bytes long; a server that sends one sends no content.
        Decoded decoded = Decode(GetParam().header, GetParam().encode(""));
        EXPECT_TRUE(decoded.bytes.empty());
        EXPECT_FALSE(decoded.fed && decoded.finished);
    }

    TEST(ContentDecoder, BrotliStreamThatEndsAtItsFirstByteIsDamaged)
    {
        // 0x06 and 0x3b are each a whole stream: one empty meta-block marked last.
        for (const std::string& body : { std::string("\x06"), std::string("\x3b"), std::string("\x06junk") })
            EXPECT_FALSE(Decode("br", body).finished) << body.size() << " bytes";
    }

    TEST(ContentDecoder, GzipMembersOneAfterTheOtherAreOneBody)
    {
        const std::string text = Text().substr(0, 20000);
        const std::string members = testing::Gzip(text.substr(0, 1000)) + testing::Gzip(text.substr(1000, 5))
            + testing::Gzip(text.substr(1005));
        for (size_t piece : { size_t(1), size_t(7), members.size() }) {
            Decoded decoded = Decode("gzip", members, piece);
            EXPECT_TRUE(decoded.fed) << piece;
            EXPECT_TRUE(decoded.finished) << piece;
            EXPECT_EQ(decoded.bytes, text) << piece;
        }
        // A member that has begun and not ended leaves the body unfinished.
        EXPECT_FALSE(Decode("gzip", testing::Gzip(text) + "\x1f").finished);
        EXPECT_FALSE(Decode("gzip", testing::Gzip(text) + testing::Gzip("").substr(0, 10)).finished);
    }

    TEST(ContentDecoder, SinkThatStopsStopsTheDecoder)
    {
        auto decoder = ContentDecoder::ForEncoding("gzip");
        int calls = 0;
        EXPECT_FALSE(decoder->Feed(testing::Gzip(Text()), [&](std::string_view) { return ++calls < 2; }));
        EXPECT_EQ(calls, 2);
    }

} // namespace
} // namespace pagestow::engine::static_engine
