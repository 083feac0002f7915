#include "banner/BannerThread.h"

#include <system_error>
#include <utility>

namespace pagestow::banner {

struct BannerFetcher::Shared {
    Banner& banner;
    ProgressWindow& window;
    std::function<void(FetchOutcome)> finished;
    bool running = false;
};

namespace {

    // The progress window as the banner thread sees it: each call goes to the real window on the
    // user-interface thread. Gauge positions that repeat are not posted again.
    template <typename SharedState> class PostedProgressWindow final : public ProgressWindow {
    public:
        PostedProgressWindow(const PostToUiThread& post, std::weak_ptr<SharedState> shared)
            : m_post(post)
            , m_shared(std::move(shared))
        {
        }

        void Show() override
        {
            m_position = 0;
            Forward([](ProgressWindow& window) { window.Show(); });
        }
        void SetPosition(int percent) override
        {
            if (percent == m_position)
                return;
            m_position = percent;
            Forward([percent](ProgressWindow& window) { window.SetPosition(percent); });
        }
        void Close() override
        {
            Forward([](ProgressWindow& window) { window.Close(); });
        }

    private:
        template <typename Call> void Forward(Call call)
        {
            m_post([shared = m_shared, call] {
                if (auto alive = shared.lock())
                    call(alive->window);
            });
        }

        const PostToUiThread& m_post;
        std::weak_ptr<SharedState> m_shared;
        int m_position = 0;
    };

} // namespace

std::string BannerServiceAddress(std::string_view host)
{
    return "http://" + std::string(host) + std::string(kBannerServicePath);
}

FetchResult BannerThreadProc(const BannerService& service, ProgressWindow* window, std::stop_token stop)
{
    // 1. Only a reachable network is worth a fetch.
    if (!CheckConnection(service.connectivityAddress, stop))
        return { stop.stop_requested() ? FetchOutcome::Stopped : FetchOutcome::NoConnection, std::nullopt };
    // 2. Download the banner service's answer.
    std::vector<std::uint8_t> stream;
    bool downloaded = DownloadWithProgress(service.bannerAddress, stream, window, {}, stop);
    if (stop.stop_requested())
        return { FetchOutcome::Stopped, std::nullopt };
    if (!downloaded)
        return { FetchOutcome::DownloadFailed, std::nullopt };
    if (stream.empty())
        return { FetchOutcome::EmptyDownload, std::nullopt };
    // 3. Make it ready for the banner; showing it is the user-interface thread's part.
    BannerUpdate update;
    switch (PrepareBanner(stream, update)) {
    case BannerLoad::Loaded:
        return { FetchOutcome::Loaded, std::move(update) };
    case BannerLoad::RecordMalformed:
        return { FetchOutcome::RecordMalformed, std::nullopt };
    case BannerLoad::PictureUndecodable:
        return { FetchOutcome::PictureUndecodable, std::nullopt };
    }
    return { FetchOutcome::Failed, std::nullopt };
}

std::jthread StartThread(std::function<void(std::stop_token)> body)
{
    return std::jthread(std::move(body));
}

BannerFetcher::BannerFetcher(
    Banner& banner, ProgressWindow& window, PostToUiThread post, BannerService service, ThreadStarter starter)
    : m_shared(std::make_shared<Shared>(Shared { banner, window, {}, false }))
    , m_post(std::move(post))
    , m_service(std::move(service))
    , m_starter(std::move(starter))
{
}

BannerFetcher::~BannerFetcher()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

BannerFetcher::StartResult BannerFetcher::Start()
{
    if (m_shared->running)
        return StartResult::AlreadyRunning;
    // The previous fetch has posted its result, its last act; its thread is ending or has ended.
    if (m_thread.joinable())
        m_thread.join();
    auto body = [post = m_post, service = m_service, weak = std::weak_ptr(m_shared)](std::stop_token stop) {
        auto result = std::make_shared<FetchResult>();
        try {
            PostedProgressWindow<Shared> window(post, weak);
            *result = BannerThreadProc(service, &window, stop);
        } catch (...) {
            // Nothing may leave the thread; the banner stays as it was.
            *result = FetchResult { FetchOutcome::Failed, std::nullopt };
        }
        try {
            post([weak, result] {
                auto shared = weak.lock();
                if (!shared)
                    return;
                shared->running = false;
                if (result->update)
                    shared->banner.Apply(std::move(*result->update));
                if (shared->finished)
                    shared->finished(result->outcome);
            });
        } catch (...) {
        }
    };
    try {
        m_thread = m_starter(std::move(body));
    } catch (const std::system_error&) {
        return StartResult::ThreadError;
    }
    m_shared->running = true;
    return StartResult::Started;
}

bool BannerFetcher::Running() const
{
    return m_shared->running;
}

void BannerFetcher::OnFinished(std::function<void(FetchOutcome)> observer)
{
    m_shared->finished = std::move(observer);
}

std::optional<std::string> Button4Click(BannerFetcher& fetcher)
{
    if (fetcher.Start() == BannerFetcher::StartResult::ThreadError)
        return std::string(kThreadErrorText);
    return std::nullopt;
}

} // namespace pagestow::banner
