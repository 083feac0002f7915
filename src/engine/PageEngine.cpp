#include "engine/PageEngine.h"

#include <cctype>

namespace pagestow::engine {

SnapshotEngine::SnapshotEngine()
    : m_application(std::make_shared<FixedBrowser>())
{
}

void SnapshotEngine::CompleteWithSnapshot(std::shared_ptr<const SnapshotDocument> top)
{
    SnapshotView view(std::move(top));
    m_application->SetDocument(view.TopDocument());
    for (const auto& frame : view.FrameCompletions())
        RaiseDocumentComplete(frame.browser, frame.url);
    auto document = As<HtmlDocument>(view.TopDocument());
    RaiseDocumentComplete(m_application, document ? document->Url() : std::string());
}

void SnapshotEngine::CompleteWithErrorPage(const std::string& address) { CompleteWithSnapshot(MakeErrorPage(address)); }

std::shared_ptr<SnapshotDocument> MakeErrorPage(std::string_view address)
{
    auto page = std::make_shared<SnapshotDocument>();
    page->url = std::string(kErrorPagePrefix) + std::string(address);
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
