#include "engine/static/PageParser.h"

#include "base/Ascii.h"
#include "engine/CharacterSet.h"
#include "engine/Contract.h"
#include "engine/static/BoundedParse.h"
#include "engine/static/Charset.h"
#include "engine/static/Srcset.h"
#include "offline/OfflineHtml.h"
#include "url/Address.h"
#include "url/Resolve.h"

#include <gumbo.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

namespace pagestow::engine::static_engine {
namespace {

    using base::IsHtmlSpace;
    using base::TrimHtmlSpace;

    char UpperAscii(char c)
    {
        return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    }

    std::vector<std::string> Tokens(std::string_view text)
    {
        std::vector<std::string> tokens;
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && IsHtmlSpace(text[i]))
                ++i;
            size_t start = i;
            while (i < text.size() && !IsHtmlSpace(text[i]))
                ++i;
            if (i > start)
                tokens.push_back(base::LowerAscii(text.substr(start, i - start)));
        }
        return tokens;
    }

    bool Contains(const std::vector<std::string>& tokens, std::string_view token)
    {
        return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
    }

    const GumboAttribute* FindAttribute(const GumboElement& element, const char* name)
    {
        return gumbo_get_attribute(&element.attributes, name);
    }

    std::optional<std::string_view> AttributeValue(const GumboElement& element, const char* name)
    {
        const GumboAttribute* attribute = FindAttribute(element, name);
        if (!attribute)
            return std::nullopt;
        return std::string_view(attribute->value);
    }

    std::string TagNameOf(const GumboElement& element)
    {
        std::string name;
        if (element.tag != GUMBO_TAG_UNKNOWN) {
            name = gumbo_normalized_tagname(element.tag);
        } else {
            GumboStringPiece original = element.original_tag;
            gumbo_tag_from_original_text(&original);
            name.assign(original.data ? original.data : "", original.length);
            if (element.tag_namespace == GUMBO_NAMESPACE_HTML)
                name = base::LowerAscii(name);
        }
        if (element.tag_namespace == GUMBO_NAMESPACE_SVG) {
            GumboStringPiece original = element.original_tag;
            gumbo_tag_from_original_text(&original);
            if (const char* fixed = gumbo_normalize_svg_tagname(&original))
                name = fixed;
            return name;
        }
        if (element.tag_namespace != GUMBO_NAMESPACE_HTML)
            return name;
        // An HTML element reports its tag name in upper case, as the document model of a browser does.
        std::transform(name.begin(), name.end(), name.begin(), UpperAscii);
        return name;
    }

    std::string AttributeNameOf(const GumboAttribute& attribute)
    {
        switch (attribute.attr_namespace) {
        case GUMBO_ATTR_NAMESPACE_XLINK:
            return std::string("xlink:") + attribute.name;
        case GUMBO_ATTR_NAMESPACE_XML:
            return std::string("xml:") + attribute.name;
        case GUMBO_ATTR_NAMESPACE_XMLNS:
            return std::string(attribute.name) == "xmlns" ? "xmlns" : std::string("xmlns:") + attribute.name;
        default:
            return attribute.name;
        }
    }

    bool IsHtml(const GumboNode* node, GumboTag tag)
    {
        return (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE)
            && node->v.element.tag_namespace == GUMBO_NAMESPACE_HTML && node->v.element.tag == tag;
    }

    // For elements this gumbo version does not know by tag (such as <picture>).
    bool IsHtmlNamed(const GumboNode* node, std::string_view name)
    {
        if (node->type != GUMBO_NODE_ELEMENT || node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML)
            return false;
        std::string tag = TagNameOf(node->v.element);
        return tag.size() == name.size() && base::LowerAscii(tag) == name;
    }

    bool IsJavaScriptType(std::string_view type)
    {
        static const std::set<std::string, std::less<>> kTypes = { "application/ecmascript",
            "application/javascript", "application/x-ecmascript", "application/x-javascript",
            "text/ecmascript", "text/javascript", "text/javascript1.0", "text/javascript1.1",
            "text/javascript1.2", "text/javascript1.3", "text/javascript1.4", "text/javascript1.5",
            "text/jscript", "text/livescript", "text/x-ecmascript", "text/x-javascript", "module" };
        return kTypes.count(base::LowerAscii(TrimHtmlSpace(type))) > 0;
    }

    // Whether a script element is one a browser runs (and so fetches).
    bool IsFetchedScript(const GumboElement& element)
    {
        if (FindAttribute(element, "nomodule"))
            return false;
        auto type = AttributeValue(element, "type");
        if (type && !TrimHtmlSpace(*type).empty())
            return IsJavaScriptType(*type);
        auto language = AttributeValue(element, "language");
        if (type || !language || TrimHtmlSpace(*language).empty())
            return true;
        return IsJavaScriptType("text/" + std::string(TrimHtmlSpace(*language)));
    }

    bool IsPreloadDestination(std::string_view as)
    {
        static const std::set<std::string, std::less<>> kDestinations = { "audio", "document", "embed",
            "fetch", "font", "image", "object", "script", "style", "track", "video", "worker" };
        return kDestinations.count(base::LowerAscii(TrimHtmlSpace(as))) > 0;
    }

    class Walker {
    public:
        Walker(ParsedPage& page, DocumentRole role, std::string_view source, std::uint64_t memoryBytes)
            : m_page(page)
            , m_role(role)
            , m_source(source)
            , m_memoryBytes(memoryBytes)
        {
        }

        // False when the elements would hold more than the memory allowed; those read so far stay.
        bool Walk(const GumboNode* document);

    private:
        std::optional<std::string> Resolve(std::string_view value) const
        {
            return url::Resolve(m_page.baseUrl, value, { m_page.characterSet, EncodeInCharacterSet });
        }
        // Requests value's address once; the address, or nullopt when there is none.
        std::optional<std::string> AddResource(std::string_view value, ResourceKind kind);
        void Discover(const GumboNode* node, int index);
        void AddFrame(const GumboElement& element);
        void AddImage(const GumboNode* node, int index);
        void ResolveAddressAttributes();

        size_t NoscriptEnd(size_t start) const;

        ParsedPage& m_page;
        DocumentRole m_role;
        std::string_view m_source;
        std::uint64_t m_memoryBytes;
        std::set<std::string> m_seen;
    };

    std::optional<std::string> Walker::AddResource(std::string_view value, ResourceKind kind)
    {
        auto url = Resolve(value);
        if (url && m_seen.insert(*url).second)
            m_page.resources.push_back({ *url, kind });
        return url;
    }

    bool IsAddressAttribute(std::string_view name)
    {
        return name == "href" || name == "src" || name == "real_src" || name == "background";
    }

    // The address each address attribute names, as the engine requests it.
    void Walker::ResolveAddressAttributes()
    {
        for (SnapshotElement& element : m_page.elements) {
            for (SnapshotAttribute& attribute : element.attributes) {
                if (IsAddressAttribute(attribute.name))
                    attribute.resolved = Resolve(attribute.value).value_or(std::string());
            }
        }
    }

    void Walker::AddFrame(const GumboElement& element)
    {
        FrameReference frame;
        auto src = AttributeValue(element, "src");
        std::string_view value = src ? TrimHtmlSpace(*src) : std::string_view();
        std::string lower = base::LowerAscii(value);
        std::string scheme = url::SchemeOf(value);
        if (auto srcdoc = AttributeValue(element, "srcdoc"); srcdoc && element.tag == GUMBO_TAG_IFRAME) {
            frame.kind = FrameReference::Kind::Srcdoc;
            frame.markup = std::string(*srcdoc);
        } else if (value.empty() || lower == "about:blank" || lower.rfind("about:blank#", 0) == 0
            || lower.rfind("about:blank?", 0) == 0 || scheme == "javascript" || scheme == "data") {
            frame.kind = FrameReference::Kind::Blank;
        } else if (auto url = Resolve(value)) {
            frame.kind = FrameReference::Kind::Address;
            frame.url = *url;
        } else {
            frame.kind = FrameReference::Kind::Unreachable;
        }
        m_page.frames.push_back(std::move(frame));
    }

    void Walker::AddImage(const GumboNode* node, int index)
    {
        const GumboElement& element = node->v.element;
        std::string_view src = AttributeValue(element, "src").value_or("");
        // A candidate other than src is the image's current source.
        auto chosen = [&](const std::string& picked) {
            auto url = AddResource(picked, ResourceKind::Image);
            if (url && url != Resolve(src))
                m_page.elements[size_t(index)].currentSource = *url;
        };
        // Inside a <picture>, the first <source> before the image whose type and media fit wins.
        const GumboNode* parent = node->parent;
        if (parent && IsHtmlNamed(parent, "picture")) {
            const GumboVector& siblings = parent->v.element.children;
            for (unsigned i = 0; i < siblings.length; ++i) {
                auto sibling = static_cast<const GumboNode*>(siblings.data[i]);
                if (sibling == node)
                    break;
                if (!IsHtml(sibling, GUMBO_TAG_SOURCE))
                    continue;
                const GumboElement& source = sibling->v.element;
                auto srcset = AttributeValue(source, "srcset");
                if (!srcset || TrimHtmlSpace(*srcset).empty())
                    continue;
                if (auto media = AttributeValue(source, "media");
                    media && !MediaMatches(*media, kViewportWidth))
                    continue;
                if (auto type = AttributeValue(source, "type"); type && !IsSupportedImageType(*type))
                    continue;
                std::string picked = PickSrcsetCandidate(
                    *srcset, AttributeValue(source, "sizes").value_or(""), "", kViewportWidth);
                if (!picked.empty()) {
                    chosen(picked);
                    return;
                }
            }
        }
        auto srcset = AttributeValue(element, "srcset");
        if (srcset && !TrimHtmlSpace(*srcset).empty()) {
            std::string picked = PickSrcsetCandidate(
                *srcset, AttributeValue(element, "sizes").value_or(""), src, kViewportWidth);
            chosen(picked);
            return;
        }
        AddResource(src, ResourceKind::Image);
    }

    void Walker::Discover(const GumboNode* node, int index)
    {
        const GumboElement& element = node->v.element;
        if (element.tag_namespace != GUMBO_NAMESPACE_HTML)
            return;
        switch (element.tag) {
        case GUMBO_TAG_LINK: {
            auto href = AttributeValue(element, "href");
            if (!href)
                return;
            std::vector<std::string> rel = Tokens(AttributeValue(element, "rel").value_or(""));
            if (Contains(rel, "stylesheet") && !Contains(rel, "alternate"))
                AddResource(*href, ResourceKind::Stylesheet);
            if (Contains(rel, "icon") && m_role == DocumentRole::TopLevel)
                AddResource(*href, ResourceKind::Icon);
            if (Contains(rel, "preload") && IsPreloadDestination(AttributeValue(element, "as").value_or("")))
                AddResource(*href, ResourceKind::Preload);
            if (Contains(rel, "modulepreload"))
                AddResource(*href, ResourceKind::Script);
            return;
        }
        case GUMBO_TAG_SCRIPT:
            if (auto src = AttributeValue(element, "src"); src && IsFetchedScript(element))
                AddResource(*src, ResourceKind::Script);
            return;
        case GUMBO_TAG_IMG:
            AddImage(node, index);
            return;
        case GUMBO_TAG_INPUT:
            if (base::LowerAscii(TrimHtmlSpace(AttributeValue(element, "type").value_or(""))) == "image")
                AddResource(AttributeValue(element, "src").value_or(""), ResourceKind::Image);
            return;
        case GUMBO_TAG_BODY:
            AddResource(AttributeValue(element, "background").value_or(""), ResourceKind::Image);
            return;
        case GUMBO_TAG_FRAME:
        case GUMBO_TAG_IFRAME:
            AddFrame(element);
            return;
        default:
            return;
        }
    }

    // Where the text of a <noscript> starting at start ends: a browser that runs scripts reads
    // everything up to the next "</noscript" as text.
    size_t Walker::NoscriptEnd(size_t start) const
    {
        for (size_t i = start + 1; i + 10 <= m_source.size(); ++i) {
            if (m_source[i] == '<' && m_source[i + 1] == '/'
                && base::LowerAscii(m_source.substr(i + 2, 8)) == "noscript")
                return i;
        }
        return m_source.size();
    }

    bool Walker::Walk(const GumboNode* document)
    {
        // Elements and comments in source order, without recursion (documents can nest deeply).
        struct Item {
            const GumboNode* node;
            int parent;
        };
        std::vector<Item> stack;
        auto pushChildren = [&](const GumboVector& children, int parent) {
            for (unsigned i = children.length; i-- > 0;)
                stack.push_back({ static_cast<const GumboNode*>(children.data[i]), parent });
        };
        pushChildren(document->v.document.children, -1);
        // The source range of the <noscript> text being passed through: what the parser made of it
        // is text to a browser that runs scripts, so it is neither an element nor loaded.
        size_t noscriptStart = 0;
        size_t noscriptEnd = 0;
        auto inNoscript = [&](size_t offset, bool fromSource) {
            return fromSource && offset > noscriptStart && offset < noscriptEnd;
        };
        std::vector<std::pair<const GumboNode*, int>> inOrder;
        std::uint64_t held = 0;
        bool complete = true;
        while (!stack.empty()) {
            Item item = stack.back();
            stack.pop_back();
            const GumboNode* node = item.node;
            if (node->type == GUMBO_NODE_COMMENT) {
                if (!inNoscript(node->v.text.start_pos.offset, true))
                    m_page.elements.push_back({ "!", {}, item.parent });
                continue;
            }
            if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
                continue;
            const GumboElement& element = node->v.element;
            if (inNoscript(element.start_pos.offset, element.original_tag.length > 0)) {
                pushChildren(element.children, item.parent);
                continue;
            }
            SnapshotElement snapshot;
            snapshot.tagName = TagNameOf(element);
            snapshot.parent = item.parent;
            held += sizeof(SnapshotElement) + sizeof(std::pair<const GumboNode*, int>)
                + snapshot.tagName.size();
            for (unsigned i = 0; i < element.attributes.length; ++i) {
                auto attribute = static_cast<const GumboAttribute*>(element.attributes.data[i]);
                snapshot.attributes.push_back({ AttributeNameOf(*attribute), attribute->value });
                // The resolved address is about as long as the value.
                held += sizeof(SnapshotAttribute) + snapshot.attributes.back().name.size()
                    + 2 * snapshot.attributes.back().value.size();
            }
            if (held > m_memoryBytes) {
                complete = false;
                break;
            }
            int index = int(m_page.elements.size());
            m_page.elements.push_back(std::move(snapshot));
            inOrder.emplace_back(node, index);
            if (IsHtml(node, GUMBO_TAG_NOSCRIPT) && element.original_tag.length > 0
                && element.start_pos.offset >= noscriptEnd) {
                noscriptStart = element.start_pos.offset;
                noscriptEnd = NoscriptEnd(noscriptStart);
            }
            // A template's content is no part of the document.
            if (node->type == GUMBO_NODE_TEMPLATE)
                continue;
            pushChildren(element.children, index);
        }
        // The first <base href> sets the address every other reference is read against.
        for (auto [node, index] : inOrder) {
            if (IsHtml(node, GUMBO_TAG_BASE)) {
                if (auto href = AttributeValue(node->v.element, "href")) {
                    if (auto base = Resolve(*href))
                        m_page.baseUrl = *base;
                    break;
                }
            }
        }
        ResolveAddressAttributes();
        for (auto [node, index] : inOrder)
            Discover(node, index);
        m_page.heldBytes = held;
        return complete;
    }

    enum class DocumentType { Html, Image, Text, Other };

    DocumentType TypeOf(std::string_view contentType)
    {
        std::string essence = base::LowerAscii(TrimHtmlSpace(contentType.substr(0, contentType.find(';'))));
        if (essence.empty() || essence == "text/html" || essence == "application/xhtml+xml"
            || essence == "text/xml" || essence == "application/xml" || essence == "image/svg+xml")
            return DocumentType::Html;
        if (essence.rfind("image/", 0) == 0)
            return DocumentType::Image;
        if (essence.rfind("text/", 0) == 0 || essence == "application/json"
            || essence == "application/javascript")
            return DocumentType::Text;
        return DocumentType::Other;
    }

} // namespace

ParsedPage ParsePage(std::string_view bytes, std::string_view contentType, const std::string& url,
    DocumentRole role, const ParseBounds& bounds, bool withStyles)
{
    ParsedPage page;
    page.baseUrl = url;
    DocumentType type = TypeOf(contentType);
    if (type != DocumentType::Html) {
        // A browser shows an image or a text in a document of its own making.
        page.characterSet = type == DocumentType::Text ? DetectCharset(bytes, contentType).name : "UTF-8";
        page.elements = BlankDocumentElements();
        if (type == DocumentType::Image)
            page.elements.push_back({ "IMG", { { "src", url } }, 2 });
        if (type == DocumentType::Text)
            page.elements.push_back({ "PRE", {}, 2 });
        page.body = 2;
        return page;
    }

    DetectedCharset charset = DetectCharset(bytes, contentType);
    page.characterSet = charset.name;
    auto blank = [&](ParseStop stop) {
        page.elements = BlankDocumentElements();
        page.body = 2;
        page.stop = stop;
        return page;
    };
    // The decoded text counts against the memory of the parse; a page too large to parse in what
    // is left is kept as its bytes, without elements.
    if (bytes.size() >= bounds.memoryBytes)
        return blank(ParseStop::OverBudget);
    std::string text = DecodeToUtf8(bytes.substr(charset.bomLength), charset.name);
    if (text.size() >= bounds.memoryBytes)
        return blank(ParseStop::OverBudget);
    // Nesting and attributes are bounded before the parser sees the text.
    if (auto bounded = BoundTreeInput(text))
        text = std::move(*bounded);
    ParseBounds parseBounds = bounds;
    parseBounds.memoryBytes = bounds.memoryBytes > text.size() ? bounds.memoryBytes - text.size() : 0;
    BoundedParse parse(text, parseBounds);
    if (!parse.Output())
        return blank(parse.Stop());
    std::uint64_t left = parseBounds.memoryBytes - std::min(parseBounds.memoryBytes, parse.HeldBytes());
    if (!Walker(page, role, text, left).Walk(parse.Output()->document))
        page.stop = ParseStop::OverBudget;
    if (withStyles && text == bytes)
        page.styles = std::make_shared<const offline::DocumentStyles>(
            offline::ReadDocumentStyles(*parse.Output(), text, url));
    SnapshotDocument view;
    view.elements = std::move(page.elements);
    page.body = FindBodyElement(view);
    page.elements = std::move(view.elements);
    return page;
}

} // namespace pagestow::engine::static_engine
