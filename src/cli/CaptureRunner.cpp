#include "cli/CaptureRunner.h"

#include "capture/Capture.h"
#include "capture/CaptureState.h"
#include "capture/SaveSequence.h"
#include "cli/Explain.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>

namespace pagestow::cli {
namespace {
    using Clock = std::chrono::steady_clock;

    // An engine is given this long past the load time-out to report the page before the address is
    // given up; the engines themselves complete at the time-out.
    constexpr std::chrono::seconds kCompletionGrace { 30 };
    constexpr std::chrono::milliseconds kEventWait { 50 };
    constexpr std::chrono::milliseconds kProgressInterval { 100 };
    constexpr const char* kNoCompletionMessage = "页面没有在限定时间内下载完成，停止下载。";
    constexpr std::string_view kScreenshotLine = "页面截图：";
    constexpr std::string_view kPdfLine = "页面 PDF：";

    // Why the engine showed its error page (or ended on a blank page), in the user's words.
    std::string NavigationReason(const engine::PageEngine& engine, const char* otherwise)
    {
        if (engine.LastFailure() == engine::NavigationFailure::None)
            return otherwise;
        std::string reason(engine::DescribeNavigationFailure(engine.LastFailure()));
        if (!engine.LastFailureDetail().empty())
            reason += " (" + engine.LastFailureDetail() + ")";
        return reason;
    }

    bool FileExists(const std::string& path)
    {
        std::error_code error;
        return std::filesystem::is_regular_file(path, error);
    }

    // The address on one line: control characters escaped; quoted when it is blank at either end.
    std::string PrintableAddress(const std::string& address)
    {
        std::string text;
        for (unsigned char c : address) {
            if (c == '\t')
                text += "\\t";
            else if (c == '\n')
                text += "\\n";
            else if (c == '\r')
                text += "\\r";
            else if (c < 0x20 || c == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                text += escaped;
            } else
                text += char(c);
        }
        if (text.empty() || text.front() == ' ' || text.back() == ' ')
            return '"' + text + '"';
        return text;
    }

} // namespace

const char* OutcomeName(AddressOutcome outcome)
{
    switch (outcome) {
    case AddressOutcome::Captured:
        return "saved";
    case AddressOutcome::Incomplete:
        return "incomplete";
    case AddressOutcome::Rejected:
        return "rejected";
    case AddressOutcome::Failed:
        return "failed";
    case AddressOutcome::Interrupted:
        return "interrupted";
    }
    return "failed";
}

std::string ErrorLine(const AddressResult& result)
{
    if (result.outcome == AddressOutcome::Captured || result.outcome == AddressOutcome::Interrupted
        || result.reason.empty())
        return {};
    return "pagestow-cli: " + PrintableAddress(result.address) + ": " + result.reason;
}

std::string ResultJson(const AddressResult& result)
{
    nlohmann::json failures = nlohmann::json::array();
    for (const capture::WriteFailure& failure : result.failures)
        failures.push_back({ { "path", failure.path }, { "reason", failure.reason } });
    nlohmann::ordered_json json {
        { "address", result.address },
        { "final_address", result.finalAddress },
        { "status", OutcomeName(result.outcome) },
        { "capture_folder", result.captureFolder },
        { "page_file", result.pageFile },
        { "files_saved", result.filesSaved },
        { "bytes", result.bytes },
        { "failures", failures },
        { "error", result.reason },
        { "seconds", double(std::llround(result.seconds * 1000)) / 1000 },
    };
    // Addresses and paths are bytes; what is not UTF-8 is shown as U+FFFD rather than lost.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

CaptureRunner::CaptureRunner(engine::PageEngine& engine, TerminalFrontEnd& frontEnd,
    capture::CaptureSettings settings, std::chrono::milliseconds loadTimeout,
    const std::atomic<bool>* interrupted)
    : m_engine(engine)
    , m_frontEnd(frontEnd)
    , m_settings(std::move(settings))
    , m_loadTimeout(loadTimeout)
    , m_interrupted(interrupted)
{
    m_frontEnd.SetEngine(&m_engine);
    // The capture copies what this runner's engine loaded, and stops with the run.
    m_settings.cache = &m_engine.Cache();
    m_settings.interrupted = m_interrupted;
    // The engine gives its page up at once when the run is interrupted.
    m_engine.WatchInterrupt(m_interrupted);
    m_engine.SetLoadTimeout(m_loadTimeout);
    m_engine.SetDocumentCompleteHandler(
        [this](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
            // Only the top-level document finishes a load, only while one is pending, and never while
            // a capture runs (the capture pumps events, and a page may complete again meanwhile).
            if (completion != engine::PageEngine::Completion::TopLevel || !m_pending
                || m_frontEnd.CaptureRunning())
                return;
            m_pending = false;
            m_completed = true;
            m_completedDocument = m_engine.Document();
        });
}

CaptureRunner::~CaptureRunner()
{
    m_engine.SetDocumentCompleteHandler(nullptr);
    m_engine.WatchInterrupt(nullptr);
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
    bool finishes = m_completedDocument && capture::FinishesCapture(m_completedDocument->url);
    return finishes ? LoadEnd::Completed : LoadEnd::Blank;
}

AddressResult CaptureRunner::CaptureAddress(const std::string& typed)
{
    auto start = Clock::now();
    AddressResult result;
    result.address = typed;
    result.outcome = Capture(typed, result);
    if (m_pageDone) {
        std::string problem = m_pageDone(m_loadedPage.get(), result.outcome != AddressOutcome::Interrupted);
        if (!problem.empty()
            && (result.outcome == AddressOutcome::Captured || result.outcome == AddressOutcome::Incomplete)) {
            result.outcome = AddressOutcome::Incomplete;
            result.reason = result.reason.empty() ? problem : result.reason + "; " + problem;
        }
    }
    m_loadedPage.reset();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (std::string line = ErrorLine(result); !line.empty())
        m_frontEnd.ReportError(line);
    return result;
}

std::optional<AddressOutcome> CaptureRunner::Load(const std::string& address, AddressResult& result)
{
    m_pending = true;
    m_completed = false;
    m_completedDocument.reset();
    LoadEnd end;
    try {
        m_engine.Navigate(address);
        end = WaitForCompletion();
    } catch (const std::exception& error) {
        m_pending = false;
        m_frontEnd.ClearProgress();
        m_frontEnd.ShowMessage(capture::DescribeError(error));
        result.reason = std::string("the page engine failed: ") + error.what();
        return AddressOutcome::Failed;
    }
    m_pending = false;
    switch (end) {
    case LoadEnd::Interrupted:
        m_frontEnd.ClearProgress();
        result.reason = "interrupted";
        return AddressOutcome::Interrupted;
    case LoadEnd::NoCompletion:
        m_frontEnd.ClearProgress();
        m_frontEnd.ShowMessage(kNoCompletionMessage);
        result.reason = "the page engine did not report the page in time";
        return AddressOutcome::Failed;
    case LoadEnd::Blank:
        // The window would keep waiting for another page; here the address is done with.
        m_frontEnd.ShowMessage(std::string(capture::kPageRejectedMessage));
        result.reason = NavigationReason(m_engine, "the page loaded is blank (about:blank)");
        return AddressOutcome::Rejected;
    case LoadEnd::Completed:
        break;
    }
    return std::nullopt;
}

AddressOutcome CaptureRunner::Capture(const std::string& typed, AddressResult& result)
{
    // Save: a blank address is refused, otherwise the load starts.
    auto notice = [this](std::string_view text) { m_frontEnd.ShowMessage(std::string(text)); };
    std::optional<std::string> address = capture::SaveAddress(typed, notice, m_frontEnd);
    if (!address) {
        result.reason = "the address is blank";
        return AddressOutcome::Rejected;
    }
    capture::ReportSaveStarted(m_settings.saveDir, m_frontEnd);
    if (std::optional<AddressOutcome> unloaded = Load(*address, result))
        return *unloaded;

    // Document complete: the capture, with the window's texts.
    m_loadedPage = m_completedDocument;
    capture::CaptureOutcome outcome = capture::RunCapture(m_completedDocument.get(), m_settings, m_frontEnd);
    m_completedDocument.reset();
    m_settings.saveDir = outcome.capture.saveDir;
    capture::ReportCaptureEnd(outcome, notice, m_frontEnd);
    switch (outcome.result) {
    case capture::CaptureOutcome::Result::Rejected:
        result.reason = NavigationReason(m_engine, "the page could not be loaded");
        return AddressOutcome::Rejected;
    case capture::CaptureOutcome::Result::Failed:
        result.reason = "the capture failed: " + outcome.error;
        return AddressOutcome::Failed;
    case capture::CaptureOutcome::Result::Interrupted:
        result.reason = "interrupted";
        return AddressOutcome::Interrupted;
    case capture::CaptureOutcome::Result::Accepted:
        break;
    }
    return SavePictures(Written(outcome.capture, result), result);
}

AddressOutcome CaptureRunner::SavePictures(AddressOutcome written, AddressResult& result)
{
    using Picture = engine::PageEngine::Picture;
    struct Wanted {
        bool on;
        Picture kind;
        const char* extension;
        std::string_view line;
    };
    AddressOutcome outcome = written;
    for (const Wanted& wanted : { Wanted { m_screenshot, Picture::Screenshot, ".png", kScreenshotLine },
             Wanted { m_pdf, Picture::Pdf, ".pdf", kPdfLine } }) {
        if (!wanted.on || (m_interrupted && m_interrupted->load()))
            continue;
        std::string path = PicturePath(result.pageFile, wanted.extension);
        std::string error;
        if (m_engine.SavePicture(wanted.kind, path, error)) {
            m_frontEnd.AddResultLine(std::string(wanted.line) + path);
            continue;
        }
        result.failures.push_back({ path, error });
        std::string problem = "could not write " + path + ": " + error;
        result.reason = result.reason.empty() ? problem : result.reason + "; " + problem;
        outcome = AddressOutcome::Incomplete;
    }
    return outcome;
}

std::string PicturePath(const std::string& pageFile, const std::string& extension)
{
    std::filesystem::path page(pageFile);
    std::filesystem::path picture = page;
    picture.replace_extension(extension);
    // A page saved as index.png keeps its file: the picture is index.png.png. So does a file of the
    // page's folder of that name (a picture the page shows).
    if (picture == page || FileExists(picture.string()))
        return pageFile + extension;
    return picture.string();
}

AddressOutcome CaptureRunner::Written(const capture::CaptureResult& record, AddressResult& result) const
{
    result.finalAddress = m_engine.Document() ? m_engine.Document()->url : std::string();
    result.httpStatus = m_engine.LastAnswer().status;
    result.retryAfter = m_engine.LastAnswer().retryAfter;
    result.captureFolder = record.CapturePath();
    result.pageFile = record.PageFile();
    for (const capture::SavedEntry& entry : record.saved) {
        if (!entry.earlier) {
            result.bytes += entry.bytes;
            ++result.filesSaved;
        }
    }
    result.saved = record.saved;
    result.stylesheets = record.stylesheets;
    if (result.pageFile.empty())
        result.pageFile = PageFilePath(record.saveDir, record.captureFolder, result.finalAddress);
    result.failures = record.failures;
    // The page's own file is checked whatever the record says: a page without its file is no capture.
    bool pageListed = false;
    for (const capture::WriteFailure& failure : result.failures)
        pageListed = pageListed || failure.path == result.pageFile;
    if (!pageListed && !FileExists(result.pageFile))
        result.failures.push_back({ result.pageFile, "the file was not written" });
    if (result.failures.empty())
        return AddressOutcome::Captured;
    const capture::WriteFailure& first = result.failures.front();
    result.reason = result.failures.size() == 1 ? "could not write " + first.path + ": " + first.reason
                                                : std::to_string(result.failures.size())
            + " files could not be written; the first, " + first.path + ": " + first.reason;
    return AddressOutcome::Incomplete;
}

int CaptureRunner::Run(
    const std::vector<std::string>& addresses, const std::function<void(const AddressResult&)>& onResult)
{
    ExitStatus status;
    for (const std::string& address : addresses) {
        if (m_interrupted && m_interrupted->load()) {
            status.Add(AddressOutcome::Interrupted);
            break;
        }
        AddressResult result = CaptureAddress(address);
        if (onResult)
            onResult(result);
        status.Add(result.outcome);
        if (result.outcome == AddressOutcome::Interrupted)
            break;
    }
    return status.Value();
}

void ExitStatus::Add(AddressOutcome outcome)
{
    m_interrupted = m_interrupted || outcome == AddressOutcome::Interrupted;
    m_allCaptured = m_allCaptured && outcome == AddressOutcome::Captured;
}

int ExitStatus::Value() const
{
    if (m_interrupted)
        return 130;
    return m_allCaptured ? 0 : 1;
}

} // namespace pagestow::cli
