#include "offline/OfflineHtml.h"

#include "base/Ascii.h"
#include "offline/GumboArena.h"

#include <gumbo.h>

#include <algorithm>
#include <memory>
#include <set>

namespace pagestow::offline {
namespace {

    // A parse and the memory it lives in, freed together.
    struct Parsed {
        GumboArena arena;
        GumboOutput* output = nullptr;
    };

    std::unique_ptr<Parsed> Parse(std::string_view html)
    {
        auto parsed = std::make_unique<Parsed>();
        GumboOptions options = kGumboDefaultOptions;
        options.max_errors = 0;
        parsed->arena.Use(options);
        parsed->output = gumbo_parse_with_options(&options, html.data(), html.size());
        return parsed;
    }

    // Whether a space-separated list (a rel attribute) holds word, letter case ignored.
    bool HasToken(std::string_view list, std::string_view word)
    {
        std::string lower = base::LowerAscii(list);
        size_t at = 0;
        while (at < lower.size()) {
            size_t start = lower.find_first_not_of(" \t\n\f\r", at);
            if (start == std::string::npos)
                break;
            size_t end = lower.find_first_of(" \t\n\f\r", start);
            if (end == std::string::npos)
                end = lower.size();
            if (std::string_view(lower).substr(start, end - start) == word)
                return true;
            at = end;
        }
        return false;
    }

    const GumboAttribute* Attribute(const GumboElement& element, const char* name)
    {
        return gumbo_get_attribute(&element.attributes, name);
    }

    // Visits every element in document order, without recursion (documents nest deep).
    template <class Visit> void ForEachElement(const GumboNode* root, Visit visit)
    {
        std::vector<const GumboNode*> stack { root };
        while (!stack.empty()) {
            const GumboNode* node = stack.back();
            stack.pop_back();
            if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
                continue;
            visit(node);
            const GumboVector& children = node->v.element.children;
            for (unsigned i = children.length; i > 0; --i)
                stack.push_back(static_cast<const GumboNode*>(children.data[i - 1]));
        }
    }

    bool IsHtmlStyle(const GumboNode* node)
    {
        return node->v.element.tag == GUMBO_TAG_STYLE
            && node->v.element.tag_namespace == GUMBO_NAMESPACE_HTML;
    }

    // The raw text of a <style> element and where it sits in the input; nullopt when it has none.
    std::optional<std::pair<size_t, std::string_view>> StyleText(const GumboNode* node, std::string_view html)
    {
        const GumboVector& children = node->v.element.children;
        if (children.length == 0)
            return std::nullopt;
        auto* first = static_cast<const GumboNode*>(children.data[0]);
        auto* last = static_cast<const GumboNode*>(children.data[children.length - 1]);
        if (first->type == GUMBO_NODE_ELEMENT || last->type == GUMBO_NODE_ELEMENT)
            return std::nullopt;
        const GumboStringPiece& a = first->v.text.original_text;
        const GumboStringPiece& b = last->v.text.original_text;
        if (!a.data || !b.data || a.data < html.data() || b.data + b.length > html.data() + html.size())
            return std::nullopt;
        size_t start = size_t(a.data - html.data());
        size_t end = size_t(b.data + b.length - html.data());
        return std::make_pair(start, html.substr(start, end - start));
    }

    std::string BaseUrl(const GumboNode* root, const std::string& documentUrl)
    {
        std::string base = documentUrl;
        bool found = false;
        ForEachElement(root, [&](const GumboNode* node) {
            if (found || node->v.element.tag != GUMBO_TAG_BASE)
                return;
            if (const GumboAttribute* href = Attribute(node->v.element, "href")) {
                found = true;
                if (auto resolved = ResolveReference(documentUrl, href->value))
                    base = resolved->canonical;
            }
        });
        return base;
    }

    std::string EscapeAttribute(std::string_view value)
    {
        std::string out;
        for (char c : value) {
            if (c == '&')
                out += "&amp;";
            else if (c == '"')
                out += "&quot;";
            else
                out += c;
        }
        return out;
    }

    struct Edit {
        size_t start;
        size_t end;
        std::string text;
    };

    std::string ApplyEdits(std::string_view input, std::vector<Edit> edits)
    {
        std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.start < b.start; });
        std::string out;
        out.reserve(input.size());
        size_t copied = 0;
        for (const Edit& edit : edits) {
            if (edit.start < copied || edit.end > input.size())
                continue;
            out.append(input.substr(copied, edit.start - copied));
            out += edit.text;
            copied = edit.end;
        }
        out.append(input.substr(copied));
        return out;
    }

    // The new address for a value, or nullopt to leave it as written (a fragment alone, data:,
    // javascript: and other schemes, an address already absolute that was not saved).
    std::optional<std::string> MapAddress(
        std::string_view value, ReferenceResolver& resolver, AddressUse use, const LocalAddressMap& map)
    {
        const auto& resolved = resolver.Resolve(value);
        if (!resolved)
            return std::nullopt;
        if (auto local = map(*resolved, use))
            return *local + resolved->fragment;
        return resolved->absolute;
    }

    // A srcset with each candidate's address mapped; descriptors stay as written.
    std::string MapSrcset(std::string_view srcset, ReferenceResolver& resolver, const LocalAddressMap& map)
    {
        std::string out;
        size_t at = 0;
        auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; };
        while (at < srcset.size()) {
            size_t start = at;
            while (start < srcset.size() && (isSpace(srcset[start]) || srcset[start] == ','))
                ++start;
            out.append(srcset.substr(at, start - at));
            if (start >= srcset.size())
                break;
            size_t end = start;
            while (end < srcset.size() && !isSpace(srcset[end]))
                ++end;
            // Commas that end the address belong to the list, not to it.
            size_t urlEnd = end;
            while (urlEnd > start && srcset[urlEnd - 1] == ',')
                --urlEnd;
            std::string_view address = srcset.substr(start, urlEnd - start);
            auto mapped = MapAddress(address, resolver, AddressUse::File, map);
            out += mapped ? *mapped : std::string(address);
            at = urlEnd;
            if (urlEnd == end) {
                // The descriptors run to the next comma outside parentheses.
                int depth = 0;
                size_t stop = end;
                while (stop < srcset.size() && (depth > 0 || srcset[stop] != ',')) {
                    if (srcset[stop] == '(')
                        ++depth;
                    else if (srcset[stop] == ')' && depth > 0)
                        --depth;
                    ++stop;
                }
                out.append(srcset.substr(end, stop - end));
                at = stop;
            }
        }
        return out;
    }

    AddressUse UseOf(const GumboElement& element, std::string_view attribute)
    {
        switch (element.tag) {
        case GUMBO_TAG_IMG:
            return attribute == "src" ? AddressUse::Image : AddressUse::File;
        case GUMBO_TAG_IFRAME:
        case GUMBO_TAG_FRAME:
            return attribute == "src" ? AddressUse::Document : AddressUse::File;
        case GUMBO_TAG_A:
        case GUMBO_TAG_AREA:
            return AddressUse::Document;
        case GUMBO_TAG_LINK: {
            const GumboAttribute* rel = Attribute(element, "rel");
            return rel && HasToken(rel->value, "stylesheet") ? AddressUse::Stylesheet : AddressUse::File;
        }
        default:
            return AddressUse::File;
        }
    }

    // Attributes that hold one address.
    constexpr std::string_view kAddressAttributes[]
        = { "href", "src", "background", "poster", "data", "action", "formaction", "cite", "longdesc",
              "lowsrc", "real_src", "dynsrc", "manifest", "codebase", "xlink:href" };

    bool IsAddressAttribute(std::string_view name)
    {
        return std::find(std::begin(kAddressAttributes), std::end(kAddressAttributes), name)
            != std::end(kAddressAttributes);
    }

    // The bytes of an attribute in the input: [start of its name, end of its value).
    std::optional<std::pair<size_t, size_t>> AttributeSpan(
        const GumboAttribute& attribute, std::string_view html)
    {
        const char* begin = attribute.original_name.data;
        const char* end = attribute.original_value.data
            ? attribute.original_value.data + attribute.original_value.length
            : attribute.original_name.data + attribute.original_name.length;
        if (!begin || begin < html.data() || end > html.data() + html.size() || end < begin)
            return std::nullopt;
        return std::make_pair(size_t(begin - html.data()), size_t(end - html.data()));
    }

    void ReplaceValue(const GumboAttribute& attribute, std::string_view html, const std::string& value,
        std::vector<Edit>& edits)
    {
        auto span = AttributeSpan(attribute, html);
        if (!span)
            return;
        edits.push_back({ span->first, span->second,
            std::string(attribute.original_name.data, attribute.original_name.length) + "=\""
                + EscapeAttribute(value) + "\"" });
    }

    void RemoveAttribute(const GumboAttribute& attribute, std::string_view html, std::vector<Edit>& edits)
    {
        if (auto span = AttributeSpan(attribute, html))
            edits.push_back({ span->first, span->second, {} });
    }

    // The bytes of an element in the input, from its start tag to the end of its end tag (or of its
    // last text when the end tag is implied); nullopt for an element the parser made up.
    std::optional<std::pair<size_t, size_t>> ElementSpan(const GumboElement& element, std::string_view html)
    {
        const GumboStringPiece& start = element.original_tag;
        if (!start.data || start.length == 0 || start.data < html.data()
            || start.data + start.length > html.data() + html.size())
            return std::nullopt;
        const char* end = start.data + start.length;
        const GumboStringPiece& close = element.original_end_tag;
        if (close.data && close.length > 0 && close.data >= end
            && close.data + close.length <= html.data() + html.size())
            end = close.data + close.length;
        else if (element.children.length > 0) {
            auto* last = static_cast<const GumboNode*>(element.children.data[element.children.length - 1]);
            if (last->type != GUMBO_NODE_ELEMENT && last->type != GUMBO_NODE_TEMPLATE) {
                const GumboStringPiece& text = last->v.text.original_text;
                if (text.data && text.data >= end && text.data + text.length <= html.data() + html.size())
                    end = text.data + text.length;
            }
        }
        return std::make_pair(size_t(start.data - html.data()), size_t(end - html.data()));
    }

    bool IsJavascriptAddress(std::string_view value)
    {
        size_t at = value.find_first_not_of(" \t\n\f\r");
        if (at == std::string_view::npos)
            return false;
        std::string lower = base::LowerAscii(value.substr(at, 11));
        return lower == "javascript:";
    }

    struct Candidate {
        std::string canonical;
        std::string local;
        std::string descriptors;
    };

    // The first srcset candidate whose file map knows.
    std::optional<Candidate> FirstKnownCandidate(
        std::string_view srcset, ReferenceResolver& resolver, const LocalAddressMap& map)
    {
        auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; };
        size_t at = 0;
        while (at < srcset.size()) {
            while (at < srcset.size() && (isSpace(srcset[at]) || srcset[at] == ','))
                ++at;
            size_t end = at;
            while (end < srcset.size() && !isSpace(srcset[end]))
                ++end;
            size_t urlEnd = end;
            while (urlEnd > at && srcset[urlEnd - 1] == ',')
                --urlEnd;
            std::string_view address = srcset.substr(at, urlEnd - at);
            size_t stop = urlEnd;
            if (urlEnd == end) {
                int depth = 0;
                while (stop < srcset.size() && (depth > 0 || srcset[stop] != ',')) {
                    if (srcset[stop] == '(')
                        ++depth;
                    else if (srcset[stop] == ')' && depth > 0)
                        --depth;
                    ++stop;
                }
            }
            if (!address.empty()) {
                if (const auto& resolved = resolver.Resolve(address)) {
                    if (auto local = map(*resolved, AddressUse::File))
                        return Candidate { resolved->canonical, *local,
                            std::string(srcset.substr(std::min(end, stop), stop - std::min(end, stop))) };
                }
            }
            at = stop;
        }
        return std::nullopt;
    }

    bool IsResourceHint(const GumboElement& element)
    {
        const GumboAttribute* rel = Attribute(element, "rel");
        if (element.tag != GUMBO_TAG_LINK || !rel)
            return false;
        for (const char* hint :
            { "preload", "modulepreload", "prefetch", "preconnect", "dns-prefetch", "prerender" }) {
            if (HasToken(rel->value, hint))
                return true;
        }
        return false;
    }

} // namespace

namespace {

    DocumentStyles ReadStyles(
        const GumboOutput& output, std::string_view html, const std::string& documentUrl)
    {
        DocumentStyles styles;
        styles.baseUrl = BaseUrl(output.root, documentUrl);
        std::set<std::string> seen;
        ForEachElement(output.root, [&](const GumboNode* node) {
            const GumboElement& element = node->v.element;
            if (element.tag == GUMBO_TAG_LINK) {
                const GumboAttribute* rel = Attribute(element, "rel");
                const GumboAttribute* href = Attribute(element, "href");
                if (rel && href && HasToken(rel->value, "stylesheet")) {
                    if (auto resolved = ResolveReference(styles.baseUrl, href->value)) {
                        if (seen.insert(resolved->canonical).second)
                            styles.stylesheets.push_back(resolved->canonical);
                    }
                }
            }
            if (IsHtmlStyle(node)) {
                if (auto text = StyleText(node, html))
                    styles.inlineCss.emplace_back(std::string(text->second), CssSource::Stylesheet);
            }
            if (const GumboAttribute* style = Attribute(element, "style"))
                styles.inlineCss.emplace_back(style->value, CssSource::Declarations);
        });
        return styles;
    }

    // The built-in engine reads a document's styles for what they load, and the capture reads the
    // same bytes again for what to save: the last answer is kept, so that a page is parsed for them
    // once.
    struct LastStyles {
        std::string html;
        std::string url;
        DocumentStyles styles;
    };

    LastStyles& Last()
    {
        thread_local LastStyles last;
        return last;
    }

} // namespace

DocumentStyles ReadDocumentStyles(std::string_view html, const std::string& documentUrl)
{
    LastStyles& last = Last();
    if (!html.empty() && last.url == documentUrl && last.html == html)
        return last.styles;
    std::unique_ptr<Parsed> parsed = Parse(html);
    const GumboOutput* output = parsed->output;
    if (!output)
        return {};
    return ReadDocumentStyles(*output, html, documentUrl);
}

DocumentStyles ReadDocumentStyles(
    const GumboOutput& tree, std::string_view html, const std::string& documentUrl)
{
    LastStyles& last = Last();
    last = LastStyles { std::string(html), documentUrl, ReadStyles(tree, html, documentUrl) };
    return last.styles;
}

std::string RewriteStylesheet(
    std::string_view css, CssSource source, const std::string& baseUrl, const LocalAddressMap& map)
{
    ReferenceResolver resolver(baseUrl);
    return RewriteCss(css, source, [&](const CssReference& reference) -> std::optional<std::string> {
        AddressUse use
            = reference.kind == CssReferenceKind::Import ? AddressUse::Stylesheet : AddressUse::File;
        return MapAddress(reference.value, resolver, use, map);
    });
}

std::string RewriteDocument(std::string_view html, const std::string& documentUrl, const LocalAddressMap& map,
    const DocumentRules& rules)
{
    std::unique_ptr<Parsed> parsed = Parse(html);
    const GumboOutput* output = parsed->output;
    if (!output)
        return std::string(html);
    std::string base = BaseUrl(output->root, documentUrl);
    ReferenceResolver resolver(base);
    auto rewriteCss = [&](std::string_view css, CssSource source) {
        return rules.rewriteCss ? rules.rewriteCss(css, source, base)
                                : RewriteStylesheet(css, source, base, map);
    };
    std::vector<Edit> edits;
    ForEachElement(output->root, [&](const GumboNode* node) {
        const GumboElement& element = node->v.element;
        // Whole elements that go: scripts when they are dropped, <base> and resource hints in a file
        // that fetches nothing, a stylesheet link that becomes a <style> element.
        std::optional<std::string> replacement;
        if (rules.removeScripts && element.tag == GUMBO_TAG_SCRIPT)
            replacement = "";
        else if (rules.selfContained && (element.tag == GUMBO_TAG_BASE || IsResourceHint(element)))
            replacement = "";
        else if (rules.inlineStylesheet && UseOf(element, "href") == AddressUse::Stylesheet) {
            const GumboAttribute* href = Attribute(element, "href");
            const GumboAttribute* media = Attribute(element, "media");
            if (href) {
                if (const auto& resolved = resolver.Resolve(href->value)) {
                    if (auto css = rules.inlineStylesheet(*resolved, media ? media->value : ""))
                        replacement
                            = (media ? "<style media=\"" + EscapeAttribute(media->value) + "\">" : "<style>")
                            + *css + "</style>";
                }
            }
        }
        if (replacement) {
            if (auto span = ElementSpan(element, html)) {
                edits.push_back({ span->first, span->second, std::move(*replacement) });
                return;
            }
        }
        bool madeLocal = false;
        std::optional<std::string> sourceCanonical;
        if (const GumboAttribute* src = Attribute(element, "src")) {
            if (const auto& resolved = resolver.Resolve(src->value))
                sourceCanonical = resolved->canonical;
        }
        for (unsigned i = 0; i < element.attributes.length; ++i) {
            const auto& attribute = *static_cast<const GumboAttribute*>(element.attributes.data[i]);
            std::string name = base::LowerAscii(attribute.name);
            if (element.tag == GUMBO_TAG_BASE && name == "href") {
                // The copy's own place is its base.
                RemoveAttribute(attribute, html, edits);
                continue;
            }
            if (rules.removeScripts
                && ((name.size() > 2 && name.compare(0, 2, "on") == 0)
                    || (IsAddressAttribute(name) && IsJavascriptAddress(attribute.value)))) {
                RemoveAttribute(attribute, html, edits);
                continue;
            }
            std::optional<std::string> value;
            if (IsAddressAttribute(name)) {
                AddressUse use = UseOf(element, name);
                const auto& resolved = resolver.Resolve(attribute.value);
                if (!resolved)
                    continue;
                bool frame = element.tag == GUMBO_TAG_IFRAME || element.tag == GUMBO_TAG_FRAME;
                if (element.tag == GUMBO_TAG_IFRAME && name == "src" && rules.frameDocument) {
                    if (auto document = rules.frameDocument(*resolved)) {
                        if (auto span = AttributeSpan(attribute, html))
                            edits.push_back({ span->first, span->second,
                                "srcdoc=\"" + EscapeAttribute(*document) + "\"" });
                        continue;
                    }
                }
                if (auto local = map(*resolved, use)) {
                    value = *local + resolved->fragment;
                    madeLocal = true;
                } else if (rules.selfContained && frame && name == "src") {
                    value = "about:blank";
                } else if (rules.selfContained && use != AddressUse::Document) {
                    value = "data:,";
                } else {
                    value = resolved->absolute;
                }
            } else if ((name == "srcset" || name == "imagesrcset") && rules.selfContained) {
                auto candidate = FirstKnownCandidate(attribute.value, resolver, map);
                // The <img> shows its src already when the candidate is that file.
                if (!candidate || (sourceCanonical && candidate->canonical == *sourceCanonical)) {
                    RemoveAttribute(attribute, html, edits);
                    continue;
                }
                value = candidate->local + candidate->descriptors;
                madeLocal = true;
            } else if (name == "srcset" || name == "imagesrcset") {
                value = MapSrcset(attribute.value, resolver, map);
            } else if (name == "style") {
                value = rewriteCss(attribute.value, CssSource::Declarations);
            } else {
                continue;
            }
            if (*value != attribute.value)
                ReplaceValue(attribute, html, *value, edits);
        }
        // A local file is neither the bytes a digest was taken of nor a resource to fetch with CORS.
        if (madeLocal) {
            for (const char* name : { "integrity", "crossorigin" }) {
                if (const GumboAttribute* attribute = Attribute(element, name))
                    RemoveAttribute(*attribute, html, edits);
            }
        }
        if (IsHtmlStyle(node)) {
            if (auto text = StyleText(node, html)) {
                std::string rewritten = rewriteCss(text->second, CssSource::Stylesheet);
                if (rewritten != text->second)
                    edits.push_back({ text->first, text->first + text->second.size(), std::move(rewritten) });
            }
        }
    });
    return ApplyEdits(html, std::move(edits));
}

} // namespace pagestow::offline
