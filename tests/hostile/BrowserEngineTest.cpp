// Pages that try to make a browser engine write where it should not, or keep what it should not:
// downloads started by frames, scripts and refreshes, bodies cut short or damaged on the wire, a frame
// redirected to a local file, a document still arriving at the time-out. Servers that misbehave at the
// byte level are raw sockets on 127.0.0.1.

#include "hostile/HostileCapture.h"
#include "support/Gzip.h"
#include "support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace pagestow::hostile {
namespace {
    using namespace std::chrono_literals;
    using testing::ListFiles;
    using testing::ReadFileBytes;
    using testing::TestServer;

    // The home and download folders of this test program: a download that escaped would land here.
    class QuietHome : public ::testing::Environment {
    public:
        void SetUp() override
        {
            m_home = std::make_unique<testing::TemporaryFolder>();
            m_caches = std::make_unique<testing::TemporaryFolder>();
            setenv("HOME", m_home->Path().c_str(), 1);
            setenv("XDG_DOWNLOAD_DIR", m_home->Path().c_str(), 1);
            setenv("XDG_CONFIG_HOME", (m_caches->Path() / "config").c_str(), 1);
            setenv("XDG_CACHE_HOME", (m_caches->Path() / "cache").c_str(), 1);
            setenv("XDG_DATA_HOME", (m_caches->Path() / "data").c_str(), 1);
        }
        static std::filesystem::path Home() { return std::getenv("HOME"); }

    private:
        std::unique_ptr<testing::TemporaryFolder> m_home;
        std::unique_ptr<testing::TemporaryFolder> m_caches;
    };
    const auto* const kQuietHome = ::testing::AddGlobalTestEnvironment(new QuietHome);

    // A server that answers each path with fixed bytes written straight to the socket (status line and
    // headers included), then closes the connection, or keeps it open until the server goes when the
    // answer is marked endless.
    class RawServer {
    public:
        RawServer()
        {
            m_listener = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            int on = 1;
            setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
            socklen_t length = sizeof address;
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
            m_port = ntohs(address.sin_port);
            listen(m_listener, 64);
            m_thread = std::thread([this] { Run(); });
        }
        ~RawServer()
        {
            m_stopping = true;
            shutdown(m_listener, SHUT_RDWR);
            close(m_listener);
            m_thread.join();
            for (std::thread& connection : m_connections)
                connection.join();
        }

        void Answer(const std::string& path, std::string bytes, bool endless = false)
        {
            std::lock_guard lock(m_mutex);
            m_answers[path] = { std::move(bytes), endless };
        }
        std::string Url(const std::string& path) const
        {
            return "http://127.0.0.1:" + std::to_string(m_port) + path;
        }

    private:
        void Run()
        {
            for (;;) {
                int connection = accept(m_listener, nullptr, nullptr);
                if (connection < 0)
                    return;
                m_connections.emplace_back([this, connection] { Serve(connection); });
            }
        }

        void Serve(int connection)
        {
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t got = recv(connection, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                request.append(buffer, size_t(got));
            }
            size_t start = request.find(' ') + 1;
            std::string path = request.substr(start, request.find(' ', start) - start);
            std::pair<std::string, bool> answer { "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
                false };
            {
                std::lock_guard lock(m_mutex);
                if (auto found = m_answers.find(path); found != m_answers.end())
                    answer = found->second;
            }
            send(connection, answer.first.data(), answer.first.size(), MSG_NOSIGNAL);
            while (answer.second && !m_stopping)
                std::this_thread::sleep_for(50ms);
            close(connection);
        }

        int m_listener = -1;
        int m_port = 0;
        std::atomic<bool> m_stopping { false };
        std::thread m_thread;
        std::vector<std::thread> m_connections;
        std::mutex m_mutex;
        std::map<std::string, std::pair<std::string, bool>> m_answers;
    };

    const std::string kGif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01"
                           "\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
        43);

    std::string Response(const std::string& type, const std::string& body, const std::string& headers = "")
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: "
            + std::to_string(body.size()) + "\r\nConnection: close\r\n" + headers + "\r\n" + body;
    }

    class BrowserEngine : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " cannot run here";
        }
    };

    TEST_P(BrowserEngine, NoFrameScriptOrRefreshMakesTheEngineDownload)
    {
        TestServer server;
        const std::vector<std::pair<std::string, std::string>> attachment
            = { { "Content-Disposition", "attachment; filename=\"download.sh\"" } };
        for (const char* path : { "/frame-download.sh", "/script-download.sh", "/refresh-download.sh" })
            server.Serve(path, "#!/bin/sh\necho owned\n", "application/octet-stream", 200, attachment);
        server.Serve("/zip.bin", "PK\x03\x04", "application/zip");
        server.Serve("/page.htm",
            "<html><body><img src=\"a.gif\"><iframe src=\"frame-download.sh\"></iframe>"
            "<iframe src=\"zip.bin\"></iframe><a id=\"go\" href=\"script-download.sh\">go</a>"
            "<script>document.getElementById('go').click();</script></body></html>");
        server.Serve("/refresh.htm",
            "<html><head><meta http-equiv=\"refresh\" content=\"0; url=refresh-download.sh\"></head>"
            "<body><img src=\"a.gif\"></body></html>");
        server.Serve("/a.gif", kGif, "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult page = harness.Capture(server.Url("/page.htm"));
        ASSERT_TRUE(page.completed);
        EXPECT_TRUE(page.accepted);
        EXPECT_EQ(harness.Written(), (std::vector<std::string> { "127.0.0.1/a.gif", "127.0.0.1/page.htm" }));

        CaptureResult refresh = harness.Capture(server.Url("/refresh.htm"));
        ASSERT_TRUE(refresh.completed);
        EXPECT_TRUE(refresh.accepted);
        // The refresh may be taken before or after the page completes; either way it changes nothing.
        auto until = std::chrono::steady_clock::now() + 30s;
        while (server.RequestCount("/refresh-download.sh") == 0 && std::chrono::steady_clock::now() < until)
            harness.Engine().ProcessEvents(50ms);
        for (int round = 0; round < 20; ++round)
            harness.Engine().ProcessEvents(50ms);

        EXPECT_EQ(server.RequestCount("/script-download.sh"), 1);
        EXPECT_EQ(server.RequestCount("/refresh-download.sh"), 1);
        EXPECT_EQ(ListFiles(QuietHome::Home()), std::vector<std::string> {});
        EXPECT_EQ(harness.Engine().LastFailure(), engine::NavigationFailure::None);
    }

    TEST_P(BrowserEngine, BodiesCutShortOrDamagedOnTheWireAreNotSaved)
    {
        RawServer server;
        std::string big = kGif + std::string(4000, 'z');
        std::string gzip = testing::Gzip(big);
        // The first block of the deflate stream, right after the gzip header, names a block type that
        // does not exist.
        std::string damaged = gzip;
        damaged[10] = char(0xff);
        server.Answer("/page.htm",
            Response("text/html",
                "<html><body><img src=\"whole.gif\"><img src=\"short.gif\"><img src=\"cutchunk.gif\">"
                "<img src=\"damaged.gif\"></body></html>"));
        server.Answer("/whole.gif", Response("image/gif", big));
        server.Answer("/short.gif",
            "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 9000\r\nConnection: close\r\n\r\n"
                + big);
        server.Answer("/cutchunk.gif",
            "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nTransfer-Encoding: chunked\r\nConnection: "
            "close\r\n\r\n"
            "2710\r\n"
                + big);
        server.Answer("/damaged.gif", Response("image/gif", damaged, "Content-Encoding: gzip\r\n"));
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/whole.gif") }))));
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/whole.gif"), big));
    }

    TEST_P(BrowserEngine, AFrameRedirectedToALocalFileLeavesThePageSavable)
    {
        TestServer server;
        server.Serve("/page.htm",
            "<html><body><img src=\"a.gif\"><iframe src=\"to-file.htm\"></iframe></body></html>");
        server.Serve("/to-file.htm", "", "text/html", 302, { { "Location", "file:///etc/passwd" } });
        server.Serve("/a.gif", kGif, "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/a.gif") }))));
        EXPECT_EQ(harness.Written(), (std::vector<std::string> { "127.0.0.1/a.gif", "127.0.0.1/page.htm" }));
    }

    // Engines join this list as they keep these rules.
    INSTANTIATE_TEST_SUITE_P(Engines, BrowserEngine, ::testing::Values(EngineKind::WebKit), EngineName);

} // namespace
} // namespace pagestow::hostile
