#include "mapping/LocalPath.h"
#include "mapping/AddressRecord.h"

#include <gtest/gtest.h>

#include <string>

namespace pagestow::mapping {
namespace {

    AddressRecord RecordOf(std::string_view address)
    {
        AddressRecord record;
        SplitAddress(address, record);
        return record;
    }

    TEST(IsRelativeAddress, AgreesWithTheRecordOfTheSameAddress)
    {
        const struct {
            const char* address;
            bool relative;
        } cases[] = {
            { "css/s.css", true },
            { "  /x.gif", true },
            { "./a", true },
            { "a/b.c", true },
            { "page", true },
            { "http://localhost/x/y", true },
            { "//cdn.example.com/a.js", true },
            { "\\\\cdn.example.com\\a.js", true },
            { "http://a.example/c", false },
            { "http:\\\\a.example\\c", false },
            { "www.example.com", false },
            { "index.htm", false },
            { "a.b/c", false },
            { " \t", true },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.address);
            EXPECT_EQ(IsRelativeAddress(c.address), c.relative);
            EXPECT_EQ(RecordOf(c.address).Value("ifabsoluteadd"), c.relative ? "0" : "1");
        }
    }

    TEST(CombinePath, JoinsAndResolvesDotSegments)
    {
        const struct {
            const char* directory;
            const char* relative;
            const char* combined;
        } cases[] = {
            { "/news", "css/s.css", "/news/css/s.css" },
            { "/news/", "css/s.css", "/news/css/s.css" },
            { "/news", "../img/b.gif", "/img/b.gif" },
            { "/news", "/js/c.js", "/js/c.js" },
            { "/news/2024", "./d.gif", "/news/2024/d.gif" },
            { "/", "images/e.gif", "/images/e.gif" },
            { "\\news\\2024", "..\\a.gif", "/news/a.gif" },
            { "/news", "../../../../etc/a.gif", "/etc/a.gif" },
            { "/news", "a/./b/../c.gif", "/news/a/c.gif" },
            { "/a/b", "..", "/a/" },
            { "/a/b", ".", "/a/b/" },
            { "/a", "../..", "/" },
            { "/news", "img/", "/news/img/" },
            { "/news", "a//b.gif", "/news/a//b.gif" },
            { "/news", "a.php?x=/y/z", "/news/a.php?x=/y/z" },
            { "/news", "...", "/news/..." },
            { "/news", "//x/a.gif", "//x/a.gif" },
            { "", "x/../y.gif", "x/../y.gif" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.directory) + " + " + c.relative);
            EXPECT_EQ(CombinePath(c.directory, c.relative), c.combined);
        }
    }

    TEST(CombinePath, GivesEmptyTextForAResultLongerThan260Characters)
    {
        EXPECT_EQ(CombinePath("/n", std::string(257, 'a')), "/n/" + std::string(257, 'a'));
        EXPECT_EQ(CombinePath("/n", std::string(258, 'a')), "");
        EXPECT_EQ(CombinePath("", std::string(261, 'a')), "");
    }

    TEST(ResolveAddress, CombinesBelowTheDocumentsDirectory)
    {
        const AddressRecord news = RecordOf("http://www.example.com/news/a.htm");
        const AddressRecord portRoot = RecordOf("http://www.example.com:8080/");
        const AddressRecord fileAtRoot = RecordOf("http://www.example.com/index.htm");
        const AddressRecord blankDir = RecordOf("http://www.example.com/my docs/a.htm");
        const std::string tooLong(300, 'a');
        const struct {
            const AddressRecord& document;
            const char* relative;
            const char* absolute;
        } cases[] = {
            { news, "css/s.css", "http://www.example.com/news/css/s.css" },
            { news, "../img/b.gif", "http://www.example.com/img/b.gif" },
            { news, "/js/c.js", "http://www.example.com/js/c.js" },
            { news, "./d.gif", "http://www.example.com/news/d.gif" },
            { news, "img\\b.gif", "http://www.example.com/news/img/b.gif" },
            { news, "http://localhost/x/y", "http://www.example.com/news/http://localhost/x/y" },
            { portRoot, "images/e.gif", "http://www.example.com:8080/images/e.gif" },
            { fileAtRoot, "images/a.gif", "http://www.example.com/images/a.gif" },
            { blankDir, "img/b.gif", "http://www.example.com/my_docs/img/b.gif" },
            { news, tooLong.c_str(), "http://www.example.com" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.relative);
            EXPECT_EQ(ResolveAddress(c.document, c.relative), c.absolute);
        }
    }

    TEST(CombinationFails, OnlyWhenTheCombinedPathPassesTheLimit)
    {
        const AddressRecord news = RecordOf("http://www.example.com/news/a.htm");
        const AddressRecord root = RecordOf("http://www.example.com/");
        const struct {
            const AddressRecord& document;
            std::string relative;
            bool fails;
        } cases[] = {
            { news, "css/s.css", false },
            { news, "", false },
            { news, std::string(254, 'a'), false },
            { news, std::string(255, 'a'), true },
            { root, "e.gif#" + std::string(300, 'k'), true },
            { root, "/" + std::string(300, 'k'), true },
            { root, "//cdn.example.com/" + std::string(300, 'k'), false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.relative.substr(0, 20));
            EXPECT_EQ(CombinationFails(c.document, c.relative), c.fails);
            if (c.fails) {
                EXPECT_EQ(ResolveAddress(c.document, c.relative), "http://www.example.com");
            }
        }
    }

    TEST(ResolveAddress, TakesAProtocolRelativeAddressToItsOwnHost)
    {
        const AddressRecord document = RecordOf("https://www.example.com/news/a.htm");
        EXPECT_EQ(ResolveAddress(document, "//cdn.example.com/a.js"), "https://cdn.example.com/a.js");
        EXPECT_EQ(
            ResolveAddress(document, " \\\\cdn.example.com\\lib\\a.js "), "https://cdn.example.com/lib/a.js");
    }

    TEST(ElementAddress, ResolvesTheValueWithoutItsSurroundingBlanks)
    {
        const AddressRecord document = RecordOf("http://www.example.com/news/a.htm");
        EXPECT_EQ(ElementAddress(document, " \timages/a.gif \n"), "http://www.example.com/news/images/a.gif");
        EXPECT_EQ(ElementAddress(document, "  /js/c.js"), "http://www.example.com/js/c.js");
        EXPECT_EQ(ElementAddress(document, "\t//cdn.example.com/a.js"), "http://cdn.example.com/a.js");
        EXPECT_EQ(ElementAddress(document, " http://cdn.example.net/lib.js?v=3 "),
            "http://cdn.example.net/lib.js?v=3");
        // A bare file name counts as absolute and stands as it is.
        EXPECT_EQ(ElementAddress(document, "logo.gif"), "logo.gif");
    }

    // The path of a file copied from address under /home/u/Pages/qzwd_2612080445123.
    std::string CapturePath(
        std::string_view address, std::string_view defaultName, std::string_view defaultExtension)
    {
        const AddressRecord record = RecordOf(address);
        const std::string folder = TargetFolder("/home/u/Pages/", "qzwd_2612080445123", record);
        return LocalTargetPath(folder, record.Value("filename"), defaultName, defaultExtension);
    }

    TEST(LocalTargetPath, MirrorsHostAndDirectoryUnderTheCaptureFolder)
    {
        const struct {
            const char* address;
            const char* defaultName;
            const char* defaultExtension;
            const char* path;
        } cases[] = {
            { "http://www.example.com/news/img/b.gif", "/temp.jpg", ".jpg",
                "/home/u/Pages/qzwd_2612080445123/www.example.com/news/img/b.gif" },
            { "http://www.example.com/", "/index.htm", "",
                "/home/u/Pages/qzwd_2612080445123/www.example.com/index.htm" },
            { "http://www.example.com/news/page.asp?id=1", "/index.htm", "",
                "/home/u/Pages/qzwd_2612080445123/www.example.com/news/page.asp" },
            { "http://cdn.example.net/lib.js?v=3", "/temp.js", ".js",
                "/home/u/Pages/qzwd_2612080445123/cdn.example.net/lib.js" },
            { "http://www.example.com/count", "/temp.jpg", ".jpg",
                "/home/u/Pages/qzwd_2612080445123/www.example.com/count/temp.jpg" },
            { "http://www.example.org/v.2/run", "/temp.js", ".js",
                "/home/u/Pages/qzwd_2612080445123/www.example.org/v.2/run.js" },
            { "http://www.example.org/site/", "/css.css", ".css",
                "/home/u/Pages/qzwd_2612080445123/www.example.org/site/css.css" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.address);
            EXPECT_EQ(CapturePath(c.address, c.defaultName, c.defaultExtension), c.path);
        }
    }

    TEST(LocalTargetPath, MapsAddressesThatDifferInQueryOrPortToOneFile)
    {
        const std::string first = CapturePath("http://www.example.com/img.asp?id=1", "/temp.jpg", ".jpg");
        EXPECT_EQ(first, "/home/u/Pages/qzwd_2612080445123/www.example.com/img.asp");
        EXPECT_EQ(CapturePath("http://www.example.com/img.asp?id=2", "/temp.jpg", ".jpg"), first);
        EXPECT_EQ(CapturePath("http://www.example.com:8080/img.asp?id=1", "/temp.jpg", ".jpg"), first);
    }

    TEST(TargetFolder, NeutralisesDotSegmentsSoNothingLeavesTheCaptureFolder)
    {
        const struct {
            const char* address;
            const char* path;
        } cases[] = {
            { "http://x.example/../../../../etc/a.gif",
                "/home/u/Pages/qzwd_2612080445123/x.example/__/__/__/__/etc/a.gif" },
            { "http://x.example/./a.gif", "/home/u/Pages/qzwd_2612080445123/x.example/_/a.gif" },
            { "http://a@../x.gif", "/home/u/Pages/qzwd_2612080445123/__/x.gif" },
            { "ftp://u@./a.gif", "/home/u/Pages/qzwd_2612080445123/_/a.gif" },
            { "http://x.example/\t..\t/\x01..\x02/evil/a.gif",
                "/home/u/Pages/qzwd_2612080445123/x.example/__/__/evil/a.gif" },
            { "http://x.example/a/..", "/home/u/Pages/qzwd_2612080445123/x.example/a/__" },
            { "http://x.example/a/.", "/home/u/Pages/qzwd_2612080445123/x.example/a/_" },
            { "../css/site.css", "/home/u/Pages/qzwd_2612080445123//__/css/site.css" },
            // Only "." and ".." climb; other names made of dots are ordinary names.
            { "http://x.example/.../a..b/a.gif",
                "/home/u/Pages/qzwd_2612080445123/x.example/.../a..b/a.gif" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.address);
            EXPECT_EQ(CapturePath(c.address, "/temp.jpg", ".jpg"), c.path);
        }
    }

    TEST(TargetFolder, NeutralisesARecordWhoseHostHoldsSeparators)
    {
        AddressRecord record;
        record.Add("host", "..\\..");
        record.Add("directory", "\\..");
        EXPECT_EQ(TargetFolder("/s/", "qzwd_1", record), "/s/qzwd_1/__\\__\\__");
    }

    TEST(SafeFileName, NeutralisesOnlyDotNames)
    {
        EXPECT_EQ(SafeFileName(""), "");
        EXPECT_EQ(SafeFileName("."), "_");
        EXPECT_EQ(SafeFileName(".."), "__");
        EXPECT_EQ(SafeFileName(" ..\t"), "__");
        EXPECT_EQ(SafeFileName(".htaccess"), ".htaccess");
        EXPECT_EQ(SafeFileName("a.gif"), "a.gif");
    }

} // namespace
} // namespace pagestow::mapping
