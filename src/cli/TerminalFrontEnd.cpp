#include "cli/TerminalFrontEnd.h"

#include "engine/Contract.h"

#include <chrono>
#include <cstdio>
#include <string_view>

namespace pagestow::cli {

TerminalFrontEnd::TerminalFrontEnd(
    std::ostream& out, std::ostream& err, Verbosity verbosity, ProgressLine progressLine)
    : m_out(out)
    , m_err(err)
    , m_verbosity(verbosity)
    , m_progressLine(progressLine)
{
}

void TerminalFrontEnd::AddResultLine(const std::string& message)
{
    m_lastResultLine = message;
    if (m_verbosity == Verbosity::Silent)
        return;
    ClearProgress();
    m_out << message << '\n' << std::flush;
}

void TerminalFrontEnd::SetStatusText(const std::string& message)
{
    if (m_verbosity != Verbosity::Verbose)
        return;
    ClearProgress();
    m_err << message << '\n' << std::flush;
}

void TerminalFrontEnd::AddLogLine(const std::string& message)
{
    if (m_verbosity != Verbosity::Verbose)
        return;
    ClearProgress();
    m_err << message << '\n' << std::flush;
}

void TerminalFrontEnd::PumpMessages()
{
    if (m_engine)
        m_engine->ProcessEvents(std::chrono::milliseconds(0));
}

void TerminalFrontEnd::ShowMessage(const std::string& message)
{
    if (m_sharedScreen && m_verbosity != Verbosity::Silent && !m_lastResultLine.empty()
        && std::string_view(message).substr(message.starts_with(' ') ? 1 : 0) == m_lastResultLine)
        return;
    ClearProgress();
    m_err << message << '\n' << std::flush;
}

void TerminalFrontEnd::ReportError(const std::string& line)
{
    ClearProgress();
    m_err << line << '\n' << std::flush;
}

void TerminalFrontEnd::ShowProgress(const engine::LoadProgress& progress)
{
    if (m_progressLine != ProgressLine::On || m_verbosity == Verbosity::Silent)
        return;
    std::string text = ProgressText(progress);
    if (m_progressShown && text == m_lastProgress)
        return;
    // Back to the start of the line, the new text, and the rest of the old one erased.
    m_err << '\r' << text << "\x1b[K" << std::flush;
    m_progressShown = true;
    m_lastProgress = text;
}

void TerminalFrontEnd::ClearProgress()
{
    if (!m_progressShown)
        return;
    m_err << "\r\x1b[K" << std::flush;
    m_progressShown = false;
}

namespace {

    // How far the page has been scrolled through, and the bound that stopped it: nothing before scrolling.
    std::string ScrollText(const engine::LoadProgress& progress)
    {
        using Bound = engine::LoadProgress::ScrollBound;
        if (progress.screens == 0)
            return {};
        std::string text = "，滚动 " + std::to_string(progress.screens) + "/"
            + std::to_string(engine::kScrollScreenLimit) + " 屏";
        if (progress.scrollBound == Bound::Screens)
            text += "（已到 " + std::to_string(engine::kScrollScreenLimit) + " 屏上限）";
        else if (progress.scrollBound == Bound::Time)
            text += "（已到 " + std::to_string(engine::kScrollTimeLimit.count()) + " 秒上限）";
        return text;
    }

} // namespace

std::string ProgressText(const engine::LoadProgress& progress)
{
    char size[32];
    double bytes = double(progress.bytes);
    if (bytes < 1024 * 1024)
        std::snprintf(size, sizeof size, "%.1f KB", bytes / 1024);
    else
        std::snprintf(size, sizeof size, "%.1f MB", bytes / (1024 * 1024));
    return " 正在下载：" + std::to_string(progress.loaded) + "/" + std::to_string(progress.requested)
        + " 个文件，" + size + ScrollText(progress);
}

} // namespace pagestow::cli
