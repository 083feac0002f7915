// Scrolling the loaded page through before it is taken, as a person reading it to its end would:
// pictures with loading="lazy" and those a script swaps in as they come into view load then. Every
// frame is scrolled one viewport further by the scroll step script (src/engine/ScrollStep.js, the
// WebKit engine's too) in an isolated world of our own, each step once the page is quiet again, until
// every frame shows its end, kScrollScreenLimit screens or kScrollTimeLimit; then back to the top and
// one more quiet period.

#include "engine/Contract.h"
#include "engine/ScrollStepScript.h"
#include "engine/chromium/EngineImpl.h"

namespace pagestow::engine::chromium {

using json = nlohmann::json;

// Whether the settled page is to be scrolled further before it is taken.
bool ChromiumEngine::Impl::Scrolling(const Load& current) const
{
    return current.scroll.wanted && !current.scroll.finished;
}

// The quiet period before the next decision: the page's own before the first step and after the
// last, a shorter one between steps.
std::chrono::milliseconds ChromiumEngine::Impl::QuietPeriodOf(const Load& current) const
{
    const ScrollState& scroll = current.scroll;
    return scroll.began && !scroll.finished ? kScrollQuietPeriod : options.quietPeriod;
}

// 1. The page is quiet: the next step down, or back to the top once the end or a bound is reached.
void ChromiumEngine::Impl::ScrollStep(Load& current)
{
    ScrollState& scroll = current.scroll;
    auto now = Clock::now();
    if (!scroll.began) {
        scroll.began = true;
        scroll.beganAt = now;
    }
    int next = scroll.step + 1;
    if (scroll.step > 0
        && (scroll.allAtEnd || scroll.step >= kScrollScreenLimit
            || now - scroll.beganAt >= kScrollTimeLimit)) {
        if (!scroll.allAtEnd)
            current.progress.scrollBound = scroll.step >= kScrollScreenLimit
                ? LoadProgress::ScrollBound::Screens
                : LoadProgress::ScrollBound::Time;
        next = 0;
    }
    scroll.sending = next;
    scroll.allAtEnd = true;
    scroll.moved = false;
    for (const auto& [session, frames] : current.sessionFrames) {
        auto found = current.sessions.find(session);
        if (found == current.sessions.end() || !found->second.IsFrame())
            continue;
        for (const std::string& frameId : frames)
            ScrollFrame(current, session, frameId, next);
    }
    if (scroll.pending == 0)
        scroll.finished = true;
}

// 2. One frame's step, in the isolated world of ours that the frame keeps until it navigates.
void ChromiumEngine::Impl::ScrollFrame(
    Load& current, const std::string& session, const std::string& frameId, int step)
{
    ++current.scroll.pending;
    // The answer waits for the frame to be drawn after the step (or 250 ms, for a frame that is not
    // drawn): what an IntersectionObserver saw at this place is then asked for before the quiet
    // period starts, however slowly the machine draws.
    std::string expression = "new Promise(function (done) { var answer = " + std::string(kScrollStepScript)
        + "(" + std::to_string(step)
        + "); requestAnimationFrame(function () { requestAnimationFrame(function () { done(answer); }); });"
          " setTimeout(function () { done(answer); }, 250); })";
    auto evaluate = [this, session, frameId, expression](int contextId) {
        SendFor("Runtime.evaluate",
            { { "expression", expression }, { "contextId", contextId }, { "returnByValue", true },
                { "awaitPromise", true } },
            session,
            [this, frameId](Load& evaluated, const Reply& reply) { OnScrolled(evaluated, frameId, reply); });
    };
    auto world = current.scroll.worlds.find(frameId);
    if (world != current.scroll.worlds.end())
        return evaluate(world->second);
    SendFor("Page.createIsolatedWorld", { { "frameId", frameId }, { "worldName", "pagestow" } }, session,
        [this, frameId, evaluate](Load& owner, const Reply& made) {
            int contextId = made.result.value("executionContextId", 0);
            if (made.error || contextId == 0)
                return OnScrolled(owner, frameId, made);
            owner.scroll.worlds[frameId] = contextId;
            evaluate(contextId);
        });
}

// 3. A frame's answer. Once every frame has answered, a step that scrolled anything waits for the page
// to be quiet again; one that found nothing to scroll takes the page at once.
void ChromiumEngine::Impl::OnScrolled(Load& current, const std::string& frameId, const Reply& reply)
{
    ScrollState& scroll = current.scroll;
    std::string answer = reply.result.value("result", json::object()).value("value", std::string());
    // A frame that navigated has lost the world; it is made anew at the next step.
    if (reply.error)
        scroll.worlds.erase(frameId);
    if (answer == "more")
        scroll.allAtEnd = false;
    if (answer == "more" || answer == "end")
        scroll.moved = true;
    if (--scroll.pending > 0)
        return;
    scroll.step = scroll.sending;
    if (scroll.step == 0 || (scroll.step == 1 && !scroll.moved)) {
        scroll.finished = true;
        if (!scroll.scrolled)
            return;
    } else {
        scroll.scrolled = true;
        current.progress.screens = scroll.step;
    }
    current.lastActivity = Clock::now();
}

} // namespace pagestow::engine::chromium
