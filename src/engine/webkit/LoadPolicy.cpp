#include "engine/webkit/EngineImpl.h"

#include "engine/webkit/WebKitMessages.h"

namespace pagestow::engine::webkit {

gboolean WebKitEngine::Impl::OnDecidePolicy(
    WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
{
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        // A server's redirect to a local file is not followed (WebKit ends the page's web process
        // over it): the frame that asked for it stays blank, the page loads on.
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
        if (webkit_navigation_action_is_redirect(action) && uri
            && g_ascii_strncasecmp(uri, "file:", 5) == 0) {
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
        return FALSE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        return FALSE;
    auto* self = static_cast<Impl*>(data);
    auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(responseDecision);
    if (webkit_response_policy_decision_is_main_frame_main_resource(responseDecision)) {
        // The page's answer, kept for a load whose body has not begun at the time-out.
        g_clear_object(&self->m_mainResponse);
        self->m_mainResponse = WEBKIT_URI_RESPONSE(g_object_ref(response));
    }
    // A response WebKit would download (an attachment, a type it cannot show) is not taken, in the
    // main frame and in every frame.
    if (!IsAttachment(response) && webkit_response_policy_decision_is_mime_type_supported(responseDecision))
        return FALSE;
    if (webkit_response_policy_decision_is_main_frame_main_resource(responseDecision)) {
        self->m_ignoredResponse = true;
        g_clear_object(&self->m_mainResponse);
    } else {
        // The frame keeps an empty document at that address, which is no page of the server's.
        self->m_unanswered.insert(webkit_uri_response_get_uri(response));
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

gboolean WebKitEngine::Impl::OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    if (self->m_dialogsShown)
        return FALSE;
    // Answered as a headless browser answers: the alert is dismissed, confirm is false, prompt is
    // empty, and the page may be left.
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
        break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        webkit_script_dialog_prompt_set_text(dialog, "");
        break;
    default:
        break;
    }
    return TRUE;
}

std::string WebKitEngine::Impl::CurrentUri() const
{
    const char* uri = webkit_web_view_get_uri(m_view);
    return uri ? uri : "";
}

WebKitURIResponse* WebKitEngine::Impl::MainResponse() const
{
    return StatusOf(m_mainResponse) != 0 ? m_mainResponse : nullptr;
}

void WebKitEngine::Impl::BeginLoad(std::string address, bool pageStarted)
{
    TrackLoad(std::move(address), pageStarted);
    RestartNavigation();
    m_startedUri.clear();
    m_everCommitted = false;
    m_cancelledUnanswered.clear();
    m_unanswered.clear();
    m_retried = false;
    m_frames.clear();
    // Every resource of the new page is loaded and reported, none taken from an earlier page.
    webkit_web_context_clear_cache(m_context);
}

// The load's own bookkeeping: its serial, its time-out, its memory watch and its progress. What
// the view reports of the navigation itself is reset apart (RestartNavigation).
void WebKitEngine::Impl::TrackLoad(std::string address, bool pageStarted)
{
    ++m_loadSerial;
    m_state = LoadState::Loading;
    m_startedWhileDumping = false;
    m_memoryWatch.Begin();
    m_address = std::move(address);
    m_pageStarted = pageStarted;
    m_timedOut = false;
    m_failureDetail.clear();
    m_owner.SetLastFailure(NavigationFailure::None);
    m_progress = {};
    m_log = m_owner.Exchanges();
    m_recorded.clear();
    m_toDeliver.reset();
    ResetScroll();
    RemoveSource(m_quietSource);
    RemoveSource(m_deliverSource);
    RemoveSource(m_timeoutSource);
    if (m_timeout.count() > 0) {
        m_timeoutSource = AddTimeout(
            m_timeout,
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Impl*>(data);
                self->m_timeoutSource = 0;
                self->OnTimeout();
                return G_SOURCE_REMOVE;
            },
            this);
    }
}

// The view (re)starts a navigation: what an earlier one reported no longer counts.
void WebKitEngine::Impl::RestartNavigation()
{
    m_startedUri = CurrentUri();
    m_committed = false;
    m_finished = false;
    m_failed = false;
    m_ignoredResponse = false;
    g_clear_object(&m_mainResponse);
    m_failure = NavigationFailure::None;
}

// A load the page started while its document was being read (a refresh, a script) is taken on once
// that document is delivered, with what the view has reported of it meanwhile.
void WebKitEngine::Impl::AdoptStartedLoad()
{
    std::string address = m_startedUri.empty() ? CurrentUri() : m_startedUri;
    TrackLoad(std::move(address), true);
    CheckComplete();
}

void WebKitEngine::Impl::OnTimeout()
{
    if (m_state != LoadState::Loading && m_state != LoadState::Quiet)
        return;
    // What has arrived by now is the page. A document that has begun is read as it stands; an
    // answer whose body has not begun is an empty document at its address; only a load that got no
    // answer at all shows the error page.
    if (m_committed && !EndedWithoutResponse()) {
        m_timedOut = true;
        TakeSnapshot();
        return;
    }
    WebKitURIResponse* response = m_failed ? nullptr : MainResponse();
    if (response) {
        webkit_web_view_stop_loading(m_view);
        Deliver(BegunDocument(webkit_uri_response_get_uri(response)));
        return;
    }
    if (m_failure == NavigationFailure::None)
        m_failure = NavigationFailure::TimedOut;
    DeliverErrorPage();
    webkit_web_view_stop_loading(m_view);
}

void WebKitEngine::Impl::Poke()
{
    if (m_state == LoadState::Quiet) {
        RemoveSource(m_quietSource);
        m_state = LoadState::Loading;
    }
    CheckComplete();
}

bool WebKitEngine::Impl::EndedWithoutResponse() const
{
    // A blocked port ends the load quietly on the blank page instead of failing it.
    return m_failed || (CurrentUri() == kBlankPage && m_address != kBlankPage);
}

void WebKitEngine::Impl::CheckComplete()
{
    if (m_state != LoadState::Loading || !m_finished || m_scroll.pending)
        return;
    if (!EndedWithoutResponse()) {
        if (m_pendingResources > 0)
            return;
        for (const auto& [id, loaded] : m_frames) {
            if (!loaded)
                return;
        }
    }
    // Every outcome waits for a short quiet period: a load that Navigate replaced can still report
    // its end, and the new load's start then follows at once.
    m_state = LoadState::Quiet;
    m_quietSource = AddTimeout(
        QuietPeriod(),
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            self->m_quietSource = 0;
            if (self->m_state != LoadState::Quiet)
                return G_SOURCE_REMOVE;
            if (self->m_ignoredResponse && self->m_pageStarted) {
                // A link or script of the page led to a download, which is not taken: the page
                // shown stays, and nothing new completes.
                self->m_state = LoadState::Done;
                RemoveSource(self->m_timeoutSource);
            } else if (self->EndedWithoutResponse()) {
                self->DeliverErrorPage();
            } else if (!self->ScrollOnceQuiet()) {
                self->TakeSnapshot();
            }
            return G_SOURCE_REMOVE;
        },
        this);
}

void WebKitEngine::Impl::OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    switch (event) {
    case WEBKIT_LOAD_STARTED:
        if (self->m_state == LoadState::Loading || self->m_state == LoadState::Quiet) {
            // The load of the current navigation (re)starts.
            RemoveSource(self->m_quietSource);
            self->m_state = LoadState::Loading;
            self->RestartNavigation();
        } else if (self->m_state == LoadState::Dumping) {
            // The page moves on (a refresh, a script) while its document is read: the document
            // being read is delivered first, and this load is taken on after it.
            self->RestartNavigation();
            self->m_startedWhileDumping = true;
        } else {
            // A load the page or the user started by itself (a link, a script, a refresh) is a
            // load like any other.
            self->BeginLoad(self->CurrentUri(), true);
            self->m_startedUri = self->CurrentUri();
        }
        break;
    case WEBKIT_LOAD_COMMITTED:
        // Only the frames of the new document count from here on.
        self->m_committed = true;
        self->m_everCommitted = true;
        self->m_frames.clear();
        break;
    case WEBKIT_LOAD_FINISHED:
        if (!self->m_failed && self->CurrentUri() == kBlankPage && self->m_address != kBlankPage
            && (self->m_startedUri.empty() || self->m_startedUri == kBlankPage)) {
            // The end of a blank page that Navigate replaced before WebKit began it; the new
            // load has yet to start (on a busy machine, well after this).
            break;
        }
        self->m_finished = true;
        if (!self->m_failed && self->CurrentUri() == kBlankPage && self->m_address != kBlankPage)
            self->m_failure = NavigationFailure::BlockedPort;
        self->Poke();
        break;
    default:
        break;
    }
}

gboolean WebKitEngine::Impl::OnLoadFailed(
    WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    // A load replaced by the next one is no failure of the page.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
        return FALSE;
    if (self->m_ignoredResponse && self->m_everCommitted) {
        // The page's script or refresh led to a download while the page was loading: the page
        // stays, and goes on to complete as itself.
        self->m_committed = true;
        return TRUE;
    }
    self->m_failed = true;
    if (self->m_failure != NavigationFailure::TlsFailure) {
        self->m_failure = self->m_ignoredResponse ? NavigationFailure::Other : FailureOf(error);
        self->m_failureDetail = self->m_ignoredResponse ? "the address answers with a download"
            : error && error->message                   ? error->message
                                                        : "";
    }
    // TRUE keeps WebKit's own error page away; the engine's built-in one is raised at FINISHED.
    return TRUE;
}

gboolean WebKitEngine::Impl::OnLoadFailedWithTlsErrors(
    WebKitWebView*, gchar*, GTlsCertificate*, GTlsCertificateFlags, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    self->m_failure = NavigationFailure::TlsFailure;
    self->m_failureDetail = "the server's certificate is not trusted";
    return FALSE;
}

gboolean WebKitEngine::Impl::OnUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    if (g_strcmp0(webkit_user_message_get_name(message), kFrameEventMessage) != 0)
        return FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(st)")))
        return TRUE;
    const char* event = nullptr;
    guint64 frameId = 0;
    g_variant_get(parameters, "(&st)", &event, &frameId);
    if (g_strcmp0(event, kFrameStarted) == 0)
        self->m_frames[frameId] = false;
    else if (g_strcmp0(event, kFrameLoaded) == 0)
        self->m_frames[frameId] = true;
    else if (g_strcmp0(event, kFrameGone) == 0)
        self->m_frames.erase(frameId);
    self->Poke();
    return TRUE;
}

void WebKitEngine::Impl::OnWebProcessTerminated(
    WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    self->m_frames.clear();
    bool loading = self->m_state == LoadState::Loading || self->m_state == LoadState::Quiet;
    const bool tooLarge = self->m_memoryWatch.Exceeded();
    if (loading && !tooLarge && !self->m_retried && !self->m_cancelledUnanswered.empty()) {
        // WebKit ends the web process over some loads it cancels before any answer (a frame the
        // server redirects to a local file). The page is loaded once more in a new web process that
        // does not request those addresses.
        self->m_blocked.insert(self->m_cancelledUnanswered.begin(), self->m_cancelledUnanswered.end());
        std::string address = self->m_address;
        bool pageStarted = self->m_pageStarted;
        self->BeginLoad(address, pageStarted);
        self->m_retried = true;
        webkit_web_view_load_uri(self->m_view, address.c_str());
        return;
    }
    if (loading || self->m_state == LoadState::Dumping) {
        self->m_failure = NavigationFailure::Other;
        self->m_failureDetail = tooLarge ? MemoryExceededText() : "the page's web process ended";
        self->DeliverErrorPage();
    }
}

void WebKitEngine::Impl::CheckMemory()
{
    const bool busy
        = m_state == LoadState::Loading || m_state == LoadState::Quiet || m_state == LoadState::Dumping;
    if (!busy || !m_memoryWatch.Exceeded())
        return;
    webkit_web_view_stop_loading(m_view);
    m_failure = NavigationFailure::Other;
    m_failureDetail = MemoryExceededText();
    DeliverErrorPage();
}

} // namespace pagestow::engine::webkit
