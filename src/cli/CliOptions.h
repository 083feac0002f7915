#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace pagestow::cli {

// The page engines pagestow-cli knows by name.
enum class EngineName { Static, Chromium, WebKit };

struct CliOptions {
    EngineName engine = EngineName::Static;
    // As given; empty means the current folder.
    std::string saveDir;
    // Bounds one page's load.
    std::chrono::milliseconds timeout { 60'000 };
    bool verbose = false;
    // Also save what stylesheets load and write an offline copy.
    bool offlineCopy = false;
    std::vector<std::string> addresses;
};

struct ParsedArguments {
    enum class Action { Capture, Explain, Help, UsageError };
    Action action = Action::UsageError;
    CliOptions options;
    // The arguments after "--explain".
    std::vector<std::string> explainArguments;
    // What was wrong, for a usage error.
    std::string error;
};

// The usage text printed for --help and after a usage error.
extern const char* const kUsage;

// Reads the arguments after the program name.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

} // namespace pagestow::cli
