// The exchange log: every HTTP exchange of the page, one per hop of each request's redirect chain, put
// together from the network domain's events (the request as the renderer made it, the headers as the
// network stack sent and received them, the response) and added once its response has ended and its
// headers are in. Nothing of this runs when no log is set.

#include "base/Ascii.h"
#include "engine/Contract.h"
#include "engine/chromium/EngineImpl.h"
#include "url/Address.h"

#include <algorithm>

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;
    using archive::HeaderField;

    // A header map of the protocol as fields. The browser joins the values of a header that came more
    // than once with line feeds; each is a field of its own again. The map has no order of its own
    // (the browser sorts it by name). HTTP/2's pseudo-headers are no header lines: the authority a
    // request names is its Host, the rest is in the exchange's own fields.
    std::vector<HeaderField> FieldsOf(const json& headers)
    {
        std::vector<HeaderField> fields;
        if (!headers.is_object())
            return fields;
        auto authority = headers.find(":authority");
        if (authority != headers.end() && authority->is_string() && !headers.contains("Host")
            && !headers.contains("host"))
            fields.emplace_back("host", authority->get<std::string>());
        for (const auto& [name, value] : headers.items()) {
            if (!value.is_string() || name.starts_with(':'))
                continue;
            const std::string& values = value.get_ref<const std::string&>();
            std::size_t begin = 0;
            while (true) {
                std::size_t end = values.find('\n', begin);
                fields.emplace_back(name, values.substr(begin, end - begin));
                if (end == std::string::npos)
                    break;
                begin = end + 1;
            }
        }
        return fields;
    }

    // The header lines of an HTTP/1 response head as received ("HTTP/1.1 200 OK\r\nName: value\r\n..."),
    // in their order.
    std::vector<HeaderField> FieldsOfHead(std::string_view head)
    {
        std::vector<HeaderField> fields;
        bool statusLine = true;
        while (!head.empty()) {
            std::size_t end = head.find('\n');
            std::string_view line = head.substr(0, end);
            head = end == std::string_view::npos ? std::string_view() : head.substr(end + 1);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (std::exchange(statusLine, false) || line.empty())
                continue;
            std::size_t colon = line.find(':');
            if (colon == std::string_view::npos)
                continue;
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            fields.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
        return fields;
    }

    // The protocol's name of the response's protocol ("http/1.1", "h2") as a status line names it.
    std::string ProtocolName(const std::string& protocol)
    {
        if (protocol.empty())
            return "HTTP/1.1";
        if (protocol == "h2")
            return "HTTP/2";
        if (protocol == "h3" || protocol.starts_with("h3-"))
            return "HTTP/3";
        std::string name = protocol;
        for (char& c : name)
            c = base::UpperAscii(c);
        return name;
    }

    // A response of the protocol into the hop it answers.
    void TakeResponse(RecordedRequest::Hop& hop, const json& response)
    {
        archive::Exchange& exchange = hop.exchange;
        exchange.status = response.value("status", 0);
        exchange.reason = response.value("statusText", std::string());
        exchange.protocol = ProtocolName(response.value("protocol", std::string()));
        exchange.responseHeaders = FieldsOf(response.value("headers", json::object()));
        std::string address = response.value("remoteIPAddress", std::string());
        if (address.size() > 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        exchange.ipAddress = std::move(address);
        hop.responded = exchange.status > 0;
    }

    std::chrono::system_clock::time_point WallTime(const json& params)
    {
        double seconds = params.value("wallTime", 0.0);
        if (!(seconds > 0))
            return std::chrono::system_clock::now();
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::duration<double>(seconds)));
    }

} // namespace

RecordedRequest* ChromiumEngine::Impl::Recorded(Load& current, const std::string& id)
{
    if (!current.log)
        return nullptr;
    auto found = current.recorded.find(id);
    return found == current.recorded.end() ? nullptr : &found->second;
}

// Each hop's request starts a new exchange; a redirect's answer arrives with the next hop's request.
// ownRequest is false for a request that is no exchange of the page (the browser's own favicon probe).
void ChromiumEngine::Impl::RecordRequestSent(
    Load& current, const std::string& id, const json& params, bool ownRequest)
{
    const json& request = params.value("request", json::object());
    std::string address = request.value("url", std::string());
    auto found = current.recorded.find(id);
    if (found == current.recorded.end() || found->second.hops.empty()) {
        // data:, blob: and the like are no HTTP exchanges.
        if (!ownRequest || !url::IsHttpScheme(url::SchemeOf(address))) {
            if (found != current.recorded.end())
                current.recorded.erase(found);
            return;
        }
        found = current.recorded.try_emplace(id).first;
    }
    RecordedRequest& record = found->second;
    auto redirect = params.find("redirectResponse");
    if (redirect != params.end() && redirect->is_object() && !record.hops.empty()) {
        RecordedRequest::Hop& previous = record.hops.back();
        TakeResponse(previous, *redirect);
        previous.extraInfo = params.value("redirectHasExtraInfo", false);
    }
    RecordedRequest::Hop hop;
    hop.exchange.url = address;
    hop.exchange.method = request.value("method", std::string("GET"));
    hop.exchange.requestHeaders = FieldsOf(request.value("headers", json::object()));
    hop.exchange.date = WallTime(params);
    hop.exchange.rebuiltHeaders = true;
    hop.exchange.decodedBody = true;
    record.hops.push_back(std::move(hop));
    AddEndedExchanges(current, id);
}

void ChromiumEngine::Impl::RecordResponse(Load& current, const std::string& id, const json& params)
{
    RecordedRequest* record = Recorded(current, id);
    if (!record || record->hops.empty())
        return;
    TakeResponse(record->hops.back(), params.value("response", json::object()));
    record->hops.back().extraInfo = params.value("hasExtraInfo", false);
}

// The ExtraInfo events come from the network stack, apart from the others: before or after the hop's
// own events. They hold what was sent (cookies included) and what was received, the raw head's lines
// in their order for HTTP/1.
void ChromiumEngine::Impl::RecordExtraInfo(
    Load& current, const std::string& method, const std::string& id, const json& params)
{
    RecordedRequest& record = current.recorded[id];
    if (method == "Network.requestWillBeSentExtraInfo") {
        record.sentHeaders.push_back(FieldsOf(params.value("headers", json::object())));
    } else {
        std::string head = params.value("headersText", std::string());
        record.receivedHeaders.push_back(
            head.empty() ? FieldsOf(params.value("headers", json::object())) : FieldsOfHead(head));
    }
    if (!record.hops.empty())
        AddEndedExchanges(current, id);
}

// A request that has ended: its final body is what the engine cache gets (ResponseStore.cpp tells),
// bytes read for the log alone, or none to be had. Documents are read when the page is taken.
void ChromiumEngine::Impl::RecordRequestEnded(Load& current, const std::string& id, bool bodyRead)
{
    RecordedRequest* record = Recorded(current, id);
    if (!record)
        return;
    const Request& request = current.requests.at(id);
    if (request.failed || (!bodyRead && request.type != "Document"))
        record->body = RecordedRequest::Body::Missing;
    AddEndedExchanges(current, id);
}

void ChromiumEngine::Impl::RecordCachedBody(Load& current, const std::string& id, std::uint64_t size)
{
    if (RecordedRequest* record = Recorded(current, id)) {
        record->body = RecordedRequest::Body::Cached;
        record->cachedSize = size;
    }
}

void ChromiumEngine::Impl::RecordLogBody(Load& current, const std::string& id, std::string_view bytes)
{
    RecordedRequest* record = Recorded(current, id);
    if (!record)
        return;
    record->writer = current.log->BeginBody();
    record->writer->Write(bytes);
    record->body = RecordedRequest::Body::Logged;
}

// A body that was to come and did not (one already had stays).
void ChromiumEngine::Impl::RecordMissingBody(Load& current, const std::string& id)
{
    RecordedRequest* record = Recorded(current, id);
    if (record && record->body == RecordedRequest::Body::Awaited)
        record->body = RecordedRequest::Body::Missing;
}

// Adds the hops of a request whose responses have ended and whose headers are in, in their order. At
// the end of the load (atEnd) every hop that was answered goes in with what is known of it.
void ChromiumEngine::Impl::AddEndedExchanges(Load& current, const std::string& id, bool atEnd)
{
    RecordedRequest* record = Recorded(current, id);
    if (!record)
        return;
    auto request = current.requests.find(id);
    bool done = request != current.requests.end() && request->second.Done();
    while (record->added < record->hops.size()) {
        std::size_t index = record->added;
        RecordedRequest::Hop& hop = record->hops[index];
        bool last = index + 1 == record->hops.size();
        if (!atEnd) {
            if (!hop.responded || (last && (!done || record->body == RecordedRequest::Body::Awaited)))
                return;
            if (hop.extraInfo
                && (record->sentHeaders.size() <= index || record->receivedHeaders.size() <= index))
                return;
        }
        ++record->added;
        if (!hop.responded)
            continue;
        archive::Exchange exchange = std::move(hop.exchange);
        if (index < record->sentHeaders.size() && !record->sentHeaders[index].empty())
            exchange.requestHeaders = std::move(record->sentHeaders[index]);
        if (index < record->receivedHeaders.size() && !record->receivedHeaders[index].empty())
            exchange.responseHeaders = std::move(record->receivedHeaders[index]);
        if (!last) {
            current.log->Add(std::move(exchange));
            continue;
        }
        switch (done ? record->body : RecordedRequest::Body::Missing) {
        case RecordedRequest::Body::Cached:
            exchange.body.source = archive::ExchangeBody::Source::Cache;
            exchange.body.cacheAddress = exchange.url;
            exchange.body.size = record->cachedSize;
            break;
        case RecordedRequest::Body::Logged:
            current.log->Add(std::move(exchange), std::move(record->writer));
            continue;
        default:
            exchange.complete = false;
            break;
        }
        current.log->Add(std::move(exchange));
    }
}

// The page is being taken: whatever is still open goes in as it stands, a body not read as cut.
void ChromiumEngine::Impl::AddRemainingExchanges(Load& current)
{
    if (!current.log)
        return;
    // In the order the requests started.
    std::vector<std::pair<int, std::string>> ids;
    for (const auto& [id, record] : current.recorded) {
        auto request = current.requests.find(id);
        ids.emplace_back(request == current.requests.end() ? 0 : request->second.order, id);
    }
    std::sort(ids.begin(), ids.end());
    for (const auto& [order, id] : ids)
        AddEndedExchanges(current, id, true);
    current.recorded.clear();
}

} // namespace pagestow::engine::chromium
