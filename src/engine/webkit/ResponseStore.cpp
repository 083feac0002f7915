#include "engine/webkit/EngineImpl.h"

namespace pagestow::engine::webkit {

WebKitEngine::Impl::Refetch::~Refetch()
{
    g_clear_object(&stream);
    g_clear_object(&message);
    g_clear_object(&cancellable);
}

void WebKitEngine::Impl::OnResourceLoadStarted(
    WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest* request, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    ++self->m_pendingResources;
    ++self->m_progress.requested;
    auto* watch = new ResourceWatch { self->m_self, self->m_loadSerial, webkit_uri_request_get_uri(request) };
    const char* method = webkit_uri_request_get_http_method(request);
    watch->get = !method || g_ascii_strcasecmp(method, "GET") == 0;
    watch->headers = HeadersOf(request);
    self->RecordStarted(watch, resource, request);
    g_signal_connect(resource, "finished", G_CALLBACK(OnResourceFinished), watch);
    g_signal_connect(resource, "failed", G_CALLBACK(OnResourceFailed), watch);
    // The watch lives as long as the resource.
    g_object_weak_ref(G_OBJECT(resource), OnResourceGone, watch);
}

void WebKitEngine::Impl::Settle(
    const std::weak_ptr<Impl*>& weak, std::uint64_t loadSerial, bool counted, std::uint64_t bytes)
{
    Impl* engine = Alive(weak);
    if (!engine)
        return;
    --engine->m_pendingResources;
    if (counted && loadSerial == engine->m_loadSerial) {
        ++engine->m_progress.loaded;
        engine->m_progress.bytes += bytes;
    }
    engine->Poke();
}

void WebKitEngine::Impl::OnResourceFinished(WebKitWebResource* resource, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    if (watch->done)
        return;
    watch->done = true;
    WebKitURIResponse* response = webkit_web_resource_get_response(resource);
    Impl* engine = Alive(watch->engine);
    bool recorded = engine && engine->Recorded(watch->record);
    if (recorded)
        engine->RecordResponse(watch->record, response);
    // Only a complete body under a storable final answer goes into the cache; the body of another
    // answer is read for the exchange log alone.
    if (!IsWholeBody(response) && !recorded) {
        Settle(watch->engine, watch->loadSerial, true, 0);
        return;
    }
    // The reference keeps the resource, and so the watch, until the body has arrived.
    g_object_ref(resource);
    webkit_web_resource_get_data(resource, nullptr, OnResourceData, watch);
}

void WebKitEngine::Impl::OnResourceData(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    auto* resource = WEBKIT_WEB_RESOURCE(source);
    WebKitURIResponse* response = webkit_web_resource_get_response(resource);
    // The reference taken when the body was asked for, and the body.
    base::GObjectPtr<WebKitWebResource> held(resource);
    gsize length = 0;
    base::Owned<guchar, base::FreeGLib> body(
        webkit_web_resource_get_data_finish(resource, result, &length, nullptr));
    const guchar* bytes = body.get();
    // WebKit hands out a single NUL byte for a body it did not keep (a frame's document, an error
    // body, a redirected resource); that is not the resource's content.
    bool kept = bytes && !(length == 1 && bytes[0] == 0);
    // A body cut short (the connection closed before the announced length) is no resource.
    bool complete = kept && !ContradictsItsLength(response, length) && !DecodedToNothing(response, length)
        && !IsUndecodedGzip(HeaderOf(response, "Content-Encoding"), bytes, length);
    Impl* engine = Alive(watch->engine);
    bool storable = IsWholeBody(response);
    std::string_view received(reinterpret_cast<const char*>(bytes), complete ? length : 0);
    if (complete && engine && storable) {
        engine->m_owner.Cache().Store(AddressesOf(resource, *watch), received);
        engine->RecordBody(watch->record, RecordedResource::Body::Cached, length);
    } else if (complete && engine && engine->Recorded(watch->record)) {
        engine->RecordBody(
            watch->record, RecordedResource::Body::Logged, length, engine->LogWriter(received));
    }
    // A document's bytes WebKit does not hand out are not fetched again: the log gets its DOM's.
    bool document = IsDocumentRequest(watch->headers).value_or(storable && IsDocument(response));
    if (!kept && engine && watch->get && !document) {
        // The body arrived, but the web process does not hand it out.
        engine->StartRefetch(resource, watch, !storable);
        return;
    }
    if (engine && !kept && document)
        engine->RecordBody(watch->record, RecordedResource::Body::Document);
    if (engine)
        engine->RecordEnded(watch->record);
    Settle(watch->engine, watch->loadSerial, true, complete && storable ? length : 0);
}

std::vector<std::string> WebKitEngine::Impl::AddressesOf(
    WebKitWebResource* resource, const ResourceWatch& watch)
{
    std::vector<std::string> addresses { watch.requested };
    const char* final = webkit_web_resource_get_uri(resource);
    if (final && watch.requested != final)
        addresses.push_back(final);
    return addresses;
}

void WebKitEngine::Impl::StartRefetch(WebKitWebResource* resource, ResourceWatch* watch, bool forLog)
{
    // The watch has settled its part: from here the refetch keeps the page from completing. It asks
    // for the final address (the requested one may redirect only once) with the page's own headers
    // and the cookies the view holds for that address.
    auto* refetch = new Refetch;
    refetch->engine = watch->engine;
    refetch->loadSerial = watch->loadSerial;
    refetch->addresses = AddressesOf(resource, *watch);
    refetch->headers = watch->headers;
    refetch->record = Recorded(watch->record) ? watch->record : 0;
    if (forLog) {
        refetch->logBody = m_log->BeginBody();
        refetch->wantedStatus = StatusOf(webkit_web_resource_get_response(resource));
    }
    refetch->cancellable = G_CANCELLABLE(g_object_ref(m_cancellable));
    WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(
        webkit_web_context_get_website_data_manager(m_context));
    webkit_cookie_manager_get_cookies(
        cookies, refetch->addresses.back().c_str(), refetch->cancellable, OnRefetchCookies, refetch);
}

void WebKitEngine::Impl::OnRefetchCookies(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    GList* cookies = webkit_cookie_manager_get_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
    Impl* engine = Alive(refetch->engine);
    SoupMessage* message = engine ? soup_message_new("GET", refetch->addresses.back().c_str()) : nullptr;
    if (!message) {
        g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        EndRefetch(refetch, false);
        return;
    }
    refetch->message = message;
    // The network layer's decoder lets a stream cut short pass as whole: the body is decoded here.
    soup_message_disable_feature(message, SOUP_TYPE_CONTENT_DECODER);
    SoupMessageHeaders* headers = soup_message_get_request_headers(message);
    for (const auto& [name, value] : refetch->headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Cookie") != 0)
            soup_message_headers_replace(headers, name.c_str(), value.c_str());
    }
    engine->AddRequestHeaders(headers);
    soup_message_headers_replace(headers, "Accept-Encoding", "gzip, deflate");
    if (!soup_message_headers_get_one(headers, "User-Agent")) {
        soup_message_headers_replace(headers, "User-Agent",
            webkit_settings_get_user_agent(webkit_web_view_get_settings(engine->m_view)));
    }
    if (cookies) {
        GSList* list = nullptr;
        for (GList* item = cookies; item; item = item->next)
            list = g_slist_prepend(list, item->data);
        list = g_slist_reverse(list);
        base::GCharPtr header(soup_cookies_to_cookie_header(list));
        soup_message_headers_replace(headers, "Cookie", header.get());
        g_slist_free(list);
    }
    g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
    soup_session_send_async(
        engine->m_session, message, G_PRIORITY_DEFAULT, refetch->cancellable, OnRefetchSent, refetch);
}

void WebKitEngine::Impl::OnRefetchSent(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    refetch->stream = soup_session_send_finish(SOUP_SESSION(source), result, nullptr);
    Impl* engine = Alive(refetch->engine);
    guint status = refetch->message ? soup_message_get_status(refetch->message) : 0;
    bool accepted = refetch->logBody ? status == refetch->wantedStatus : IsStorableStatus(int(status));
    if (!engine || !refetch->stream || !accepted) {
        EndRefetch(refetch, false);
        return;
    }
    SoupMessageHeaders* headers = soup_message_get_response_headers(refetch->message);
    const char* coding = soup_message_headers_get_one(headers, "Content-Encoding");
    refetch->decoder = std::make_unique<BodyDecoder>(coding ? coding : "");
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH)
        refetch->announced = soup_message_headers_get_content_length(headers);
    if (!refetch->decoder->Known()) {
        EndRefetch(refetch, false);
        return;
    }
    if (!refetch->logBody)
        refetch->entry = engine->m_owner.Cache().BeginEntry();
    ReadMore(refetch);
}

void WebKitEngine::Impl::ReadMore(Refetch* refetch)
{
    g_input_stream_read_bytes_async(
        refetch->stream, 64 * 1024, G_PRIORITY_DEFAULT, refetch->cancellable, OnRefetchRead, refetch);
}

void WebKitEngine::Impl::OnRefetchRead(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    base::Owned<GBytes, g_bytes_unref> bytes(
        g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, nullptr));
    if (!bytes) {
        // A body cut short, or an engine going away.
        EndRefetch(refetch, false);
        return;
    }
    gsize size = 0;
    const char* chunk = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    refetch->received += size;
    std::string decoded;
    bool sound = size == 0 ? refetch->decoder->Finish(decoded)
                           : refetch->decoder->Feed(std::string_view(chunk, size), decoded);
    bytes.reset();
    bool written = sound
        && (decoded.empty()
            || (refetch->logBody ? refetch->logBody->Write(decoded) : refetch->entry->Write(decoded)));
    std::uint64_t kept = refetch->logBody ? refetch->logBody->Size() : refetch->entry->Size();
    if (!written || kept > kPageMemoryBudget) {
        EndRefetch(refetch, false);
    } else if (size == 0 && refetch->announced >= 0
        && refetch->received != std::uint64_t(refetch->announced)) {
        // The connection closed before the announced length (the network layer does not say so).
        EndRefetch(refetch, false);
    } else if (size == 0) {
        if (refetch->entry)
            refetch->entry->Commit(refetch->addresses);
        EndRefetch(refetch, true);
    } else {
        ReadMore(refetch);
    }
}

void WebKitEngine::Impl::EndRefetch(Refetch* refetch, bool stored)
{
    std::unique_ptr<Refetch> owned(refetch);
    // A body fetched for the log alone is no resource of the page: the progress does not count it.
    const bool forLog = refetch->logBody != nullptr;
    std::uint64_t bytes = stored && refetch->entry ? refetch->entry->Size() : 0;
    if (Impl* engine = refetch->record ? Alive(refetch->engine) : nullptr) {
        if (stored && forLog) {
            std::uint64_t size = refetch->logBody->Size();
            engine->RecordBody(
                refetch->record, RecordedResource::Body::Logged, size, std::move(refetch->logBody));
        } else if (stored) {
            engine->RecordBody(refetch->record, RecordedResource::Body::Cached, bytes);
        }
        engine->RecordEnded(refetch->record);
    }
    Settle(refetch->engine, refetch->loadSerial, stored && !forLog, bytes);
}

void WebKitEngine::Impl::OnResourceFailed(WebKitWebResource* resource, GError* error, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    if (watch->done)
        return;
    watch->done = true;
    // WebKit cancels a picture its decoder rejects, after the server answered it, and drops its
    // bytes: the page did load it, so it is fetched again. A cancellation of an earlier load (a new
    // navigation, the load time-out) is not, nor a body the network cut short or could not decode.
    Impl* engine = Alive(watch->engine);
    if (engine && engine->Recorded(watch->record))
        engine->RecordResponse(watch->record, webkit_web_resource_get_response(resource));
    if (engine && watch->loadSerial == engine->m_loadSerial
        && StatusOf(webkit_web_resource_get_response(resource)) == 0)
        engine->m_unanswered.insert(watch->requested);
    if (engine && watch->loadSerial == engine->m_loadSerial
        && (engine->m_state == LoadState::Loading || engine->m_state == LoadState::Quiet)
        && g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
        WebKitURIResponse* response = webkit_web_resource_get_response(resource);
        if (watch->get && IsWholeBody(response) && !IsDocument(response)) {
            engine->StartRefetch(resource, watch);
            return;
        }
        if (StatusOf(response) == 0)
            engine->m_cancelledUnanswered.push_back(watch->requested);
    }
    if (engine)
        engine->RecordEnded(watch->record);
    Settle(watch->engine, watch->loadSerial, false, 0);
}

void WebKitEngine::Impl::OnResourceGone(gpointer data, GObject*)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    if (!watch->done)
        Settle(watch->engine, watch->loadSerial, false, 0);
    delete watch;
}

} // namespace pagestow::engine::webkit
