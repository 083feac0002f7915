// pagestow-cli: captures pages from the command line, as the window's Save does.

#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "cli/CaptureRunner.h"
#include "cli/CliOptions.h"
#include "cli/EngineFactory.h"
#include "cli/Explain.h"
#include "cli/TerminalFrontEnd.h"
#include "engine/static/StaticEngine.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace {

std::atomic<bool> g_interrupted { false };

void OnInterrupt(int)
{
    g_interrupted = true;
    pagestow::engine::InterruptStaticEngines();
}

// The save folder as an absolute path ("" when there is none).
std::string AbsoluteSaveDir(const std::string& given)
{
    std::error_code error;
    std::filesystem::path folder
        = given.empty() ? std::filesystem::current_path(error) : std::filesystem::path(given);
    if (error)
        return {};
    std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    if (error)
        return {};
    return absolute.lexically_normal().string();
}

} // namespace

int main(int argc, char** argv)
{
    using namespace pagestow::cli;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    ParsedArguments parsed = ParseArguments(args);
    switch (parsed.action) {
    case ParsedArguments::Action::Help:
        std::cout << kUsage;
        return 0;
    case ParsedArguments::Action::UsageError:
        std::cerr << "pagestow-cli: " << parsed.error << "\n" << kUsage;
        return 2;
    case ParsedArguments::Action::Explain:
        return RunExplain(parsed.explainArguments, std::cout, std::cerr);
    case ParsedArguments::Action::Capture:
        break;
    }

    const CliOptions& options = parsed.options;
    pagestow::capture::SaveDir = AbsoluteSaveDir(options.saveDir);
    if (pagestow::capture::SaveDir.empty()) {
        std::cerr << "pagestow-cli: the save folder cannot be read\n";
        return 1;
    }

    // An interrupt ends the run in order, so that the engine and its cache are cleaned up.
    struct sigaction action { };
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    EngineChoice choice = MakeEngine(options.engine);
    if (!choice.engine) {
        std::cerr << "pagestow-cli: " << choice.error << "\n";
        return choice.exitStatus;
    }
    pagestow::capture::Options().offlineCopy = options.offlineCopy;
    choice.engine->SetStylesheetLoads(options.offlineCopy);
    TerminalFrontEnd frontEnd(std::cout, std::cerr,
        options.verbose ? TerminalFrontEnd::Verbosity::Verbose : TerminalFrontEnd::Verbosity::Quiet,
        isatty(STDERR_FILENO) ? TerminalFrontEnd::ProgressLine::On : TerminalFrontEnd::ProgressLine::Off);
    int status;
    {
        CaptureRunner runner(*choice.engine, frontEnd, options.timeout, &g_interrupted);
        status = runner.Run(options.addresses);
    }
    choice.engine.reset();
    if (status == 130)
        std::cerr << "pagestow-cli: interrupted\n";
    return status;
}
