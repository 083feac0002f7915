#pragma once

// What the WebKit engine reads from WebKit's responses, requests and errors.

#include "engine/Contract.h"
#include "engine/PageEngine.h"

#include <webkit2/webkit2.h>

#include <libsoup/soup.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pagestow::engine::webkit {
inline guint StatusOf(WebKitURIResponse* response)
{
    return response ? webkit_uri_response_get_status_code(response) : 0;
}

// A final answer whose body goes into the cache.
inline bool IsWholeBody(WebKitURIResponse* response)
{
    return IsStorableStatus(int(StatusOf(response)));
}

// Frame documents are saved from their DOM, and WebKit never hands out their bytes.
inline bool IsDocument(WebKitURIResponse* response)
{
    const char* type = response ? webkit_uri_response_get_mime_type(response) : nullptr;
    return type
        && (g_ascii_strcasecmp(type, "text/html") == 0
            || g_ascii_strcasecmp(type, "application/xhtml+xml") == 0);
}

inline const char* HeaderOf(WebKitURIResponse* response, const char* name)
{
    SoupMessageHeaders* headers = response ? webkit_uri_response_get_http_headers(response) : nullptr;
    return headers ? soup_message_headers_get_one(headers, name) : nullptr;
}

// Whether the body handed out is shorter or longer than the length the server announced. Only a
// body without a content coding can be measured: WebKit hands out the decoded bytes.
inline bool ContradictsItsLength(WebKitURIResponse* response, std::uint64_t length)
{
    guint64 announced = response ? webkit_uri_response_get_content_length(response) : 0;
    const char* coding = HeaderOf(response, "Content-Encoding");
    bool decoded = coding && *coding && g_ascii_strcasecmp(coding, "identity") != 0;
    return announced > 0 && !decoded && announced != length;
}

// Whether a coded body decoded to nothing while bytes of it travelled: its stream ended at once (a
// brotli stream of one empty last meta-block, an empty gzip member) and the network layer dropped
// whatever followed. Only an announced length tells that bytes travelled.
inline bool DecodedToNothing(WebKitURIResponse* response, std::uint64_t length)
{
    guint64 announced = response ? webkit_uri_response_get_content_length(response) : 0;
    const char* coding = HeaderOf(response, "Content-Encoding");
    bool coded = coding && *coding && g_ascii_strcasecmp(coding, "identity") != 0;
    return coded && length == 0 && announced > 0;
}

// Whether a gzip body was handed out undecoded: WebKit's network layer passes a stream through as
// it came when its first bytes do not decode, so a damaged stream would be kept as the resource.
inline bool IsUndecodedGzip(const char* coding, const guchar* bytes, std::uint64_t length)
{
    bool gzip
        = coding && (g_ascii_strcasecmp(coding, "gzip") == 0 || g_ascii_strcasecmp(coding, "x-gzip") == 0);
    return gzip && length >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
}

// Content-Disposition: attachment, whatever the letter case and blanks.
inline bool IsAttachment(WebKitURIResponse* response)
{
    const char* disposition = HeaderOf(response, "Content-Disposition");
    if (!disposition)
        return false;
    while (g_ascii_isspace(*disposition))
        ++disposition;
    return g_ascii_strncasecmp(disposition, "attachment", 10) == 0
        && (disposition[10] == '\0' || disposition[10] == ';' || g_ascii_isspace(disposition[10]));
}

// Why a navigation got no response, from the error WebKit reports.
inline NavigationFailure FailureOf(const GError* error)
{
    if (!error)
        return NavigationFailure::Other;
    if (error->domain == G_RESOLVER_ERROR)
        return NavigationFailure::HostNotFound;
    if (error->domain == G_TLS_ERROR)
        return NavigationFailure::TlsFailure;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED))
        return NavigationFailure::ConnectionRefused;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        return NavigationFailure::TimedOut;
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL)
        || g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI))
        return NavigationFailure::UnsupportedScheme;
    if (g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_USE_RESTRICTED_PORT))
        return NavigationFailure::BlockedPort;
    // WebKit passes some network errors on with its own domain; their messages still tell.
    std::string_view message = error->message ? error->message : "";
    if (message.find("resolve") != std::string_view::npos)
        return NavigationFailure::HostNotFound;
    if (message.find("refused") != std::string_view::npos)
        return NavigationFailure::ConnectionRefused;
    if (message.find("TLS") != std::string_view::npos
        || message.find("certificate") != std::string_view::npos)
        return NavigationFailure::TlsFailure;
    return NavigationFailure::Other;
}

// A request's headers, copied while the request is still there.
using HeaderList = std::vector<std::pair<std::string, std::string>>;
inline HeaderList HeadersOf(WebKitURIRequest* request)
{
    HeaderList list;
    SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
    if (!headers)
        return list;
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, headers);
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value))
        list.emplace_back(name, value);
    return list;
}

// Whether a request loads the page's or a frame's document, by the destination WebKit names in it
// (Sec-Fetch-Dest): a body's type cannot tell (an error answer to a picture is often HTML, an answer
// to fetch() or XHR may be HTML too); nullopt when the request does not say.
inline std::optional<bool> IsDocumentRequest(const HeaderList& headers)
{
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Sec-Fetch-Dest") == 0)
            return value == "document" || value == "iframe" || value == "frame";
    }
    return std::nullopt;
}

} // namespace pagestow::engine::webkit
