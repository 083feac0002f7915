#include "engine/webkit/FrameDump.h"

#include "engine/CharacterSet.h"
#include "engine/Contract.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <strings.h>

namespace pagestow::engine::webkit {
namespace {

    using Json = nlohmann::json;

    std::string TextOf(const Json& object, const char* key)
    {
        auto found = object.find(key);
        return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
    }

    std::string WithoutFragment(const std::string& address)
    {
        return address.substr(0, address.find('#'));
    }

    // Whether a frame source names an address a load was made from (not a blank, script or data
    // document).
    bool IsLoadableSource(const std::string& source)
    {
        for (const char* scheme : { "http:", "https:", "ftp:", "file:" }) {
            if (source.size() > std::strlen(scheme)
                && strncasecmp(source.c_str(), scheme, std::strlen(scheme)) == 0)
                return true;
        }
        return false;
    }

    struct Level {
        const FrameDump* dump;
        const Level* parent;
    };

    std::shared_ptr<SnapshotDocument> Build(const std::map<std::vector<int>, const FrameDump*>& byPath,
        const std::set<std::string>& unanswered, std::vector<int>& path, const Level* parent)
    {
        auto found = byPath.find(path);
        if (found == byPath.end()) {
            // A frame whose document no script ever touched reports nothing: a blank frame, or one
            // whose load failed before any document arrived. Its parent's frame element tells which.
            const std::vector<std::string>* sources = parent ? &parent->dump->frameSources : nullptr;
            if (!sources || path.back() >= int(sources->size()))
                return nullptr;
            const std::string& source = (*sources)[size_t(path.back())];
            if (IsLoadableSource(source))
                return MakeBlankDocument(source, DocumentOrigin::Failed);
            return MakeBlankDocument(parent->dump->document.url, DocumentOrigin::Inherited);
        }
        auto document = std::make_shared<SnapshotDocument>(found->second->document);
        if (!parent) {
            // The page itself is what was navigated to, whatever its address.
            document->origin = DocumentOrigin::Loaded;
        } else {
            const SnapshotDocument& parentDocument = parent->dump->document;
            const std::vector<std::string>& sources = parent->dump->frameSources;
            std::string source = path.back() < int(sources.size()) ? sources[size_t(path.back())] : "";
            bool ancestors = false;
            for (const Level* level = parent; level && !ancestors; level = level->parent)
                ancestors = WithoutFragment(level->dump->document.url) == WithoutFragment(document->url);
            if (document->origin == DocumentOrigin::Loaded && unanswered.count(document->url)) {
                document->origin = DocumentOrigin::Failed;
            } else if (document->origin == DocumentOrigin::Inherited && document->url == "about:blank"
                && IsLoadableSource(source)) {
                // The frame asked for an address and shows nothing of it.
                document->origin = DocumentOrigin::Failed;
                document->url = source;
            } else if (document->origin == DocumentOrigin::Inherited || ancestors) {
                document->origin = DocumentOrigin::Inherited;
                document->url = parentDocument.url;
            }
        }
        if (path.size() >= size_t(kFrameDepthLimit))
            return document;
        Level level { found->second, parent };
        path.push_back(0);
        for (int i = 0; i < found->second->frameCount; ++i) {
            path.back() = i;
            document->frames.push_back({ Build(byPath, unanswered, path, &level) });
        }
        path.pop_back();
        return document;
    }

} // namespace

std::optional<FrameDump> ParseFrameDump(std::string_view json)
{
    Json root = Json::parse(json.begin(), json.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object())
        return std::nullopt;

    FrameDump dump;
    auto path = root.find("path");
    if (path != root.end() && path->is_array()) {
        std::vector<int> indexes;
        for (const Json& index : *path) {
            if (!index.is_number_integer())
                return std::nullopt;
            indexes.push_back(index.get<int>());
        }
        dump.path = std::move(indexes);
    }
    auto frameCount = root.find("frameCount");
    if (frameCount != root.end() && frameCount->is_number_integer())
        dump.frameCount = std::max(0, frameCount->get<int>());
    auto frameSources = root.find("frameSources");
    if (frameSources != root.end() && frameSources->is_array()) {
        for (const Json& source : *frameSources)
            dump.frameSources.push_back(source.is_string() ? source.get<std::string>() : std::string());
    }

    SnapshotDocument& document = dump.document;
    document.url = TextOf(root, "url");
    auto inherited = root.find("inherited");
    if (inherited != root.end() && inherited->is_boolean() && inherited->get<bool>())
        document.origin = DocumentOrigin::Inherited;
    document.characterSet = TextOf(root, "characterSet");
    if (!CanEncodeCharacterSet(document.characterSet))
        document.characterSet = "UTF-8";
    document.serialization = EncodeInCharacterSet(TextOf(root, "html"), document.characterSet);

    auto elements = root.find("elements");
    if (elements != root.end() && elements->is_array()) {
        for (const Json& item : *elements) {
            if (!item.is_array() || item.size() < 3 || item.size() > 5 || !item[0].is_string()
                || !item[1].is_number_integer() || !item[2].is_array())
                return std::nullopt;
            SnapshotElement element;
            element.tagName = item[0].get<std::string>();
            element.parent = item[1].get<int>();
            if (element.parent < -1 || element.parent >= int(document.elements.size()))
                element.parent = -1;
            const Json& attributes = item[2];
            for (size_t i = 0; i + 1 < attributes.size(); i += 2) {
                if (!attributes[i].is_string() || !attributes[i + 1].is_string())
                    return std::nullopt;
                element.attributes.push_back(
                    { attributes[i].get<std::string>(), attributes[i + 1].get<std::string>(), {} });
            }
            // The engine's own resolution of address attributes: pairs of attribute index and address.
            if (item.size() > 3 && item[3].is_array()) {
                const Json& resolved = item[3];
                for (size_t i = 0; i + 1 < resolved.size(); i += 2) {
                    if (!resolved[i].is_number_integer() || !resolved[i + 1].is_string())
                        return std::nullopt;
                    int index = resolved[i].get<int>();
                    if (index >= 0 && index < int(element.attributes.size()))
                        element.attributes[size_t(index)].resolved = resolved[i + 1].get<std::string>();
                }
            }
            if (item.size() > 4 && item[4].is_string())
                element.currentSource = item[4].get<std::string>();
            document.elements.push_back(std::move(element));
        }
    }
    document.body = FindBodyElement(document);
    return dump;
}

std::shared_ptr<SnapshotDocument> AssembleSnapshot(
    const std::vector<FrameDump>& dumps, const std::set<std::string>& unanswered)
{
    std::map<std::vector<int>, const FrameDump*> byPath;
    for (const FrameDump& dump : dumps) {
        if (dump.path)
            byPath.try_emplace(*dump.path, &dump);
    }
    std::vector<int> path;
    return Build(byPath, unanswered, path, nullptr);
}

} // namespace pagestow::engine::webkit
