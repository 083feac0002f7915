// The exchange log: every HTTP exchange of the page as the UI process sees it, one per request a
// resource sent (a redirect's answer ends one hop and the request after it starts the next), added
// once its body is had or known to be missing. WebKit shows no protocol, reason phrase or server
// address, and fewer request headers than it sends: see docs/webkit-engine.md. Nothing of this runs
// when no log is set.

#include "engine/webkit/EngineImpl.h"

#include "url/Address.h"

namespace pagestow::engine::webkit {
namespace {

    std::vector<archive::HeaderField> FieldsOf(SoupMessageHeaders* headers)
    {
        std::vector<archive::HeaderField> fields;
        if (!headers)
            return fields;
        SoupMessageHeadersIter iter;
        soup_message_headers_iter_init(&iter, headers);
        const char* name = nullptr;
        const char* value = nullptr;
        while (soup_message_headers_iter_next(&iter, &name, &value))
            fields.emplace_back(name, value);
        return fields;
    }

    // A hop's request as WebKit shows it.
    archive::Exchange RequestExchange(WebKitURIRequest* request)
    {
        archive::Exchange exchange;
        exchange.url = webkit_uri_request_get_uri(request);
        const char* method = webkit_uri_request_get_http_method(request);
        exchange.method = method && *method ? method : "GET";
        exchange.requestHeaders = FieldsOf(webkit_uri_request_get_http_headers(request));
        exchange.date = std::chrono::system_clock::now();
        exchange.rebuiltHeaders = true;
        exchange.decodedBody = true;
        return exchange;
    }

    // The answer to a hop. WebKit tells neither the protocol nor the reason phrase: the status line
    // is rebuilt with HTTP/1.1 and the status's standard phrase.
    void TakeResponse(archive::Exchange& exchange, WebKitURIResponse* response)
    {
        exchange.status = int(StatusOf(response));
        const char* phrase = exchange.status > 0 ? soup_status_get_phrase(guint(exchange.status)) : nullptr;
        exchange.reason = phrase ? phrase : "";
        exchange.responseHeaders
            = FieldsOf(response ? webkit_uri_response_get_http_headers(response) : nullptr);
    }

    // The serialisation of the loaded document at address in the page's tree, null when there is none.
    const std::string* DocumentBytes(const SnapshotDocument& document, const std::string& address)
    {
        if (document.origin == DocumentOrigin::Loaded && document.url == address)
            return &document.serialization;
        for (const SnapshotFrame& frame : document.frames)
            if (frame.document)
                if (const std::string* bytes = DocumentBytes(*frame.document, address))
                    return bytes;
        return nullptr;
    }

} // namespace

void WebKitEngine::Impl::RecordStarted(
    ResourceWatch* watch, WebKitWebResource* resource, WebKitURIRequest* request)
{
    const char* uri = webkit_uri_request_get_uri(request);
    if (!m_log || !uri || !url::IsHttpScheme(url::SchemeOf(uri)))
        return;
    watch->record = ++m_nextRecord;
    m_recorded[watch->record].hops.push_back(RequestExchange(request));
    g_signal_connect(resource, "sent-request", G_CALLBACK(OnSentRequest), watch);
}

// The request as it went out, and after a redirect the answer that led to the next one.
void WebKitEngine::Impl::OnSentRequest(
    WebKitWebResource*, WebKitURIRequest* request, WebKitURIResponse* redirected, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    Impl* engine = Alive(watch->engine);
    RecordedResource* recorded = engine ? engine->Recorded(watch->record) : nullptr;
    if (!recorded)
        return;
    if (redirected) {
        TakeResponse(recorded->hops.back(), redirected);
        recorded->hops.push_back(RequestExchange(request));
        return;
    }
    std::vector<archive::HeaderField> sent = FieldsOf(webkit_uri_request_get_http_headers(request));
    if (sent.size() > recorded->hops.back().requestHeaders.size())
        recorded->hops.back().requestHeaders = std::move(sent);
}

WebKitEngine::Impl::RecordedResource* WebKitEngine::Impl::Recorded(std::uint64_t record)
{
    auto found = record ? m_recorded.find(record) : m_recorded.end();
    return found == m_recorded.end() ? nullptr : &found->second;
}

void WebKitEngine::Impl::RecordResponse(std::uint64_t record, WebKitURIResponse* response)
{
    if (RecordedResource* recorded = Recorded(record))
        TakeResponse(recorded->hops.back(), response);
}

void WebKitEngine::Impl::RecordBody(std::uint64_t record, RecordedResource::Body body, std::uint64_t size,
    std::unique_ptr<archive::ExchangeLog::BodyWriter> writer)
{
    RecordedResource* recorded = Recorded(record);
    if (!recorded || recorded->body != RecordedResource::Body::Awaited)
        return;
    recorded->body = body;
    recorded->cachedSize = size;
    recorded->writer = std::move(writer);
}

std::unique_ptr<archive::ExchangeLog::BodyWriter> WebKitEngine::Impl::LogWriter(std::string_view bytes)
{
    auto writer = m_log->BeginBody();
    writer->Write(bytes);
    return writer;
}

// The resource's body is had (or known to be missing): its exchanges go into the log, unless it is a
// frame's document, whose bytes come with the page.
void WebKitEngine::Impl::RecordEnded(std::uint64_t record)
{
    RecordedResource* recorded = Recorded(record);
    if (!recorded || recorded->body == RecordedResource::Body::Document)
        return;
    AddRecorded(*recorded);
    m_recorded.erase(record);
}

void WebKitEngine::Impl::AddRecorded(RecordedResource& recorded)
{
    for (std::size_t index = 0; index < recorded.hops.size(); ++index) {
        archive::Exchange& exchange = recorded.hops[index];
        // A request that got no answer is no exchange.
        if (exchange.status == 0)
            continue;
        if (index + 1 < recorded.hops.size()) {
            m_log->Add(std::move(exchange));
            continue;
        }
        switch (recorded.body) {
        case RecordedResource::Body::Cached:
            exchange.body.source = archive::ExchangeBody::Source::Cache;
            exchange.body.cacheAddress = exchange.url;
            exchange.body.size = recorded.cachedSize;
            break;
        case RecordedResource::Body::Logged:
            m_log->Add(std::move(exchange), std::move(recorded.writer));
            continue;
        default:
            exchange.complete = false;
            break;
        }
        m_log->Add(std::move(exchange));
    }
}

// The page is delivered: a frame's document gets the bytes the snapshot has of it (its DOM's
// serialisation, WebKit hands out no others), and whatever is still open goes in as it stands.
void WebKitEngine::Impl::AddRemainingExchanges(const SnapshotDocument* top)
{
    if (!m_log)
        return;
    for (auto& [record, recorded] : m_recorded) {
        if (recorded.body == RecordedResource::Body::Document) {
            const std::string* bytes = top ? DocumentBytes(*top, recorded.hops.back().url) : nullptr;
            recorded.body = bytes ? RecordedResource::Body::Logged : RecordedResource::Body::Missing;
            if (bytes)
                recorded.writer = LogWriter(*bytes);
        }
        AddRecorded(recorded);
    }
    m_recorded.clear();
}

} // namespace pagestow::engine::webkit
