#include "engine/static/PageParser.h"

#include "engine/static/Charset.h"
#include "engine/static/Url.h"

#include <gumbo.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

namespace pagestow::engine::static_engine {
namespace {

    // The width of the window the engine pretends to have, for srcset and media conditions.
    constexpr int kViewportWidth = 1280;

    char LowerAscii(char c)
    {
        return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    char UpperAscii(char c)
    {
        return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    }

    bool IsSpace(char c)
    {
        return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
    }

    std::string Lower(std::string_view text)
    {
        std::string out(text);
        std::transform(out.begin(), out.end(), out.begin(), LowerAscii);
        return out;
    }

    std::string_view Trim(std::string_view text)
    {
        while (!text.empty() && IsSpace(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && IsSpace(text.back()))
            text.remove_suffix(1);
        return text;
    }

    std::vector<std::string> Tokens(std::string_view text)
    {
        std::vector<std::string> tokens;
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && IsSpace(text[i]))
                ++i;
            size_t start = i;
            while (i < text.size() && !IsSpace(text[i]))
                ++i;
            if (i > start)
                tokens.push_back(Lower(text.substr(start, i - start)));
        }
        return tokens;
    }

    bool Contains(const std::vector<std::string>& tokens, std::string_view token)
    {
        return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
    }

    struct GumboDeleter {
        void operator()(GumboOutput* output) const { gumbo_destroy_output(&kGumboDefaultOptions, output); }
    };

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
                name = Lower(name);
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
        return tag.size() == name.size() && Lower(tag) == name;
    }

    bool IsJavaScriptType(std::string_view type)
    {
        static const std::set<std::string, std::less<>> kTypes = { "application/ecmascript",
            "application/javascript", "application/x-ecmascript", "application/x-javascript",
            "text/ecmascript", "text/javascript", "text/javascript1.0", "text/javascript1.1",
            "text/javascript1.2", "text/javascript1.3", "text/javascript1.4", "text/javascript1.5",
            "text/jscript", "text/livescript", "text/x-ecmascript", "text/x-javascript", "module" };
        return kTypes.count(Lower(Trim(type))) > 0;
    }

    // Whether a script element is one a browser runs (and so fetches).
    bool IsFetchedScript(const GumboElement& element)
    {
        if (FindAttribute(element, "nomodule"))
            return false;
        auto type = AttributeValue(element, "type");
        if (type && !Trim(*type).empty())
            return IsJavaScriptType(*type);
        auto language = AttributeValue(element, "language");
        if (type || !language || Trim(*language).empty())
            return true;
        return IsJavaScriptType("text/" + std::string(Trim(*language)));
    }

    bool IsSupportedImageType(std::string_view type)
    {
        static const std::set<std::string, std::less<>> kTypes
            = { "image/apng", "image/avif", "image/bmp", "image/gif", "image/jpeg", "image/jpg", "image/png",
                  "image/svg+xml", "image/webp", "image/x-icon", "image/vnd.microsoft.icon" };
        std::string_view trimmed = Trim(type);
        return trimmed.empty() || kTypes.count(Lower(trimmed)) > 0;
    }

    bool IsPreloadDestination(std::string_view as)
    {
        static const std::set<std::string, std::less<>> kDestinations = { "audio", "document", "embed",
            "fetch", "font", "image", "object", "script", "style", "track", "video", "worker" };
        return kDestinations.count(Lower(Trim(as))) > 0;
    }

    // Reads a CSS length in pixels ("300px", "50vw", "0"); nullopt for anything else.
    std::optional<double> LengthInPixels(std::string_view text, int viewportWidth)
    {
        text = Trim(text);
        double value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || value < 0)
            return std::nullopt;
        std::string unit = Lower(std::string_view(end, size_t(text.data() + text.size() - end)));
        if (unit == "px" || (unit.empty() && value == 0))
            return value;
        if (unit == "vw")
            return value * viewportWidth / 100.0;
        if (unit == "em" || unit == "rem")
            return value * 16.0;
        return std::nullopt;
    }

    // The width an image is laid out at according to its sizes attribute (100vw when unreadable).
    double SourceSize(std::string_view sizes, int viewportWidth)
    {
        size_t start = 0;
        while (start <= sizes.size()) {
            size_t comma = sizes.find(',', start);
            std::string_view entry = Trim(sizes.substr(
                start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            if (!entry.empty()) {
                // The length is the last token; what comes before it is the media condition.
                size_t split = entry.find_last_of(" \t\n\f\r)");
                std::string_view condition;
                std::string_view length = entry;
                if (split != std::string_view::npos) {
                    condition = Trim(entry.substr(0, split + 1));
                    length = Trim(entry.substr(split + 1));
                }
                if (condition.empty() || MediaMatches(condition, viewportWidth)) {
                    if (auto pixels = LengthInPixels(length, viewportWidth); pixels && *pixels > 0)
                        return *pixels;
                    return viewportWidth;
                }
            }
            if (comma == std::string_view::npos)
                break;
            start = comma + 1;
        }
        return viewportWidth;
    }

    struct Candidate {
        std::string url;
        std::optional<double> density;
        std::optional<double> width;
    };

    // Splits a srcset value into its image candidates, as the srcset parsing rules do.
    std::vector<Candidate> ParseSrcset(std::string_view srcset)
    {
        std::vector<Candidate> candidates;
        size_t i = 0;
        while (i < srcset.size()) {
            while (i < srcset.size() && (IsSpace(srcset[i]) || srcset[i] == ','))
                ++i;
            if (i >= srcset.size())
                break;
            size_t start = i;
            while (i < srcset.size() && !IsSpace(srcset[i]))
                ++i;
            std::string_view url = srcset.substr(start, i - start);
            std::vector<std::string> descriptors;
            if (!url.empty() && url.back() == ',') {
                while (!url.empty() && url.back() == ',')
                    url.remove_suffix(1);
            } else {
                std::string current;
                bool inParens = false;
                for (; i < srcset.size(); ++i) {
                    char c = srcset[i];
                    if (inParens) {
                        current += c;
                        inParens = c != ')';
                    } else if (c == ',') {
                        ++i;
                        break;
                    } else if (IsSpace(c)) {
                        if (!current.empty())
                            descriptors.push_back(std::exchange(current, {}));
                    } else {
                        current += c;
                        inParens = c == '(';
                    }
                }
                if (!current.empty())
                    descriptors.push_back(current);
            }
            if (url.empty())
                continue;
            Candidate candidate { std::string(url), std::nullopt, std::nullopt };
            bool valid = true;
            for (const std::string& descriptor : descriptors) {
                if (descriptor.size() < 2) {
                    valid = false;
                    continue;
                }
                char unit = LowerAscii(descriptor.back());
                double number = 0;
                auto [end, error]
                    = std::from_chars(descriptor.data(), descriptor.data() + descriptor.size() - 1, number);
                bool parsed = error == std::errc() && end == descriptor.data() + descriptor.size() - 1;
                if (unit == 'x' && parsed && number >= 0 && !candidate.density && !candidate.width)
                    candidate.density = number;
                else if (unit == 'w' && parsed && number > 0 && !candidate.density && !candidate.width)
                    candidate.width = number;
                else if (unit != 'h')
                    valid = false;
            }
            if (valid)
                candidates.push_back(std::move(candidate));
        }
        return candidates;
    }

    class Walker {
    public:
        Walker(ParsedPage& page, DocumentRole role, std::string_view source)
            : m_page(page)
            , m_role(role)
            , m_source(source)
        {
        }

        void Walk(const GumboNode* document);

    private:
        void AddResource(std::string_view value, ResourceKind kind);
        void Discover(const GumboNode* node);
        void AddFrame(const GumboElement& element);
        void AddImage(const GumboNode* node);

        size_t NoscriptEnd(size_t start) const;

        ParsedPage& m_page;
        DocumentRole m_role;
        std::string_view m_source;
        std::set<std::string> m_seen;
    };

    void Walker::AddResource(std::string_view value, ResourceKind kind)
    {
        auto url = ResolveHttpUrl(m_page.baseUrl, value);
        if (url && m_seen.insert(*url).second)
            m_page.resources.push_back({ *url, kind });
    }

    void Walker::AddFrame(const GumboElement& element)
    {
        FrameReference frame;
        auto src = AttributeValue(element, "src");
        std::string_view value = src ? Trim(*src) : std::string_view();
        std::string lower = Lower(value);
        if (FindAttribute(element, "srcdoc") && element.tag == GUMBO_TAG_IFRAME) {
            frame.kind = FrameReference::Kind::Blank;
        } else if (value.empty() || lower == "about:blank" || lower.rfind("about:blank#", 0) == 0
            || lower.rfind("about:blank?", 0) == 0) {
            frame.kind = FrameReference::Kind::Blank;
        } else if (auto url = ResolveHttpUrl(m_page.baseUrl, value)) {
            frame.kind = FrameReference::Kind::Address;
            frame.url = *url;
        } else {
            frame.kind = FrameReference::Kind::Unreachable;
        }
        m_page.frames.push_back(std::move(frame));
    }

    void Walker::AddImage(const GumboNode* node)
    {
        const GumboElement& element = node->v.element;
        std::string_view src = AttributeValue(element, "src").value_or("");
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
                if (!srcset || Trim(*srcset).empty())
                    continue;
                if (auto media = AttributeValue(source, "media");
                    media && !MediaMatches(*media, kViewportWidth))
                    continue;
                if (auto type = AttributeValue(source, "type"); type && !IsSupportedImageType(*type))
                    continue;
                std::string picked = PickSrcsetCandidate(
                    *srcset, AttributeValue(source, "sizes").value_or(""), "", kViewportWidth);
                if (!picked.empty()) {
                    AddResource(picked, ResourceKind::Image);
                    return;
                }
            }
        }
        auto srcset = AttributeValue(element, "srcset");
        if (srcset && !Trim(*srcset).empty()) {
            std::string picked = PickSrcsetCandidate(
                *srcset, AttributeValue(element, "sizes").value_or(""), src, kViewportWidth);
            AddResource(picked, ResourceKind::Image);
            return;
        }
        AddResource(src, ResourceKind::Image);
    }

    void Walker::Discover(const GumboNode* node)
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
            AddImage(node);
            return;
        case GUMBO_TAG_INPUT:
            if (Lower(Trim(AttributeValue(element, "type").value_or(""))) == "image")
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
                && Lower(m_source.substr(i + 2, 8)) == "noscript")
                return i;
        }
        return m_source.size();
    }

    void Walker::Walk(const GumboNode* document)
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
        std::vector<const GumboNode*> inOrder;
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
            for (unsigned i = 0; i < element.attributes.length; ++i) {
                auto attribute = static_cast<const GumboAttribute*>(element.attributes.data[i]);
                snapshot.attributes.push_back({ AttributeNameOf(*attribute), attribute->value });
            }
            int index = int(m_page.elements.size());
            m_page.elements.push_back(std::move(snapshot));
            inOrder.push_back(node);
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
        for (const GumboNode* node : inOrder) {
            if (IsHtml(node, GUMBO_TAG_BASE)) {
                if (auto href = AttributeValue(node->v.element, "href")) {
                    if (auto base = ResolveHttpUrl(m_page.baseUrl, *href))
                        m_page.baseUrl = *base;
                    break;
                }
            }
        }
        for (const GumboNode* node : inOrder)
            Discover(node);
    }

    enum class DocumentType { Html, Image, Text, Other };

    DocumentType TypeOf(std::string_view contentType)
    {
        std::string essence = Lower(Trim(contentType.substr(0, contentType.find(';'))));
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

std::vector<SnapshotElement> BlankDocumentElements()
{
    return { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
}

ParsedPage ParsePage(
    std::string_view bytes, std::string_view contentType, const std::string& url, DocumentRole role)
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
    std::string text = DecodeToUtf8(bytes.substr(charset.bomLength), charset.name);
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    std::unique_ptr<GumboOutput, GumboDeleter> output(
        gumbo_parse_with_options(&options, text.data(), text.size()));
    if (!output) {
        page.elements = BlankDocumentElements();
        page.body = 2;
        return page;
    }
    Walker(page, role, text).Walk(output->document);
    SnapshotDocument view;
    view.elements = page.elements;
    page.body = FindBodyElement(view);
    return page;
}

std::string PickSrcsetCandidate(
    std::string_view srcset, std::string_view sizes, std::string_view src, int viewportWidth)
{
    std::vector<Candidate> candidates = ParseSrcset(srcset);
    bool anyWidth = std::any_of(
        candidates.begin(), candidates.end(), [](const Candidate& c) { return c.width.has_value(); });
    bool anyOneX = false;
    double sourceSize = SourceSize(sizes, viewportWidth);
    for (Candidate& candidate : candidates) {
        if (candidate.width)
            candidate.density = *candidate.width / sourceSize;
        else if (!candidate.density)
            candidate.density = 1.0;
        if (!candidate.width && *candidate.density == 1.0)
            anyOneX = true;
    }
    if (!anyWidth && !anyOneX && !Trim(src).empty())
        candidates.push_back({ std::string(Trim(src)), 1.0, std::nullopt });
    if (candidates.empty())
        return std::string(Trim(src));
    // The smallest density that still covers one image pixel per screen pixel, else the largest.
    const Candidate* best = nullptr;
    for (const Candidate& candidate : candidates) {
        if (*candidate.density >= 1.0 && (!best || *candidate.density < *best->density))
            best = &candidate;
    }
    if (!best) {
        for (const Candidate& candidate : candidates) {
            if (!best || *candidate.density > *best->density)
                best = &candidate;
        }
    }
    return best->url;
}

bool MediaMatches(std::string_view media, int viewportWidth)
{
    std::string text = Lower(Trim(media));
    if (text.empty() || text == "all" || text == "screen")
        return true;
    // A list matches when one of its queries does.
    if (text.find(',') != std::string::npos) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            if (MediaMatches(
                    std::string_view(text).substr(start, comma == std::string::npos ? comma : comma - start),
                    viewportWidth))
                return true;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        return false;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t found = text.find(" and ", start);
        parts.push_back(std::string(
            Trim(std::string_view(text).substr(start, found == std::string::npos ? found : found - start))));
        if (found == std::string::npos)
            break;
        start = found + 5;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string part = parts[i];
        if (i == 0 && part.rfind("only ", 0) == 0)
            part = std::string(Trim(std::string_view(part).substr(5)));
        if (part == "screen" || part == "all")
            continue;
        if (part.size() < 2 || part.front() != '(' || part.back() != ')')
            return false;
        std::string_view feature = Trim(std::string_view(part).substr(1, part.size() - 2));
        size_t colon = feature.find(':');
        if (colon == std::string_view::npos)
            return false;
        std::string_view name = Trim(feature.substr(0, colon));
        auto length = LengthInPixels(feature.substr(colon + 1), viewportWidth);
        if (!length)
            return false;
        if (name == "min-width" && !(viewportWidth >= *length))
            return false;
        if (name == "max-width" && !(viewportWidth <= *length))
            return false;
        if (name != "min-width" && name != "max-width")
            return false;
    }
    return true;
}

} // namespace pagestow::engine::static_engine
