#include "crawl/Links.h"

#include <gtest/gtest.h>

namespace pagestow::crawl {
namespace {

    using Kind = PageLink::Kind;

    std::vector<std::string> Addresses(const std::vector<PageLink>& links)
    {
        std::vector<std::string> out;
        for (const PageLink& link : links)
            out.push_back(link.address);
        return out;
    }

    TEST(ExtractLinks, FollowsTheLinkElementsOfAPage)
    {
        const std::string html = R"html(<!DOCTYPE html><html><head>
<link rel="stylesheet" href="style.css"><link rel="icon" href="/favicon.ico">
<link rel="Prev Help" href="page1.html"><link rel=next href=page3.html>
<title>a <a href="in-title.html"></title>
<script>document.write('<a href="in-script.html">')</script>
<style>a { background: url("<a href='in-style.html'>") }</style>
</head><body>
<!-- <a href="commented.html"> -->
<a href="../up.html#top">up</a>
<a href="sub/page.html#a">one</a><a href="sub/page.html#b">same page again</a>
<A HREF='Mixed.html' href="second-attribute.html">case</A>
<a href="  spaced.html
">blanks</a>
<a href="q?a=1&amp;b=2&lt=3">query</a>
<a href="javascript:void(0)">js</a><a href="mailto:me@example.com">mail</a>
<a href="data:text/html,x">data</a><a href="file:///etc/passwd">file</a><a href="about:blank">blank</a>
<a href="ftp://example.com/x">ftp</a><a href="http://[bad">bad</a><a>no href</a><a href="">empty</a>
<map><area href="area.html" shape=rect coords="0,0,1,1"></map>
<iframe src="//other.example/frame.html"><a href="iframe-fallback.html"></a></iframe>
<frameset><frame src="https://example.com:443/frame2.html"></frameset>
<template><a href="in-template.html"></a></template>
<textarea><a href="in-textarea.html"></textarea>
<svg><a href="svg.html"></a></svg>
<a href="after-all.html">
</body></html>)html";
        std::vector<PageLink> links = ExtractLinks(html, "http://Example.com/dir/page2.html?x#y", 100);
        const std::vector<PageLink> expected = {
            { Kind::Relation, "http://example.com/dir/page1.html" },
            { Kind::Relation, "http://example.com/dir/page3.html" },
            { Kind::Anchor, "http://example.com/up.html" },
            { Kind::Anchor, "http://example.com/dir/sub/page.html" },
            { Kind::Anchor, "http://example.com/dir/Mixed.html" },
            { Kind::Anchor, "http://example.com/dir/spaced.html" },
            { Kind::Anchor, "http://example.com/dir/q?a=1&b=2&lt=3" },
            { Kind::Area, "http://example.com/dir/area.html" },
            { Kind::Frame, "http://other.example/frame.html" },
            { Kind::Frame, "https://example.com/frame2.html" },
            { Kind::Anchor, "http://example.com/dir/svg.html" },
            { Kind::Anchor, "http://example.com/dir/after-all.html" },
        };
        EXPECT_EQ(Addresses(links), Addresses(expected));
        ASSERT_EQ(links.size(), expected.size());
        for (std::size_t i = 0; i < links.size(); ++i)
            EXPECT_EQ(int(links[i].kind), int(expected[i].kind)) << links[i].address;
    }

    TEST(ExtractLinks, ResolvesAgainstTheFirstBaseAndDropsWhatItCannotFollow)
    {
        const struct {
            std::string html;
            std::vector<std::string> addresses;
        } cases[] = {
            { "<a href=a.html><base href=/other/><base href=/third/><a href=b.html>",
                { "http://site.test/other/a.html", "http://site.test/other/b.html" } },
            { "<base target=_blank><base href='https://cdn.test/x/y'><a href=z>",
                { "https://cdn.test/x/z" } },
            { "<base href='javascript:alert(1)'><a href=z>", { "http://site.test/d/z" } },
            { "<a href='z'", {} }, // the text ends inside the tag
            { "<!--><a href=after-empty-comment>", { "http://site.test/d/after-empty-comment" } },
            { "<?php echo '<a href=bogus>' ?><a href=real>", { "http://site.test/d/real" } },
            { "<a href='" + std::string(kMaxLinkBytes + 1, 'x') + "'><a href=short>",
                { "http://site.test/d/short" } },
            { "<a href='&#x2F;root'><a href='&#47;x&amp=1'><a href='&ampx'>",
                { "http://site.test/root", "http://site.test/x&amp=1", "http://site.test/d/&ampx" } },
            { "<plaintext><a href=never>", {} },
        };
        for (const auto& c : cases)
            EXPECT_EQ(Addresses(ExtractLinks(c.html, "http://site.test/d/p.html", 10)), c.addresses)
                << c.html;
        EXPECT_TRUE(ExtractLinks("<a href=x>", "not an address", 10).empty());
    }

    TEST(ExtractLinks, HandlesAMillionLinksInOnePass)
    {
        std::string html = "<html><body>";
        for (int i = 0; i < 1'000'000; ++i)
            html += "<a href=\"/p" + std::to_string(i % 10) + "\">" + (i % 3 ? "" : "<b>") + "x</a>\n";
        // Each address once, however often it is linked.
        std::vector<PageLink> all = ExtractLinks(html, "http://site.test/", 1'000'000);
        EXPECT_EQ(all.size(), 10u);
        EXPECT_EQ(all.back().address, "http://site.test/p9");

        std::string distinct;
        for (int i = 0; i < 1'000'000; ++i)
            distinct += "<a href=/p" + std::to_string(i) + ">x</a>";
        std::vector<PageLink> capped = ExtractLinks(distinct, "http://site.test/", 500);
        ASSERT_EQ(capped.size(), 500u);
        EXPECT_EQ(capped.front().address, "http://site.test/p0");
        EXPECT_EQ(capped.back().address, "http://site.test/p499");
    }

    TEST(LinkTypes, TellPagesFromFiles)
    {
        const std::pair<const char*, bool> types[] = {
            { "text/html", true },
            { "Text/HTML; charset=utf-8", true },
            { " application/xhtml+xml ", true },
            { "text/plain", false },
            { "text/htmlx", false },
        };
        for (const auto& [type, html] : types)
            EXPECT_EQ(IsHtmlType(type), html) << type;

        const std::pair<const char*, bool> files[] = {
            { "http://site.test/a/report.PDF", true },
            { "http://site.test/archive.tar.gz?download=1", true },
            { "http://site.test/photo.jpeg#big", true },
            { "http://site.test/index.html", false },
            { "http://site.test/page.php?file=x.zip", false },
            { "http://site.test/v1.2/", false },
            { "http://site.test/dots.", false },
            { "not an address.pdf", false },
        };
        for (const auto& [address, file] : files)
            EXPECT_EQ(LooksLikeFile(address), file) << address;
    }

} // namespace
} // namespace pagestow::crawl
