#include "engine/static/FetchPolicy.h"

#include "url/Address.h"

#include <algorithm>

namespace pagestow::engine::static_engine {
namespace {

    // Every request of a page asks for the origin of the same document: the last answer is kept.
    std::string DocumentOrigin(std::string_view document)
    {
        thread_local std::string lastDocument;
        thread_local std::string lastOrigin;
        thread_local bool known = false;
        if (known && document == lastDocument)
            return lastOrigin;
        lastOrigin = url::OriginOf(document);
        lastDocument.assign(document);
        known = true;
        return lastOrigin;
    }

} // namespace

std::optional<std::string> ReferrerFor(std::string_view document, std::string_view target)
{
    if (!url::IsHttpScheme(url::SchemeOf(document)))
        return std::nullopt;
    if (url::SchemeOf(document) == "https" && url::SchemeOf(target) == "http")
        return std::nullopt;
    std::string origin = DocumentOrigin(document);
    if (origin.empty())
        return std::nullopt;
    if (origin == url::OriginOf(target)) {
        std::string full(document.substr(0, document.find('#')));
        return full;
    }
    return origin + "/";
}

bool IsBlockedPort(int port)
{
    static constexpr int kBlocked[] = { 1, 7, 9, 11, 13, 15, 17, 19, 20, 21, 22, 23, 25, 37, 42, 43, 53, 69,
        77, 79, 87, 95, 101, 102, 103, 104, 109, 110, 111, 113, 115, 117, 119, 123, 135, 137, 139, 143, 161,
        179, 389, 427, 465, 512, 513, 514, 515, 526, 530, 531, 532, 540, 548, 554, 556, 563, 587, 601, 636,
        989, 990, 993, 995, 1719, 1720, 1723, 2049, 3659, 4045, 4190, 5060, 5061, 6000, 6566, 6665, 6666,
        6667, 6668, 6669, 6679, 6697, 10080 };
    return std::find(std::begin(kBlocked), std::end(kBlocked), port) != std::end(kBlocked);
}

} // namespace pagestow::engine::static_engine
