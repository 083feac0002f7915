// The reading of the finished page: every frame's document, read by a script of our own in each
// frame, put together into one snapshot from the top, and the bytes of the documents.

#include "engine/CharacterSet.h"
#include "engine/Contract.h"
#include "engine/chromium/EngineImpl.h"
#include "url/Address.h"

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;

    // What a frame's document is: its own address's, one it inherited, or a failed load's.
    DocumentOrigin OriginOf(const std::string& url, bool loadedFromIt)
    {
        if (url.starts_with("chrome-error:"))
            return DocumentOrigin::Failed;
        if (url::IsHttpScheme(url::SchemeOf(url)) && loadedFromIt)
            return DocumentOrigin::Loaded;
        return DocumentOrigin::Inherited;
    }

    // The session that holds a document request's body: the one that saw it finish, else the frame's
    // own session, else the one that saw it start.
    std::string DocumentSession(const Load& current, const Request& request)
    {
        if (current.sessions.contains(request.finishingSession))
            return request.finishingSession;
        for (const auto& [session, info] : current.sessions)
            if (info.targetId == request.frameId)
                return session;
        return current.sessions.contains(request.firstSession) ? request.firstSession : std::string();
    }

    // The latest document request of a frame, null when it made none.
    const Request* FrameDocumentRequest(const Load& current, const std::string& frameId)
    {
        const Request* latest = nullptr;
        for (const auto& [id, request] : current.requests)
            if (request.type == "Document" && request.frameId == frameId && !request.chain.empty()
                && (!latest || request.order > latest->order))
                latest = &request;
        return latest;
    }

} // namespace

void ChromiumEngine::Impl::BeginSnapshot(Load& current)
{
    current.phase = Phase::Snapshot;
    current.snapshotDeadline = Clock::now() + options.snapshotTimeout;
    ReadCookieStore(current);
    for (const auto& [session, frames] : current.sessionFrames) {
        auto found = current.sessions.find(session);
        if (found == current.sessions.end() || !found->second.IsFrame())
            continue;
        for (const std::string& frameId : frames)
            DumpFrame(current, session, frameId);
    }
    for (const auto& [id, request] : current.requests) {
        if (request.type != "Document" || !request.finished)
            continue;
        // An error answer's body is no resource of the page; only the exchange log reads it.
        bool storable = IsStorableStatus(request.status);
        if (!storable && !Recorded(current, id))
            continue;
        std::string session = DocumentSession(current, request);
        if (session.empty())
            continue;
        if (storable)
            ReadDocumentBody(current, id, session);
        else
            ReadLoggedDocumentBody(current, id, session);
    }
}

// Reads one frame's document in an isolated world of our own: the page's script can neither see nor
// change what the dump script reads.
void ChromiumEngine::Impl::DumpFrame(Load& current, const std::string& session, const std::string& frameId)
{
    ++current.snapshotPending;
    SendFor("Page.createIsolatedWorld", { { "frameId", frameId }, { "worldName", "pagestow" } }, session,
        [this, session, frameId](
            Load& owner, const Reply& world) { OnIsolatedWorld(owner, session, frameId, world); });
}

void ChromiumEngine::Impl::OnIsolatedWorld(
    Load& current, const std::string& session, const std::string& frameId, const Reply& world)
{
    int contextId = world.result.value("executionContextId", 0);
    if (world.error || contextId == 0) {
        --current.snapshotPending;
        return;
    }
    SendFor("Runtime.evaluate",
        { { "expression", FrameDumpExpression() }, { "contextId", contextId }, { "returnByValue", true } },
        session,
        [frameId](Load& evaluated, const Reply& reply) { OnFrameDumped(evaluated, frameId, reply); });
}

void ChromiumEngine::Impl::OnFrameDumped(Load& current, const std::string& frameId, const Reply& reply)
{
    --current.snapshotPending;
    const json& value = reply.result.value("result", json::object());
    auto text = value.find("value");
    if (text == value.end() || !text->is_string())
        return;
    std::optional<FrameDump> dump = ReadFrameDump(text->get_ref<const std::string&>());
    if (!dump || dump->path.size() > std::size_t(kFrameDepthLimit))
        return;
    std::vector<int> path = dump->path;
    current.dumps.try_emplace(std::move(path), DumpedFrame { std::move(*dump), frameId });
}

// The document at path and, below it, the documents of its frames. A frame document that came from no
// address of its own is resolved against its parent's address; one deeper than the frame depth limit,
// or one the snapshot did not reach, leaves its frame unreachable.
std::shared_ptr<SnapshotDocument> ChromiumEngine::Impl::BuildDocument(
    Load& current, const std::vector<int>& path, const std::string& parentUrl)
{
    auto found = current.dumps.find(path);
    if (found == current.dumps.end() || path.size() > std::size_t(kFrameDepthLimit))
        return nullptr;
    FrameDump& dump = found->second.dump;
    auto document = std::make_shared<SnapshotDocument>();
    document->url = dump.url;
    if (!path.empty()) {
        const Request* request = FrameDocumentRequest(current, found->second.frameId);
        bool loadedFromIt = request && request->status > 0
            && WithoutFragment(request->chain.back()) == WithoutFragment(dump.url);
        document->origin = OriginOf(dump.url, loadedFromIt);
        if (document->origin == DocumentOrigin::Inherited)
            document->url = parentUrl;
        else if (document->origin == DocumentOrigin::Failed)
            document->url = request ? request->chain.back() : std::string();
    }
    document->characterSet = dump.characterSet.empty() || !CanEncodeCharacterSet(dump.characterSet)
        ? "UTF-8"
        : dump.characterSet;
    document->serialization = EncodeInCharacterSet(dump.html, document->characterSet);
    dump.html = {};
    document->elements = std::move(dump.elements);
    document->body = FindBodyElement(*document);
    std::vector<int> frames = std::move(dump.frames);
    for (int index : frames) {
        SnapshotFrame entry;
        if (index >= 0) {
            std::vector<int> childPath = path;
            childPath.push_back(index);
            entry.document = BuildDocument(current, childPath, document->url);
        }
        document->frames.push_back(std::move(entry));
    }
    return document;
}

void ChromiumEngine::Impl::Assemble(Load& current)
{
    StoreDocumentBodies(current);
    AddRemainingExchanges(current);
    auto top = current.dumps.find(std::vector<int>());
    if (top == current.dumps.end())
        return FinishWithError(current);
    const Request* request = FrameDocumentRequest(current, current.targetId);
    if (top->second.dump.url.starts_with("chrome-error:"))
        return FinishWithError(current);
    // A document whose response came but which the tab had not yet shown at the time-out: the page as
    // it arrived, which is an empty one.
    if (top->second.dump.url == "about:blank" && request && request->status > 0) {
        FrameDump& dump = top->second.dump;
        dump.url = request->chain.back();
        dump.html = std::string(kBlankDocumentMarkup);
        dump.elements = BlankDocumentElements();
        dump.frames.clear();
    }
    auto document = BuildDocument(current, {}, {});
    current.dumps.clear();
    if (!document)
        return FinishWithError(current);
    completion = LoadOutcome { std::move(document), {} };
    EndLoad(current);
}

} // namespace pagestow::engine::chromium
