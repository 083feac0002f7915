#pragma once

// An HTTP/1.1 server for benchmarks that is not itself what gets measured: every response is made
// in full beforehand and goes out in one send (two writes meet Nagle's algorithm and delayed ACKs,
// 40 ms a response), paths are found through a hash index, keep-alive, one thread per connection so
// that the latency of requests on different connections overlaps.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pagestow::bench {

class RawServer {
public:
    // Listens on a free port of host (a loopback address such as 127.0.0.2).
    explicit RawServer(std::string host);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    // "http://HOST:PORT" + path.
    std::string Url(const std::string& path) const;
    // Answers GET path (query ignored) with 200 and body. Not to be called while clients run.
    void Serve(const std::string& path, const std::string& body, const std::string& contentType);
    // Removes every path.
    void Clear();
    // Each response is sent this long after its request arrived.
    void SetLatency(std::chrono::milliseconds latency) { m_latencyMs = latency.count(); }
    // Requests answered so far (404s included).
    long long Requests() const { return m_requests.load(); }

private:
    void AcceptLoop();
    void Converse(int fd);

    std::string m_host;
    int m_port = 0;
    int m_listener = -1;
    std::atomic<bool> m_stopping { false };
    std::atomic<long long> m_latencyMs { 0 };
    std::atomic<long long> m_requests { 0 };
    std::unordered_map<std::string, std::shared_ptr<const std::string>> m_responses;
    std::shared_ptr<const std::string> m_notFound;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<int> m_connections;
    std::atomic<int> m_active { 0 };
};

} // namespace pagestow::bench
