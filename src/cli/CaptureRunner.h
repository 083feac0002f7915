#pragma once

#include "cli/TerminalFrontEnd.h"
#include "engine/PageEngine.h"

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace pagestow::cli {

enum class AddressOutcome { Captured, Rejected, Failed, Interrupted };

// Captures addresses one after the other the way the window's Save does, with the same texts:
// blank addresses refused, the page loaded by the engine, the capture run once the top-level
// document has completed.
class CaptureRunner {
public:
    // interrupted, when given, is checked while a page loads and between addresses.
    CaptureRunner(engine::PageEngine& engine, TerminalFrontEnd& frontEnd,
        std::chrono::milliseconds loadTimeout, const std::atomic<bool>* interrupted = nullptr);
    ~CaptureRunner();
    CaptureRunner(const CaptureRunner&) = delete;
    CaptureRunner& operator=(const CaptureRunner&) = delete;

    AddressOutcome CaptureAddress(const std::string& address);

    // Captures every address; the program's exit status (0 when all were captured, 1 otherwise,
    // 130 when interrupted).
    int Run(const std::vector<std::string>& addresses);

private:
    // Processes engine events until the top-level completion of the current navigation.
    enum class LoadEnd { Completed, Blank, NoCompletion, Interrupted };
    LoadEnd WaitForCompletion();

    engine::PageEngine& m_engine;
    TerminalFrontEnd& m_frontEnd;
    std::chrono::milliseconds m_loadTimeout;
    const std::atomic<bool>* m_interrupted;
    bool m_pending = false;
    bool m_completed = false;
    std::string m_completedUrl;
};

// The address as the window reads its address box: without leading and trailing characters of code
// 0 to 32.
std::string TrimAddress(const std::string& address);

} // namespace pagestow::cli
