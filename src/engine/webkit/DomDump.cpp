#include "engine/webkit/EngineImpl.h"

#include "engine/webkit/WebKitMessages.h"

namespace pagestow::engine::webkit {

void WebKitEngine::Impl::TakeSnapshot()
{
    m_state = LoadState::Dumping;
    RemoveSource(m_quietSource);
    struct Request {
        std::weak_ptr<Impl*> engine;
        std::uint64_t loadSerial;
    };
    auto* request = new Request { m_self, m_loadSerial };
    webkit_web_view_send_message_to_page(
        m_view, webkit_user_message_new(kDumpMessage, nullptr), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> pending(static_cast<Request*>(data));
            base::GObjectPtr<WebKitUserMessage> reply(
                webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, nullptr));
            std::vector<FrameDump> dumps;
            if (reply) {
                GVariant* parameters = webkit_user_message_get_parameters(reply.get());
                if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("as"))) {
                    GVariantIter iter;
                    g_variant_iter_init(&iter, parameters);
                    const char* text = nullptr;
                    while (g_variant_iter_next(&iter, "&s", &text)) {
                        if (auto dump = ParseFrameDump(text))
                            dumps.push_back(std::move(*dump));
                    }
                }
            }
            Impl* self = Alive(pending->engine);
            if (self && self->m_loadSerial == pending->loadSerial && self->m_state == LoadState::Dumping)
                self->OnDumpReply(std::move(dumps));
        },
        request);
}

void WebKitEngine::Impl::OnDumpReply(std::vector<FrameDump> dumps)
{
    std::set<std::string> failed = m_unanswered;
    failed.insert(m_blocked.begin(), m_blocked.end());
    std::shared_ptr<SnapshotDocument> top = AssembleSnapshot(dumps, failed);
    if (m_timedOut && (!top || top->elements.empty())) {
        // A document cut by the time-out before WebKit parsed any of it (its decoder holds up to a
        // kilobyte while it looks for the character set).
        top = BegunDocument(top ? top->url : CurrentUri());
    } else if (!top) {
        // A document the extension never saw (the blank page before any script touched it) is an
        // empty document at the view's address.
        top = std::make_shared<SnapshotDocument>();
        top->url = CurrentUri();
        top->characterSet = "UTF-8";
    }
    Deliver(std::move(top));
}

void WebKitEngine::Impl::DeliverErrorPage()
{
    m_owner.SetLastFailure(
        m_failure == NavigationFailure::None ? NavigationFailure::Other : m_failure, m_failureDetail);
    Deliver(MakeErrorPage(m_address));
}

void WebKitEngine::Impl::Deliver(std::shared_ptr<SnapshotDocument> top)
{
    // The completions are raised from a main-loop source of their own, never from inside a WebKit
    // signal, because the capture they start pumps the main loop.
    m_state = LoadState::Done;
    m_memoryWatch.End();
    RemoveSource(m_timeoutSource);
    RemoveSource(m_quietSource);
    // Everything of the page is in the log before its completions are raised.
    AddRemainingExchanges(top.get());
    m_toDeliver = std::move(top);
    RemoveSource(m_deliverSource);
    m_deliverSource = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            self->m_deliverSource = 0;
            std::shared_ptr<SnapshotDocument> page = std::move(self->m_toDeliver);
            std::weak_ptr<Impl*> engine = self->m_self;
            if (page)
                self->m_owner.CompleteWithSnapshot(std::move(page));
            // The owner may have gone, or navigated elsewhere, while it took the page.
            self = Alive(engine);
            if (self && self->m_startedWhileDumping && self->m_state == LoadState::Done)
                self->AdoptStartedLoad();
            return G_SOURCE_REMOVE;
        },
        this);
}

} // namespace pagestow::engine::webkit
