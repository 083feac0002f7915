// pagestow-cli -r against sites that never end and pages built to hurt a crawler: it stops at its
// bounds, follows only what a browser would, and writes nothing outside its capture folder.

#include "cli/CliRunFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace pagestow::testing {
namespace {

    std::string Tree(int n)
    {
        return "<html><body><a href=\"" + std::to_string(2 * n) + ".html\">l</a><a href=\"" + std::to_string(2 * n + 1)
            + ".html\">r</a><a href=\"?n=" + std::to_string(n) + "\">same file</a></body></html>";
    }

    // Every path below root, relative to it.
    std::vector<std::string> Everything(const fs::path& root)
    {
        std::vector<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            paths.push_back(fs::relative(entry.path(), root).string());
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    TEST_F(CliRun, CrawlOfASiteWithoutEndStopsAtThePageLimit)
    {
        TestServer server;
        for (int n = 1; n < 1024; ++n)
            server.Serve("/g/" + std::to_string(n) + ".html", Tree(n));

        ChildResult run = Run({ "-r", "--level", "inf", "--page-limit", "150", server.Url("/g/1.html") });

        EXPECT_EQ(run.status, 0) << run.err;
        int pages = 0;
        for (const std::string& path : server.RequestLog())
            pages += path.rfind("/g/", 0) == 0;
        EXPECT_EQ(pages, 150);
        // Breadth first: the first 150 of the tree, each once.
        for (int n = 1; n <= 150; ++n)
            EXPECT_EQ(server.RequestCount("/g/" + std::to_string(n) + ".html"), 1) << n;
        EXPECT_EQ(server.RequestCount("/g/151.html"), 0);
        EXPECT_NE(run.err.find("150 pages saved, 0 failed"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("left in the queue (--page-limit)"), std::string::npos) << run.err;
    }

    TEST_F(CliRun, CrawlOfHostilePagesStaysBoundedAndInsideItsFolder)
    {
        TestServer server;
        std::string links = "<html><body>";
        links += "<a href=\"http://127.0.0.1:" + std::to_string(server.Port()) + "/" + std::string(100'000, 'a') + "\">long</a>";
        for (const char* bad : { "file:///etc/passwd", "javascript:alert(1)", "http://127.0.0.1:25/smtp.html",
                 "../../../../../etc/hostname", "data:text/html,<p>x", "ftp://127.0.0.1/x", "http://[::1", "view-source:x" })
            links += std::string("<a href=\"") + bad + "\">x</a>";
        // A million links, all to pages that do not exist (each fails as a 404 no page keeps).
        for (int i = 0; i < 1'000'000; ++i)
            links += "<a href=m" + std::to_string(i) + ">";
        links += "</body></html>";
        server.Serve("/index.html", links);
        const std::string_view garbage = "Disallow: /*a*a*a*a*a*a*b$\n\xff\x01User-agent: *\r";
        std::string robots(10u << 20, '\0');
        for (size_t i = 0; i < robots.size(); ++i)
            robots[i] = garbage[i % garbage.size()];
        server.Serve("/robots.txt", robots, "text/plain");

        ChildResult run = Run({ "-r", "--page-limit", "40", server.Url("/index.html") });

        EXPECT_EQ(run.status, 1) << run.err; // the pages that do not exist fail
        EXPECT_FALSE(run.signalled);
        EXPECT_NE(run.err.find("1 page saved, 39 failed"), std::string::npos) << run.err.substr(0, 2000);
        EXPECT_EQ(server.RequestCount("/robots.txt"), 1);
        // Only the save folder's capture folder, and in it only the page and the crawl's state.
        std::vector<std::string> written = Everything(SaveDir());
        std::string folder = fs::path(CaptureRoot()).filename().string();
        EXPECT_EQ(written,
            (std::vector<std::string> { folder, folder + "/.pagestow-crawl", folder + "/127.0.0.1",
                folder + "/127.0.0.1/index.html" }))
            << ::testing::PrintToString(written);
    }

} // namespace
} // namespace pagestow::testing
