// The built-in engine's record of each exchange, for the archive: heads from curl's own text of what it
// sent and the header lines it received, so that they are the bytes of the wire (for HTTP/2, curl's
// rendering of the frames as lines).

#include "engine/static/ExchangeRecord.h"

#include <charconv>

namespace pagestow::engine::static_engine {
namespace {

    std::string_view WithoutLineBreak(std::string_view line)
    {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        return line;
    }

    // "Name: value" as a field; a line without a colon is kept as a name with no value.
    archive::HeaderField FieldOf(std::string_view line)
    {
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return { std::string(line), {} };
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        return { std::string(line.substr(0, colon)), std::string(value) };
    }

} // namespace

void ExchangeRecord::RequestSent(std::string_view head, std::string url)
{
    archive::Exchange exchange;
    exchange.url = std::move(url);
    exchange.date = std::chrono::system_clock::now();
    bool first = true;
    while (!head.empty()) {
        std::size_t end = head.find('\n');
        std::string_view line = WithoutLineBreak(head.substr(0, end));
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
        if (first) {
            // "GET /path HTTP/1.1"
            first = false;
            exchange.method = std::string(line.substr(0, line.find(' ')));
            std::size_t last = line.rfind(' ');
            if (last != std::string_view::npos)
                exchange.protocol = std::string(line.substr(last + 1));
            continue;
        }
        if (line.empty())
            break;
        exchange.requestHeaders.push_back(FieldOf(line));
    }
    m_exchanges.push_back(std::move(exchange));
    m_headEnded = false;
    m_statusSeen = false;
}

void ExchangeRecord::HeaderLine(std::string_view line, std::string_view ipAddress)
{
    if (m_exchanges.empty())
        return;
    archive::Exchange& exchange = m_exchanges.back();
    std::string_view text = WithoutLineBreak(line);
    if (!m_statusSeen || m_headEnded) {
        // A status line; after an interim answer (100 Continue) the next head replaces it.
        if (!text.starts_with("HTTP/"))
            return;
        m_statusSeen = true;
        m_headEnded = false;
        exchange.responseHeaders.clear();
        std::size_t space = text.find(' ');
        exchange.protocol = std::string(text.substr(0, space));
        std::string_view rest = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        int status = 0;
        auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), status);
        exchange.status = error == std::errc() ? status : 0;
        std::string_view reason = rest.substr(std::size_t(end - rest.data()));
        while (!reason.empty() && reason.front() == ' ')
            reason.remove_prefix(1);
        while (!reason.empty() && reason.back() == ' ')
            reason.remove_suffix(1);
        exchange.reason = std::string(reason);
        exchange.ipAddress = std::string(ipAddress);
        return;
    }
    if (text.empty()) {
        // An interim answer's head is not an exchange of its own: the final head follows.
        m_headEnded = !(exchange.status >= 100 && exchange.status < 200);
        if (!m_headEnded)
            m_statusSeen = false;
        return;
    }
    exchange.responseHeaders.push_back(FieldOf(text));
}

void ExchangeRecord::Body(archive::ExchangeLog& log, std::string_view bytes)
{
    if (!m_body)
        m_body = log.BeginBody();
    m_body->Write(bytes);
}

void ExchangeRecord::BodyInCache(std::string address, std::uint64_t size)
{
    if (m_exchanges.empty())
        return;
    archive::ExchangeBody& body = m_exchanges.back().body;
    body.source = archive::ExchangeBody::Source::Cache;
    body.cacheAddress = std::move(address);
    body.size = size;
}

void ExchangeRecord::Finish(archive::ExchangeLog& log, bool complete)
{
    for (std::size_t i = 0; i < m_exchanges.size(); ++i) {
        archive::Exchange& exchange = m_exchanges[i];
        // A request that got no response head is not an exchange the archive can show.
        if (exchange.status == 0)
            continue;
        bool last = i + 1 == m_exchanges.size();
        if (!last) {
            log.Add(std::move(exchange));
            continue;
        }
        exchange.complete = complete && m_headEnded;
        log.Add(std::move(exchange), std::move(m_body));
    }
    m_exchanges.clear();
    m_body.reset();
}

} // namespace pagestow::engine::static_engine
