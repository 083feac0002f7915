#include "capture/SaveSequence.h"

#include "capture/Capture.h"
#include "capture/CaptureState.h"
#include "capture/StylesheetResources.h"
#include "mapping/AddressRecord.h"

namespace pagestow::capture {

std::optional<std::string> SaveAddress(std::string_view typed, const Notice& notice)
{
    // The typed text is taken as typed, without the blanks and control characters around it.
    std::string address(mapping::TrimControls(typed));
    // A blank address is refused.
    if (address.empty()) {
        SetStatusText(std::string(kEnterAddressStatus));
        notice(kEnterAddressMessage);
        return std::nullopt;
    }
    return address;
}

void ReportSaveStarted()
{
    // The save folder goes into the results; the status bar is left as it is.
    AddResultLine(std::string(kSaveToLine) + SaveDir);
    // Then the download begins.
    AddResultLine(std::string(kStartDownloadLine));
    SetStatusText(std::string(kStartDownloadStatus));
}

bool FinishesCapture(std::string_view url)
{
    return url != kBlankPage;
}

CaptureOutcome RunCapture(engine::PageEngine& browser)
{
    // The page has loaded; the capture begins.
    AddResultLine(std::string(kDownloadDoneLine));
    SetStatusText(std::string(kDownloadDoneStatus));
    AddResultLine(std::string(kStartParseLine));
    SetStatusText(std::string(kStartParseStatus));
    // The driver runs to its end here; what escapes it is reported by the caller.
    try {
        bool accepted = CapturePage(browser);
        return { accepted ? CaptureOutcome::Result::Accepted : CaptureOutcome::Result::Rejected, {} };
    } catch (const std::exception& error) {
        return { CaptureOutcome::Result::Failed, DescribeError(error) };
    } catch (...) {
        return { CaptureOutcome::Result::Failed, DescribeError(std::current_exception()) };
    }
}

void ReportCaptureEnd(const CaptureOutcome& outcome, const Notice& notice)
{
    // The outcome: finished and where to look, refused, or the error.
    switch (outcome.result) {
    case CaptureOutcome::Result::Accepted:
        AddResultLine(std::string(kParseDoneLine));
        SetStatusText(std::string(kParseDoneStatus));
        AddResultLine(std::string(kOpenFolderLine));
        // With the offline copy on, the file to open comes last.
        if (!OfflineCopyFile().empty())
            AddResultLine(OfflineCopyLine());
        break;
    case CaptureOutcome::Result::Rejected:
        notice(kPageRejectedMessage);
        break;
    case CaptureOutcome::Result::Failed:
        ShowMessage(outcome.error);
        break;
    }
}

} // namespace pagestow::capture
