#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pagestow::testing {

// A real HTTP/1.1 server on a free port of a loopback address (127.0.0.1, 127.0.0.2, ...), serving
// on threads of its own until it is destroyed. Paths match exactly (letter case counts, the query is
// ignored for matching and left to handlers); unknown paths answer 404.
class TestServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit TestServer(std::string host = "127.0.0.1");
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const { return m_port; }
    const std::string& Host() const { return m_host; }
    // "http://127.0.0.1:PORT"
    std::string Origin() const;
    // Origin() + path.
    std::string Url(const std::string& path) const { return Origin() + path; }

    // Answers requests for path with body, exactly as given (no content coding is added).
    void Serve(const std::string& path, std::string body, std::string contentType = "text/html",
        int status = 200, std::vector<std::pair<std::string, std::string>> headers = {});
    // Serves the files below folder under "/" ("/" and folder paths give their index.html). Paths given
    // to Serve or Handle come first.
    void ServeDirectory(const std::string& folder);
    // Lets handler answer requests for path.
    void Handle(const std::string& path, Handler handler);
    // Delays every answer by perRequest (requests on different connections are delayed in parallel).
    void SetLatency(std::chrono::milliseconds perRequest);

    // How many requests have reached path (any method, any query).
    int RequestCount(const std::string& path) const;
    // Every request path in the order the requests arrived.
    std::vector<std::string> RequestLog() const;
    // The headers of the latest request for path (empty when there was none).
    httplib::Headers LastRequestHeaders(const std::string& path) const;

private:
    void Dispatch(const httplib::Request& request, httplib::Response& response);
    bool ServeFile(const std::string& path, httplib::Response& response);

    std::string m_host;
    int m_port = 0;
    httplib::Server m_server;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::map<std::string, Handler> m_handlers;
    std::string m_folder;
    std::map<std::string, int> m_counts;
    std::map<std::string, httplib::Headers> m_lastHeaders;
    std::vector<std::string> m_log;
    std::atomic<long long> m_latencyMs { 0 };
};

// A server that accepts connections, reads what arrives and never answers: a load from it is bounded
// only by the client's own time-outs.
class SilentServer {
public:
    explicit SilentServer(std::string host = "127.0.0.1");
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    int Port() const { return m_port; }
    std::string Origin() const;
    // How many connections were accepted so far.
    int Connections() const { return m_connections.load(); }

private:
    std::string m_host;
    int m_port = 0;
    int m_listener = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<int> m_connections { 0 };
    std::thread m_thread;
};

// A free TCP port on host that nothing listens on (a connection to it is refused).
int RefusedPort(const std::string& host = "127.0.0.1");

} // namespace pagestow::testing
