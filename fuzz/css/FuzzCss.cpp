// Feeds arbitrary stylesheets to the CSS tokenizer, the reference scanner and the rewriter. Aborts when
// tokens leave gaps, overlap or pass the end of the input, when a reference's bytes lie outside the
// input or out of order, when a rewrite that maps nothing changes a byte, or when rewriting every
// address changes which addresses the stylesheet has.

#include "offline/CssReferences.h"
#include "offline/CssTokenizer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace pagestow::offline;

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void CheckTokens(std::string_view css)
{
    CssTokenizer tokenizer(css);
    std::size_t at = 0;
    for (;;) {
        CssToken token = tokenizer.Next();
        Require(token.start >= at && token.end >= token.start && token.end <= css.size());
        if (token.type == CssTokenType::EndOfFile) {
            Require(token.start == css.size());
            return;
        }
        Require(token.end > token.start);
        at = token.end;
    }
}

void CheckReferences(std::string_view css, CssSource source)
{
    std::size_t at = 0;
    std::size_t count = 0;
    ScanCssReferences(css, source, [&](const CssReference& reference) {
        Require(reference.start >= at && reference.end > reference.start && reference.end <= css.size());
        at = reference.end;
        ++count;
    });

    auto keep = [](const CssReference&) { return std::optional<std::string>(); };
    Require(RewriteCss(css, source, keep) == css);

    auto local = [](const CssReference&) { return std::optional<std::string>("l/\"x\\y\n.png"); };
    std::string rewritten = RewriteCss(css, source, local);
    std::size_t again = 0;
    ScanCssReferences(rewritten, source, [&](const CssReference& reference) {
        Require(reference.value == "l/\"x\\y\n.png");
        ++again;
    });
    Require(again == count);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view css(reinterpret_cast<const char*>(data), size);
    CheckTokens(css);
    CheckReferences(css, CssSource::Stylesheet);
    CheckReferences(css, CssSource::Declarations);
    return 0;
}
