#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pagestow::hostile {

// A server that answers each request with exactly the bytes it was given for the path (status line,
// headers and body as written, however wrong), then closes the connection or, when told to, holds it
// open without a word more until the server is destroyed. For responses an HTTP library will not send.
// A response can also be dripped: sent in pieces with a pause after each.
class RawResponseServer {
public:
    enum class After { Close, HoldOpen };
    // Pieces of this many bytes with this pause after each; the whole response at once when 0.
    struct Drip {
        std::size_t pieceBytes = 0;
        std::chrono::milliseconds pause { 0 };
    };

    explicit RawResponseServer(std::string host = "127.0.0.1")
        : m_host(std::move(host))
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, m_host.c_str(), &address.sin_addr);
        int on = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listener, 64);
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { Accept(); });
    }

    ~RawResponseServer()
    {
        m_stop = true;
        m_acceptor.join();
        for (auto& connection : m_connections)
            connection.join();
        close(m_listener);
    }

    RawResponseServer(const RawResponseServer&) = delete;
    RawResponseServer& operator=(const RawResponseServer&) = delete;

    std::string Url(const std::string& path) const
    {
        return "http://" + m_host + ":" + std::to_string(m_port) + path;
    }

    void Serve(const std::string& path, std::string bytes, After after = After::Close)
    {
        Serve(path, std::move(bytes), after, Drip {});
    }

    void Serve(const std::string& path, std::string bytes, After after, Drip drip)
    {
        std::lock_guard lock(m_mutex);
        m_responses[path] = { std::move(bytes), after, drip };
    }

private:
    struct Response {
        std::string bytes;
        After after = After::Close;
        Drip drip;
    };

    bool WaitReadable(int fd)
    {
        while (!m_stop) {
            pollfd entry { fd, POLLIN, 0 };
            if (poll(&entry, 1, 50) > 0)
                return true;
        }
        return false;
    }

    void Accept()
    {
        while (WaitReadable(m_listener)) {
            int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                m_connections.emplace_back([this, fd] { Answer(fd); });
        }
    }

    void Answer(int fd)
    {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && WaitReadable(fd)) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            request.append(buffer, std::size_t(got));
        }
        auto start = request.find(' ');
        auto end = start == std::string::npos ? start : request.find_first_of(" ?", start + 1);
        std::string path
            = end == std::string::npos ? std::string() : request.substr(start + 1, end - start - 1);
        Response response { "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" };
        {
            std::lock_guard lock(m_mutex);
            if (auto found = m_responses.find(path); found != m_responses.end())
                response = found->second;
        }
        std::size_t sent = 0;
        std::size_t piece = response.drip.pieceBytes > 0 ? response.drip.pieceBytes : response.bytes.size();
        bool open = true;
        while (open && sent < response.bytes.size() && !m_stop) {
            std::size_t pieceEnd = std::min(response.bytes.size(), sent + piece);
            while (open && sent < pieceEnd) {
                ssize_t put = send(fd, response.bytes.data() + sent, pieceEnd - sent, MSG_NOSIGNAL);
                open = put > 0;
                sent += open ? std::size_t(put) : 0;
            }
            if (open && sent < response.bytes.size())
                std::this_thread::sleep_for(response.drip.pause);
        }
        if (response.after == After::HoldOpen) {
            while (WaitReadable(fd))
                if (read(fd, buffer, sizeof buffer) <= 0)
                    break;
        }
        close(fd);
    }

    std::string m_host;
    int m_port = 0;
    int m_listener = -1;
    std::atomic<bool> m_stop { false };
    std::thread m_acceptor;
    std::vector<std::thread> m_connections;
    std::mutex m_mutex;
    std::map<std::string, Response> m_responses;
};

} // namespace pagestow::hostile
