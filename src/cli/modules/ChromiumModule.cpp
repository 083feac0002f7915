// The chromium engine as a module that pagestow-cli loads when it is asked for.

#include "cli/EngineTable.h"
#include "engine/chromium/ChromiumEngine.h"

namespace {

bool Available(std::string& why)
{
    if (pagestow::engine::chromium::ChromiumAvailable())
        return true;
    why = std::string("the chromium engine needs Chromium (") + pagestow::engine::chromium::kChromiumProgram
        + "; Debian package chromium)";
    return false;
}

pagestow::engine::PageEngine* Create()
{
    return pagestow::engine::chromium::CreateChromiumEngine().release();
}

const pagestow::cli::EngineModule kModule { pagestow::cli::kEngineModuleAbi, Available, Create };

} // namespace

extern "C" __attribute__((visibility("default"))) const pagestow::cli::EngineModule* pagestow_engine_module()
{
    return &kModule;
}
