#include "cli/CaptureRunner.h"

#include "capture/Capture.h"
#include "capture/CaptureState.h"
#include "capture/StylesheetResources.h"

namespace pagestow::cli {
namespace {
    using Clock = std::chrono::steady_clock;

    constexpr const char* kRejected = " 网页不存在，或是网址不符合标准，停止下载。";
    // An engine is given this long past the load time-out to report the page before the address is
    // given up; the engines themselves complete at the time-out.
    constexpr std::chrono::seconds kCompletionGrace { 30 };
    constexpr std::chrono::milliseconds kEventWait { 50 };
    constexpr std::chrono::milliseconds kProgressInterval { 100 };

} // namespace

std::string TrimAddress(const std::string& address)
{
    size_t start = 0;
    size_t end = address.size();
    while (start < end && (unsigned char)address[start] <= 32)
        ++start;
    while (end > start && (unsigned char)address[end - 1] <= 32)
        --end;
    return address.substr(start, end - start);
}

CaptureRunner::CaptureRunner(engine::PageEngine& engine, TerminalFrontEnd& frontEnd,
    std::chrono::milliseconds loadTimeout, const std::atomic<bool>* interrupted)
    : m_engine(engine)
    , m_frontEnd(frontEnd)
    , m_loadTimeout(loadTimeout)
    , m_interrupted(interrupted)
{
    m_frontEnd.SetEngine(&m_engine);
    capture::BindFrontEnd(&m_frontEnd);
    m_engine.SetLoadTimeout(m_loadTimeout);
    m_engine.SetDocumentCompleteHandler([this](const engine::ObjectPtr& browser, const std::string& url) {
        // Only the top-level document finishes a load, only while one is pending, and never while a
        // capture runs (the capture pumps events, and a page may complete again meanwhile).
        if (browser != m_engine.Application() || !m_pending || capture::CaptureRunning())
            return;
        m_pending = false;
        m_completed = true;
        m_completedUrl = url;
    });
}

CaptureRunner::~CaptureRunner()
{
    m_engine.SetDocumentCompleteHandler(nullptr);
    capture::BindFrontEnd(nullptr);
    m_frontEnd.SetEngine(nullptr);
}

CaptureRunner::LoadEnd CaptureRunner::WaitForCompletion()
{
    auto giveUp = Clock::now() + m_loadTimeout + kCompletionGrace;
    auto nextProgress = Clock::now();
    while (!m_completed) {
        if (m_interrupted && m_interrupted->load())
            return LoadEnd::Interrupted;
        if (Clock::now() >= giveUp)
            return LoadEnd::NoCompletion;
        m_engine.ProcessEvents(kEventWait);
        if (!m_completed && Clock::now() >= nextProgress) {
            m_frontEnd.ShowProgress(m_engine.Progress());
            nextProgress = Clock::now() + kProgressInterval;
        }
    }
    m_frontEnd.ClearProgress();
    return m_completedUrl == "about:blank" ? LoadEnd::Blank : LoadEnd::Completed;
}

AddressOutcome CaptureRunner::CaptureAddress(const std::string& typed)
{
    // 1.-2. A blank address is refused.
    std::string address = TrimAddress(typed);
    if (address.empty()) {
        capture::SetStatusText(" 请输入网址...");
        capture::ShowMessage("请输入要保存的网址...");
        return AddressOutcome::Rejected;
    }
    // 3.-9. The load starts.
    capture::AddResultLine("保存到：" + capture::SaveDir);
    capture::AddResultLine("开始下载页面...");
    capture::SetStatusText(" 开始下载页面...");
    m_pending = true;
    m_completed = false;
    m_completedUrl.clear();

    LoadEnd end;
    try {
        m_engine.Navigate(address);
        end = WaitForCompletion();
    } catch (const std::exception& error) {
        m_pending = false;
        m_frontEnd.ClearProgress();
        capture::ShowMessage(capture::DescribeError(error));
        return AddressOutcome::Failed;
    }
    m_pending = false;
    switch (end) {
    case LoadEnd::Interrupted:
        m_frontEnd.ClearProgress();
        return AddressOutcome::Interrupted;
    case LoadEnd::NoCompletion:
        m_frontEnd.ClearProgress();
        capture::ShowMessage("页面没有在限定时间内下载完成，停止下载。");
        return AddressOutcome::Failed;
    case LoadEnd::Blank:
        // The window would keep waiting for another page; here the address is done with.
        capture::ShowMessage(kRejected);
        return AddressOutcome::Rejected;
    case LoadEnd::Completed:
        break;
    }

    // The top-level document is complete: the capture.
    capture::AddResultLine("页面下载完成。");
    capture::SetStatusText(" 页面下载完成。");
    capture::AddResultLine("开始解析页面...");
    capture::SetStatusText(" 开始解析页面...");
    bool accepted = false;
    try {
        accepted = capture::CapturePage(m_engine);
    } catch (const std::exception& error) {
        capture::ShowMessage(capture::DescribeError(error));
        return AddressOutcome::Failed;
    }
    if (!accepted) {
        capture::ShowMessage(kRejected);
        return AddressOutcome::Rejected;
    }
    capture::AddResultLine("页面解析完成。");
    capture::SetStatusText(" 页面解析完成。");
    capture::AddResultLine("双击打开保存的目录！");
    if (!capture::OfflineCopyFile().empty())
        capture::AddResultLine(capture::OfflineCopyLine());
    return AddressOutcome::Captured;
}

int CaptureRunner::Run(const std::vector<std::string>& addresses)
{
    bool allCaptured = true;
    for (const std::string& address : addresses) {
        if (m_interrupted && m_interrupted->load())
            return 130;
        AddressOutcome outcome = CaptureAddress(address);
        if (outcome == AddressOutcome::Interrupted)
            return 130;
        allCaptured = allCaptured && outcome == AddressOutcome::Captured;
    }
    return allCaptured ? 0 : 1;
}

} // namespace pagestow::cli
