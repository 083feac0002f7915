#include "RecordingDisplay.h"
#include "TestPictures.h"

#include "banner/BannerThread.h"

#include "LiveServer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <system_error>

namespace pagestow::banner {
namespace {

    using namespace testing;
    using pagestow::testing::RefusedPort;

    const std::string kDefaultHint = "  广告位招商\r\nQQ:0123456789";

    // The user-interface thread's queue: the banner thread posts, the test thread runs what arrives.
    class UiQueue {
    public:
        PostToUiThread Poster()
        {
            return [this](std::function<void()> task) {
                std::lock_guard lock(m_mutex);
                m_tasks.push_back(std::move(task));
                m_arrived.notify_one();
            };
        }
        // Waits for the next posted task and runs it here.
        void RunNext()
        {
            std::function<void()> task;
            {
                std::unique_lock lock(m_mutex);
                m_arrived.wait(lock, [this] { return !m_tasks.empty(); });
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }

    private:
        std::mutex m_mutex;
        std::condition_variable m_arrived;
        std::deque<std::function<void()>> m_tasks;
    };

    // A banner, its display and progress window, a fetcher on the UI queue, and the banner server.
    struct FetchRig {
        RecordingDisplay display;
        RecordingProgressWindow window;
        Banner banner { display };
        UiQueue queue;
        LiveServer server;
        std::optional<FetchOutcome> outcome;

        FetchRig() { banner.LoadBanner(DefaultBannerRecord()); }

        BannerService Service() const { return { server.Url("/"), server.Url("/gg/test.asp") }; }

        // Runs posted tasks until the fetch's result has reached the banner.
        FetchOutcome Finish(BannerFetcher& fetcher)
        {
            outcome.reset();
            fetcher.OnFinished([this](FetchOutcome finished) { outcome = finished; });
            while (!outcome)
                queue.RunNext();
            return *outcome;
        }
    };

    TEST(BannerFetcher, FetchedRecordReachesTheBannerOnTheUiThread)
    {
        FetchRig setup;
        setup.server.Serve("/", "home");
        Bytes record
            = MakeRecord("fetched", "http://ads.example/", "2", MakeGif(30, 12, { PatternFrame(30, 12) }));
        setup.server.Serve("/gg/test.asp", ToString(record), "application/octet-stream");
        BannerFetcher fetcher(setup.banner, setup.window, setup.queue.Poster(), setup.Service());

        EXPECT_EQ(Button4Click(fetcher), std::nullopt);
        EXPECT_TRUE(fetcher.Running());
        EXPECT_EQ(setup.Finish(fetcher), FetchOutcome::Loaded);
        EXPECT_FALSE(fetcher.Running());

        EXPECT_EQ(setup.banner.Hint(), "fetched");
        EXPECT_EQ(setup.banner.Link(), "http://ads.example/");
        EXPECT_EQ(setup.banner.ImageKind(), 2);
        std::vector<std::string> calls = setup.display.Calls();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.end()),
            (std::vector<std::string> { "hint fetched", "link http://ads.example/", "picture 30x12" }));
        EXPECT_EQ(setup.window.Events(), (std::vector<std::string> { "show", "100", "close" }));
        for (std::thread::id thread : setup.display.Threads())
            EXPECT_EQ(thread, std::this_thread::get_id());
        for (std::thread::id thread : setup.window.Threads())
            EXPECT_EQ(thread, std::this_thread::get_id());
    }

    TEST(BannerFetcher, SecondFetchWhileOneRunsIsRefused)
    {
        FetchRig setup;
        setup.server.Serve("/", "home");
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        Bytes record = MakeRecord("fetched", "", "3", {});
        setup.server.Handle(
            "/gg/test.asp", [released, record](const httplib::Request&, httplib::Response& response) {
                released.wait();
                response.set_content(ToString(record), "application/octet-stream");
            });
        BannerFetcher fetcher(setup.banner, setup.window, setup.queue.Poster(), setup.Service());

        EXPECT_EQ(fetcher.Start(), BannerFetcher::StartResult::Started);
        EXPECT_EQ(fetcher.Start(), BannerFetcher::StartResult::AlreadyRunning);
        EXPECT_EQ(Button4Click(fetcher), std::nullopt);
        release.set_value();
        EXPECT_EQ(setup.Finish(fetcher), FetchOutcome::Loaded);
        // The refused starts made no requests of their own: one transfer and one length query.
        EXPECT_EQ(setup.server.RequestCount("/gg/test.asp"), 2);

        EXPECT_EQ(fetcher.Start(), BannerFetcher::StartResult::Started);
        EXPECT_EQ(setup.Finish(fetcher), FetchOutcome::Loaded);
        EXPECT_EQ(setup.server.RequestCount("/gg/test.asp"), 4);
    }

    TEST(BannerFetcher, FailedFetchesLeaveTheBannerAsItWas)
    {
        struct Case {
            const char* name;
            bool reachable;
            std::optional<Bytes> answer; // nothing: the banner service refuses connections
            FetchOutcome outcome;
        };
        const Case cases[] = {
            { "no connection", false, Bytes {}, FetchOutcome::NoConnection },
            { "service cannot be opened", true, std::nullopt, FetchOutcome::DownloadFailed },
            { "empty answer", true, Bytes {}, FetchOutcome::EmptyDownload },
            { "no record", true, ToBytes("<html>not found</html>"), FetchOutcome::RecordMalformed },
            { "truncated record", true,
                Bytes(DefaultBannerRecord().begin(), DefaultBannerRecord().end() - 100),
                FetchOutcome::RecordMalformed },
            { "picture that does not decode", true, MakeRecord("h", "l", "1", ToBytes("garbage")),
                FetchOutcome::PictureUndecodable },
            { "image of length 0", true, MakeRecord("h", "l", "2", {}), FetchOutcome::PictureUndecodable },
        };
        for (const Case& test : cases) {
            FetchRig setup;
            setup.server.Serve("/", "home");
            if (test.answer)
                setup.server.Serve("/gg/test.asp", ToString(*test.answer), "application/octet-stream");
            std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort());
            BannerService service = setup.Service();
            if (!test.reachable)
                service.connectivityAddress = refused + "/";
            if (!test.answer)
                service.bannerAddress = refused + "/gg/test.asp";
            BannerFetcher fetcher(setup.banner, setup.window, setup.queue.Poster(), service);

            ASSERT_EQ(fetcher.Start(), BannerFetcher::StartResult::Started) << test.name;
            EXPECT_EQ(setup.Finish(fetcher), test.outcome) << test.name;
            EXPECT_FALSE(fetcher.Running()) << test.name;
            EXPECT_EQ(setup.display.Calls().size(), 3u) << test.name;
            EXPECT_EQ(setup.banner.Hint(), kDefaultHint) << test.name;
            EXPECT_EQ(setup.banner.ImageKind(), 1) << test.name;
            if (!test.reachable) {
                EXPECT_EQ(setup.server.RequestCount("/gg/test.asp"), 0) << test.name;
            }
        }
    }

    TEST(BannerThreadProc, AnswerWithoutContentLengthOrWithAnErrorStatusIsStillLoaded)
    {
        LiveServer server;
        server.Serve("/", "home");
        Bytes record = MakeRecord("chunked", "", "3", {});
        server.Handle("/gg/test.asp", [record](const httplib::Request&, httplib::Response& response) {
            auto body = std::make_shared<std::string>(ToString(record));
            response.set_chunked_content_provider(
                "application/octet-stream", [body](size_t offset, httplib::DataSink& sink) {
                    if (offset < body->size())
                        sink.write(body->data() + offset, body->size() - offset);
                    else
                        sink.done();
                    return true;
                });
        });
        server.Serve(
            "/error.asp", ToString(MakeRecord("error page", "", "3", {})), "application/octet-stream", 503);
        struct Case {
            std::string path;
            std::string hint;
            std::vector<std::string> window;
        };
        const Case cases[] = {
            { "/gg/test.asp", "chunked", {} },
            { "/error.asp", "error page", { "show", "100", "close" } },
        };
        for (const Case& test : cases) {
            RecordingProgressWindow window;
            FetchResult result = BannerThreadProc({ server.Url("/"), server.Url(test.path) }, &window);
            EXPECT_EQ(result.outcome, FetchOutcome::Loaded) << test.path;
            ASSERT_TRUE(result.update) << test.path;
            EXPECT_EQ(result.update->hint, test.hint);
            EXPECT_EQ(result.update->picture, std::nullopt);
            EXPECT_EQ(window.Events(), test.window) << test.path;
        }
    }

    TEST(BannerFetcher, ThreadThatCannotStartIsReportedAndChangesNothing)
    {
        FetchRig setup;
        BannerFetcher fetcher(setup.banner, setup.window, setup.queue.Poster(), setup.Service(),
            [](std::function<void(std::stop_token)>) -> std::jthread {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            });
        EXPECT_EQ(Button4Click(fetcher), "线程出错!");
        EXPECT_FALSE(fetcher.Running());
        EXPECT_EQ(setup.display.Calls().size(), 3u);
        EXPECT_EQ(setup.server.RequestLog(), std::vector<std::string> { "/ready" });
    }

    TEST(BannerFetcher, DestroyedMidFetchStopsItsThreadAndDropsTheLateResult)
    {
        FetchRig setup;
        setup.server.Serve("/", "home");
        std::promise<void> arrived;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        setup.server.Handle(
            "/gg/test.asp", [&arrived, released](const httplib::Request&, httplib::Response& response) {
                arrived.set_value();
                released.wait();
                response.set_content("late", "text/plain");
            });
        {
            BannerFetcher fetcher(setup.banner, setup.window, setup.queue.Poster(), setup.Service());
            ASSERT_EQ(fetcher.Start(), BannerFetcher::StartResult::Started);
            arrived.get_future().wait();
        }
        release.set_value();
        // The thread posted its result before it ended; running it now touches nothing.
        setup.queue.RunNext();
        EXPECT_EQ(setup.display.Calls().size(), 3u);
        EXPECT_EQ(setup.banner.Hint(), kDefaultHint);
        EXPECT_EQ(setup.window.Events(), std::vector<std::string> {});
    }

    TEST(BannerService, DefaultsReachNoServerOutsideTheReservedDomain)
    {
        BannerService service;
        EXPECT_EQ(service.bannerAddress, "http://banner.pagestow.invalid/gg/test.asp");
        EXPECT_EQ(service.connectivityAddress, "http://connectivity.pagestow.invalid/");
    }

} // namespace
} // namespace pagestow::banner
