#include "engine/chromium/DomTree.h"

#include <deque>
#include <utility>

namespace pagestow::engine::chromium {
namespace {

    constexpr int kElementNode = 1;
    constexpr int kCommentNode = 8;

    bool IsFrameOwner(const std::string& nodeName)
    {
        auto equals = [&](std::string_view name) {
            if (nodeName.size() != name.size())
                return false;
            for (std::size_t i = 0; i < name.size(); ++i) {
                char c = nodeName[i];
                if (c >= 'a' && c <= 'z')
                    c = char(c - 'a' + 'A');
                if (c != name[i])
                    return false;
            }
            return true;
        };
        return equals("IFRAME") || equals("FRAME");
    }

    std::vector<SnapshotAttribute> AttributesOf(const nlohmann::json& node)
    {
        std::vector<SnapshotAttribute> attributes;
        auto list = node.find("attributes");
        if (list == node.end() || !list->is_array())
            return attributes;
        for (std::size_t i = 0; i + 1 < list->size(); i += 2) {
            const auto& name = (*list)[i];
            const auto& value = (*list)[i + 1];
            if (name.is_string() && value.is_string())
                attributes.push_back({ name.get<std::string>(), value.get<std::string>() });
        }
        return attributes;
    }

    // The children of a node in document order; a template's content counts as its children, the way
    // a parser without templates sees them. Shadow trees and pseudo-elements are not part of the
    // document's element list.
    std::vector<const nlohmann::json*> ChildrenOf(const nlohmann::json& node)
    {
        std::vector<const nlohmann::json*> children;
        if (auto list = node.find("children"); list != node.end() && list->is_array())
            for (const auto& child : *list)
                children.push_back(&child);
        if (auto content = node.find("templateContent"); content != node.end() && content->is_object())
            if (auto list = content->find("children"); list != content->end() && list->is_array())
                for (const auto& child : *list)
                    children.push_back(&child);
        return children;
    }

    struct PendingDocument {
        const nlohmann::json* node;
        std::string frameId;
    };

    // Walks one document (without descending into frame documents), with an explicit stack so that a
    // very deep tree cannot exhaust ours.
    DomDocument ReadDocument(
        const PendingDocument& pending, std::deque<PendingDocument>& frameDocuments, int& nextDocumentIndex)
    {
        DomDocument document;
        const nlohmann::json& root = *pending.node;
        document.url = root.value("documentURL", std::string());
        document.nodeId = root.value("nodeId", 0);
        document.frameId = pending.frameId;

        struct Visit {
            const nlohmann::json* node;
            int parent;
        };
        std::vector<Visit> stack;
        auto pushChildren = [&](const nlohmann::json& node, int parent) {
            auto children = ChildrenOf(node);
            for (auto child = children.rbegin(); child != children.rend(); ++child)
                stack.push_back({ *child, parent });
        };
        pushChildren(root, -1);
        while (!stack.empty()) {
            Visit visit = stack.back();
            stack.pop_back();
            const nlohmann::json& node = *visit.node;
            int type = node.value("nodeType", 0);
            if (type == kCommentNode) {
                document.elements.push_back({ "!", {}, visit.parent });
                continue;
            }
            if (type != kElementNode)
                continue;
            int index = int(document.elements.size());
            std::string name = node.value("nodeName", std::string());
            document.elements.push_back({ name, AttributesOf(node), visit.parent });
            if (IsFrameOwner(name)) {
                DomDocument::Frame frame;
                frame.frameId = node.value("frameId", std::string());
                if (auto content = node.find("contentDocument");
                    content != node.end() && content->is_object()) {
                    frame.document = nextDocumentIndex++;
                    frameDocuments.push_back({ &*content, frame.frameId });
                }
                document.frames.push_back(std::move(frame));
            }
            pushChildren(node, index);
        }
        return document;
    }

} // namespace

std::vector<DomDocument> ReadDomTree(const nlohmann::json& root, const std::string& topFrameId)
{
    std::vector<DomDocument> documents;
    if (!root.is_object())
        return documents;
    std::deque<PendingDocument> queue = { { &root, topFrameId } };
    int nextDocumentIndex = 1;
    while (!queue.empty()) {
        PendingDocument pending = queue.front();
        queue.pop_front();
        documents.push_back(ReadDocument(pending, queue, nextDocumentIndex));
    }
    return documents;
}

} // namespace pagestow::engine::chromium
