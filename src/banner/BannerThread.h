#pragma once

#include "banner/Banner.h"
#include "banner/Download.h"

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace pagestow::banner {

// The site whose home page tells whether the network is reachable, and the banner service. Both lie
// under the reserved .invalid domain, so that a fetch can never reach anyone's server by accident; a
// deployment names real ones in BannerService.
inline constexpr std::string_view kConnectivityCheckAddress = "http://connectivity.pagestow.invalid/";
inline constexpr std::string_view kBannerServerHost = "banner.pagestow.invalid";
inline constexpr std::string_view kBannerServicePath = "/gg/test.asp";

// The message shown when the banner thread cannot start.
inline constexpr std::string_view kThreadErrorText = "线程出错!";

// "http://" + host + "/gg/test.asp".
std::string BannerServiceAddress(std::string_view host);

struct BannerService {
    std::string connectivityAddress = std::string(kConnectivityCheckAddress);
    std::string bannerAddress = BannerServiceAddress(kBannerServerHost);
};

enum class FetchOutcome {
    NoConnection, // the network is not reachable; the banner stays
    DownloadFailed, // the banner service could not be opened; the banner stays
    EmptyDownload, // the service answered with nothing; the banner stays
    RecordMalformed, // the answer is no banner record; the banner stays
    PictureUndecodable, // the record's picture does not decode; the banner stays
    Stopped, // the program asked the fetch to end; the banner stays
    Failed, // something unforeseen went wrong on the thread; the banner stays
    Loaded, // the answer becomes the banner
};

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::Failed;
    std::optional<BannerUpdate> update; // set when the outcome is Loaded
};

// The banner thread's work, run on the calling thread: checks the network, downloads the banner service's
// answer with the progress window, and prepares a non-empty answer for the banner. Touches no banner.
FetchResult BannerThreadProc(const BannerService& service, ProgressWindow* window, std::stop_token stop = {});

// Hands a function to the user-interface thread, which runs it there later. Called from the banner
// thread; must be safe to call from any thread (a GTK front end posts with g_idle_add).
using PostToUiThread = std::function<void(std::function<void()>)>;

// Starts a thread on a body; throws std::system_error when no thread can start.
using ThreadStarter = std::function<std::jthread(std::function<void(std::stop_token)>)>;
std::jthread StartThread(std::function<void(std::stop_token)> body);

// Runs banner fetches, one at a time, on a thread of their own. Its results, and every call to the
// progress window, reach the banner and the window on the user-interface thread through post. Created,
// used and destroyed on the user-interface thread; banner and window must outlive it.
class BannerFetcher {
public:
    BannerFetcher(Banner& banner, ProgressWindow& window, PostToUiThread post, BannerService service = {},
        ThreadStarter starter = StartThread);
    // Asks a running fetch to end and waits for its thread. Results posted afterwards are dropped.
    ~BannerFetcher();
    BannerFetcher(const BannerFetcher&) = delete;
    BannerFetcher& operator=(const BannerFetcher&) = delete;

    enum class StartResult {
        Started,
        AlreadyRunning, // a fetch is still under way; nothing changes
        ThreadError, // no thread could start
    };
    StartResult Start();
    // True from a successful Start until its result has reached the banner.
    bool Running() const;
    // Called on the user-interface thread after each fetch's result has reached the banner.
    void OnFinished(std::function<void(FetchOutcome)> observer);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    PostToUiThread m_post;
    BannerService m_service;
    ThreadStarter m_starter;
    std::jthread m_thread;
};

// The hidden button's click: starts a fetch. The text to show in a message box (no title, no icon, an
// OK button) when no thread could start; nothing otherwise, also when a fetch is already running.
std::optional<std::string> Button4Click(BannerFetcher& fetcher);

} // namespace pagestow::banner
