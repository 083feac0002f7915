// --screenshot and --pdf: the browser engines draw the page they took, beside its saved file, in one
// run; the built-in engine, which draws nothing, refuses them.

#include "CliRunFixture.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pagestow::testing {
namespace {

    std::string ReadFile(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }

    // The width and height in a PNG's IHDR chunk; (0, 0) when the bytes are no PNG.
    std::pair<unsigned, unsigned> PngSize(const std::string& bytes)
    {
        if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0
            || bytes.compare(12, 4, "IHDR") != 0)
            return { 0, 0 };
        auto word = [&](std::size_t at) {
            return unsigned(static_cast<unsigned char>(bytes[at])) << 24
                | unsigned(static_cast<unsigned char>(bytes[at + 1])) << 16
                | unsigned(static_cast<unsigned char>(bytes[at + 2])) << 8
                | unsigned(static_cast<unsigned char>(bytes[at + 3]));
        };
        return { word(16), word(20) };
    }

    // The path in the result line that begins with prefix, "" when there is none.
    std::string PathAfter(const std::string& out, const std::string& prefix)
    {
        std::string found;
        for (const std::string& line : Lines(out))
            if (line.rfind(prefix, 0) == 0)
                found = line.substr(prefix.size());
        return found;
    }

    using CliPicture = CliEngineRun;

    // A page of 3,240 CSS pixels (a styled paragraph, 3,000 px of text, a red block of 200 px at the
    // bottom), and one of 20,000 px, which is drawn to the bound.
    TEST_P(CliPicture, EachPageIsDrawnWholeBesideItsFile)
    {
        TestServer server;
        server.Serve("/tall.htm",
            "<!DOCTYPE html><html><head><style>body { margin: 0 }"
            " p { margin: 0; padding: 10px; height: 20px; color: #fff; background: #2060c0 }"
            " #bottom { height: 200px; background: #ff0000 }</style></head><body>"
            "<p>styled</p><div style=\"height: 3000px\">tall</div><div id=bottom></div></body></html>");
        server.Serve("/huge.htm",
            "<!DOCTYPE html><html><body style=\"margin: 0\"><div style=\"height: 20000px\"></div>"
            "</body></html>");
        ChildResult run = Run({ "--engine", GetParam(), "--screenshot", "--pdf", server.Url("/tall.htm"),
            server.Url("/huge.htm") });
        ASSERT_EQ(run.status, 0) << run.err;

        // The pictures' lines come after the capture's own, the screenshot's first.
        std::vector<std::string> lines = Lines(run.out);
        auto at = [&](const std::string& text) {
            return std::find(lines.begin(), lines.end(), text) - lines.begin();
        };
        const std::string png = PathAfter(run.out, "页面截图：");
        const std::string pdf = PathAfter(run.out, "页面 PDF：");
        ASSERT_FALSE(png.empty()) << run.out;
        ASSERT_FALSE(pdf.empty()) << run.out;
        EXPECT_EQ(png.substr(png.rfind('/')), "/huge.png");
        EXPECT_EQ(pdf.substr(pdf.rfind('/')), "/huge.pdf");

        // The tall page's pictures are beside its saved file, named after it.
        std::string tallFolder;
        for (const std::string& line : lines)
            if (line.rfind("页面截图：", 0) == 0 && line.find("/tall.png") != std::string::npos)
                tallFolder = line.substr(std::string("页面截图：").size());
        ASSERT_FALSE(tallFolder.empty()) << run.out;
        tallFolder.erase(tallFolder.rfind('/'));
        const std::string page = tallFolder + "/tall.htm";
        EXPECT_LT(at("双击打开保存的目录！"), at("页面截图：" + tallFolder + "/tall.png"));
        EXPECT_EQ(
            at("页面截图：" + tallFolder + "/tall.png") + 1, at("页面 PDF：" + tallFolder + "/tall.pdf"));
        EXPECT_TRUE(fs::is_regular_file(page));

        const std::string tall = ReadFile(tallFolder + "/tall.png");
        EXPECT_EQ(PngSize(tall), (std::pair<unsigned, unsigned> { 1280, 3240 }));
        // The bottom block and the styled paragraph, as drawn.
        ChildResult bottom
            = RunOther("/usr/bin/convert", { tallFolder + "/tall.png", "-crop", "1x1+640+3200", "txt:" });
        EXPECT_NE(bottom.out.find("#FF0000"), std::string::npos) << bottom.out << bottom.err;
        ChildResult styled
            = RunOther("/usr/bin/convert", { tallFolder + "/tall.png", "-crop", "1x1+5+5", "txt:" });
        EXPECT_NE(styled.out.find("#2060C0"), std::string::npos) << styled.out << styled.err;

        for (const std::string& file : { tallFolder + "/tall.pdf", pdf }) {
            const std::string document = ReadFile(file);
            EXPECT_EQ(document.substr(0, 5), "%PDF-") << file;
            EXPECT_NE(
                document.find("%%EOF", document.size() > 16 ? document.size() - 16 : 0), std::string::npos)
                << file;
        }
        // The page taller than the bound is drawn to it.
        EXPECT_EQ(PngSize(ReadFile(png)), (std::pair<unsigned, unsigned> { 1280, 16384 }));

        // Nothing half-written is left beside them.
        for (const auto& entry : fs::directory_iterator(tallFolder))
            EXPECT_EQ(entry.path().filename().string().find(".png."), std::string::npos) << entry.path();
    }

    INSTANTIATE_TEST_SUITE_P(BrowserEngines, CliPicture, ::testing::Values("chromium", "webkit"));

    TEST_F(CliRun, TheBuiltInEngineRefusesPicturesInOneLine)
    {
        ChildResult run = Run({ "--screenshot", "127.0.0.1:1/" });
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err,
            "pagestow-cli: the built-in engine draws no page: --screenshot and --pdf need --engine chromium "
            "or "
            "webkit\n");
        EXPECT_TRUE(fs::is_empty(SaveDir()));
    }

} // namespace
} // namespace pagestow::testing
