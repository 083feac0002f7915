#include "engine/chromium/FrameDump.h"

#include "engine/Contract.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pagestow::engine::chromium {

// 1. The frame's place among its parent's frames, level by level (allowed across origins).
// 2. The serialisation: the doctype and every top-level node as the browser writes it.
// 3. Elements and comments in document order; each address attribute is resolved as the browser
//    resolves it (an unattached link of the same document: its base, its character set for the
//    query); an image's loaded candidate when it is not its src.
// 4. A document cut short before its body (a body still on its way at the load time-out) is given
//    the empty body a parser gives it at the end of its input.
// 5. An element's first kMaxAttributes attributes, the argument the script is called with.
constexpr std::string_view kFrameDumpScript = R"JS(
(function (maxAttributes) {
    var d = document;
    function indexPath(w) {
        var path = [];
        try {
            while (w.parent !== w) {
                var parent = w.parent, n = parent.frames.length, i = 0;
                while (i < n && parent.frames[i] !== w)
                    ++i;
                if (i === n)
                    return null;
                path.unshift(i);
                w = parent;
            }
        } catch (e) {
            return null;
        }
        return path;
    }
    var xhtml = 'http://www.w3.org/1999/xhtml';
    var anchor = d.createElementNS(xhtml, 'a');
    function resolve(value) {
        if (/^[\t\n\f\r ]*$/.test(value))
            return '';
        anchor.setAttribute('href', value);
        var href = anchor.href;
        return typeof href !== 'string' || anchor.protocol === ':' ? '' : href;
    }
    var addressNames = new Set(['href', 'src', 'real_src', 'background']);

    var parts = [];
    var rootPart = -1;
    for (var c = d.firstChild; c; c = c.nextSibling) {
        if (c.nodeType === 10)
            parts.push(new XMLSerializer().serializeToString(c));
        else if (c.nodeType === 8)
            parts.push('<!--' + c.data + '-->');
        else if (c.nodeType === 1) {
            if (c === d.documentElement)
                rootPart = parts.length;
            parts.push(c.outerHTML);
        }
    }

    var windows = [];
    for (var k = 0; k < window.frames.length; ++k)
        windows.push(window.frames[k]);
    var elements = [], frames = [];
    var positions = new Map();
    var walker = d.createTreeWalker(d, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_COMMENT);
    for (var node = walker.nextNode(); node; node = walker.nextNode()) {
        var parentIndex = -1;
        for (var up = node.parentNode; up; up = up.parentNode) {
            if (positions.has(up)) {
                parentIndex = positions.get(up);
                break;
            }
        }
        positions.set(node, elements.length);
        if (node.nodeType === 8) {
            elements.push(['!', parentIndex, []]);
            continue;
        }
        var attributes = [], src = '';
        for (var a = 0, count = Math.min(node.attributes.length, maxAttributes); a < count; ++a) {
            var attribute = node.attributes[a];
            var resolved = addressNames.has(attribute.name.toLowerCase()) ? resolve(attribute.value) : '';
            if (attribute.name === 'src')
                src = resolved;
            attributes.push(attribute.name, attribute.value, resolved);
        }
        var item = [node.tagName, parentIndex, attributes];
        var local = node.namespaceURI === xhtml ? node.localName : '';
        if (local === 'img' && node.currentSrc && node.currentSrc !== src && node.currentSrc !== node.src)
            item.push(node.currentSrc);
        elements.push(item);
        if (local === 'iframe' || local === 'frame') {
            var shown = node.contentWindow;
            frames.push(shown ? windows.indexOf(shown) : -1);
        }
    }

    var root = d.documentElement;
    if (!root) {
        parts.push('<html><head></head><body></body></html>');
        var at = elements.length;
        elements.push(['HTML', -1, []], ['HEAD', at, []], ['BODY', at, []]);
    } else if (!d.body && root.namespaceURI === xhtml && root.localName === 'html' && rootPart >= 0) {
        var closing = '</' + root.tagName.toLowerCase() + '>';
        var text = parts[rootPart];
        if (text.endsWith(closing))
            parts[rootPart] = text.slice(0, text.length - closing.length) + '<body></body>' + closing;
        elements.push([root.tagName === 'HTML' ? 'BODY' : 'body', positions.get(root), []]);
    }

    var dump = JSON.stringify({
        path: indexPath(window),
        url: d.URL,
        characterSet: d.characterSet,
        html: parts.join(''),
        elements: elements,
        frames: frames
    });
    return typeof dump.toWellFormed === 'function' ? dump.toWellFormed() : dump;
})
)JS";

const std::string& FrameDumpExpression()
{
    static const std::string expression
        = std::string(kFrameDumpScript) + "(" + std::to_string(kMaxAttributes) + ")";
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
