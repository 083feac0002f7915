#pragma once

#include "capture/CaptureState.h"
#include "engine/PageEngine.h"

#include <ostream>
#include <string>

namespace pagestow::cli {

// How the capture shows itself on the command line: result lines on standard output, message
// texts on standard error, status texts and log lines on standard error with --verbose, and on a
// terminal a progress line on standard error that is cleared before anything else is written.
class TerminalFrontEnd final : public capture::FrontEnd {
public:
    // Quiet: result lines and messages; Verbose: status texts and log lines too; Silent: messages only.
    enum class Verbosity { Quiet, Verbose, Silent };
    enum class ProgressLine { Off, On };

    TerminalFrontEnd(std::ostream& out, std::ostream& err, Verbosity verbosity, ProgressLine progressLine);

    // The engine whose events PumpMessages processes (none until set).
    void SetEngine(engine::PageEngine* engine) { m_engine = engine; }

    void AddResultLine(const std::string& message) override;
    void SetStatusText(const std::string& message) override;
    void AddLogLine(const std::string& message) override;
    void PumpMessages() override;
    void ShowMessage(const std::string& message) override;

    // Result lines and messages end up on one screen (both streams on the same terminal, or one
    // stream): a message that only repeats the last result line is then not written again.
    void SetSharedScreen(bool shared) { m_sharedScreen = shared; }

    // One line of the command line's own on the error stream, whatever the verbosity.
    void ReportError(const std::string& line);

    // Shows how far the load has come, when the progress line is on and the figures changed.
    void ShowProgress(const engine::LoadProgress& progress);
    // Removes the progress line, if one is shown.
    void ClearProgress();

private:
    std::ostream& m_out;
    std::ostream& m_err;
    Verbosity m_verbosity;
    ProgressLine m_progressLine;
    engine::PageEngine* m_engine = nullptr;
    bool m_sharedScreen = false;
    std::string m_lastResultLine;
    bool m_progressShown = false;
    std::string m_lastProgress;
};

// The text of the progress line: " 正在下载：3/7 个文件，12.5 KB".
std::string ProgressText(const engine::LoadProgress& progress);

} // namespace pagestow::cli
