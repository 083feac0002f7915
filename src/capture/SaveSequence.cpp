#include "capture/SaveSequence.h"

#include "capture/Capture.h"
#include "capture/MhtmlOutput.h"
#include "capture/StylesheetResources.h"
#include "mapping/AddressRecord.h"

namespace pagestow::capture {

std::optional<std::string> SaveAddress(std::string_view typed, const Notice& notice, FrontEnd& frontEnd)
{
    // The typed text is taken as typed, without the blanks and control characters around it.
    std::string address(mapping::TrimControls(typed));
    // A blank address is refused.
    if (address.empty()) {
        frontEnd.SetStatusText(std::string(kEnterAddressStatus));
        notice(kEnterAddressMessage);
        return std::nullopt;
    }
    return address;
}

void ReportSaveStarted(const std::string& saveDir, FrontEnd& frontEnd)
{
    // The save folder goes into the results; the status bar is left as it is.
    frontEnd.AddResultLine(std::string(kSaveToLine) + saveDir);
    // Then the download begins.
    frontEnd.AddResultLine(std::string(kStartDownloadLine));
    frontEnd.SetStatusText(std::string(kStartDownloadStatus));
}

bool FinishesCapture(std::string_view url)
{
    return url != kBlankPage;
}

CaptureOutcome RunCapture(
    const engine::SnapshotDocument* document, const CaptureSettings& settings, FrontEnd& frontEnd)
{
    // The page has loaded; the capture begins.
    frontEnd.AddResultLine(std::string(kDownloadDoneLine));
    frontEnd.SetStatusText(std::string(kDownloadDoneStatus));
    frontEnd.AddResultLine(std::string(kStartParseLine));
    frontEnd.SetStatusText(std::string(kStartParseStatus));
    // The driver runs to its end here; what escapes it is reported by the caller.
    CaptureOutcome outcome;
    // The save folder as it was, unless the capture gives it back with its separator.
    outcome.capture.saveDir = settings.saveDir;
    try {
        outcome.capture = CapturePage(document, settings, frontEnd);
        outcome.result
            = outcome.capture.accepted ? CaptureOutcome::Result::Accepted : CaptureOutcome::Result::Rejected;
        if (outcome.capture.interrupted)
            outcome.result = CaptureOutcome::Result::Interrupted;
    } catch (const std::exception& error) {
        outcome.result = CaptureOutcome::Result::Failed;
        outcome.error = DescribeError(error);
    } catch (...) {
        outcome.result = CaptureOutcome::Result::Failed;
        outcome.error = DescribeError(std::current_exception());
    }
    return outcome;
}

std::string SingleFileLine(const CaptureResult& result)
{
    return "单个文件：" + result.singleFile + "（" + std::to_string(result.singleFileBytes)
        + " 字节，所含文件共 " + std::to_string(result.singleFilePartsBytes) + " 字节）";
}

void ReportCaptureEnd(const CaptureOutcome& outcome, const Notice& notice, FrontEnd& frontEnd)
{
    // The outcome: finished and where to look, refused, or the error.
    switch (outcome.result) {
    case CaptureOutcome::Result::Accepted:
        frontEnd.AddResultLine(std::string(kParseDoneLine));
        frontEnd.SetStatusText(std::string(kParseDoneStatus));
        frontEnd.AddResultLine(std::string(kOpenFolderLine));
        // With the offline copy or the single file on, the file to open comes last.
        if (!outcome.capture.offlineCopy.empty())
            frontEnd.AddResultLine(OfflineCopyLine(outcome.capture.offlineCopy));
        if (!outcome.capture.singleFile.empty())
            frontEnd.AddResultLine(SingleFileLine(outcome.capture));
        // The MHTML file, when written, comes after every other file to open.
        if (!outcome.capture.mhtml.empty())
            frontEnd.AddResultLine(MhtmlLine(outcome.capture.mhtml));
        break;
    case CaptureOutcome::Result::Rejected:
        notice(kPageRejectedMessage);
        break;
    case CaptureOutcome::Result::Failed:
        frontEnd.ShowMessage(outcome.error);
        break;
    case CaptureOutcome::Result::Interrupted:
        // Whoever set the flag reports it; the page has no closing lines.
        break;
    }
}

} // namespace pagestow::capture
