#include "RawServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace pagestow::bench {
namespace {

    std::shared_ptr<const std::string> MakeResponse(
        int status, const std::string& reason, const std::string& body, const std::string& contentType)
    {
        auto response = std::make_shared<std::string>();
        response->reserve(body.size() + 160);
        *response += "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType
            + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n";
        *response += body;
        return response;
    }

    bool SendAll(int fd, const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
        return true;
    }

} // namespace

RawServer::RawServer(std::string host)
    : m_host(std::move(host))
    , m_notFound(MakeResponse(404, "Not Found", "not found\n", "text/plain"))
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        throw std::runtime_error("socket() failed");
    int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, m_host.c_str(), &address.sin_addr) != 1
        || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listener, 1024) != 0) {
        ::close(m_listener);
        throw std::runtime_error("cannot listen on " + m_host);
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

RawServer::~RawServer()
{
    m_stopping = true;
    ::shutdown(m_listener, SHUT_RDWR);
    m_acceptor.join();
    {
        std::lock_guard lock(m_mutex);
        for (int fd : m_connections)
            ::shutdown(fd, SHUT_RDWR);
    }
    while (m_active.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::close(m_listener);
}

std::string RawServer::Url(const std::string& path) const
{
    return "http://" + m_host + ":" + std::to_string(m_port) + path;
}

void RawServer::Serve(const std::string& path, const std::string& body, const std::string& contentType)
{
    auto response = MakeResponse(200, "OK", body, contentType);
    std::lock_guard lock(m_mutex);
    m_responses[path] = std::move(response);
}

void RawServer::Clear()
{
    std::lock_guard lock(m_mutex);
    m_responses.clear();
}

void RawServer::AcceptLoop()
{
    while (!m_stopping) {
        int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        m_connections.push_back(fd);
        ++m_active;
        std::thread([this, fd] { Converse(fd); }).detach();
    }
}

void RawServer::Converse(int fd)
{
    std::string buffer;
    char chunk[16384];
    for (;;) {
        size_t end = buffer.find("\r\n\r\n");
        if (end == std::string::npos) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            buffer.append(chunk, size_t(n));
            continue;
        }
        // "GET /path?query HTTP/1.1": the path between the first blank and the query or next blank.
        size_t start = buffer.find(' ');
        size_t stop = start == std::string::npos ? std::string::npos : buffer.find_first_of(" ?", start + 1);
        std::string path
            = stop == std::string::npos || stop > end ? "" : buffer.substr(start + 1, stop - start - 1);
        buffer.erase(0, end + 4);
        std::shared_ptr<const std::string> response;
        {
            std::lock_guard lock(m_mutex);
            auto found = m_responses.find(path);
            response = found == m_responses.end() ? m_notFound : found->second;
        }
        if (long long latency = m_latencyMs.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(latency));
        ++m_requests;
        if (!SendAll(fd, *response))
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        ::shutdown(fd, SHUT_RDWR);
        std::erase(m_connections, fd);
        ::close(fd);
    }
    --m_active;
}

} // namespace pagestow::bench
