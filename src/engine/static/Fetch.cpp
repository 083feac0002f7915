#include "engine/static/Fetch.h"

#include "engine/static/Handles.h"
#include "engine/static/RequestSetup.h"
#include "engine/static/StaticEngine.h"

namespace pagestow::engine {
namespace {

    struct Sink {
        std::string* body;
        std::size_t maxBytes;
        bool cut = false;
    };

    size_t Append(char* data, size_t size, size_t count, void* user)
    {
        auto* sink = static_cast<Sink*>(user);
        size_t bytes = size * count;
        size_t room = sink->maxBytes - sink->body->size();
        if (bytes > room) {
            sink->body->append(data, room);
            sink->cut = true;
            return 0; // Ends the transfer: the rest is not wanted.
        }
        sink->body->append(data, bytes);
        return bytes;
    }

} // namespace

FetchedText FetchText(const std::string& address, const RequestOptions& requests, std::size_t maxBytes,
    std::chrono::milliseconds timeout)
{
    FetchedText fetched;
    static_engine::CurlEasy easy(curl_easy_init());
    if (!easy) {
        fetched.error = "cannot start a transfer";
        return fetched;
    }
    char error[CURL_ERROR_SIZE] = {};
    Sink sink { &fetched.body, maxBytes };
    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, long(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_USERAGENT,
        requests.userAgent.empty() ? kStaticUserAgent.data() : requests.userAgent.c_str());
    static_engine::CurlSlist headers(static_engine::AppendHeaders(nullptr, requests.headers));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    CURLcode code = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &fetched.status);
    fetched.cut = sink.cut;
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && sink.cut)) {
        fetched.error = error[0] ? error : curl_easy_strerror(code);
        if (code == CURLE_OPERATION_TIMEDOUT)
            fetched.status = 0;
    }
    return fetched;
}

} // namespace pagestow::engine
