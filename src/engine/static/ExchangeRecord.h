#pragma once

#include "archive/Exchange.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::static_engine {

// What the archive is told of one transfer: an exchange per request it made (each redirect is one),
// from the request heads as curl sent them and the response header lines as they came, and the body
// of the last response as it travelled (its content coding kept).
class ExchangeRecord {
public:
    // A request head as sent ("GET /a HTTP/1.1\r\nHost: …\r\n\r\n") for url: a new exchange.
    void RequestSent(std::string_view head, std::string url);
    // One response header line as it came, its line break included; the blank line ends a head.
    void HeaderLine(std::string_view line, std::string_view ipAddress);
    // Whether a response head has ended (its body may follow).
    bool Responded() const { return !m_exchanges.empty() && m_headEnded; }
    // The status of the last response head.
    int Status() const { return m_exchanges.empty() ? 0 : m_exchanges.back().status; }
    // Body bytes as they travelled, for a body the cache does not keep as it travelled.
    void Body(archive::ExchangeLog& log, std::string_view bytes);
    // The last response's body is the cache's body of address (it travelled without a content coding).
    void BodyInCache(std::string address, std::uint64_t size);
    // Adds every exchange to the log; the last one is complete when its body arrived whole.
    void Finish(archive::ExchangeLog& log, bool complete);

private:
    std::vector<archive::Exchange> m_exchanges;
    std::unique_ptr<archive::ExchangeLog::BodyWriter> m_body;
    bool m_headEnded = false;
    bool m_statusSeen = false;
};

} // namespace pagestow::engine::static_engine
