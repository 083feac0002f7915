#include "engine/webkit/FrameDump.h"

#include "engine/webkit/CharsetEncoding.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

namespace pagestow::engine::webkit {
namespace {

    using Json = nlohmann::json;

    // Frames nest no deeper than this; a deeper path is ignored rather than followed.
    constexpr size_t kMaxFrameDepth = 64;

    std::string TextOf(const Json& object, const char* key)
    {
        auto found = object.find(key);
        return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
    }

    std::shared_ptr<SnapshotDocument> Build(
        const std::map<std::vector<int>, const FrameDump*>& byPath, const std::vector<int>& path)
    {
        auto found = byPath.find(path);
        if (found == byPath.end())
            return nullptr;
        auto document = std::make_shared<SnapshotDocument>(found->second->document);
        if (path.size() >= kMaxFrameDepth)
            return document;
        std::vector<int> childPath = path;
        childPath.push_back(0);
        for (int i = 0; i < found->second->frameCount; ++i) {
            childPath.back() = i;
            document->frames.push_back({ Build(byPath, childPath) });
        }
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

    SnapshotDocument& document = dump.document;
    document.url = TextOf(root, "url");
    document.characterSet = TextOf(root, "characterSet");
    if (!CanEncodeCharset(document.characterSet))
        document.characterSet = "UTF-8";
    document.serialization = EncodeForCharset(TextOf(root, "html"), document.characterSet);

    auto elements = root.find("elements");
    if (elements != root.end() && elements->is_array()) {
        for (const Json& item : *elements) {
            if (!item.is_array() || item.size() != 3 || !item[0].is_string() || !item[1].is_number_integer()
                || !item[2].is_array())
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
                    { attributes[i].get<std::string>(), attributes[i + 1].get<std::string>() });
            }
            document.elements.push_back(std::move(element));
        }
    }
    document.body = FindBodyElement(document);
    return dump;
}

std::shared_ptr<SnapshotDocument> AssembleSnapshot(const std::vector<FrameDump>& dumps)
{
    std::map<std::vector<int>, const FrameDump*> byPath;
    for (const FrameDump& dump : dumps) {
        if (dump.path)
            byPath.try_emplace(*dump.path, &dump);
    }
    return Build(byPath, {});
}

} // namespace pagestow::engine::webkit
