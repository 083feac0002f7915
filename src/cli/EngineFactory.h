#pragma once

#include "cli/CliOptions.h"
#include "engine/PageEngine.h"

#include <memory>
#include <string>

namespace pagestow::cli {

struct EngineChoice {
    // Null when the engine cannot be had.
    std::unique_ptr<engine::PageEngine> engine;
    // Why not, and the exit status that goes with it (2: not built into this program, 1: cannot run here).
    std::string error;
    int exitStatus = 0;
};

// The engine of that name: static always; chromium and webkit when they were built and can run here.
EngineChoice MakeEngine(EngineName name);

// Whether the engine was built into this program.
bool EngineBuilt(EngineName name);

} // namespace pagestow::cli
