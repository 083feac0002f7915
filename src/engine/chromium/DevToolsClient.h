#pragma once

#include "engine/chromium/DevToolsMessage.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace pagestow::engine::chromium {

// The answer to one command: its result, or the browser's error message.
struct Reply {
    nlohmann::json result = nlohmann::json::object();
    std::optional<std::string> error;
};

// A client of the browser's debugging protocol over the two ends of its pipe: commands carry ids
// (and the session they address, for flattened sessions), replies come back by id, everything else is
// an event. Nothing here blocks except Pump for as long as it is told to.
class DevToolsClient {
public:
    using ReplyHandler = std::function<void(const Reply&)>;
    using EventHandler = std::function<void(
        const std::string& method, const nlohmann::json& params, const std::string& sessionId)>;

    // readFd and writeFd must be non-blocking; the client does not own them.
    DevToolsClient(int readFd, int writeFd);

    void SetEventHandler(EventHandler handler) { m_onEvent = std::move(handler); }

    // Queues a command; onReply runs when its reply arrives. Returns the command's id.
    int Send(const std::string& method, nlohmann::json params = nlohmann::json::object(),
        const std::string& sessionId = {}, ReplyHandler onReply = {});

    // Writes what is queued, waits up to wait for the browser, and dispatches every complete message
    // in arrival order (also those left by an outer Pump when called from a handler). False once the
    // pipe is closed.
    bool Pump(std::chrono::milliseconds wait);

    // Sends a command and pumps until its reply arrives; EngineError for an error reply, a closed pipe
    // or no reply within timeout.
    nlohmann::json Call(const std::string& method, nlohmann::json params, const std::string& sessionId,
        std::chrono::milliseconds timeout);

    bool Closed() const { return m_closed; }
    // Commands sent whose reply has not arrived.
    std::size_t Outstanding() const { return m_pending.size(); }

private:
    void Flush();
    void Read();
    void Dispatch(nlohmann::json message);

    int m_readFd;
    int m_writeFd;
    bool m_closed = false;
    int m_nextId = 1;
    std::string m_outgoing;
    std::size_t m_outgoingSent = 0;
    MessageFramer m_framer;
    std::deque<std::string> m_inbox;
    std::map<int, ReplyHandler> m_pending;
    EventHandler m_onEvent;
};

} // namespace pagestow::engine::chromium
