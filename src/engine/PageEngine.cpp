#include "engine/PageEngine.h"

#include "engine/EngineCache.h"

#include <cctype>

namespace pagestow::engine {

namespace {

    // Raises the completions of the frames below document: each frame's own frames before it, in
    // index order. A frame that cannot be reached completes nothing.
    template <class Raise> void CompleteFrames(const SnapshotDocument& document, const Raise& raise)
    {
        for (const SnapshotFrame& frame : document.frames) {
            if (!frame.document)
                continue;
            CompleteFrames(*frame.document, raise);
            raise(*frame.document);
        }
    }

} // namespace

SnapshotEngine::SnapshotEngine(EngineCache* cache)
    : m_ownCache(cache ? nullptr : EngineCache::OpenForRun())
    , m_cache(cache ? cache : m_ownCache.get())
{
}

SnapshotEngine::~SnapshotEngine() = default;

void SnapshotEngine::CompleteWithSnapshot(std::shared_ptr<const SnapshotDocument> top)
{
    m_document = std::move(top);
    if (!m_document)
        return;
    // The handler may navigate again and so replace m_document; the snapshot stays alive meanwhile.
    std::shared_ptr<const SnapshotDocument> page = m_document;
    CompleteFrames(
        *page, [this](const SnapshotDocument& frame) { RaiseDocumentComplete(frame, Completion::Frame); });
    RaiseDocumentComplete(*page, Completion::TopLevel);
}

void SnapshotEngine::CompleteWithErrorPage(const std::string& address)
{
    CompleteWithSnapshot(MakeErrorPage(address));
}

std::shared_ptr<SnapshotDocument> MakeErrorPage(std::string_view address)
{
    auto page = std::make_shared<SnapshotDocument>();
    page->url = std::string(address);
    page->origin = DocumentOrigin::Failed;
    page->characterSet = "UTF-8";
    page->serialization = "<!DOCTYPE html><html><head><title>Page not found</title></head>"
                          "<body><p>The address could not be reached.</p></body></html>";
    page->elements = {
        { "html", {}, -1 },
        { "head", {}, 0 },
        { "title", {}, 1 },
        { "body", {}, 0 },
        { "p", {}, 3 },
    };
    page->body = 3;
    return page;
}

std::string WithDefaultScheme(std::string_view address)
{
    // A scheme is letters, digits, "+", "-" or "." after a leading letter, followed by ":". A text
    // such as "localhost:8080/x" or "127.0.0.1:81" has a port there instead, so digits right after
    // the ":" mean no scheme.
    size_t colon = address.find(':');
    bool hasScheme = colon != std::string_view::npos && colon > 0 && std::isalpha((unsigned char)address[0]);
    for (size_t i = 0; hasScheme && i < colon; ++i) {
        unsigned char c = (unsigned char)address[i];
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            hasScheme = false;
    }
    if (hasScheme) {
        std::string_view rest = address.substr(colon + 1);
        bool portFollows = !rest.empty() && std::isdigit((unsigned char)rest[0]);
        bool hostLike = address.substr(0, colon).find('.') != std::string_view::npos;
        if (portFollows || (hostLike && rest.substr(0, 2) != "//"))
            hasScheme = false;
    }
    if (hasScheme)
        return std::string(address);
    return "http://" + std::string(address);
}

std::string_view DescribeNavigationFailure(NavigationFailure failure)
{
    switch (failure) {
    case NavigationFailure::None:
        return "";
    case NavigationFailure::HostNotFound:
        return "host not found";
    case NavigationFailure::ConnectionRefused:
        return "connection refused";
    case NavigationFailure::TimedOut:
        return "timed out";
    case NavigationFailure::TlsFailure:
        return "TLS failure";
    case NavigationFailure::UnsupportedScheme:
        return "unsupported scheme";
    case NavigationFailure::BlockedPort:
        return "port blocked by the browser";
    case NavigationFailure::Other:
        break;
    }
    return "no response";
}

} // namespace pagestow::engine
