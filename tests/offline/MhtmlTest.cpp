// The MHTML writer on its own: bodies that look like the message's own structure, a body far larger
// than what is held in memory, and a file that cannot be written.

#include "offline/Mhtml.h"
#include "support/MhtmlRead.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fstream>
#include <random>

namespace pagestow::offline {
namespace {
    namespace fs = std::filesystem;
    using testing::MhtmlMessage;
    using testing::ReadMhtml;

    void WriteFile(const fs::path& path, const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    std::string ReadFile(const fs::path& path)
    {
        std::ifstream stream(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }

    long PeakKilobytes()
    {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss;
    }

    TEST(WriteMhtml, BodiesThatLookLikeTheMessageComeBackWhole)
    {
        testing::TemporaryFolder folder;
        // A page with what a boundary and a closing delimiter look like, "=" and its escapes, lines far
        // over 76 characters, spaces before line breaks, a lone CR, NUL and UTF-8; a binary part likewise.
        const std::string page = "<p>\n------=_Pagestow_0123456789abcdef0123456789abcdef\n--\n"
                                 "------=_Pagestow_0123456789abcdef0123456789abcdef--\n=3D =\n"
            + std::string(300, 'x') + " \t\nend \r alone" + std::string(1, '\0') + " 试验 \n\n";
        std::string binary = "\x89PNG\r\n\x1a\n------=_Pagestow_\r\n--\r\n";
        for (int i = 0; i < 1000; ++i)
            binary += char(i * 7);
        WriteFile(folder.Path() / "index.html", page);
        WriteFile(folder.Path() / "a.png", binary);
        WriteFile(folder.Path() / "s.css", "a { b: c }");

        MhtmlResult result = WriteMhtml(folder.Path() / "index.mhtml",
            { { MhtmlPart::Role::Document, "http://h/index.html", folder.Path() / "index.html" },
                { MhtmlPart::Role::Other, "http://h/a.png", folder.Path() / "a.png" },
                { MhtmlPart::Role::Other, "http://h/gone.png", folder.Path() / "gone.png" },
                { MhtmlPart::Role::Stylesheet, "http://h/s.css\r\nX: y", folder.Path() / "s.css" } },
            "Title", 0);

        ASSERT_EQ(result.failure, "");
        EXPECT_EQ(result.file, folder.Path() / "index.mhtml");
        const std::string text = ReadFile(result.file);
        EXPECT_EQ(result.bytes, text.size());
        MhtmlMessage message = ReadMhtml(text);
        EXPECT_EQ(message.headers["Date"], "Thu, 01 Jan 1970 00:00:00 +0000");
        ASSERT_EQ(message.parts.size(), 3u);
        // Three parts, one closing delimiter: the boundary occurs nowhere else.
        EXPECT_EQ(message.boundaryCount, 4u);
        EXPECT_LE(message.longestLine, 76u);
        EXPECT_EQ(message.parts[0].headers["Content-Type"], "text/html");
        EXPECT_EQ(message.parts[0].body, testing::Crlf(page));
        EXPECT_EQ(message.parts[1].headers["Content-Type"], "image/png");
        EXPECT_EQ(message.parts[1].body, binary);
        // An address cannot add a header of its own.
        EXPECT_EQ(message.parts[2].headers["Content-Location"], "http://h/s.css  X: y");
        EXPECT_EQ(message.parts[2].body, "a { b: c }");
        EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(folder.Path()), {}).size(), 4u);
    }

    TEST(WriteMhtml, TwentyMegabyteBodyIsStreamedInPieces)
    {
        testing::TemporaryFolder folder;
        const fs::path image = folder.Path() / "big.jpg";
        {
            std::ofstream out(image, std::ios::binary);
            std::mt19937 random(7);
            std::string piece(1 << 20, '\0');
            for (int megabyte = 0; megabyte < 20; ++megabyte) {
                for (char& c : piece)
                    c = char(random());
                if (megabyte == 0)
                    piece.replace(0, 3, "\xff\xd8\xff");
                out.write(piece.data(), std::streamsize(piece.size()));
            }
        }
        WriteFile(folder.Path() / "index.html", "<img src=big.jpg>");
        long before = PeakKilobytes();

        MhtmlResult result = WriteMhtml(folder.Path() / "index.mhtml",
            { { MhtmlPart::Role::Document, "http://h/", folder.Path() / "index.html" },
                { MhtmlPart::Role::Other, "http://h/big.jpg", image } },
            "", 0);

        // The writer holds a piece of 57 KiB and its encoding, never the body. (AddressSanitizer keeps
        // freed memory aside for a while, so under it the peak says nothing of what the writer holds.)
#ifndef __SANITIZE_ADDRESS__
        EXPECT_LT(PeakKilobytes() - before, 4 * 1024);
#else
        (void)before;
#endif
        ASSERT_EQ(result.failure, "");
        MhtmlMessage message = ReadMhtml(ReadFile(result.file));
        ASSERT_EQ(message.parts.size(), 2u);
        EXPECT_EQ(message.parts[1].headers["Content-Type"], "image/jpeg");
        EXPECT_TRUE(message.parts[1].body == ReadFile(image));
        EXPECT_EQ(message.longestLine, 76u);
    }

    TEST(WriteMhtml, FileThatCannotBeWrittenIsAFailureAndLeavesNothing)
    {
        testing::TemporaryFolder folder;
        WriteFile(folder.Path() / "index.html", "<p>");
        WriteFile(folder.Path() / "file", "");
        const std::vector<MhtmlPart> parts { { MhtmlPart::Role::Document, "http://h/",
            folder.Path() / "index.html" } };

        MhtmlResult result = WriteMhtml(folder.Path() / "file" / "index.mhtml", parts, "", 0);
        EXPECT_EQ(result.failure, "Not a directory");
        EXPECT_EQ(result.file, fs::path());

        // Stopped between parts (an interrupted capture): neither the file nor its temporary remains.
        EXPECT_THROW(WriteMhtml(folder.Path() / "index.mhtml", parts, "", 0, [] { throw 1; }), int);
        EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(folder.Path()), {}).size(), 2u);
    }

    TEST(MhtmlNames, PathTitleSubjectAndType)
    {
        testing::TemporaryFolder folder;
        EXPECT_EQ(MhtmlPath(folder.Path() / "index.htm"), folder.Path() / "index.mhtml");
        EXPECT_EQ(MhtmlPath(folder.Path() / "run"), folder.Path() / "run.mhtml");
        WriteFile(folder.Path() / "index.mhtml", "");
        EXPECT_EQ(MhtmlPath(folder.Path() / "index.html"), folder.Path() / "index.2.mhtml");

        WriteFile(folder.Path() / "t.html", "<title>\n  A &amp;\tB </title><svg><title>no</title></svg>");
        EXPECT_EQ(DocumentTitle(folder.Path() / "t.html"), "A & B");
        EXPECT_EQ(EncodeSubject("A & B"), "A & B");
        EXPECT_EQ(EncodeSubject("试验"), "=?utf-8?B?6K+V6aqM?=");
        // 16 three-byte characters: the first word ends before the character that would not fit.
        EXPECT_EQ(EncodeSubject("试验试验试验试验试验试验试验试验"),
            "=?utf-8?B?6K+V6aqM6K+V6aqM6K+V6aqM6K+V6aqM6K+V6aqM6K+V6aqM6K+V6aqM6K+V?=\r\n =?utf-8?B?6aqM?=");

        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Other, "a.jpg", "GIF89a..."), "image/gif");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Other, "f.woff", "wOF2...."), "font/woff2");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Stylesheet, "x.php", "body{}"), "text/css");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Other, "i.SVG", "<?xml"), "image/svg+xml");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Stylesheet, "icon", "<svg width=16>"), "image/svg+xml");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Document, "a.svg", "<svg width=16>"), "text/html");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Stylesheet, "a.css", ".a{background:url('data:,<svg ')}"),
            "text/css");
        EXPECT_EQ(MhtmlContentType(MhtmlPart::Role::Other, "blob", "\x01\x02"), "application/octet-stream");
    }

} // namespace
} // namespace pagestow::offline
