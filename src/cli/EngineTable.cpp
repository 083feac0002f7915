#include "cli/EngineTable.h"

#include "engine/static/StaticEngine.h"
#include "mapping/FileUtils.h"

#include <dlfcn.h>

#include <array>
#include <map>
#include <mutex>
#include <stdexcept>

namespace pagestow::cli {
namespace {

    bool StaticAvailable(std::string&)
    {
        return true;
    }

    std::unique_ptr<engine::PageEngine> CreateStatic()
    {
        return engine::CreateStaticEngine();
    }

    // A loaded engine module, or why it could not be loaded. Modules stay loaded until the program
    // ends: engines made from them may live until then.
    struct LoadedModule {
        const EngineModule* module = nullptr;
        std::string error;
    };

    LoadedModule LoadModule(std::string_view name)
    {
        std::string file = EngineModuleFile(name);
        std::string errors;
        std::string exeFolder = mapping::GetExeDirectory();
        if (!exeFolder.empty() && exeFolder.back() != '/')
            exeFolder += '/';
        for (const std::string& folder :
            { exeFolder + "engines/", exeFolder + PAGESTOW_ENGINE_MODULE_RELATIVE_DIR + "/",
                std::string(PAGESTOW_ENGINE_MODULE_DIR "/") }) {
            std::string path = folder + file;
            // Local binding keeps the module's own copies of our libraries out of the global scope;
            // the program's exported symbols are still preferred, so the engine cache is one.
            void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* error = dlerror();
                errors += std::string(errors.empty() ? "" : "; ") + (error ? error : path);
                continue;
            }
            using Entry = const EngineModule* (*)();
            auto entry = reinterpret_cast<Entry>(dlsym(handle, kEngineModuleSymbol));
            const EngineModule* module = entry ? entry() : nullptr;
            if (!module || module->abiVersion != kEngineModuleAbi) {
                errors += std::string(errors.empty() ? "" : "; ") + path + " is not a module of this build";
                dlclose(handle);
                continue;
            }
            return { module, {} };
        }
        return { nullptr, "the " + std::string(name) + " engine module cannot be loaded (" + errors + ")" };
    }

    const LoadedModule& Module(std::string_view name)
    {
        static std::mutex mutex;
        static std::map<std::string, LoadedModule, std::less<>> loaded;
        std::lock_guard lock(mutex);
        auto found = loaded.find(name);
        if (found == loaded.end())
            found = loaded.emplace(std::string(name), LoadModule(name)).first;
        return found->second;
    }

    template <const char* kName> bool ModuleAvailable(std::string& why)
    {
        const LoadedModule& loaded = Module(kName);
        if (!loaded.module) {
            why = loaded.error;
            return false;
        }
        return loaded.module->available(why);
    }

    template <const char* kName> std::unique_ptr<engine::PageEngine> CreateFromModule()
    {
        const LoadedModule& loaded = Module(kName);
        if (!loaded.module)
            throw std::runtime_error(loaded.error);
        return std::unique_ptr<engine::PageEngine>(loaded.module->create());
    }

    constexpr char kChromium[] = "chromium";
    constexpr char kWebKit[] = "webkit";

    const std::array<EngineEntry, 3> kEngines { {
        { "static", StaticAvailable, CreateStatic },
        { kChromium, ModuleAvailable<kChromium>, CreateFromModule<kChromium> },
        { kWebKit, ModuleAvailable<kWebKit>, CreateFromModule<kWebKit> },
    } };

} // namespace

std::span<const EngineEntry> Engines()
{
    return kEngines;
}

const EngineEntry* FindEngine(std::string_view name)
{
    for (const EngineEntry& entry : kEngines) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

std::unique_ptr<engine::PageEngine> StartEngine(std::string_view name, std::string& why)
{
    const EngineEntry* entry = FindEngine(name);
    if (!entry) {
        why = "no engine is called " + std::string(name);
        return nullptr;
    }
    if (!entry->available(why))
        return nullptr;
    try {
        return entry->create();
    } catch (const std::exception& error) {
        why = std::string(name) + " cannot start: " + error.what();
        return nullptr;
    }
}

std::string EngineModuleFile(std::string_view name)
{
    return "libpagestow-engine-" + std::string(name) + ".so";
}

} // namespace pagestow::cli
