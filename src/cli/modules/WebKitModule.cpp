// The webkit engine as a module that pagestow-cli loads when it is asked for.

#include "cli/EngineTable.h"
#include "engine/webkit/WebKitEngine.h"

namespace {

bool Available(std::string& why)
{
    if (pagestow::engine::webkit::WebKitEngineAvailable())
        return true;
    why = "the webkit engine needs a display: set DISPLAY, or run under xvfb-run";
    return false;
}

pagestow::engine::PageEngine* Create()
{
    return pagestow::engine::webkit::CreateWebKitEngine().release();
}

const pagestow::cli::EngineModule kModule { pagestow::cli::kEngineModuleAbi, Available, Create };

} // namespace

extern "C" __attribute__((visibility("default"))) const pagestow::cli::EngineModule* pagestow_engine_module()
{
    return &kModule;
}
