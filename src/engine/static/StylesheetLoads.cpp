#include "engine/static/StylesheetLoads.h"

#include "offline/CssReferences.h"
#include "offline/OfflineHtml.h"
#include "offline/OfflineUrl.h"

#include <set>

namespace pagestow::engine::static_engine {
namespace {

    void AddReferences(std::string_view css, offline::CssSource source, const std::string& baseUrl,
        std::set<std::string>& seen, std::vector<ResourceReference>& references)
    {
        offline::ReferenceResolver resolver(baseUrl);
        offline::ScanCssReferences(css, source, [&](const offline::CssReference& reference) {
            if (references.size() >= kMaxStylesheetLoads)
                return;
            const auto& resolved = resolver.Resolve(reference.value);
            if (!resolved || !seen.insert(resolved->canonical).second)
                return;
            ResourceKind kind = ResourceKind::Image;
            if (reference.kind == offline::CssReferenceKind::Import)
                kind = ResourceKind::Stylesheet;
            else if (reference.kind == offline::CssReferenceKind::Font)
                kind = ResourceKind::Preload;
            references.push_back({ resolved->canonical, kind });
        });
    }

} // namespace

std::vector<ResourceReference> StylesheetReferences(std::string_view css, const std::string& baseUrl)
{
    std::set<std::string> seen;
    std::vector<ResourceReference> references;
    AddReferences(css, offline::CssSource::Stylesheet, baseUrl, seen, references);
    return references;
}

std::vector<ResourceReference> DocumentStyleReferences(std::string_view html, const std::string& documentUrl)
{
    return DocumentStyleReferences(offline::ReadDocumentStyles(html, documentUrl));
}

std::vector<ResourceReference> DocumentStyleReferences(const offline::DocumentStyles& styles)
{
    std::set<std::string> seen;
    std::vector<ResourceReference> references;
    for (const auto& [css, source] : styles.inlineCss)
        AddReferences(css, source, styles.baseUrl, seen, references);
    return references;
}

bool IsStylesheetType(std::string_view contentType)
{
    std::string type;
    for (char c : contentType.substr(0, contentType.find(';'))) {
        if (c != ' ' && c != '\t')
            type += (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
    }
    return type == "text/css";
}

} // namespace pagestow::engine::static_engine
