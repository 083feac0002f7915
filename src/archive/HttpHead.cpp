// The HTTP/1.1 rendering of an exchange, as WARC request and response blocks hold it. The engines'
// header lines come from servers and pages: whatever they hold, the head written is well formed.

#include "archive/HttpHead.h"

#include "base/Ascii.h"

namespace pagestow::archive {
namespace {

    bool IsTokenChar(unsigned char c)
    {
        if (c >= '0' && c <= '9')
            return true;
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
            return true;
        return std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
    }

    void AppendField(std::string& head, std::string_view name, std::string_view value)
    {
        head.append(name);
        head.append(": ");
        for (char c : value)
            head += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
        head.append("\r\n");
    }

    // The headers as they stand, names that are no token dropped.
    void AppendHeaders(std::string& head, const std::vector<HeaderField>& headers)
    {
        for (const auto& [name, value] : headers)
            if (IsHttpToken(name))
                AppendField(head, name, value);
    }

    std::string_view ProtocolOf(const Exchange& exchange)
    {
        // The block is an HTTP/1.1 rendering whatever the wire spoke; HTTP/1.0 is kept as it was.
        return exchange.protocol == "HTTP/1.0" ? "HTTP/1.0" : "HTTP/1.1";
    }

} // namespace

bool IsHttpToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!IsTokenChar(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string OneLineValue(std::string_view value)
{
    std::string out(value);
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return out;
}

std::string RequestTarget(std::string_view url)
{
    std::size_t start = 0;
    std::size_t scheme = url.find("://");
    if (scheme != std::string_view::npos) {
        start = url.find_first_of("/?#", scheme + 3);
        if (start == std::string_view::npos)
            start = url.size();
    }
    std::string_view rest = url.substr(start);
    rest = rest.substr(0, rest.find('#'));
    std::string target = rest.starts_with('/') ? "" : "/";
    for (unsigned char c : rest) {
        if (c <= 0x20 || c >= 0x7F) {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            target += '%';
            target += kDigits[c >> 4];
            target += kDigits[c & 15];
        } else {
            target += char(c);
        }
    }
    return target;
}

std::optional<std::string> RequestHead(const Exchange& exchange)
{
    std::string_view method
        = exchange.method.empty() ? std::string_view("GET") : std::string_view(exchange.method);
    if (!IsHttpToken(method))
        return std::nullopt;
    std::string head;
    head.append(method).append(" ").append(RequestTarget(exchange.url)).append(" ");
    head.append(ProtocolOf(exchange)).append("\r\n");
    AppendHeaders(head, exchange.requestHeaders);
    head.append("\r\n");
    return head;
}

std::optional<std::string> ResponseHead(const Exchange& exchange, std::optional<std::uint64_t> bodySize)
{
    if (exchange.status < 100 || exchange.status > 999)
        return std::nullopt;
    std::string head;
    head.append(ProtocolOf(exchange)).append(" ").append(std::to_string(exchange.status));
    std::string reason;
    for (char c : exchange.reason)
        reason += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    head.append(" ").append(reason).append("\r\n");

    // A decoded body no longer has the content coding its headers name; a body from the wire has
    // lost its chunking to curl either way. Content-Length then says what the block holds.
    bool sawLength = false;
    bool lengthMatches = true;
    bool droppedTransfer = false;
    std::string length = bodySize ? std::to_string(*bodySize) : std::string();
    for (const auto& [name, value] : exchange.responseHeaders) {
        if (base::EqualsIgnoringAsciiCase(name, "Content-Length")) {
            sawLength = true;
            lengthMatches = lengthMatches && value == length;
        }
        droppedTransfer = droppedTransfer || base::EqualsIgnoringAsciiCase(name, "Transfer-Encoding");
    }
    // Without a body (a HEAD request, a 304, a body that is missing) the length stays as the server
    // said it.
    bool setLength = bodySize && (exchange.decodedBody || droppedTransfer || !sawLength || !lengthMatches);
    std::string originals;
    for (const auto& [name, value] : exchange.responseHeaders) {
        if (!IsHttpToken(name))
            continue;
        bool moved = base::EqualsIgnoringAsciiCase(name, "Transfer-Encoding")
            || (exchange.decodedBody && base::EqualsIgnoringAsciiCase(name, "Content-Encoding"))
            || (setLength && base::EqualsIgnoringAsciiCase(name, "Content-Length"));
        if (moved)
            AppendField(originals, "X-Archive-Orig-" + name, value);
        else
            AppendField(head, name, value);
    }
    if (setLength)
        AppendField(head, "Content-Length", length);
    head.append(originals);
    head.append("\r\n");
    return head;
}

} // namespace pagestow::archive
