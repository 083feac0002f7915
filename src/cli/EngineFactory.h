#pragma once

#include "cli/CliOptions.h"
#include "engine/PageEngine.h"

#include <memory>
#include <string>

namespace pagestow::cli {

struct EngineChoice {
    // Null when the engine cannot be had.
    std::unique_ptr<engine::PageEngine> engine;
    // Why not; the exit status that goes with it is 1.
    std::string error;
    int exitStatus = 0;
};

// The engine's name on the command line.
const char* EngineNameText(EngineName name);

// The engine of that name from the engine table, when it can run here.
EngineChoice MakeEngine(EngineName name);

} // namespace pagestow::cli
