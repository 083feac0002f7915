#include "engine/chromium/DevToolsClient.h"

#include "engine/EngineError.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace pagestow::engine::chromium {

DevToolsClient::DevToolsClient(int readFd, int writeFd)
    : m_readFd(readFd)
    , m_writeFd(writeFd)
{
}

int DevToolsClient::Send(
    const std::string& method, nlohmann::json params, const std::string& sessionId, ReplyHandler onReply)
{
    int id = m_nextId++;
    nlohmann::json message = { { "id", id }, { "method", method }, { "params", std::move(params) } };
    if (!sessionId.empty())
        message["sessionId"] = sessionId;
    m_outgoing += EncodeMessage(message);
    m_pending.emplace(id, std::move(onReply));
    Flush();
    return id;
}

void DevToolsClient::Flush()
{
    while (!m_closed && m_outgoingSent < m_outgoing.size()) {
        ssize_t written
            = write(m_writeFd, m_outgoing.data() + m_outgoingSent, m_outgoing.size() - m_outgoingSent);
        if (written > 0) {
            m_outgoingSent += std::size_t(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        m_closed = true;
    }
    if (m_outgoingSent == m_outgoing.size()) {
        m_outgoing.clear();
        m_outgoingSent = 0;
    }
}

void DevToolsClient::Read()
{
    char chunk[1 << 16];
    while (!m_closed) {
        ssize_t got = read(m_readFd, chunk, sizeof chunk);
        if (got > 0) {
            m_framer.Append(std::string_view(chunk, std::size_t(got)));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        m_closed = true;
    }
    while (auto message = m_framer.Next())
        m_inbox.push_back(std::move(*message));
}

bool DevToolsClient::Pump(std::chrono::milliseconds wait)
{
    Flush();
    if (!m_closed && m_inbox.empty()) {
        pollfd entries[2] = { { m_readFd, POLLIN, 0 }, { m_writeFd, POLLOUT, 0 } };
        nfds_t count = m_outgoing.empty() ? 1 : 2;
        int ready = poll(entries, count, int(std::max<long long>(0, wait.count())));
        if (ready > 0 && (entries[0].revents & (POLLIN | POLLHUP | POLLERR)))
            Read();
        if (ready > 0 && count == 2 && entries[1].revents)
            Flush();
    } else if (!m_closed) {
        Read();
    }
    while (!m_inbox.empty()) {
        std::string text = std::move(m_inbox.front());
        m_inbox.pop_front();
        if (auto message = ParseMessage(std::move(text)))
            Dispatch(std::move(*message));
    }
    return !m_closed;
}

void DevToolsClient::Dispatch(nlohmann::json message)
{
    auto id = message.find("id");
    if (id != message.end() && id->is_number_integer()) {
        auto pending = m_pending.find(id->get<int>());
        if (pending == m_pending.end())
            return;
        ReplyHandler handler = std::move(pending->second);
        m_pending.erase(pending);
        if (!handler)
            return;
        Reply reply;
        if (auto error = message.find("error"); error != message.end()) {
            reply.error
                = error->is_object() ? error->value("message", std::string("error")) : std::string("error");
        } else if (auto result = message.find("result"); result != message.end()) {
            reply.result = std::move(*result);
        }
        handler(reply);
        return;
    }
    auto method = message.find("method");
    if (method == message.end() || !method->is_string() || !m_onEvent)
        return;
    static const nlohmann::json kNoParams = nlohmann::json::object();
    auto params = message.find("params");
    m_onEvent(method->get<std::string>(), params != message.end() ? *params : kNoParams,
        message.value("sessionId", std::string()));
}

nlohmann::json DevToolsClient::Call(const std::string& method, nlohmann::json params,
    const std::string& sessionId, std::chrono::milliseconds timeout)
{
    std::optional<Reply> answer;
    int id = Send(method, std::move(params), sessionId, [&answer](const Reply& reply) { answer = reply; });
    // The handler points into this frame: it must not outlive the call when the call gives up.
    struct Forget {
        std::map<int, ReplyHandler>& pending;
        int id;
        ~Forget() { pending.erase(id); }
    } forget { m_pending, id };
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!answer) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw EngineError("The browser did not answer " + method);
        if (!Pump(left) && !answer)
            throw EngineError("The browser closed its debugging pipe during " + method);
    }
    if (answer->error)
        throw EngineError("The browser refused " + method + ": " + *answer->error);
    return answer->result;
}

} // namespace pagestow::engine::chromium
