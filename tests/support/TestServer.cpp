#include "support/TestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pagestow::testing {
namespace {

    // Enough workers for two browsers' six connections per host each, and a few lingering ones.
    constexpr size_t kWorkerThreads = 48;

    std::string ContentTypeFor(const std::filesystem::path& file)
    {
        static const std::map<std::string, std::string> types = {
            { ".htm", "text/html" },
            { ".html", "text/html" },
            { ".css", "text/css" },
            { ".js", "application/javascript" },
            { ".gif", "image/gif" },
            { ".png", "image/png" },
            { ".jpg", "image/jpeg" },
            { ".jpeg", "image/jpeg" },
            { ".ico", "image/x-icon" },
            { ".svg", "image/svg+xml" },
            { ".txt", "text/plain" },
        };
        auto found = types.find(file.extension().string());
        return found == types.end() ? "application/octet-stream" : found->second;
    }

    // Sets the body so that it goes out exactly as given: httplib compresses a body set with
    // set_content when the client accepts gzip, but leaves a body of known length from a content
    // provider alone.
    void SetExactBody(httplib::Response& response, const std::string& body, const std::string& contentType)
    {
        if (body.empty()) {
            response.set_header("Content-Type", contentType);
            response.set_header("Content-Length", "0");
            return;
        }
        auto shared = std::make_shared<std::string>(body);
        response.set_content_provider(
            shared->size(), contentType, [shared](size_t offset, size_t length, httplib::DataSink& sink) {
                return sink.write(shared->data() + offset, length);
            });
    }

    sockaddr_in LoopbackAddress(const std::string& host, int port)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
            throw std::runtime_error("not an IPv4 address: " + host);
        return address;
    }

    int BoundSocket(const std::string& host)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error("socket() failed");
        sockaddr_in address = LoopbackAddress(host, 0);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            throw std::runtime_error("cannot bind to " + host);
        }
        return fd;
    }

    int PortOf(int fd)
    {
        sockaddr_in address {};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }

    // Shuts down every connection of this process that a client opened to host:port. A worker
    // waiting for the next request of a kept-alive connection then sees the end at once, instead of
    // waiting out the keep-alive time-out (which clients such as WebKit always leave running).
    void ShutDownAcceptedConnections(const std::string& host, int port)
    {
        const sockaddr_in ours = LoopbackAddress(host, port);
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
            int fd = -1;
            try {
                fd = std::stoi(entry.path().filename().string());
            } catch (const std::exception&) {
                continue;
            }
            sockaddr_in local {};
            socklen_t length = sizeof local;
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || length != sizeof local
                || local.sin_family != AF_INET || local.sin_port != ours.sin_port
                || local.sin_addr.s_addr != ours.sin_addr.s_addr)
                continue;
            sockaddr_in peer {};
            length = sizeof peer;
            if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
                shutdown(fd, SHUT_RDWR);
        }
    }

} // namespace

TestServer::TestServer(std::string host)
    : m_host(std::move(host))
{
    m_server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    m_server.set_keep_alive_max_count(10000);
    m_server.set_keep_alive_timeout(2);
    m_server.set_tcp_nodelay(true);
    // Counting and latency come before the routing, so they cover every request.
    m_server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        {
            std::lock_guard lock(m_mutex);
            ++m_counts[request.path];
            m_lastHeaders[request.path] = request.headers;
            m_log.push_back(request.path);
        }
        if (long long latency = m_latencyMs.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(latency));
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
        Dispatch(request, response);
    };
    m_server.Get(".*", dispatch);
    m_server.Post(".*", dispatch);
    m_server.Put(".*", dispatch);
    m_server.Delete(".*", dispatch);
    m_server.Options(".*", dispatch);
    m_port = m_server.bind_to_any_port(m_host);
    if (m_port <= 0)
        throw std::runtime_error("TestServer cannot bind to " + m_host);
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // stop() does nothing before the listening loop runs, so a server destroyed straight away
    // would wait in its destructor for ever.
    while (!m_server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer()
{
    m_server.stop();
    ShutDownAcceptedConnections(m_host, m_port);
    if (m_thread.joinable())
        m_thread.join();
}

std::string TestServer::Origin() const
{
    return "http://" + m_host + ":" + std::to_string(m_port);
}

void TestServer::Serve(const std::string& path, std::string body, std::string contentType, int status,
    std::vector<std::pair<std::string, std::string>> headers)
{
    Handle(path,
        [body = std::move(body), contentType = std::move(contentType), status, headers = std::move(headers)](
            const httplib::Request&, httplib::Response& response) {
            response.status = status;
            for (const auto& [name, value] : headers)
                response.set_header(name, value);
            SetExactBody(response, body, contentType);
        });
}

void TestServer::ServeDirectory(const std::string& folder)
{
    std::lock_guard lock(m_mutex);
    m_folder = folder;
}

void TestServer::Handle(const std::string& path, Handler handler)
{
    std::lock_guard lock(m_mutex);
    m_handlers[path] = std::move(handler);
}

void TestServer::SetLatency(std::chrono::milliseconds perRequest)
{
    m_latencyMs = perRequest.count();
}

int TestServer::RequestCount(const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    auto found = m_counts.find(path);
    return found == m_counts.end() ? 0 : found->second;
}

std::vector<std::string> TestServer::RequestLog() const
{
    std::lock_guard lock(m_mutex);
    return m_log;
}

httplib::Headers TestServer::LastRequestHeaders(const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    auto found = m_lastHeaders.find(path);
    return found == m_lastHeaders.end() ? httplib::Headers() : found->second;
}

void TestServer::Dispatch(const httplib::Request& request, httplib::Response& response)
{
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        auto found = m_handlers.find(request.path);
        if (found != m_handlers.end())
            handler = found->second;
    }
    if (handler) {
        handler(request, response);
        return;
    }
    if (ServeFile(request.path, response))
        return;
    response.status = 404;
    SetExactBody(response, "<html><body>Not Found</body></html>", "text/html");
}

bool TestServer::ServeFile(const std::string& path, httplib::Response& response)
{
    std::filesystem::path folder;
    {
        std::lock_guard lock(m_mutex);
        folder = m_folder;
    }
    if (folder.empty() || path.empty() || path[0] != '/')
        return false;
    std::filesystem::path relative = std::filesystem::path(path.substr(1)).lexically_normal();
    if (!relative.empty() && *relative.begin() == "..")
        return false;
    std::filesystem::path file = folder / relative;
    std::error_code error;
    if (std::filesystem::is_directory(file, error))
        file /= "index.html";
    if (!std::filesystem::is_regular_file(file, error))
        return false;
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    response.status = 200;
    SetExactBody(response, bytes.str(), ContentTypeFor(file));
    return true;
}

SilentServer::SilentServer(std::string host)
    : m_host(std::move(host))
{
    m_listener = BoundSocket(m_host);
    listen(m_listener, 64);
    m_port = PortOf(m_listener);
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2() failed");
    m_wakeRead = pipeEnds[0];
    m_wakeWrite = pipeEnds[1];
    m_thread = std::thread([this] {
        std::vector<int> connections;
        for (;;) {
            std::vector<pollfd> watched = { { m_listener, POLLIN, 0 }, { m_wakeRead, POLLIN, 0 } };
            for (int connection : connections)
                watched.push_back({ connection, POLLIN, 0 });
            if (poll(watched.data(), watched.size(), -1) < 0)
                continue;
            if (watched[1].revents)
                break;
            if (watched[0].revents & POLLIN) {
                int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection >= 0) {
                    connections.push_back(connection);
                    ++m_connections;
                }
            }
            // Read and drop what the clients send; keep each connection open until it closes.
            for (size_t i = 2; i < watched.size(); ++i) {
                if (!watched[i].revents)
                    continue;
                char buffer[4096];
                if (read(watched[i].fd, buffer, sizeof buffer) <= 0) {
                    close(watched[i].fd);
                    std::erase(connections, watched[i].fd);
                }
            }
        }
        for (int connection : connections)
            close(connection);
    });
}

SilentServer::~SilentServer()
{
    char wake = 1;
    (void)!write(m_wakeWrite, &wake, 1);
    if (m_thread.joinable())
        m_thread.join();
    close(m_listener);
    close(m_wakeRead);
    close(m_wakeWrite);
}

std::string SilentServer::Origin() const
{
    return "http://" + m_host + ":" + std::to_string(m_port);
}

int RefusedPort(const std::string& host)
{
    // A port bound without listening is reserved for us and refuses connections; closing it right
    // away leaves a port nothing listens on, free unless another program takes it in between.
    int fd = BoundSocket(host);
    int port = PortOf(fd);
    close(fd);
    return port;
}

} // namespace pagestow::testing
