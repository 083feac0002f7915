#include "support/TestServer.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

namespace pagestow::testing {
namespace {

    httplib::Result Fetch(
        const std::string& host, int port, const std::string& target, const httplib::Headers& headers = {})
    {
        httplib::Client client(host, port);
        client.set_decompress(false);
        return client.Get(target, headers);
    }

    TEST(TestServer, ServesOnBothLoopbackAddresses)
    {
        TestServer first("127.0.0.1");
        TestServer second("127.0.0.2");
        first.Serve("/a.htm", "one");
        second.Serve("/a.htm", "two");

        auto fromFirst = Fetch("127.0.0.1", first.Port(), "/a.htm");
        auto fromSecond = Fetch("127.0.0.2", second.Port(), "/a.htm");
        ASSERT_TRUE(fromFirst && fromSecond);
        EXPECT_EQ(fromFirst->body, "one");
        EXPECT_EQ(fromSecond->body, "two");
        EXPECT_EQ(second.Origin(), "http://127.0.0.2:" + std::to_string(second.Port()));
    }

    TEST(TestServer, MatchesPathExactlyAndIgnoresQuery)
    {
        TestServer server;
        server.Serve("/img/a.gif", "GIF89a", "image/gif");
        struct Case {
            const char* target;
            int status;
        } cases[] = {
            { "/img/a.gif", 200 },
            { "/img/a.gif?id=2", 200 },
            { "/img/A.gif", 404 },
            { "/img/a.gifx", 404 },
            { "/img/", 404 },
        };
        for (const auto& c : cases) {
            auto result = Fetch("127.0.0.1", server.Port(), c.target);
            ASSERT_TRUE(result) << c.target;
            EXPECT_EQ(result->status, c.status) << c.target;
        }
        EXPECT_EQ(server.RequestCount("/img/a.gif"), 2);
        EXPECT_EQ(server.RequestCount("/img/A.gif"), 1);
        EXPECT_EQ(server.RequestCount("/never"), 0);
    }

    TEST(TestServer, SendsBodyStatusAndHeadersAsGiven)
    {
        TestServer server;
        std::string binary("\x1f\x8b\x00\x01zz", 6);
        server.Serve("/s.css", binary, "text/css", 200, { { "Content-Encoding", "gzip" } });
        server.Serve("/moved", "", "text/html", 302, { { "Location", "/s.css" } });

        auto result = Fetch("127.0.0.1", server.Port(), "/s.css", { { "Accept-Encoding", "gzip" } });
        ASSERT_TRUE(result);
        EXPECT_EQ(result->body, binary);
        EXPECT_EQ(result->get_header_value("Content-Encoding"), "gzip");
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/css");

        auto moved = Fetch("127.0.0.1", server.Port(), "/moved");
        ASSERT_TRUE(moved);
        EXPECT_EQ(moved->status, 302);
        EXPECT_EQ(moved->get_header_value("Location"), "/s.css");
    }

    TEST(TestServer, HandlerSeesQuery)
    {
        TestServer server;
        server.Handle("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.get_param_value("id") + " " + request.target, "text/plain");
        });
        auto result = Fetch("127.0.0.1", server.Port(), "/echo?id=7");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->body, "7 /echo?id=7");
    }

    TEST(TestServer, ServesDirectoryBelowExplicitPaths)
    {
        TemporaryFolder folder;
        WriteFileBytes(folder.Path() / "index.html", "home");
        WriteFileBytes(folder.Path() / "css" / "a.css", "body{}");
        TestServer server;
        server.ServeDirectory(folder.Path().string());
        server.Serve("/css/a.css", "explicit", "text/css");

        struct Case {
            const char* target;
            int status;
            const char* body;
            const char* type;
        } cases[] = {
            { "/", 200, "home", "text/html" },
            { "/index.html", 200, "home", "text/html" },
            { "/css/a.css", 200, "explicit", "text/css" },
            { "/css/missing.css", 404, nullptr, nullptr },
            { "/../etc/passwd", 404, nullptr, nullptr },
        };
        for (const auto& c : cases) {
            auto result = Fetch("127.0.0.1", server.Port(), c.target);
            ASSERT_TRUE(result) << c.target;
            EXPECT_EQ(result->status, c.status) << c.target;
            if (c.body) {
                EXPECT_EQ(result->body, c.body) << c.target;
                EXPECT_EQ(result->get_header_value("Content-Type"), c.type) << c.target;
            }
        }
    }

    TEST(TestServer, AnswersConcurrentRequestsWithLatencyInParallel)
    {
        TestServer server;
        server.SetLatency(std::chrono::milliseconds(300));
        server.Serve("/x", "x", "text/plain");
        // Twelve clients at once must all be answered; a pool smaller than that would serialise them.
        std::vector<std::future<int>> answers;
        for (int i = 0; i < 12; ++i)
            answers.push_back(std::async(std::launch::async, [&] {
                auto result = Fetch("127.0.0.1", server.Port(), "/x");
                return result ? result->status : -1;
            }));
        for (auto& answer : answers)
            EXPECT_EQ(answer.get(), 200);
        EXPECT_EQ(server.RequestCount("/x"), 12);
    }

    TEST(SilentServer, AcceptsAndNeverAnswers)
    {
        SilentServer server;
        httplib::Client client("127.0.0.1", server.Port());
        client.set_read_timeout(std::chrono::milliseconds(200));
        auto result = client.Get("/");
        EXPECT_FALSE(result);
        EXPECT_EQ(server.Connections(), 1);
    }

    TEST(RefusedPort, RefusesConnections)
    {
        int port = RefusedPort();
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
    }

} // namespace
} // namespace pagestow::testing
