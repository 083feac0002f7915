// The bodies of the page's responses, into the engine cache: each read from the network domain once it
// has finished, documents at snapshot time. Nothing is paused for it. Only whole bodies of a storable
// status are kept, and none beyond the page's memory budget.

#include "base/Ascii.h"
#include "engine/CharacterSet.h"
#include "engine/Contract.h"
#include "engine/chromium/EngineImpl.h"
#include "engine/chromium/ExactBody.h"

#include <optional>

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;

    // How many bytes of bodies may be asked of the network domain at once: each arrives as one
    // message, which is held whole until it is stored.
    constexpr std::uint64_t kBodiesInFlight = kPageMemoryBudget / 4;

    bool IsCoded(const std::string& contentEncoding)
    {
        return !contentEncoding.empty() && !base::EqualsIgnoringAsciiCase(contentEncoding, "identity");
    }

    // The Content-Length of a response: the length of its body as it travelled.
    std::optional<std::uint64_t> AnnouncedLength(const Request& request)
    {
        const std::string& length = request.contentLength;
        if (length.empty() || length.size() >= 20
            || length.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        return std::stoull(length);
    }

    // The Content-Length of a response without a content coding, which is the length of its body.
    std::optional<std::uint64_t> DeclaredLength(const Request& request)
    {
        if (IsCoded(request.contentEncoding))
            return std::nullopt;
        return AnnouncedLength(request);
    }

    // Whether a body of size bytes is as long as its Content-Length says, for a body without a content
    // coding. A coded body that decodes to nothing while bytes of it travelled (by its Content-Length,
    // or else by the bytes beyond its headers) is damaged: its stream ended at once (a brotli stream
    // of one empty last meta-block, an empty gzip member), and the browser dropped what followed.
    bool WholeBody(const Request& request, std::uint64_t size)
    {
        if (IsCoded(request.contentEncoding) && size == 0) {
            if (std::optional<std::uint64_t> announced = AnnouncedLength(request))
                return *announced == 0;
            return request.encodedBytes <= request.headerBytes;
        }
        if (request.contentLength.empty() || IsCoded(request.contentEncoding))
            return true;
        return DeclaredLength(request) == size;
    }

    // A document's body as the network domain kept it, when it is whole: as long as the bytes the page
    // received, or as long as its Content-Length (the frame may stop loading before the last of its
    // received bytes is reported).
    std::optional<std::string> WholeDocument(const Request& request, const std::string& body, bool base64)
    {
        std::optional<std::string> bytes = ExactBody(body, base64, request.receivedBytes);
        if (bytes)
            return bytes;
        std::optional<std::uint64_t> declared = DeclaredLength(request);
        if (declared && *declared != request.receivedBytes)
            return ExactBody(body, base64, *declared);
        return std::nullopt;
    }

} // namespace

// Requests that may stay open as long as the page lives; a page is not kept from completing by them.
bool ChromiumEngine::Impl::IsLongLived(const std::string& type)
{
    return type == "EventSource" || type == "WebSocket" || type == "Media" || type == "Ping"
        || type == "CSPViolationReport" || type == "Preflight";
}

// Every response but a document's is read from the network domain once it has finished, which pauses
// nothing. Documents are read at snapshot time (a document that never ends must still show what has
// arrived), and requests that may stay open are not read at all.
bool ChromiumEngine::Impl::IsReadAfterLoading(const std::string& type)
{
    return type != "Document" && !IsLongLived(type);
}

// The network domain keeps the bodies it hands over in the browser's own process, as they were
// received (durable messages: the renderer's copies are decoded as text or dropped once an image
// fails to decode), in buffers as large as the page's memory budget.
json ChromiumEngine::Impl::NetworkBuffers()
{
    return { { "maxTotalBufferSize", kPageMemoryBudget }, { "maxResourceBufferSize", kPageMemoryBudget },
        { "enableDurableMessages", true } };
}

// A finished response that is whole and within the page's memory budget: its body is read from
// the network domain, without waiting for the answer before the next one is asked for. A body of
// another status (an error answer) is read only for the exchange log. True when it is read.
bool ChromiumEngine::Impl::QueueBodyRead(Load& current, const std::string& id, const Request& request)
{
    if (!IsStorableStatus(request.status) && !Recorded(current, id))
        return false;
    if (!WholeBody(request, request.receivedBytes) || request.receivedBytes > kPageMemoryBudget)
        return false;
    current.bodiesToRead.push_back(id);
    ++current.bodiesPending;
    ReadQueuedBodies(current);
    return true;
}

void ChromiumEngine::Impl::ReadQueuedBodies(Load& current)
{
    while (!current.bodiesToRead.empty()) {
        std::string id = current.bodiesToRead.front();
        const Request& request = current.requests.at(id);
        std::uint64_t size = request.receivedBytes;
        if (current.bodyBytesInFlight > 0 && current.bodyBytesInFlight + size > kBodiesInFlight)
            return;
        current.bodiesToRead.pop_front();
        current.bodyBytesInFlight += size;
        SendFor("Network.getResponseBody", { { "requestId", id } }, request.finishingSession,
            [this, id, size](Load& owner, const Reply& reply) { OnBodyRead(owner, id, size, reply); });
    }
}

void ChromiumEngine::Impl::OnBodyRead(
    Load& current, const std::string& id, std::uint64_t size, const Reply& reply)
{
    current.bodyBytesInFlight -= size;
    --current.bodiesPending;
    auto body = reply.result.find("body");
    if (!reply.error && body != reply.result.end() && body->is_string()) {
        const Request& request = current.requests.at(id);
        std::optional<std::string> bytes = ExactBody(
            body->get_ref<const std::string&>(), reply.result.value("base64Encoded", false), size);
        if (bytes && !IsStorableStatus(request.status)) {
            RecordLogBody(current, id, *bytes);
        } else if (bytes) {
            Cache().Store(request.chain, *bytes);
            RecordCachedBody(current, id, bytes->size());
        }
    }
    if (current.log) {
        RecordMissingBody(current, id);
        AddEndedExchanges(current, id);
    }
    current.lastActivity = Clock::now();
    ReadQueuedBodies(current);
}

// The network domain keeps a frame document's body in the session that finished loading it; should
// it have let the page's own document go, the page domain still has that, decoded.
void ChromiumEngine::Impl::ReadDocumentBody(Load& current, const std::string& id, const std::string& session)
{
    ++current.snapshotPending;
    SendFor("Network.getResponseBody", { { "requestId", id } }, session,
        [this, id, session](Load& owner, const Reply& reply) { OnDocumentBody(owner, id, session, reply); });
}

void ChromiumEngine::Impl::OnDocumentBody(
    Load& current, const std::string& id, const std::string& session, const Reply& reply)
{
    const Request& request = current.requests.at(id);
    auto body = reply.result.find("body");
    if (!reply.error && body != reply.result.end() && body->is_string()) {
        std::optional<std::string> bytes = WholeDocument(
            request, body->get_ref<const std::string&>(), reply.result.value("base64Encoded", false));
        if (bytes) {
            --current.snapshotPending;
            current.documentBodies.push_back({ id, request.chain, std::move(*bytes), false });
            return;
        }
    }
    // A body the network domain let go, or holds short: the page domain's copy of the document.
    SendFor("Page.getResourceContent", { { "frameId", request.frameId }, { "url", request.chain.back() } },
        session, [id, addresses = request.chain](Load& again, const Reply& content) {
            --again.snapshotPending;
            if (content.error)
                return;
            std::string text = content.result.value("content", std::string());
            if (!content.result.value("base64Encoded", false)) {
                again.documentBodies.push_back({ id, addresses, std::move(text), true });
            } else if (std::optional<std::string> bytes = DecodeBase64(text)) {
                again.documentBodies.push_back({ id, addresses, std::move(*bytes), false });
            }
        });
}

void ChromiumEngine::Impl::StoreDocumentBodies(Load& current)
{
    for (const auto& body : current.documentBodies) {
        if (!body.decoded) {
            Cache().Store(body.addresses, body.bytes);
            RecordCachedBody(current, body.requestId, body.bytes.size());
            continue;
        }
        // The page domain hands a document's text over decoded; it is written back in the document's
        // own character set.
        std::string characterSet;
        for (const auto& [path, entry] : current.dumps)
            if (characterSet.empty() && !entry.dump.characterSet.empty()
                && WithoutFragment(entry.dump.url) == body.addresses.back())
                characterSet = entry.dump.characterSet;
        std::string bytes = EncodeInCharacterSet(body.bytes, characterSet);
        Cache().Store(body.addresses, bytes);
        RecordCachedBody(current, body.requestId, bytes.size());
    }
    current.documentBodies.clear();
}

// An error answer's document, for the exchange log only: its body as the network domain kept it, when
// that is whole.
void ChromiumEngine::Impl::ReadLoggedDocumentBody(
    Load& current, const std::string& id, const std::string& session)
{
    ++current.snapshotPending;
    SendFor(
        "Network.getResponseBody", { { "requestId", id } }, session, [id](Load& owner, const Reply& reply) {
            --owner.snapshotPending;
            const Request& request = owner.requests.at(id);
            auto body = reply.result.find("body");
            std::optional<std::string> bytes;
            if (!reply.error && body != reply.result.end() && body->is_string())
                bytes = WholeDocument(
                    request, body->get_ref<const std::string&>(), reply.result.value("base64Encoded", false));
            if (bytes)
                RecordLogBody(owner, id, *bytes);
            else
                RecordMissingBody(owner, id);
        });
}

} // namespace pagestow::engine::chromium
