// Pages made to crash the built-in engine, keep it busy for minutes or pass off a cut body as whole:
// deeply nested markup, tags with tens of thousands of attributes, compressed streams cut short or
// damaged, bodies shorter than announced, and addresses on ports browsers refuse, directly and
// through a redirect. Each page is captured in-process the way Save captures it.

#include "hostile/HostileCapture.h"
#include "support/Gzip.h"
#include "support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace pagestow::hostile {
namespace {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    using testing::Gzip;
    using testing::TestServer;

    // A server that answers each request with bytes given as they are (a broken response, too),
    // then closes the connection. Port 0 takes a free port.
    class RawServer {
    public:
        RawServer(const std::string& host, int port)
        {
            m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons(uint16_t(port));
            inet_pton(AF_INET, host.c_str(), &address.sin_addr);
            if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
                || listen(m_listener, 16) != 0) {
                close(m_listener);
                m_listener = -1;
                return;
            }
            socklen_t length = sizeof address;
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
            m_origin = "http://" + host + ":" + std::to_string(ntohs(address.sin_port));
            m_thread = std::thread([this] { Serve(); });
        }

        ~RawServer()
        {
            m_stop = true;
            if (m_thread.joinable())
                m_thread.join();
            if (m_listener >= 0)
                close(m_listener);
        }

        bool Listening() const { return m_listener >= 0; }
        std::string Url(const std::string& path) const { return m_origin + path; }
        int Connections() const { return m_connections.load(); }

        void Serve(const std::string& path, std::string response)
        {
            std::lock_guard lock(m_mutex);
            m_responses[path] = std::move(response);
        }

    private:
        void Serve()
        {
            while (!m_stop) {
                pollfd ready { m_listener, POLLIN, 0 };
                if (poll(&ready, 1, 50) <= 0)
                    continue;
                int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection < 0)
                    continue;
                ++m_connections;
                std::string request;
                char buffer[4096];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    pollfd readable { connection, POLLIN, 0 };
                    if (poll(&readable, 1, 2000) <= 0)
                        break;
                    ssize_t got = read(connection, buffer, sizeof buffer);
                    if (got <= 0)
                        break;
                    request.append(buffer, size_t(got));
                }
                size_t start = request.find(' ') + 1;
                std::string path = request.substr(start, request.find(' ', start) - start);
                std::string response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
                {
                    std::lock_guard lock(m_mutex);
                    if (auto found = m_responses.find(path); found != m_responses.end())
                        response = found->second;
                }
                for (size_t sent = 0; sent < response.size();) {
                    ssize_t wrote
                        = send(connection, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
                    if (wrote <= 0)
                        break;
                    sent += size_t(wrote);
                }
                shutdown(connection, SHUT_WR);
                close(connection);
            }
        }

        int m_listener = -1;
        std::string m_origin;
        std::atomic<bool> m_stop { false };
        std::atomic<int> m_connections { 0 };
        std::mutex m_mutex;
        std::map<std::string, std::string> m_responses;
        std::thread m_thread;
    };

    std::string Repeat(const std::string& piece, size_t count)
    {
        std::string text;
        text.reserve(piece.size() * count);
        for (size_t i = 0; i < count; ++i)
            text += piece;
        return text;
    }

    std::string GifResponse(const std::string& body, const std::string& headers = {})
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n" + headers
            + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    struct Bomb {
        const char* name;
        std::string (*markup)();
    };

    std::string UnclosedBold()
    {
        return "<html><body>" + Repeat("<b>", 300000) + "<img src=after.gif>";
    }
    std::string NestedDivs()
    {
        return "<html><body>" + Repeat("<div>", 100000) + "<img src=after.gif>" + Repeat("</div>", 100000);
    }
    std::string ManyAttributes()
    {
        std::string tag = "<html><body><img src=first.gif";
        for (int i = 0; i < 80000; ++i)
            tag += " a" + std::to_string(i);
        return tag + "><img src=after.gif>";
    }

    class StaticEngineBomb : public ::testing::TestWithParam<Bomb> { };

    // Each page is a few hundred bytes to a megabyte compressed; each once crashed the process or
    // kept it parsing for over a minute. Now the page and the image named after the bomb are saved,
    // well within the time-out.
    TEST_P(StaticEngineBomb, PageIsSavedWithinItsTimeout)
    {
        const std::string markup = GetParam().markup();
        TestServer server;
        server.Serve("/bomb.htm", Gzip(markup), "text/html", 200, { { "Content-Encoding", "gzip" } });
        server.Serve("/after.gif", "GIF89a-after", "image/gif");
        server.Serve("/first.gif", "GIF89a-first", "image/gif");
        CaptureHarness harness(EngineKind::Static);
        constexpr auto kTimeout = 20s;

        auto start = Clock::now();
        CaptureResult result = harness.Capture(server.Url("/bomb.htm"), kTimeout);
        auto took = Clock::now() - start;

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_LT(took, kTimeout + 10s);
        std::vector<std::string> files = { "127.0.0.1/after.gif", "127.0.0.1/bomb.htm" };
        if (std::string(GetParam().name) == "ManyAttributes")
            files.push_back("127.0.0.1/first.gif");
        EXPECT_EQ(harness.Written(), files);
        EXPECT_TRUE(SameBytes(testing::ReadFileBytes(harness.Root() + "/127.0.0.1/bomb.htm"), markup));
    }

    INSTANTIATE_TEST_SUITE_P(Bombs, StaticEngineBomb,
        ::testing::Values(Bomb { "UnclosedBold", UnclosedBold }, Bomb { "NestedDivs", NestedDivs },
            Bomb { "ManyAttributes", ManyAttributes }),
        [](const ::testing::TestParamInfo<Bomb>& param) { return std::string(param.param.name); });

    // Bodies cut short or damaged in every way a server can send them: none is saved; the whole ones
    // are (a gzip body of two members is one body).
    TEST(StaticEngineBodies, OnlyWholeBodiesAreSaved)
    {
        const std::string gif = "GIF89a" + Repeat("0123456789abcdef", 4000);
        const std::string gzip = Gzip(gif);
        std::string damaged = gzip;
        for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 8; ++i)
            damaged[i] = char(~damaged[i]);
        RawServer raw("127.0.0.1", 0);
        ASSERT_TRUE(raw.Listening());
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n";
        raw.Serve("/whole.gif", GifResponse(gzip, "Content-Encoding: gzip\r\n"));
        raw.Serve("/empty.gif", GifResponse(""));
        raw.Serve("/members.gif",
            GifResponse(Gzip(gif.substr(0, 1000)) + Gzip(gif.substr(1000)), "Content-Encoding: gzip\r\n"));
        // Streams that end at once, or end with bytes after them (each coding's cases are in
        // ContentDecoderTest): here none is saved or reported.
        const std::string junk = Repeat("junk", 100);
        raw.Serve("/br-06.gif", GifResponse("\x06" + junk, "Content-Encoding: br\r\n"));
        raw.Serve("/gzip-empty.gif", GifResponse(Gzip("") + junk, "Content-Encoding: gzip\r\n"));
        raw.Serve("/gzip-more.gif", GifResponse(gzip + junk, "Content-Encoding: gzip\r\n"));
        raw.Serve(
            "/gzip-half.gif", GifResponse(gzip.substr(0, gzip.size() / 2), "Content-Encoding: gzip\r\n"));
        raw.Serve("/gzip-damaged.gif", GifResponse(damaged, "Content-Encoding: gzip\r\n"));
        raw.Serve("/short.gif",
            head + "Content-Length: " + std::to_string(gif.size()) + "\r\n\r\n" + gif.substr(0, 500));
        raw.Serve("/bad-chunk.gif",
            head + "Transfer-Encoding: chunked\r\n\r\n6\r\nGIF89a\r\nzz\r\nabc\r\n0\r\n\r\n");
        raw.Serve("/cut-chunk.gif", head + "Transfer-Encoding: chunked\r\n\r\n400\r\nGIF89a");
        const std::string page
            = "<html><body><img src=gzip-half.gif><img src=gzip-damaged.gif><img src=short.gif>"
              "<img src=bad-chunk.gif><img src=cut-chunk.gif><img src=whole.gif><img src=members.gif>"
              "<img src=empty.gif><img src=br-06.gif><img src=gzip-empty.gif><img src=gzip-more.gif>"
              "</body></html>";
        raw.Serve("/page.htm",
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size())
                + "\r\n\r\n" + page);
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = harness.Capture(raw.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/whole.gif"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/members.gif"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/empty.gif") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/empty.gif", "127.0.0.1/members.gif", "127.0.0.1/page.htm",
                "127.0.0.1/whole.gif" }));
        EXPECT_TRUE(SameBytes(testing::ReadFileBytes(harness.Root() + "/127.0.0.1/whole.gif"), gif));
        EXPECT_TRUE(SameBytes(testing::ReadFileBytes(harness.Root() + "/127.0.0.1/members.gif"), gif));
    }

    // Port 79 is one browsers refuse. Nothing connects to it, whether a page names it or a redirect
    // leads there; a page that redirects there is the error page, for a blocked port.
    TEST(StaticEngineBlockedPorts, NoConnectionDirectlyOrThroughARedirect)
    {
        RawServer finger("127.0.0.3", 79);
        if (!finger.Listening())
            GTEST_SKIP() << "port 79 of 127.0.0.3 cannot be opened here";
        finger.Serve("/x.gif", GifResponse("GIF89a-x"));
        finger.Serve(
            "/page.htm", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\nhi");
        TestServer server;
        server.Serve("/page.htm",
            "<html><body><img src=moved.gif><img src='" + finger.Url("/x.gif")
                + "'><img src=ok.gif></body></html>");
        server.Serve("/moved.gif", "", "text/html", 302, { { "Location", finger.Url("/x.gif") } });
        server.Serve("/moved.htm", "", "text/html", 302, { { "Location", finger.Url("/page.htm") } });
        server.Serve("/ok.gif", "GIF89a-ok", "image/gif");
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = harness.Capture(server.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_EQ(harness.Written(), (std::vector<std::string> { "127.0.0.1/ok.gif", "127.0.0.1/page.htm" }));
        EXPECT_EQ(server.RequestCount("/moved.gif"), 1);

        CaptureResult moved = harness.Capture(server.Url("/moved.htm"));
        ASSERT_TRUE(moved.completed);
        EXPECT_EQ(harness.Engine().LastFailure(), engine::NavigationFailure::BlockedPort);
        EXPECT_EQ(finger.Connections(), 0);
    }

} // namespace
} // namespace pagestow::hostile
