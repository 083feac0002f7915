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

} // namespace pagestow::engine::static_engine
