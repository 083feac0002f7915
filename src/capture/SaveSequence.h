#pragma once

#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "engine/Snapshot.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The steps and texts of Save and of the top-level document's completion that every front end
// shares: the window's capture control and the command line run these, and only add what is their
// own (controls, views, waiting for the page). Blanks inside the texts are part of the text.

namespace pagestow::capture {

inline constexpr std::string_view kEnterAddressStatus = " 请输入网址...";
inline constexpr std::string_view kEnterAddressMessage = "请输入要保存的网址...";
inline constexpr std::string_view kSaveToLine = "保存到：";
inline constexpr std::string_view kStartDownloadLine = "开始下载页面...";
inline constexpr std::string_view kStartDownloadStatus = " 开始下载页面...";
inline constexpr std::string_view kDownloadDoneLine = "页面下载完成。";
inline constexpr std::string_view kDownloadDoneStatus = " 页面下载完成。";
inline constexpr std::string_view kStartParseLine = "开始解析页面...";
inline constexpr std::string_view kStartParseStatus = " 开始解析页面...";
inline constexpr std::string_view kParseDoneLine = "页面解析完成。";
inline constexpr std::string_view kParseDoneStatus = " 页面解析完成。";
inline constexpr std::string_view kOpenFolderLine = "双击打开保存的目录！";
inline constexpr std::string_view kPageRejectedMessage = " 网页不存在，或是网址不符合标准，停止下载。";
inline constexpr std::string_view kBlankPage = "about:blank";

// How a front end shows a notice to the user: the window's message box with its notice title and
// the information icon, a line on standard error on the command line.
using Notice = std::function<void(std::string_view text)>;

// Save, steps 1 and 2: the typed address without leading and trailing characters of code 0 to 32;
// for a blank one the status and the notice are shown and there is no address.
std::optional<std::string> SaveAddress(std::string_view typed, const Notice& notice, FrontEnd& frontEnd);

// Save, steps 6 and 7: the save folder and the start of the download reported.
void ReportSaveStarted(const std::string& saveDir, FrontEnd& frontEnd);

// Document complete, step 3: whether the top-level completion of url finishes a pending capture
// (the blank page never does).
bool FinishesCapture(std::string_view url);

// How the capture driver ended.
struct CaptureOutcome {
    // Interrupted: the capture was stopped by its interrupt flag and its folder removed.
    enum class Result { Accepted, Rejected, Failed, Interrupted };
    Result result = Result::Failed;
    // For Failed: "type: message" of the error that escaped the driver.
    std::string error;
    // What the capture did (for Accepted: its folder, files and failures).
    CaptureResult capture;
};

// Document complete, steps 4 to 6: the download reported done, the parse started, and the capture
// driver run on the engine's document. An error that escapes the driver is described in the outcome,
// never raised.
CaptureOutcome RunCapture(
    const engine::SnapshotDocument* document, const CaptureSettings& settings, FrontEnd& frontEnd);

// Document complete, step 7: an accepted page's closing lines; a rejected page's notice; the error
// of a failed one in the standard message.
// The line that names the single file, its size and the sum of the sizes of the files it holds.
std::string SingleFileLine(const CaptureResult& result);

void ReportCaptureEnd(const CaptureOutcome& outcome, const Notice& notice, FrontEnd& frontEnd);

} // namespace pagestow::capture
