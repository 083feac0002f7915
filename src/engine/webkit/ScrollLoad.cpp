// Scrolling the loaded page through before it is taken, as a person reading it to its end would:
// pictures with loading="lazy" and those a script swaps in as they come into view load then. The
// web-process extension runs the scroll step script (src/engine/ScrollStep.js, the Chromium engine's
// too) in every frame of the page, each step once the page is quiet again, until every frame shows
// its end, kScrollScreenLimit screens or kScrollTimeLimit; then back to the top and one more quiet
// period.

#include "engine/Contract.h"
#include "engine/webkit/EngineImpl.h"
#include "engine/webkit/WebKitMessages.h"

namespace pagestow::engine::webkit {
namespace {

    // How long a step's answer may take: a dialog shown in the window holds the page's script until
    // the user answers it, and the page is then taken as it is.
    constexpr std::chrono::milliseconds kScrollAnswerTimeout { 5000 };

} // namespace

bool WebKitEngine::Impl::Scrolling() const
{
    return m_owner.ScrollLoading() && !m_scroll.finished;
}

// The page's own quiet period before the first step and after the last, a shorter one between steps.
std::chrono::milliseconds WebKitEngine::Impl::QuietPeriod() const
{
    return m_scroll.began && !m_scroll.finished ? kScrollQuietPeriod : m_quiet;
}

void WebKitEngine::Impl::ResetScroll()
{
    RemoveSource(m_scroll.guardSource);
    m_scroll = {};
}

// 1. The page has been quiet: a picture a step started is waited for, then the next step down, or back
// to the top once the end or a bound is reached.
bool WebKitEngine::Impl::ScrollOnceQuiet()
{
    if (m_scroll.began && m_pendingResources > 0) {
        m_state = LoadState::Loading;
        return true;
    }
    if (!Scrolling())
        return false;
    auto now = std::chrono::steady_clock::now();
    if (!m_scroll.began) {
        m_scroll.began = true;
        m_scroll.beganAt = now;
    }
    int next = m_scroll.step + 1;
    if (m_scroll.step > 0
        && (m_scroll.allAtEnd || m_scroll.step >= kScrollScreenLimit
            || now - m_scroll.beganAt >= kScrollTimeLimit)) {
        if (!m_scroll.allAtEnd)
            m_progress.scrollBound = m_scroll.step >= kScrollScreenLimit ? LoadProgress::ScrollBound::Screens
                                                                         : LoadProgress::ScrollBound::Time;
        next = 0;
    }
    SendScrollStep(next);
    return true;
}

// 2. Every frame of the page takes the step in the extension.
void WebKitEngine::Impl::SendScrollStep(int step)
{
    m_state = LoadState::Loading;
    m_scroll.pending = true;
    struct Request {
        std::weak_ptr<Impl*> engine;
        std::uint64_t loadSerial;
        int step;
    };
    auto* request = new Request { m_self, m_loadSerial, step };
    webkit_web_view_send_message_to_page(
        m_view, webkit_user_message_new(kScrollMessage, g_variant_new("u", guint32(step))), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> pending(static_cast<Request*>(data));
            base::GObjectPtr<WebKitUserMessage> reply(
                webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, nullptr));
            std::string answer;
            GVariant* parameters = reply ? webkit_user_message_get_parameters(reply.get()) : nullptr;
            if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING))
                answer = g_variant_get_string(parameters, nullptr);
            Impl* self = Alive(pending->engine);
            if (self && self->m_loadSerial == pending->loadSerial && self->m_scroll.pending)
                self->OnScrollAnswer(pending->step, answer);
        },
        request);
    RemoveSource(m_scroll.guardSource);
    m_scroll.guardSource = AddTimeout(
        kScrollAnswerTimeout,
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            self->m_scroll.guardSource = 0;
            self->m_scroll.pending = false;
            self->m_scroll.finished = true;
            self->CheckComplete();
            return G_SOURCE_REMOVE;
        },
        this);
}

// 3. The answer. A step that scrolled anything waits for the page to be quiet again; a page with
// nothing to scroll is taken at once.
void WebKitEngine::Impl::OnScrollAnswer(int step, const std::string& answer)
{
    RemoveSource(m_scroll.guardSource);
    m_scroll.pending = false;
    m_scroll.step = step;
    if (step == 0 || (step == 1 && answer != "more" && answer != "end")) {
        m_scroll.finished = true;
        if (!m_scroll.scrolled && m_state == LoadState::Loading && m_finished && m_pendingResources == 0) {
            TakeSnapshot();
            return;
        }
    } else {
        m_scroll.scrolled = true;
        m_scroll.allAtEnd = answer != "more";
        m_progress.screens = step;
    }
    CheckComplete();
}

} // namespace pagestow::engine::webkit
