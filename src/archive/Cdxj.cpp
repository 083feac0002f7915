// The CDXJ index of a WACZ package.
//
// ReplayWeb.page's service worker (wabac.js, as bundled in replaywebpage 2.4.6's sw.js) and warcio.js
// (2.4.11, getSurt in src/lib/utils.ts) compute the key the same way:
//   1. An address that does not start with "http:" or "https:" is its own key.
//   2. One leading "www" followed by digits and a dot is dropped from the host ("www2.example.com"),
//      matched before anything is lowered, so "WWW." stays.
//   3. The whole address is lowered, path and query included, and read with the WHATWG URL parser.
//   4. The host name's dot-separated parts in reverse order joined by "," ("1,0,0,127" for an IPv4
//      address, which is reversed like any name; "[::1]" stays whole), then ":" + the port when it
//      is not the scheme's default, then ")", then the path.
//   5. A non-empty query: "?" and its "&"-separated parts sorted as strings (UTF-16 code units,
//      which for the ASCII of a canonical address is byte order). The fragment is dropped.
//   6. An address the parser rejects is its own key (after step 2, before step 3).
// With a plain index.cdxj the worker loads every line and keys resources by the JSON "url"; the
// SURT key matters for the sorted order and for a package whose index is a ZipNum (index.idx).
// Here the canonical form of our address module stands in for the WHATWG parser: both give the host
// in ASCII, drop the default port, remove dot segments and percent-encode blanks and non-ASCII bytes.

#include "archive/Cdxj.h"

#include "base/Ascii.h"
#include "url/Address.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

namespace pagestow::archive {
namespace {

    std::vector<std::string_view> Split(std::string_view text, char separator)
    {
        std::vector<std::string_view> parts;
        for (;;) {
            std::size_t at = text.find(separator);
            parts.push_back(text.substr(0, at));
            if (at == std::string_view::npos)
                return parts;
            text.remove_prefix(at + 1);
        }
    }

    std::string DropWww(std::string_view url)
    {
        std::size_t schemeEnd = url.starts_with("https://") ? 8 : url.starts_with("http://") ? 7 : 0;
        if (schemeEnd == 0 || url.substr(schemeEnd, 3) != "www")
            return std::string(url);
        std::size_t at = schemeEnd + 3;
        while (at < url.size() && url[at] >= '0' && url[at] <= '9')
            ++at;
        if (at < url.size() && url[at] == '.')
            return std::string(url.substr(0, schemeEnd)) + std::string(url.substr(at + 1));
        return std::string(url);
    }

    std::string MimeOf(std::string_view contentType)
    {
        contentType = contentType.substr(0, contentType.find(';'));
        while (!contentType.empty() && contentType.front() == ' ')
            contentType.remove_prefix(1);
        while (!contentType.empty() && contentType.back() == ' ')
            contentType.remove_suffix(1);
        return std::string(contentType);
    }

} // namespace

std::string SurtKey(std::string_view url)
{
    if (!url.starts_with("https:") && !url.starts_with("http:"))
        return std::string(url);
    std::string stripped = DropWww(url);
    auto address = url::Address::Parse(base::LowerAscii(stripped));
    if (!address || address->Host().empty())
        return stripped;
    std::vector<std::string_view> hostParts = Split(address->Host(), '.');
    std::string key;
    for (auto part = hostParts.rbegin(); part != hostParts.rend(); ++part) {
        if (!key.empty())
            key += ',';
        key.append(*part);
    }
    if (!address->Port().empty())
        key.append(":").append(address->Port());
    key += ')';
    std::string_view rest = std::string_view(address->Text()).substr(address->PathStart());
    rest = rest.substr(0, rest.find('#'));
    std::size_t question = rest.find('?');
    std::string_view path = rest.substr(0, question);
    key.append(path.empty() ? "/" : path);
    if (question != std::string_view::npos && question + 1 < rest.size()) {
        std::vector<std::string_view> args = Split(rest.substr(question + 1), '&');
        std::sort(args.begin(), args.end());
        key += '?';
        for (std::size_t i = 0; i < args.size(); ++i)
            key.append(i ? "&" : "").append(args[i]);
    }
    // The canonical form writes escapes in upper case; the worker lowered them with the rest.
    return base::LowerAscii(key);
}

std::optional<std::string> CdxjLine(const WarcRecord& record, std::string_view filename)
{
    std::string_view type = record.Field("WARC-Type");
    std::string_view url = record.Field("WARC-Target-URI");
    if ((type != "response" && type != "revisit" && type != "resource") || url.empty())
        return std::nullopt;
    std::string timestamp;
    for (char c : record.Field("WARC-Date"))
        if (c >= '0' && c <= '9' && timestamp.size() < 14)
            timestamp += c;
    nlohmann::ordered_json json;
    json["url"] = url;
    HttpHead head;
    if (type != "resource")
        head = ParseHttpHead(record.block);
    std::string mime;
    if (type == "revisit")
        mime = "warc/revisit";
    else if (type == "resource")
        mime = MimeOf(record.Field("Content-Type"));
    else
        mime = MimeOf(HeaderValue(head.headers, "Content-Type"));
    // As warcio leaves them out, a response without a Content-Type has no mime.
    if (!mime.empty())
        json["mime"] = mime;
    if (head.status)
        json["status"] = std::to_string(head.status);
    if (std::string_view digest = record.Field("WARC-Payload-Digest"); !digest.empty())
        json["digest"] = digest;
    // As warcio writes them, the numbers are strings.
    json["length"] = std::to_string(record.length);
    json["offset"] = std::to_string(record.offset);
    json["filename"] = filename;
    if (type != "response")
        json["recordType"] = type;
    // A key is one word on its line, whatever address another writer's record names.
    std::string key;
    for (char c : SurtKey(url)) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            key.append({ '%', kDigits[static_cast<unsigned char>(c) >> 4], kDigits[c & 15] });
        } else {
            key += c;
        }
    }
    return key + " " + timestamp + " " + json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace pagestow::archive
