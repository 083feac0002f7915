#include "engine/chromium/FrameDump.h"

#include "engine/Contract.h"
#include "engine/FrameDumpScript.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pagestow::engine::chromium {

const std::string& FrameDumpExpression()
{
    static const std::string expression
        = std::string(kFrameDumpScript) + "('chromium', " + std::to_string(kMaxAttributes) + ")";
    return expression;
}

namespace {

    using json = nlohmann::json;

    std::optional<std::vector<SnapshotAttribute>> ReadAttributes(const json& list)
    {
        if (!list.is_array() || list.size() % 3 != 0)
            return std::nullopt;
        std::vector<SnapshotAttribute> attributes;
        attributes.reserve(list.size() / 3);
        for (std::size_t i = 0; i < list.size(); i += 3) {
            if (!list[i].is_string() || !list[i + 1].is_string() || !list[i + 2].is_string())
                return std::nullopt;
            attributes.push_back({ list[i].get<std::string>(), list[i + 1].get<std::string>(),
                list[i + 2].get<std::string>() });
        }
        return attributes;
    }

    std::string TextOf(const json& root, const char* key)
    {
        auto found = root.find(key);
        return found != root.end() && found->is_string() ? found->get<std::string>() : std::string();
    }

} // namespace

std::optional<FrameDump> ReadFrameDump(std::string_view text)
{
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object())
        return std::nullopt;
    FrameDump dump;
    auto path = root.find("path");
    if (path == root.end() || !path->is_array())
        return std::nullopt;
    for (const json& index : *path) {
        if (!index.is_number_integer() || index.get<int>() < 0)
            return std::nullopt;
        dump.path.push_back(index.get<int>());
    }
    dump.url = TextOf(root, "url");
    dump.characterSet = TextOf(root, "characterSet");
    dump.html = TextOf(root, "html");

    auto elements = root.find("elements");
    if (elements == root.end() || !elements->is_array())
        return std::nullopt;
    dump.elements.reserve(elements->size());
    for (const json& item : *elements) {
        if (!item.is_array() || item.size() < 3 || item.size() > 4 || !item[0].is_string()
            || !item[1].is_number_integer())
            return std::nullopt;
        SnapshotElement element;
        element.tagName = item[0].get<std::string>();
        element.parent = item[1].get<int>();
        if (element.parent < -1 || element.parent >= int(dump.elements.size()))
            return std::nullopt;
        auto attributes = ReadAttributes(item[2]);
        if (!attributes)
            return std::nullopt;
        element.attributes = std::move(*attributes);
        if (item.size() == 4) {
            if (!item[3].is_string())
                return std::nullopt;
            element.currentSource = item[3].get<std::string>();
        }
        dump.elements.push_back(std::move(element));
    }

    auto frames = root.find("frames");
    if (frames == root.end() || !frames->is_array())
        return std::nullopt;
    for (const json& index : *frames) {
        if (!index.is_number_integer())
            return std::nullopt;
        dump.frames.push_back(std::max(-1, index.get<int>()));
    }
    return dump;
}

} // namespace pagestow::engine::chromium
