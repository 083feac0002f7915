// pagestow-cli -r against a small site of two hosts: which pages a crawl takes, each once, into one
// capture folder whose offline copies link to each other; and a crawl interrupted and resumed.

#include "CliRunFixture.h"
#include "WarcRead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

namespace pagestow::testing {
namespace {

    std::string Page(const std::string& title, const std::string& body)
    {
        return "<!DOCTYPE html><html><head><title>" + title
            + "</title><link rel=stylesheet href=\"/style.css\"></head><body>" + body + "</body></html>";
    }

    std::string ReadAll(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Every file below root, as paths relative to it, without the crawl's state file.
    std::set<std::string> FilesBelow(const std::string& root)
    {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            std::string relative = fs::relative(entry.path(), root).string();
            if (entry.is_regular_file() && relative != ".pagestow-crawl")
                files.insert(relative);
        }
        return files;
    }

    // The site: a start folder /docs/ with a link loop, a chain deeper than --level, a fragment, a
    // folder robots.txt closes, a page above the start folder, a redirect into another folder, a
    // PDF and a page of the other host.
    struct Site {
        TestServer a { "127.0.0.1" };
        TestServer b { "127.0.0.2" };

        Site()
        {
            a.Serve("/robots.txt", "User-agent: *\nDisallow: /docs/private/\n", "text/plain");
            a.Serve("/style.css", "body{background:url(/bg.png)}", "text/css");
            a.Serve("/bg.png", "\x89PNG\r\n\x1a\n", "image/png");
            a.Serve("/docs/index.html",
                Page("start",
                    "<a href=\"a.html\">a</a> <a href=\"b.html#part\">b</a> <a href=\"private/secret.html\">s</a>"
                    " <a href=\"../outside.html\">up</a> <a href=\"moved.html\">moved</a>"
                    " <a href=\"manual.pdf\">pdf</a> <a href=\"" + b.Url("/other.html") + "\">other</a>"
                    " <a href=\"mailto:x@example.org\">mail</a> <a href=\"javascript:void(0)\">js</a>"));
            a.Serve("/docs/a.html", Page("a", "<a href=\"index.html\">back</a> <a href=\"chain/1.html\">on</a>"));
            a.Serve("/docs/b.html", Page("b", "<p id=part>part</p><a href=\"a.html#top\">a</a>"));
            for (int i = 1; i <= 5; ++i)
                a.Serve("/docs/chain/" + std::to_string(i) + ".html",
                    Page("chain", "<a href=\"" + std::to_string(i + 1) + ".html\">next</a>"));
            a.Serve("/docs/private/secret.html", Page("secret", ""));
            a.Serve("/outside.html", Page("outside", ""));
            a.Serve("/docs/moved.html", "", "text/html", 302, { { "Location", "/new/place.html" } });
            a.Serve("/new/place.html", Page("place", "<a href=\"/docs/b.html\">b</a>"));
            a.Serve("/docs/manual.pdf", "%PDF-1.4\n<a href=\"never.html\">\n%%EOF\n", "application/pdf");
            b.Serve("/other.html", Page("other", ""));
        }

        std::string Start() const { return a.Url("/docs/index.html"); }
    };

    class CliCrawl : public CliEngineRun { };

    TEST_P(CliCrawl, TakesEachPageInScopeOnceIntoOneBrowsableTree)
    {
        Site site;
        std::vector<std::string> args { "--engine", GetParam(), "-r", "--level", "3", "--no-parent",
            "--offline-copy", "--warc-file", "crawl", site.Start() };
        if (Browser())
            args.insert(args.begin(), { "--jobs", "2", "--no-scroll" });
        ChildResult run = Run(args);

        ASSERT_EQ(run.status, 0) << run.err;
        std::string root = CaptureRoot();
        ASSERT_FALSE(root.empty());
        std::string host = "127.0.0.1";
        std::set<std::string> files = FilesBelow(root);
        std::set<std::string> expected;
        for (const char* page : { "docs/index", "docs/a", "docs/b", "docs/chain/1", "docs/chain/2", "new/place" }) {
            expected.insert(host + "/" + page + ".html");
            expected.insert(host + "/" + page + ".offline.html");
        }
        expected.insert(host + "/docs/manual.pdf");
        expected.insert(host + "/style.css");
        expected.insert(host + "/style.offline.css");
        expected.insert(host + "/bg.png");
        EXPECT_EQ(files, expected) << run.out << run.err;

        // Each page once, the shared stylesheet once; nothing outside the scope asked for.
        for (const char* path : { "/docs/index.html", "/docs/a.html", "/docs/b.html", "/docs/chain/1.html",
                 "/docs/chain/2.html", "/docs/manual.pdf", "/docs/moved.html", "/new/place.html" })
            EXPECT_EQ(site.a.RequestCount(path), 1) << path;
        // The built-in engine asks for what it holds already no more.
        if (!Browser()) {
            EXPECT_EQ(site.a.RequestCount("/style.css"), 1);
        }
        EXPECT_EQ(site.a.RequestCount("/robots.txt"), 1);
        for (const char* path : { "/docs/chain/3.html", "/docs/private/secret.html", "/outside.html", "/docs/never.html" })
            EXPECT_EQ(site.a.RequestCount(path), 0) << path;
        EXPECT_EQ(site.b.RequestCount("/other.html"), 0);

        // The copies point at each other, fragments kept; what was not saved stays absolute.
        std::string index = ReadAll(root + "/" + host + "/docs/index.offline.html");
        EXPECT_NE(index.find("href=\"a.offline.html\""), std::string::npos) << index;
        EXPECT_NE(index.find("href=\"b.offline.html#part\""), std::string::npos) << index;
        EXPECT_NE(index.find("href=\"../new/place.offline.html\""), std::string::npos) << index;
        EXPECT_NE(index.find("href=\"manual.pdf\""), std::string::npos) << index;
        EXPECT_NE(index.find("href=\"" + site.a.Url("/outside.html") + "\""), std::string::npos) << index;
        EXPECT_NE(index.find("href=\"" + site.a.Url("/docs/private/secret.html") + "\""), std::string::npos);
        EXPECT_NE(index.find("href=\"" + site.b.Url("/other.html") + "\""), std::string::npos) << index;
        std::string chain = ReadAll(root + "/" + host + "/docs/chain/2.offline.html");
        EXPECT_NE(chain.find("href=\"" + site.a.Url("/docs/chain/3.html") + "\""), std::string::npos) << chain;

        std::vector<std::string> lines = Lines(run.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "离线浏览请打开：" + root + "/" + host + "/docs/index.offline.html");
        EXPECT_TRUE(CacheRemoved());

        // One archive of the whole crawl, the file a browser's crawl saves as served among it.
        std::set<std::string> responses;
        for (const WarcRecord& record : ReadWarc(SaveDir() + "/crawl.warc.gz")) {
            if (record.Field("WARC-Type") == "response")
                responses.insert(record.Field("WARC-Target-URI"));
        }
        for (const char* path : { "/docs/index.html", "/docs/a.html", "/docs/chain/2.html", "/docs/manual.pdf",
                 "/new/place.html" })
            EXPECT_EQ(responses.count(site.a.Url(path)), 1u) << path;
    }

    INSTANTIATE_TEST_SUITE_P(Engines, CliCrawl, ::testing::Values("static", "chromium", "webkit"));

    TEST_F(CliRun, CrawlAcrossHostsCountsAFailedPageAndHoldsToTheDomainsAndThePageLimit)
    {
        Site site;
        // A port nothing listens on: the page there fails.
        int deadPort = 0;
        {
            SilentServer closed("127.0.0.2");
            deadPort = closed.Port();
        }
        site.b.Serve("/other.html",
            Page("other",
                "<a href=\"http://127.0.0.2:" + std::to_string(deadPort) + "/gone.html\">gone</a>"
                " <a href=\"http://127.0.0.3:" + std::to_string(site.a.Port()) + "/docs/a.html\">third host</a>"));

        ChildResult run = Run({ "-r", "-H", "--domains", "127.0.0.1,127.0.0.2", "--no-robots", "--jobs", "2",
            "--level", "inf", "--page-limit", "14", site.Start() });

        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("gone.html"), std::string::npos) << run.err;
        std::string root = CaptureRoot();
        std::string hostA = "127.0.0.1";
        std::string hostB = "127.0.0.2";
        EXPECT_TRUE(fs::exists(root + "/" + hostB + "/other.html"));
        // robots.txt not read; the page it closes is taken.
        EXPECT_EQ(site.a.RequestCount("/robots.txt"), 0);
        EXPECT_TRUE(fs::exists(root + "/" + hostA + "/docs/private/secret.html"));
        // Fourteen pages, each once, breadth first: the chain's last page is left for the page limit.
        EXPECT_EQ(site.a.RequestCount("/docs/chain/5.html"), 1);
        EXPECT_EQ(site.a.RequestCount("/docs/chain/6.html"), 0);
        EXPECT_NE(run.err.find("13 pages saved, 1 failed, 1 left in the queue (--page-limit)"), std::string::npos)
            << run.err;
        for (const std::string& path : site.a.RequestLog())
            EXPECT_LE(site.a.RequestCount(path), path == "/style.css" || path == "/bg.png" ? 2 : 1) << path;
        EXPECT_EQ(site.a.RequestCount("/docs/chain/5.html"), 1);
    }

    TEST_F(CliRun, CrawlKeepsNoErrorPageAndWaitsOutARetryAfterOnce)
    {
        TestServer server;
        server.Serve("/index.html", Page("start", "<a href=missing.html>m</a> <a href=busy.html>b</a> <a href=full.html>f</a>"));
        std::atomic<int> busyAnswers { 0 };
        server.Handle("/busy.html", [&](const httplib::Request&, httplib::Response& response) {
            if (busyAnswers++ == 0) {
                response.status = 503;
                response.set_header("Retry-After", "1");
                response.set_content(Page("busy", ""), "text/html");
                return;
            }
            response.set_content(Page("busy", "<p>here</p>"), "text/html");
        });
        server.Serve("/full.html", Page("full", ""), "text/html", 429, { { "Retry-After", "1" } });

        ChildResult run = Run({ "-r", server.Url("/index.html") });

        EXPECT_EQ(run.status, 1) << run.err;
        std::string host = CaptureRoot() + "/127.0.0.1/";
        EXPECT_TRUE(fs::exists(host + "index.html"));
        EXPECT_NE(ReadAll(host + "busy.html").find("here"), std::string::npos);
        EXPECT_FALSE(fs::exists(host + "missing.html"));
        EXPECT_FALSE(fs::exists(host + "full.html"));
        EXPECT_EQ(server.RequestCount("/busy.html"), 2);
        EXPECT_EQ(server.RequestCount("/full.html"), 2);
        EXPECT_EQ(server.RequestCount("/missing.html"), 1);
        EXPECT_NE(run.err.find("missing.html: the server answered 404; the page is not kept"), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("2 pages saved, 2 failed"), std::string::npos) << run.err;
    }

    // The next pages are asked for while one loads; one whose cookies changed meanwhile (a page set
    // one) is asked for again, with them, so that every page is what its own request gives.
    TEST_F(CliRun, CrawlSendsEachPageTheCookiesItsOwnRequestWouldCarry)
    {
        TestServer server;
        server.SetLatency(std::chrono::milliseconds(50));
        auto echo = [](const std::string& links) {
            return [links](const httplib::Request& request, httplib::Response& response) {
                response.set_content(Page("p", "<p>cookie=" + request.get_header_value("Cookie") + ";</p>" + links),
                    "text/html");
            };
        };
        server.Handle("/a.html", echo("<a href=b.html>b</a> <a href=c.html>c</a> <a href=d.html>d</a>"));
        server.Handle("/b.html", [&](const httplib::Request& request, httplib::Response& response) {
            echo("<a href=e.html>e</a>")(request, response);
            response.set_header("Set-Cookie", "s=1; Path=/");
        });
        for (const char* page : { "/c.html", "/d.html", "/e.html" })
            server.Handle(page, echo(""));
        std::string jar = (m_scratch.Path() / "jar.txt").string();

        ChildResult run = Run({ "-r", "--save-cookies", jar, server.Url("/a.html") });

        EXPECT_EQ(run.status, 0) << run.err;
        std::string host = CaptureRoot() + "/127.0.0.1/";
        EXPECT_NE(ReadAll(host + "a.html").find("cookie=;"), std::string::npos);
        EXPECT_NE(ReadAll(host + "b.html").find("cookie=;"), std::string::npos);
        for (const char* page : { "c.html", "d.html", "e.html" })
            EXPECT_NE(ReadAll(host + page).find("cookie=s=1;"), std::string::npos) << page << ReadAll(host + page);
        for (const char* page : { "/a.html", "/b.html", "/e.html" })
            EXPECT_EQ(server.RequestCount(page), 1) << page;
    }

    // A site's Crawl-delay paces its pages from the first on, however many workers there are: while
    // two slow pages keep both workers busy, no page is given to one of them ahead, to start (or be
    // asked for) together with another once it is free.
    TEST_F(CliRun, CrawlOfAHostWithACrawlDelayStartsNoTwoPagesTogether)
    {
        TestServer server;
        server.Serve("/robots.txt", "User-agent: *\nCrawl-delay: 0.5\n", "text/plain");
        std::mutex lock;
        std::vector<std::chrono::steady_clock::time_point> asked;
        auto page = [&](const std::string& links, std::chrono::milliseconds slow) {
            return [&, links, slow](const httplib::Request&, httplib::Response& response) {
                {
                    std::lock_guard<std::mutex> held(lock);
                    asked.push_back(std::chrono::steady_clock::now());
                }
                std::this_thread::sleep_for(slow);
                response.set_content(Page("p", links), "text/html");
            };
        };
        std::string links;
        for (char name = 'a'; name <= 'f'; ++name)
            links += std::string("<a href=") + name + ".html>" + name + "</a> ";
        server.Handle("/index.html", page(links, std::chrono::milliseconds(0)));
        for (char name = 'a'; name <= 'f'; ++name)
            server.Handle(std::string("/") + name + ".html",
                page("", std::chrono::milliseconds(name <= 'b' ? 3000 : 0)));

        ChildResult run = Run({ "-r", "--jobs", "2", server.Url("/index.html") });

        EXPECT_EQ(run.status, 0) << run.err;
        std::lock_guard<std::mutex> held(lock);
        ASSERT_EQ(asked.size(), 7u);
        std::sort(asked.begin(), asked.end());
        // Started 0.5 s apart. Handing a page to a worker varies by a good part of that on a busy
        // machine (a quarter of a second under the sanitizers), while two pages asked for together
        // come within a few milliseconds.
        for (std::size_t k = 1; k < asked.size(); ++k)
            EXPECT_GE(asked[k] - asked[k - 1], std::chrono::milliseconds(30)) << k;
    }

    TEST_F(CliRun, CrawlInterruptedGoesOnWithContinueAndTakesNothingTwice)
    {
        TestServer server;
        for (int i = 1; i <= 8; ++i)
            server.Serve("/p/" + std::to_string(i) + ".html",
                Page("p", "<a href=\"" + std::to_string(i + 1) + ".html\">next</a>"));
        server.Serve("/p/9.html", Page("last", ""));
        server.SetLatency(std::chrono::milliseconds(150));
        std::string start = server.Url("/p/1.html");

        // Stopped once the third page is saved and the fourth under way.
        ChildResult stopped = RunProgram(PAGESTOW_CLI_PROGRAM, { "-r", "--level", "inf", "--offline-copy", start },
            SaveDir(), { { "PAGESTOW_CACHE_DIR", (m_scratch.Path() / "cache").string() } }, std::chrono::seconds(120),
            { "4.html”保存完成。", SIGINT, std::chrono::milliseconds(0) });
        ASSERT_TRUE(stopped.signalSent) << stopped.out << stopped.err;
        EXPECT_EQ(stopped.status, 130) << stopped.err;
        std::string root = CaptureRoot();
        std::string host = root + "/127.0.0.1/p/";
        EXPECT_TRUE(fs::exists(host + "3.html"));
        EXPECT_FALSE(fs::exists(host + "9.html"));
        EXPECT_FALSE(fs::exists(host + "1.offline.html"));

        ChildResult resumed = Run({ "-r", "--level", "inf", "--offline-copy", "--continue", start });
        ASSERT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_EQ(CaptureRoot(), root);
        for (int i = 1; i <= 9; ++i) {
            std::string page = std::to_string(i) + ".html";
            EXPECT_TRUE(fs::exists(host + page)) << page;
            EXPECT_TRUE(fs::exists(host + std::to_string(i) + ".offline.html")) << page;
            // The pages saved before the signal are not asked for again; the one under way may be.
            EXPECT_LE(server.RequestCount("/p/" + page), i <= 3 ? 1 : 2) << page;
        }
        std::string first = ReadAll(host + "1.offline.html");
        EXPECT_NE(first.find("href=\"2.offline.html\""), std::string::npos) << first;
        EXPECT_EQ(Lines(resumed.out).back(), "离线浏览请打开：" + host + "1.offline.html");
    }

} // namespace
} // namespace pagestow::testing
