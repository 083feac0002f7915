// Pages behind a login: the cookies of a cookie file, headers and the user agent on every request of
// the page, with every engine; the cookie store saved at the end.

#include "CliRunFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace pagestow::testing {
namespace {

    // The cookie file the login left: the session cookie for the page's folder, and cookies a
    // browser would not send to the page (another path, https only, expired, the other host).
    const std::string kCookieFile = "# Netscape HTTP Cookie File\n"
                                    "127.0.0.1\tFALSE\t/app\tFALSE\t0\tsid\ts3cret\n"
                                    "127.0.0.1\tFALSE\t/other\tFALSE\t0\twrongpath\tw1\n"
                                    "127.0.0.2\tFALSE\t/\tTRUE\t0\tsecureonly\tw2\n"
                                    "127.0.0.1\tFALSE\t/\tFALSE\t1\texpired\tw3\n"
                                    "127.0.0.2\tFALSE\t/nothere\tFALSE\t0\tframehost\tw4\n";

    std::string HeaderOf(const httplib::Headers& headers, const std::string& name)
    {
        auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }

    using CliRequests = CliEngineRun;

    TEST_P(CliRequests, LoggedInPageCarriesMatchingCookiesHeadersAndUserAgent)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        const std::string page
            = "<html><head><link rel=stylesheet href=s.css></head><body><p>welcome back</p>"
              "<img src=img.png><iframe src='"
            + b.Url("/frame.htm") + "'></iframe></body></html>";
        a.Handle("/app/index.htm", [page](const httplib::Request& request, httplib::Response& response) {
            if (request.get_header_value("Cookie").find("sid=s3cret") == std::string::npos) {
                response.status = 403;
                response.set_content("login required", "text/html");
                return;
            }
            response.set_header("Set-Cookie", "fresh=f1; Path=/");
            response.set_content(page, "text/html");
        });
        a.Serve("/app/s.css", "p { color: red }", "text/css");
        a.Serve("/app/img.png", "PNG-img", "image/png");
        b.Serve("/frame.htm", "<body><img src=/b.png></body>");
        b.Serve("/b.png", "PNG-b", "image/png");
        WriteFileBytes(m_scratch.Path() / "cookies.txt", kCookieFile);
        std::string saved = (m_scratch.Path() / "saved.txt").string();

        ChildResult result = Run({ "--engine", GetParam(), "--timeout", "20", "--load-cookies",
            (m_scratch.Path() / "cookies.txt").string(), "--header", "X-Token: t0ken", "--user-agent",
            "PagestowTest/1.0", "--save-cookies", saved, a.Url("/app/index.htm") });
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadFileBytes(CaptureRoot() + "/127.0.0.1/app/img.png"), "PNG-img");
        EXPECT_NE(ReadFileBytes(CaptureRoot() + "/127.0.0.1/app/index.htm").find("welcome back"),
            std::string::npos);

        // The page, its stylesheet and image, the frame and the frame's image: each request carries the
        // header and the user agent; the session cookie goes only to the page's folder on its host.
        struct Seen {
            TestServer& server;
            std::string path;
            bool session;
        } requests[] = { { a, "/app/index.htm", true }, { a, "/app/s.css", true },
            { a, "/app/img.png", true }, { b, "/frame.htm", false }, { b, "/b.png", false } };
        for (const Seen& seen : requests) {
            httplib::Headers headers = seen.server.LastRequestHeaders(seen.path);
            ASSERT_FALSE(headers.empty()) << seen.path << " was not requested";
            EXPECT_EQ(HeaderOf(headers, "X-Token"), "t0ken") << seen.path;
            EXPECT_EQ(HeaderOf(headers, "User-Agent"), "PagestowTest/1.0") << seen.path;
            std::string cookie = HeaderOf(headers, "Cookie");
            EXPECT_EQ(cookie.find("sid=s3cret") != std::string::npos, seen.session)
                << seen.path << ": " << cookie;
            for (const char* never : { "wrongpath", "secureonly", "expired", "framehost" }) {
                // Chromium counts every loopback address as a secure context (curl only 127.0.0.1), so
                // there a secure cookie goes over http too.
                if (GetParam() != "chromium" || std::string(never) != "secureonly") {
                    EXPECT_EQ(cookie.find(never), std::string::npos) << seen.path << ": " << cookie;
                }
            }
        }
        // What the server set is saved with what the file held, owner-only; no value is printed.
        std::string store = ReadFileBytes(saved);
        EXPECT_NE(store.find("127.0.0.1\tFALSE\t/\tFALSE\t0\tfresh\tf1\n"), std::string::npos) << store;
        EXPECT_NE(store.find("127.0.0.1\tFALSE\t/app\tFALSE\t0\tsid\ts3cret\n"), std::string::npos) << store;
        EXPECT_EQ(store.find("expired"), std::string::npos) << store;
        struct stat info { };
        ASSERT_EQ(::stat(saved.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ((result.out + result.err).find("s3cret"), std::string::npos);
    }

    INSTANTIATE_TEST_SUITE_P(Engines, CliRequests, ::testing::Values("static", "chromium", "webkit"),
        [](const auto& engine) { return engine.param; });

    // Without the cookie the server refuses the page (and that page is saved); a bad cookie file or
    // header is refused before anything is loaded, with exit status 2, and no cookie's value shows.
    TEST_F(CliRun, BadCookieFileOrHeaderIsRefusedAndNoCookieMeansNoLogin)
    {
        TestServer server;
        server.Handle("/app/index.htm", [](const httplib::Request& request, httplib::Response& response) {
            bool in = request.get_header_value("Cookie").find("sid=") != std::string::npos;
            response.status = in ? 200 : 403;
            response.set_content(in ? "welcome back" : "login required", "text/html");
        });
        ChildResult anonymous = Run({ server.Url("/app/index.htm") });
        ASSERT_EQ(anonymous.status, 0) << anonymous.err;
        EXPECT_EQ(ReadFileBytes(CaptureRoot() + "/127.0.0.1/app/index.htm"), "login required");

        std::string file = (m_scratch.Path() / "bad.txt").string();
        WriteFileBytes(file,
            "# "
            "comment\n127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tv4lue\n127.0.0.1\tFALSE\t/"
            "\tmaybe\t0\tk\tpr1vate\n");
        struct Refusal {
            std::vector<std::string> args;
            std::string error;
        } refusals[] = {
            { { "--load-cookies", file },
                "pagestow-cli: " + file + ":3: the secure field is neither TRUE nor FALSE\n" },
            { { "--load-cookies", file + ".missing" },
                "pagestow-cli: " + file + ".missing: cannot be read: No such file or directory\n" },
            { { "--header", "X-A: 1\r\nX-Injected: 2" },
                "pagestow-cli: --header: a header may not hold a line break (CR or LF)\n" },
            { { "--header", "X-A 1" }, "pagestow-cli: --header: a header needs the form \"Name: value\"\n" },
            { { "--header", ": 1" }, "pagestow-cli: --header: a header needs a name before the \":\"\n" },
            { { "--user-agent", "A\nB" }, "pagestow-cli: --user-agent needs a text on one line\n" },
        };
        for (const Refusal& refusal : refusals) {
            std::vector<std::string> args = refusal.args;
            args.push_back(server.Url("/app/index.htm"));
            ChildResult result = Run(args);
            EXPECT_EQ(result.status, 2) << refusal.error;
            EXPECT_EQ(Lines(result.err).at(0) + "\n", refusal.error);
            EXPECT_EQ(result.err.find("pr1vate"), std::string::npos);
            EXPECT_EQ(result.out, "");
        }
        EXPECT_EQ(server.RequestCount("/app/index.htm"), 1);
    }

} // namespace
} // namespace pagestow::testing
