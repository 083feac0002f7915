#include "cli/EngineFactory.h"

#include "engine/static/StaticEngine.h"

#ifdef PAGESTOW_HAVE_CHROMIUM_ENGINE
#include "engine/chromium/ChromiumEngine.h"
#endif
#ifdef PAGESTOW_HAVE_WEBKIT_ENGINE
#include "engine/webkit/WebKitEngine.h"
#endif

namespace pagestow::cli {
namespace {

    EngineChoice NotBuilt(const char* name)
    {
        return { nullptr, std::string("the ") + name + " engine is not built into this pagestow-cli", 2 };
    }

    template <class Make> EngineChoice Start(const char* name, Make make)
    {
        try {
            return { make(), {}, 0 };
        } catch (const std::exception& error) {
            return { nullptr, std::string("the ") + name + " engine cannot start: " + error.what(), 1 };
        }
    }

} // namespace

bool EngineBuilt(EngineName name)
{
    switch (name) {
    case EngineName::Static:
        return true;
    case EngineName::Chromium:
#ifdef PAGESTOW_HAVE_CHROMIUM_ENGINE
        return true;
#else
        return false;
#endif
    case EngineName::WebKit:
#ifdef PAGESTOW_HAVE_WEBKIT_ENGINE
        return true;
#else
        return false;
#endif
    }
    return false;
}

EngineChoice MakeEngine(EngineName name)
{
    switch (name) {
    case EngineName::Static:
        return Start("static", [] { return engine::CreateStaticEngine(); });
    case EngineName::Chromium:
#ifdef PAGESTOW_HAVE_CHROMIUM_ENGINE
        if (!engine::chromium::ChromiumAvailable())
            return { nullptr,
                std::string("the chromium engine needs Chromium (") + engine::chromium::kChromiumProgram
                    + "; Debian package chromium)",
                1 };
        return Start("chromium", [] { return engine::chromium::CreateChromiumEngine(); });
#else
        return NotBuilt("chromium");
#endif
    case EngineName::WebKit:
#ifdef PAGESTOW_HAVE_WEBKIT_ENGINE
        if (!engine::webkit::WebKitEngineAvailable())
            return { nullptr, "the webkit engine needs a display: set DISPLAY, or run under xvfb-run", 1 };
        return Start("webkit", [] { return engine::webkit::CreateWebKitEngine(); });
#else
        return NotBuilt("webkit");
#endif
    }
    return NotBuilt("unknown");
}

} // namespace pagestow::cli
