#pragma once

#include "archive/Exchange.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"
#include "engine/chromium/FrameDump.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pagestow::engine::chromium {

using Clock = std::chrono::steady_clock;

inline std::string WithoutFragment(const std::string& url)
{
    return url.substr(0, url.find('#'));
}

// A debugging session the load has attached: the tab, a frame in a process of its own, a worker.
struct Session {
    std::string targetId;
    std::string type;
    bool IsFrame() const { return type == "page" || type == "iframe"; }
};

struct Request {
    // The requested address and every address it was redirected to.
    std::vector<std::string> chain;
    std::string type;
    std::string frameId;
    int status = 0;
    // Whether the page waits for it.
    bool awaited = false;
    bool finished = false;
    bool failed = false;
    std::string finishingSession;
    std::string firstSession;
    // Content-Length and Content-Encoding of the final response.
    std::string contentLength;
    std::string contentEncoding;
    // When it started, among the load's requests.
    int order = 0;
    // The bytes of its body as the page received them (content codings removed).
    std::uint64_t receivedBytes = 0;
    // The bytes that travelled for the final response: its headers, and all of it once it finished.
    std::uint64_t headerBytes = 0;
    std::uint64_t encodedBytes = 0;
    bool Done() const { return finished || failed; }
};

// One frame's document as read at snapshot time, with the frame it was read in.
struct DumpedFrame {
    FrameDump dump;
    std::string frameId;
};

// A document's body as the browser handed it over: its bytes, or (from the page domain) its text,
// decoded.
struct DocumentBody {
    std::string requestId;
    std::vector<std::string> addresses;
    std::string bytes;
    bool decoded = false;
};

// What the exchange log is to get of one request (ExchangeRecord.cpp): one exchange per hop of its
// redirect chain, the headers its ExtraInfo events gave, and what became of the final body.
struct RecordedRequest {
    struct Hop {
        archive::Exchange exchange;
        bool responded = false;
        // The browser sends ExtraInfo events (the headers as sent and as received) for this hop.
        bool extraInfo = false;
    };
    std::vector<Hop> hops;
    // The ExtraInfo events in arrival order, which may come before or after the hop's own events:
    // the n-th of each kind belongs to the n-th hop.
    std::vector<std::vector<archive::HeaderField>> sentHeaders;
    std::vector<std::vector<archive::HeaderField>> receivedHeaders;
    // How many hops are in the log already.
    std::size_t added = 0;
    // The final body: still to come, a reference to the engine cache, bytes for the log, or none to
    // be had (cut, failed, too large, not read).
    enum class Body { Awaited, Cached, Logged, Missing } body = Body::Awaited;
    std::uint64_t cachedSize = 0;
    std::unique_ptr<archive::ExchangeLog::BodyWriter> writer;
};

enum class Phase { Starting, Loading, Snapshot, Done };

// Scrolling the loaded page through before it is taken (ScrollLoad.cpp): one step at a time in every
// frame, each once the page is quiet again, then back to the top.
struct ScrollState {
    // This load scrolls (the engine's ScrollLoading() when it began).
    bool wanted = false;
    bool began = false;
    Clock::time_point beganAt;
    // The last step every frame has answered; the step under way while answers are pending.
    int step = 0;
    int sending = 0;
    int pending = 0;
    // What the answers to the step under way said: every frame at its end, some frame scrolled.
    bool allAtEnd = true;
    bool moved = false;
    bool scrolled = false;
    // Back at the top: the page is taken after one more quiet period.
    bool finished = false;
    // The isolated world of ours in each frame, by frame id.
    std::map<std::string, int> worlds;
};

// Everything one navigation has learnt, from its browser context to its snapshot.
struct Load {
    int generation = 0;
    std::string url;
    Phase phase = Phase::Starting;
    Clock::time_point deadline;
    Clock::time_point lastActivity;
    std::string contextId;
    std::string targetId;
    // The tab is the browser's start tab, closed at the end (it has no context of the load's own).
    bool startTab = false;
    // The tab is the last page's, and the storage of these origins is cleared before the navigation.
    bool reusedTab = false;
    std::set<std::string> clearOrigins;
    std::string mainSession;
    bool navigated = false;
    bool loadEventFired = false;
    std::set<std::string> loadingFrames;
    std::map<std::string, Request> requests;
    std::map<std::string, Session> sessions;
    int setupsPending = 0;
    int bodiesPending = 0;
    // Finished requests whose body is still to be read from the network domain, and the bytes
    // of those asked for whose answer has not come.
    std::deque<std::string> bodiesToRead;
    std::uint64_t bodyBytesInFlight = 0;
    LoadProgress progress;
    ScrollState scroll;
    // Where this load records its HTTP exchanges (null: nowhere, and nothing of it is kept), and
    // the requests being recorded, by id.
    archive::ExchangeLog* log = nullptr;
    std::map<std::string, RecordedRequest> recorded;

    Clock::time_point snapshotDeadline;
    int snapshotPending = 0;
    // The frames each session shows itself (its own and same-process ones), by their ids.
    std::map<std::string, std::set<std::string>> sessionFrames;
    // Every frame's document by its place from the top.
    std::map<std::vector<int>, DumpedFrame> dumps;
    std::vector<DocumentBody> documentBodies;
};

// How a load ended: its snapshot, or the address and reason of the error page.
struct LoadOutcome {
    std::shared_ptr<SnapshotDocument> snapshot;
    std::string errorAddress;
    NavigationFailure failure = NavigationFailure::None;
    std::string failureDetail;
};

} // namespace pagestow::engine::chromium
