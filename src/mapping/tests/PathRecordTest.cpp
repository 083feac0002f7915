#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace pagestow::mapping {
namespace {

    struct PathCase {
        const char* address;
        // The target path below the capture folder of an image at address.
        const char* target;
    };

    std::string ImageTarget(const std::string& address)
    {
        AddressRecord record = PathRecord(address);
        return LocalTargetPath(TargetFolder("", "C", record), record.Value("filename"), "/temp.jpg", ".jpg");
    }

    TEST(PathRecord, MapsEachAddressShapeToOneReadablePath)
    {
        const PathCase cases[] = {
            // Ordinary addresses keep the scanner's reading.
            { "http://www.example.com/news/img/b.gif", "C/www.example.com/news/img/b.gif" },
            { "http://WWW.Example.com:8080/A/b.gif?x=1#f", "C/WWW.Example.com/A/b.gif" },
            { "http://user:pw@www.example.com/p.gif", "C/www.example.com/p.gif" },
            { "http://www.example.com/count", "C/www.example.com/count/temp.jpg" },
            // International names: one folder for the Unicode and the punycode spelling, in Unicode.
            { "http://例子.中国/图.gif", "C/例子.中国/图.gif" },
            { "http://xn--fsqu00a.xn--fiqs8s/%E5%9B%BE.gif", "C/例子.中国/图.gif" },
            { "http://XN--FSQU00A.xn--fiqs8s:8080/a/b.gif", "C/例子.中国/a/b.gif" },
            { "https://user@bücher.example/x.png", "C/bücher.example/x.png" },
            { "http://BÜCHER.example/x.png", "C/bücher.example/x.png" },
            // IPv6 literals: the bracketed address, ":" made "_", the port never.
            { "http://[::1]:8931/x.htm", "C/[__1]/x.htm" },
            { "http://[2001:db8::7]/img/a.gif", "C/[2001_db8__7]/img/a.gif" },
            { "http://u:p@[::1]/a.gif?q=[1]", "C/[__1]/a.gif" },
            // Percent-escapes decoded where that gives safe UTF-8.
            { "http://h.example/a%C3%A4c.gif", "C/h.example/aäc.gif" },
            { "http://h.example/aäc.gif", "C/h.example/aäc.gif" },
            { "http://h.example/my%20docs/%E9%A1%B5.htm", "C/h.example/my_docs/页.htm" },
            { "http://h.example/a%3Fb.gif", "C/h.example/a_b.gif" },
            { "http://h.example/a%2Fb.gif", "C/h.example/a%2Fb.gif" },
            { "http://h.example/a%5Cb.gif", "C/h.example/a%5Cb.gif" },
            { "http://h.example/a%00b.gif", "C/h.example/a%00b.gif" },
            { "http://h.example/a%0Ab.gif", "C/h.example/a%0Ab.gif" },
            { "http://h.example/a%FFb.gif", "C/h.example/a%FFb.gif" },
            { "http://h.example/a%C0%AFb.gif", "C/h.example/a%C0%AFb.gif" },
            { "http://h.example/a%2.gif", "C/h.example/a%2.gif" },
            { "http://h.example/%2E%2E/%2e%2e/x.gif", "C/h.example/__/__/x.gif" },
            { "http://h.example/%2E%2E", "C/h.example/__/temp.jpg" },
        };
        for (const PathCase& c : cases)
            EXPECT_EQ(ImageTarget(c.address), c.target) << c.address;
    }

    TEST(PathRecord, KeepsTheRecordLinesOtherThanTheHostAndTheNames)
    {
        AddressRecord record = PathRecord("http://u:p@[::1]:8931/my%20dir/a%C3%A4.htm?q=1#top");
        EXPECT_EQ(record.Lines(),
            (std::vector<std::string> { "url=http://u:p@[::1]:8931/my%20dir/a%C3%A4.htm?q=1#top",
                "ifabsoluteadd=1", "protocol=http", "usemess=u:p", "username=u", "password=p",
                "hostmess=[__1]:8931", "host=[__1]", "post=8931", "fragment=top", "query=q=1",
                "path=/my%20dir/a%C3%A4.htm", "filename=aä.htm", "directory=/my_dir" }));
    }

    // A page's file: its own name, or index.htm when its address names none, under the folder of its
    // path record; a name of "." or ".." never climbs.
    TEST(DocumentFile, ThePageFileOfEachAddressShape)
    {
        const std::pair<const char*, const char*> cases[] = {
            { "http://www.example.com", "/s/C/www.example.com/index.htm" },
            { "http://www.example.com/", "/s/C/www.example.com/index.htm" },
            { "http://www.example.com/news/article", "/s/C/www.example.com/news/article/index.htm" },
            { "http://www.example.com/news/page.htm?id=5#top", "/s/C/www.example.com/news/page.htm" },
            { "http://[::1]:8931/a%20b.html", "/s/C/[__1]/a_b.html" },
            { "http://XN--FSQU00A.xn--fiqs8s/%E5%9B%BE.htm", "/s/C/例子.中国/图.htm" },
            { "http://x.example/../../etc/a.htm", "/s/C/x.example/__/__/etc/a.htm" },
            { "http://x.example/a/..", "/s/C/x.example/a/__" },
        };
        for (const auto& [address, file] : cases)
            EXPECT_EQ(DocumentFile("/s/", "C", address), file) << address;
    }

    class MakeFoldersTest : public ::testing::Test {
    protected:
        void SetUp() override
        {
            char pattern[] = "/tmp/pagestow-folders-XXXXXX";
            ASSERT_NE(::mkdtemp(pattern), nullptr);
            root = pattern;
        }
        void TearDown() override { std::filesystem::remove_all(root); }
        std::filesystem::path root;
    };

    TEST_F(MakeFoldersTest, MakesEveryLevelExactlyAsNamed)
    {
        EXPECT_EQ(MakeFolders(root.string() + "/out /qzwd_1//h\t/ a"), 0);
        EXPECT_TRUE(std::filesystem::is_directory(root / "out " / "qzwd_1" / "h\t" / " a"));
        EXPECT_FALSE(std::filesystem::exists(root / "out"));
        EXPECT_EQ(MakeFolders(root.string() + "/out /qzwd_1"), 0);
    }

    TEST_F(MakeFoldersTest, GivesTheCauseOfALevelThatCannotBeMade)
    {
        std::ofstream(root / "file") << "x";
        EXPECT_EQ(MakeFolders(root.string() + "/file/below"), ENOTDIR);
        EXPECT_EQ(MakeFolders(root.string() + "/file"), ENOTDIR);
        EXPECT_EQ(MakeFolders(root.string() + "/" + std::string(300, 'n') + "/x"), ENAMETOOLONG);
    }

} // namespace
} // namespace pagestow::mapping
