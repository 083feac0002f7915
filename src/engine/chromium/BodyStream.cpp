// The large bodies of the page's subresources taken as streams: each piece goes into the body's engine
// cache entry as it arrives, so that no such body is ever held whole in this process, and the body is
// recorded once its request has finished with every byte the page received in the entry.
//
// Each response waits in the browser until the engine has looked at its headers (the fetch domain,
// at the response stage). A body that may be a megabyte or more is then asked for as a stream
// (Network.streamResourceContent), and only once the browser has answered does the response go on:
// from then on each Network.dataReceived carries its own piece. Asked for without the wait, the
// stream comes too late: the command's answer carries what arrived before it only for bodies the
// renderer keeps a copy of itself, and of an image, a stylesheet or a script it keeps none (asked for
// when the request started, the stream of a 32 MiB image missed its first 0.5 to 1 MiB in 3 of 5 runs
// on a busy machine). A stream that misses a byte all the same is given up, and the body is read from
// the network domain once it has finished, as every other body is.

#include "base/Ascii.h"
#include "engine/Contract.h"
#include "engine/chromium/EngineImpl.h"

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;

    // Bodies from this size on are streamed.
    constexpr std::uint64_t kStreamedBodyBytes = 1u << 20;

    // A header of the fetch domain's list ({name, value} pairs) by its name in any letter case.
    std::string PausedHeader(const json& headers, std::string_view name)
    {
        if (!headers.is_array())
            return {};
        for (const auto& header : headers)
            if (header.is_object()
                && base::EqualsIgnoringAsciiCase(header.value("name", std::string()), name))
                return header.value("value", std::string());
        return {};
    }

    // Whether a response's body may be a megabyte or more once its content coding is removed: only a
    // Content-Length below that without a content coding says it is not.
    bool MayBeLarge(const json& headers)
    {
        std::string encoding = PausedHeader(headers, "Content-Encoding");
        if (!encoding.empty() && !base::EqualsIgnoringAsciiCase(encoding, "identity"))
            return true;
        std::string length = PausedHeader(headers, "Content-Length");
        if (length.empty() || length.size() >= 20
            || length.find_first_not_of("0123456789") != std::string::npos)
            return true;
        return std::stoull(length) >= kStreamedBodyBytes;
    }

    // Appends the bytes of one base64 piece that the page received as length bytes; false when they
    // are not that many, or cannot be written, or pass the page's memory budget (such a body is not
    // kept however it arrives).
    bool Append(BodyStream& stream, const json* piece, std::uint64_t length)
    {
        if (length == 0)
            return true;
        if (!piece || !piece->is_string() || stream.entry->Size() + length > kPageMemoryBudget)
            return false;
        std::optional<std::string> bytes = DecodeBase64(piece->get_ref<const std::string&>());
        return bytes && bytes->size() == length && stream.entry->Write(*bytes);
    }

    // A stream that missed a byte holds nothing more: its file goes at once.
    void GiveUp(BodyStream& stream)
    {
        stream.whole = false;
        stream.entry.reset();
    }

    const json* Member(const json& object, const char* name)
    {
        auto found = object.find(name);
        return found == object.end() ? nullptr : &*found;
    }

} // namespace

// Every response of a frame session waits at its headers for the engine.
ChromiumEngine::Impl::json ChromiumEngine::Impl::ResponsePauses()
{
    return { { "patterns", json::array({ { { "urlPattern", "*" }, { "requestStage", "Response" } } }) } };
}

// A response at its headers: a body that may be large, of a request whose body is kept, is streamed;
// every other response goes on at once.
void ChromiumEngine::Impl::OnResponsePaused(Load& current, const json& params, const std::string& session)
{
    std::string pausedId = params.value("requestId", std::string());
    std::string id = params.value("networkId", std::string());
    bool streamed = !id.empty() && !current.streams.contains(id)
        && IsReadAfterLoading(params.value("resourceType", std::string()))
        && IsStorableStatus(params.value("responseStatusCode", 0))
        && MayBeLarge(params.value("responseHeaders", json::array()));
    if (streamed)
        return StartBodyStream(current, id, pausedId, session);
    SendFor("Fetch.continueRequest", { { "requestId", pausedId } }, session);
}

void ChromiumEngine::Impl::StartBodyStream(
    Load& current, const std::string& id, const std::string& pausedId, const std::string& session)
{
    BodyStream& stream = current.streams[id];
    stream.entry = Cache().BeginEntry();
    SendFor("Network.streamResourceContent", { { "requestId", id } }, session,
        [this, id, pausedId, session](Load& owner, const Reply& reply) {
            OnBodyStreamStarted(owner, id, reply);
            SendFor("Fetch.continueRequest", { { "requestId", pausedId } }, session);
        });
}

void ChromiumEngine::Impl::OnBodyStreamStarted(Load& current, const std::string& id, const Reply& reply)
{
    auto found = current.streams.find(id);
    if (found == current.streams.end())
        return;
    BodyStream& stream = found->second;
    auto request = current.requests.find(id);
    std::uint64_t received = request == current.requests.end() ? 0 : request->second.receivedBytes;
    stream.answered = true;
    // Every byte received before the answer must be among its buffered bytes.
    if (reply.error || !Append(stream, Member(reply.result, "bufferedData"), received))
        GiveUp(stream);
}

void ChromiumEngine::Impl::OnBodyPiece(Load& current, const std::string& id, const json& params)
{
    auto found = current.streams.find(id);
    if (found == current.streams.end() || !found->second.answered || !found->second.whole)
        return;
    std::uint64_t length = std::uint64_t(std::max(0.0, params.value("dataLength", 0.0)));
    if (!Append(found->second, Member(params, "data"), length))
        GiveUp(found->second);
}

// A finished body that passed every check of the response store: recorded from its stream when the
// stream took it whole. False when the body is to be read from the network domain.
bool ChromiumEngine::Impl::TakeStreamedBody(Load& current, const std::string& id, const Request& request)
{
    auto found = current.streams.find(id);
    if (found == current.streams.end())
        return false;
    BodyStream& stream = found->second;
    bool taken = stream.answered && stream.whole && stream.entry->Size() == request.receivedBytes;
    if (taken)
        stream.entry->Commit(request.chain);
    current.streams.erase(found);
    return taken;
}

} // namespace pagestow::engine::chromium
