// --explain names the file the capture writes: every address shape of SavedShapesTest, captured with the
// built-in engine from a real server, is saved exactly where the target= line of --explain says, for the
// page, for the documents of its frames and for every resource named by its own address.

#include "CaptureFixture.h"

#include "capture/CaptureRecord.h"
#include "cli/Explain.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <thread>

namespace pagestow::conformance {
namespace {

    using pagestow::testing::TestServer;

    // A server on the IPv6 loopback address, or none (Port() 0) where the machine has no such address.
    class Ipv6Server {
    public:
        Ipv6Server()
        {
            m_port = m_server.bind_to_any_port("::1");
            if (m_port <= 0)
                return;
            m_thread = std::thread([this] { m_server.listen_after_bind(); });
            while (!m_server.is_running())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ~Ipv6Server()
        {
            if (!m_thread.joinable())
                return;
            m_server.stop();
            m_thread.join();
        }
        Ipv6Server(const Ipv6Server&) = delete;
        Ipv6Server& operator=(const Ipv6Server&) = delete;

        int Port() const { return m_port; }
        void Serve(const std::string& path, std::string body, std::string contentType = "text/html")
        {
            m_server.Get(path,
                [body = std::move(body), contentType](const httplib::Request&, httplib::Response& response) {
                    response.set_content(body, contentType);
                });
        }

    private:
        httplib::Server m_server;
        std::thread m_thread;
        int m_port = 0;
    };

    // The servers of one shape: two IPv4 loopback hosts, and the IPv6 one for the shape that asks.
    struct Servers {
        TestServer a { "127.0.0.1" };
        TestServer b { "127.0.0.2" };
        std::unique_ptr<Ipv6Server> v6;
    };

    struct Shape {
        const char* name;
        // Serves the page and what it loads; the address to capture, "" when the shape cannot run here.
        std::function<std::string(Servers&)> serve;
        // Every file of the capture, below its folder.
        Lines files;
    };

    std::string Port(const TestServer& server)
    {
        return std::to_string(server.Port());
    }

    const std::vector<Shape>& Shapes()
    {
        static const std::vector<Shape> shapes = {
            { "ExtensionlessPage",
                [](Servers& s) {
                    s.a.Serve("/news/article", "<img src=\"img/a.png\"><iframe src=\"related\"></iframe>");
                    s.a.Serve("/news/img/a.png", kPng + "a", "image/png");
                    s.a.Serve("/news/related", "<p>related</p>");
                    return s.a.Url("/news/article");
                },
                { "127.0.0.1/news/article/index.htm", "127.0.0.1/news/img/a.png",
                    "127.0.0.1/news/related/index.htm" } },
            { "BaseElement",
                [](Servers& s) {
                    s.a.Serve("/b/page.htm",
                        "<head><base href=\"" + s.b.Url("/assets/")
                            + "\"><link rel=\"stylesheet\" href=\"s.css\"></head>"
                              "<img src=\"x.png\"><iframe src=\"f.htm\"></iframe>");
                    s.b.Serve("/assets/s.css", "p { color: red }", "text/css");
                    s.b.Serve("/assets/x.png", kPng + "x", "image/png");
                    s.b.Serve("/assets/f.htm", "<p>frame</p>");
                    return s.a.Url("/b/page.htm");
                },
                { "127.0.0.1/b/page.htm", "127.0.0.2/assets/f.htm", "127.0.0.2/assets/s.css",
                    "127.0.0.2/assets/x.png" } },
            { "QueryOnly",
                [](Servers& s) {
                    s.a.Handle(
                        "/q/list.php", [](const httplib::Request& request, httplib::Response& response) {
                            if (request.get_param_value("page") == "2")
                                response.set_content(kPng + "page2", "image/png");
                            else
                                response.set_content(
                                    "<img src=\"?page=2\"><img src=\"pic/?id=7\">", "text/html");
                        });
                    s.a.Serve("/q/pic/", kPng + "seven", "image/png");
                    return s.a.Url("/q/list.php?page=1");
                },
                { "127.0.0.1/q/list.php", "127.0.0.1/q/pic/temp.jpg" } },
            { "UserInformation",
                [](Servers& s) {
                    s.a.Serve("/u/page.htm", "<img src=\"a.png\"><iframe src=\"f.htm\"></iframe>");
                    s.a.Serve("/u/a.png", kPng + "u", "image/png");
                    s.a.Serve("/u/f.htm", "<p>frame</p>");
                    return "http://user:pw@127.0.0.1:" + Port(s.a) + "/u/page.htm";
                },
                { "127.0.0.1/u/a.png", "127.0.0.1/u/f.htm", "127.0.0.1/u/page.htm" } },
            { "Srcset",
                [](Servers& s) {
                    s.a.Serve("/s/page.htm",
                        "<img src=\"fallback.png\" srcset=\"one.png 1x, two.png 2x\"><picture><source "
                        "srcset=\"wide.png\" media=\"(min-width: 100px)\" type=\"image/png\"><img "
                        "src=\"pfallback.png\"></picture>");
                    for (const char* name : { "fallback", "one", "two", "wide", "pfallback" })
                        s.a.Serve(std::string("/s/") + name + ".png", kPng + name, "image/png");
                    return s.a.Url("/s/page.htm");
                },
                { "127.0.0.1/s/one.png", "127.0.0.1/s/page.htm", "127.0.0.1/s/wide.png" } },
            { "QueryInTheDocumentsCharacterSet",
                [](Servers& s) {
                    // "中" in GBK, in the query of an image and of a frame.
                    s.a.Serve("/g/page.htm",
                        "<meta charset=\"gbk\"><img src=\"img.php?q=\xD6\xD0\"><iframe "
                        "src=\"f.php?q=\xD6\xD0\"></iframe>");
                    s.a.Handle(
                        "/g/img.php", [](const httplib::Request& request, httplib::Response& response) {
                            response.set_content(kPng + request.get_param_value("q"), "image/png");
                        });
                    s.a.Serve("/g/f.php", "<p>frame</p>");
                    return s.a.Url("/g/page.htm");
                },
                { "127.0.0.1/g/f.php", "127.0.0.1/g/img.php", "127.0.0.1/g/page.htm" } },
            { "InternationalHostName",
                [](Servers& s) {
                    // The engine resolves every name below "localhost" to the loopback address itself.
                    const std::string port = Port(s.a);
                    s.a.Serve("/i/page.htm",
                        "<img src=\"a.png\"><img src=\"http://xn--fsqu00a.localhost:" + port
                            + "/i/b.png\"><iframe src=\"http://xn--bcher-kva.localhost:" + port
                            + "/i/f.htm\"></iframe>");
                    s.a.Serve("/i/a.png", kPng + "a", "image/png");
                    s.a.Serve("/i/b.png", kPng + "b", "image/png");
                    s.a.Serve("/i/f.htm", "<p>frame</p>");
                    return "http://例子.localhost:" + port + "/i/page.htm";
                },
                { "bücher.localhost/i/f.htm", "例子.localhost/i/a.png", "例子.localhost/i/b.png",
                    "例子.localhost/i/page.htm" } },
            { "Ipv6Literal",
                [](Servers& s) {
                    s.v6 = std::make_unique<Ipv6Server>();
                    if (s.v6->Port() <= 0)
                        return std::string();
                    s.v6->Serve("/v6/page.htm", "<img src=\"a.png\"><iframe src=\"f.htm\"></iframe>");
                    s.v6->Serve("/v6/a.png", kPng + "six", "image/png");
                    s.v6->Serve("/v6/f.htm", "<p>frame</p>");
                    return "http://[::1]:" + std::to_string(s.v6->Port()) + "/v6/page.htm";
                },
                { "[__1]/v6/a.png", "[__1]/v6/f.htm", "[__1]/v6/page.htm" } },
            { "Frames",
                [](Servers& s) {
                    s.a.Serve("/f/page.htm",
                        "<iframe src=\"about:blank\"></iframe><iframe srcdoc=\"&lt;img "
                        "src=&quot;sd.png&quot;&gt;\"></iframe><iframe src=\"http://127.0.0.1:"
                            + std::to_string(pagestow::testing::RefusedPort())
                            + "/f/gone.htm\"></iframe><iframe src=\"sub/inner.htm\"></iframe><iframe "
                              "src=\"sub/\"></iframe>");
                    s.a.Serve("/f/sd.png", kPng + "sd", "image/png");
                    s.a.Serve("/f/sub/inner.htm", "<img src=\"i.png\">");
                    s.a.Serve("/f/sub/i.png", kPng + "i", "image/png");
                    s.a.Serve("/f/sub/", "<p>index</p>");
                    return s.a.Url("/f/page.htm");
                },
                { "127.0.0.1/f/page.htm", "127.0.0.1/f/sd.png", "127.0.0.1/f/sub/i.png",
                    "127.0.0.1/f/sub/index.htm", "127.0.0.1/f/sub/inner.htm" } },
            { "PercentEscapedNames",
                [](Servers& s) {
                    s.a.Serve("/a b.html",
                        "<meta charset=\"utf-8\"><img src=\"a%C3%A4c.png\"><iframe "
                        "src=\"my%20docs/%E9%A1%B5.htm\"></iframe>");
                    s.a.Serve("/aäc.png", kPng + "umlaut", "image/png");
                    s.a.Serve("/my docs/页.htm", "<p>frame</p>");
                    return s.a.Url("/a%20b.html");
                },
                { "127.0.0.1/a_b.html", "127.0.0.1/aäc.png", "127.0.0.1/my_docs/页.htm" } },
        };
        return shapes;
    }

    class ExplainTarget : public CaptureFixture {
    protected:
        // The target= line of --explain for address, with the folder of the last capture in place of
        // the folder name it shows.
        std::string Explained(const std::string& address) const
        {
            std::ostringstream out;
            std::ostringstream err;
            if (cli::RunExplain({ address }, out, err, m_settings.saveDir) != 0)
                return "usage: " + err.str();
            const std::string text = out.str();
            const std::size_t line = text.rfind("\ntarget=");
            if (line == std::string::npos || text.back() != '\n')
                return "no target= line in " + text;
            std::string target = text.substr(line + 8, text.size() - line - 9);
            const std::string shown = "qzwd_YYMMDDhhmmRRR";
            if (std::size_t at = target.find(shown); at != std::string::npos)
                target.replace(at, shown.size(), m_captureFolder);
            return target;
        }

        // A resource whose address names no file takes the default name of its kind, which is no
        // page's name.
        static bool NamedByItsAddress(const capture::SavedEntry& entry)
        {
            if (entry.kind == capture::SavedEntry::Kind::Document)
                return true;
            for (const char* defaultName : { "/temp.jpg", "/temp.js", "/css.css" }) {
                if (entry.path.ends_with(defaultName))
                    return false;
            }
            return true;
        }
    };

    TEST_P(ExplainTarget, NamesTheFileTheCaptureWritesForEveryAddressShape)
    {
        for (const Shape& shape : Shapes()) {
            SCOPED_TRACE(shape.name);
            m_engine->Cache().Clear();
            Servers servers;
            const std::string address = shape.serve(servers);
            if (address.empty())
                continue; // No IPv6 loopback address here.

            ASSERT_TRUE(Capture(address));

            EXPECT_EQ(Files(), shape.files);
            const capture::CaptureResult& record = m_lastResult;
            ASSERT_FALSE(record.saved.empty());
            const capture::SavedEntry& page = record.saved.front();
            ASSERT_EQ(page.kind, capture::SavedEntry::Kind::Document);
            ASSERT_EQ(page.referrer, "");
            // The page, asked about as it was typed and as the engine loaded it; then every frame's
            // document and every resource that carries the name of its address.
            EXPECT_EQ(Explained(address), page.path);
            for (const capture::SavedEntry& entry : record.saved) {
                if (NamedByItsAddress(entry)) {
                    EXPECT_EQ(Explained(entry.address), entry.path) << entry.address;
                }
            }
        }
    }

    INSTANTIATE_TEST_SUITE_P(Engines, ExplainTarget, ::testing::Values("static"),
        [](const ::testing::TestParamInfo<std::string>& engineName) { return engineName.param; });

} // namespace
} // namespace pagestow::conformance
