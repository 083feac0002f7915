// The CSS tokenizer and the scanner of what stylesheets load, on the inputs that trip naive scanners.

#include "offline/CssReferences.h"
#include "offline/CssTokenizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pagestow::offline {
namespace {

    // "kind value" for every reference, kinds as I, F and M (image).
    std::vector<std::string> References(std::string_view css, CssSource source = CssSource::Stylesheet)
    {
        std::vector<std::string> found;
        ScanCssReferences(css, source, [&](const CssReference& reference) {
            char kind = reference.kind == CssReferenceKind::Import ? 'I'
                : reference.kind == CssReferenceKind::Font         ? 'F'
                                                                   : 'M';
            found.push_back(std::string(1, kind) + " " + reference.value + " ["
                + std::string(css.substr(reference.start, reference.end - reference.start)) + "]");
        });
        return found;
    }

    struct ScanCase {
        const char* name;
        std::string css;
        std::vector<std::string> expected;
    };

    class ScanReferences : public ::testing::TestWithParam<ScanCase> { };

    TEST_P(ScanReferences, FindsWhatABrowserLoads)
    {
        EXPECT_EQ(References(GetParam().css), GetParam().expected);
    }

    const ScanCase kScanCases[] = {
        { "ImportForms", "@import 'a.css';@import url(b.css) screen;@IMPORT url( \"c.css\" ) layer(x);",
            { "I a.css ['a.css']", "I b.css [url(b.css)]", "I c.css [\"c.css\"]" } },
        { "ImportAfterARuleIsIgnoredButItsUrlIsNot",
            "@charset \"utf-8\";@import 'a.css';p{}@import url(late.css);",
            { "I a.css ['a.css']", "M late.css [url(late.css)]" } },
        { "ImportInsideABlockIsNoImport", "@media screen { @import 'x.css'; p { background: url(m.png) } }",
            { "M m.png [url(m.png)]" } },
        { "FontFaceSourcesAreFonts",
            "@font-face{font-family:F;src:url(f.woff2) format('woff2'),url('f.ttf')}p{background:url(i.png)}",
            { "F f.woff2 [url(f.woff2)]", "F f.ttf ['f.ttf']", "M i.png [url(i.png)]" } },
        { "FontFaceInsideMedia", "@media print{@font-face{src:url(p.woff)}}a{b:url(c.png)}",
            { "F p.woff [url(p.woff)]", "M c.png [url(c.png)]" } },
        { "ImageSetStringsAndUrls",
            "a{background:image-set('a.png' 1x, url(b.png) 2x, \"c.png\" type('image/avif'))}",
            { "M a.png ['a.png']", "M b.png [url(b.png)]", "M c.png [\"c.png\"]" } },
        { "WebkitImageSet", "a{b:-webkit-image-set(\"w.png\" 1x)}", { "M w.png [\"w.png\"]" } },
        { "StringsOutsideUrlAreNoAddresses", "a::before{content:'x.png';font-family:\"y.css\"}", {} },
        { "CommentsHideAddresses", "/* url(no.png) */a{b:url(yes.png)}/* @import 'z'",
            { "M yes.png [url(yes.png)]" } },
        { "EscapesAreResolved", "a{b:url(\\2e\\2e/\\2e\\2e/x.png)} c{d:url('\\'q\\'.png')}",
            { "M ../../x.png [url(\\2e\\2e/\\2e\\2e/x.png)]", "M 'q'.png ['\\'q\\'.png']" } },
        { "UnterminatedStringAtTheEnd", "@import 'never-closed.css",
            { "I never-closed.css ['never-closed.css]" } },
        { "StringBrokenByALineIsNoAddress", "a{b:url('x\n.png')}\nc{d:url(y.png)}",
            { "M y.png [url(y.png)]" } },
        { "BadUrlIsSkipped", "a{b:url(x y.png)} c{d:url(z(.png)} e{f:url(ok.png)}",
            { "M ok.png [url(ok.png)]" } },
        { "UnterminatedUrlAtTheEnd", "a{b:url(open.png", { "M open.png [url(open.png]" } },
        { "UppercaseUrlAndWhitespace", "a{b:URL(  x.png  )}", { "M x.png [URL(  x.png  )]" } },
        { "UnterminatedCommentSwallowsTheRest", "a{b:url(a.png)} /* c{d:url(b.png)}",
            { "M a.png [url(a.png)]" } },
        { "UrlPrefixedNamesAreNoUrls", "a{b:urlx(a.png);c:my-url(b.png);d:src(\"s.png\")}",
            { "M s.png [\"s.png\"]" } },
    };

    INSTANTIATE_TEST_SUITE_P(Css, ScanReferences, ::testing::ValuesIn(kScanCases),
        [](const ::testing::TestParamInfo<ScanCase>& c) { return std::string(c.param.name); });

    TEST(ScanReferences, StyleAttributeHasNoImports)
    {
        EXPECT_EQ(References("@import 'a.css'; background: url(b.png)", CssSource::Declarations),
            (std::vector<std::string> { "M b.png [url(b.png)]" }));
    }

    TEST(ScanReferences, DeeplyNestedFunctionsAndBlocksStayBounded)
    {
        std::string css(200'000, '(');
        css += "url(deep.png)";
        css += std::string(100'000, '{') + "x{y:url(inner.png)}";
        EXPECT_EQ(References(css),
            (std::vector<std::string> { "M deep.png [url(deep.png)]", "M inner.png [url(inner.png)]" }));
    }

    TEST(CssTokenizer, TokensCoverTheInputWithoutGapsOrOverlaps)
    {
        const std::string css
            = "@media (min-width:10px){a#b.c>d[e='f']{g:1.5e3px -2% url( h ) \\31 x;}}<!---->"
              "/* c */'s\\\nt' #\\@ U+26 \"bad\n";
        CssTokenizer tokenizer(css);
        size_t at = 0;
        std::vector<CssTokenType> types;
        for (CssToken token = tokenizer.Next(); token.type != CssTokenType::EndOfFile;
             token = tokenizer.Next()) {
            EXPECT_GE(token.start, at);
            EXPECT_GT(token.end, token.start);
            at = token.end;
            types.push_back(token.type);
        }
        EXPECT_EQ(at, css.size());
        EXPECT_NE(std::find(types.begin(), types.end(), CssTokenType::BadString), types.end());
        EXPECT_NE(std::find(types.begin(), types.end(), CssTokenType::Cdo), types.end());
        EXPECT_NE(std::find(types.begin(), types.end(), CssTokenType::Cdc), types.end());
    }

    struct TokenCase {
        std::string css;
        CssTokenType type;
        std::string value;
    };

    TEST(CssTokenizer, FirstTokenAndItsValue)
    {
        const TokenCase cases[] = {
            { "url(a\\29 b.png)", CssTokenType::Url, "a)b.png" },
            { "url(\"x\")", CssTokenType::Function, "url" },
            { "'a\\\nb'", CssTokenType::String, "ab" },
            { "\"\\0 \"", CssTokenType::String, "\xEF\xBF\xBD" },
            { "\\110000 x", CssTokenType::Ident, "\xEF\xBF\xBDx" },
            { "-->", CssTokenType::Cdc, "" },
            { "-x-y", CssTokenType::Ident, "-x-y" },
            { "+.5em", CssTokenType::Dimension, "em" },
            { "12%", CssTokenType::Percentage, "" },
            { "@-moz-document", CssTokenType::AtKeyword, "-moz-document" },
            { "#-a", CssTokenType::Hash, "-a" },
            { "\\\n", CssTokenType::Delim, "\\" },
            { "url(a\"b)", CssTokenType::BadUrl, "" },
            { "\xE4\xB8\xAD(", CssTokenType::Function, "\xE4\xB8\xAD" },
        };
        for (const TokenCase& c : cases) {
            CssTokenizer tokenizer(c.css);
            CssToken token = tokenizer.Next();
            EXPECT_EQ(token.type, c.type) << c.css;
            EXPECT_EQ(token.value, c.value) << c.css;
        }
    }

    TEST(RewriteCss, ReplacesOnlyTheAddressesAndQuotesThem)
    {
        const std::string css
            = "@import 'a.css' print;\n/* url(keep.png) */\n.x{background:url(  b.png  ) no-repeat;"
              "mask:url(\"c.png\")}.y{c:image-set('d.png' 1x)}.z{e:url(data:image/gif;base64,R0)}";
        std::string rewritten = RewriteCss(css, CssSource::Stylesheet, [](const CssReference& reference) {
            if (reference.value.rfind("data:", 0) == 0)
                return std::optional<std::string>();
            return std::optional<std::string>(
                "L/" + reference.value + (reference.value == "c.png" ? "\"\\\n" : ""));
        });
        EXPECT_EQ(rewritten,
            "@import \"L/a.css\" print;\n/* url(keep.png) */\n.x{background:url(\"L/b.png\") no-repeat;"
            "mask:url(\"L/c.png\\\"\\\\\\a \")}.y{c:image-set(\"L/d.png\" "
            "1x)}.z{e:url(data:image/gif;base64,R0)}");
    }

    TEST(RewriteCss, UnchangedWhenNothingIsMapped)
    {
        const std::string css = "@import url(x.css);a{b:url('y.png')} /* open";
        EXPECT_EQ(RewriteCss(css, CssSource::Stylesheet,
                      [](const CssReference&) { return std::optional<std::string>(); }),
            css);
    }

} // namespace
} // namespace pagestow::offline
