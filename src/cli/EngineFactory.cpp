#include "cli/EngineFactory.h"

#include "cli/EngineTable.h"

namespace pagestow::cli {

const char* EngineNameText(EngineName name)
{
    switch (name) {
    case EngineName::Static:
        return "static";
    case EngineName::Chromium:
        return "chromium";
    case EngineName::WebKit:
        return "webkit";
    }
    return "static";
}

EngineChoice MakeEngine(EngineName name)
{
    const EngineEntry* entry = FindEngine(EngineNameText(name));
    std::string why;
    if (!entry->available(why))
        return { nullptr, why, 1 };
    try {
        return { entry->create(), {}, 0 };
    } catch (const std::exception& error) {
        return { nullptr,
            std::string("the ") + EngineNameText(name) + " engine cannot start: " + error.what(), 1 };
    }
}

} // namespace pagestow::cli
