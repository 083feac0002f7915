#include "engine/cookies/CookieFile.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

namespace pagestow::engine::cookies {
namespace {

    using testing::ReadFileBytes;
    using testing::TemporaryFolder;
    using testing::WriteFileBytes;

    TEST(CookieFile, ReadsCookiesAndSkipsComments)
    {
        std::string text = "# Netscape HTTP Cookie File\n"
                           "\n"
                           ".Example.COM\tTRUE\t/\tFALSE\t0\tsid\tabc\n"
                           "#HttpOnly_shop.example.com\tFALSE\t/cart\tTRUE\t2000000000\ttoken\t\r\n"
                           "   \n"
                           "# a comment with\ttabs\tin it\n"
                           "127.0.0.1\tFALSE\t/\tFALSE\t1\tlang\tzh=CN";
        std::vector<Cookie> expected {
            { "example.com", true, "/", false, false, 0, "sid", "abc" },
            { "shop.example.com", false, "/cart", true, true, 2000000000, "token", "" },
            { "127.0.0.1", false, "/", false, false, 1, "lang", "zh=CN" },
        };
        EXPECT_EQ(ParseCookieFile(text, "c.txt"), expected);
    }

    // A bad line is refused with the file, its line number and why; the cookie's value never shows.
    TEST(CookieFile, BadLineIsRefusedWithItsLineNumberWithoutItsValue)
    {
        struct Case {
            const char* line;
            const char* message;
        } cases[] = {
            { "example.com\tTRUE\t/\tFALSE\t0\tsid", "c.txt:3: expected 7 tab-separated fields" },
            { "example.com TRUE / FALSE 0 sid secret1", "c.txt:3: expected 7 tab-separated fields" },
            { "\tTRUE\t/\tFALSE\t0\tsid\tsecret1", "c.txt:3: the domain is empty" },
            { "example.com\tyes\t/\tFALSE\t0\tsid\tsecret1", "c.txt:3: the include-subdomains field" },
            { "example.com\tTRUE\tcart\tFALSE\t0\tsid\tsecret1", "c.txt:3: the path does not start with /" },
            { "example.com\tTRUE\t/\t1\t0\tsid\tsecret1", "c.txt:3: the secure field" },
            { "example.com\tTRUE\t/\tFALSE\tsoon\tsid\tsecret1", "c.txt:3: the expiry is not a number" },
            { "example.com\tTRUE\t/\tFALSE\t-5\tsid\tsecret1", "c.txt:3: the expiry is not a number" },
            { "example.com\tTRUE\t/\tFALSE\t0\t\tsecret1", "c.txt:3: the cookie has no name" },
            { "example.com\tTRUE\t/\tFALSE\t0\ts id\tsecret1", "c.txt:3: the cookie's name holds" },
            { "example.com\tTRUE\t/\tFALSE\t0\tsid\tsecret1;x", "c.txt:3: the cookie's value holds" },
        };
        for (const Case& bad : cases) {
            std::string text
                = std::string("# header\n.ok.example\tTRUE\t/\tFALSE\t0\tk\tv\n") + bad.line + "\n";
            try {
                ParseCookieFile(text, "c.txt");
                ADD_FAILURE() << "accepted: " << bad.line;
            } catch (const CookieFileError& error) {
                std::string message = error.what();
                EXPECT_EQ(message.rfind(bad.message, 0), 0u) << message;
                EXPECT_EQ(message.find("secret1"), std::string::npos) << message;
            }
        }
    }

    TEST(CookieFile, WritesWhatItReadsOwnerOnlyAndWhole)
    {
        TemporaryFolder folder;
        std::vector<Cookie> cookies {
            { "example.com", true, "/", false, false, 0, "sid", "abc" },
            { "shop.example.com", false, "/cart", true, true, 2000000000, "token", "x y" },
        };
        std::string path = (folder.Path() / "jar.txt").string();
        WriteFileBytes(path, "old");
        WriteCookieFile(path, cookies);
        struct stat info { };
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        std::string text = ReadFileBytes(path);
        EXPECT_NE(text.find(".example.com\tTRUE\t/\tFALSE\t0\tsid\tabc\n"), std::string::npos) << text;
        EXPECT_NE(text.find("#HttpOnly_shop.example.com\tFALSE\t/cart\tTRUE\t2000000000\ttoken\tx y\n"),
            std::string::npos);
        EXPECT_EQ(ReadCookieFile(path), cookies);
        // Nothing but the file itself is left in the folder.
        EXPECT_EQ(testing::ListFiles(folder.Path()), std::vector<std::string> { "jar.txt" });
    }

    TEST(CookieFile, FileThatCannotBeReadOrWrittenOrIsTooLargeIsRefused)
    {
        TemporaryFolder folder;
        EXPECT_THROW(ReadCookieFile((folder.Path() / "missing.txt").string()), CookieFileError);
        EXPECT_THROW(WriteCookieFile((folder.Path() / "no/such/folder.txt").string(), {}), CookieFileError);
        std::string large = (folder.Path() / "large.txt").string();
        {
            std::ofstream out(large);
            std::string line = "example.com\tFALSE\t/\tFALSE\t0\tn\t" + std::string(1000, 'v') + "\n";
            for (std::uint64_t written = 0; written <= kMaxCookieFileBytes; written += line.size())
                out << line;
        }
        try {
            ReadCookieFile(large);
            ADD_FAILURE() << "a file over 10 MB was read";
        } catch (const CookieFileError& error) {
            EXPECT_EQ(std::string(error.what()), large + ": larger than 10 MB, which no cookie file is");
        }
    }

} // namespace
} // namespace pagestow::engine::cookies
