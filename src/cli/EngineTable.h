#pragma once

#include "engine/PageEngine.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace pagestow::cli {

// One page engine as every front end, test suite and benchmark knows it.
struct EngineEntry {
    // The name on the command line: "static", "chromium", "webkit".
    std::string_view name;
    // Whether the engine can run here; when not, why is set to the reason in the user's words.
    bool (*available)(std::string& why);
    // A new engine; EngineError (or another exception) when it cannot start.
    std::unique_ptr<engine::PageEngine> (*create)();
};

// Every engine, the built-in one first.
std::span<const EngineEntry> Engines();

// The engine of that name, or null.
const EngineEntry* FindEngine(std::string_view name);

// A fresh engine of that name; null with why set when there is no such engine, it is not
// available here, or it cannot start.
std::unique_ptr<engine::PageEngine> StartEngine(std::string_view name, std::string& why);

// What a loadable engine module hands to the program that loads it (the one symbol it exports).
struct EngineModule {
    // The version of this structure; a module of another build is refused.
    int abiVersion;
    bool (*available)(std::string& why);
    engine::PageEngine* (*create)();
};

inline constexpr int kEngineModuleAbi = 1;
inline constexpr const char* kEngineModuleSymbol = "pagestow_engine_module";

// The file of an engine module ("libpagestow-engine-chromium.so"); it is looked for in the folder
// engines/ beside the executable first (a build tree), then in the program's library folder,
// relative to the executable and as installed.
std::string EngineModuleFile(std::string_view name);

} // namespace pagestow::cli
