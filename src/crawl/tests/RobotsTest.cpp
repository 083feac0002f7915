#include "crawl/Robots.h"

#include <gtest/gtest.h>

#include <random>

namespace pagestow::crawl {
namespace {

    constexpr std::string_view kBrowser = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like "
                                          "Gecko) HeadlessChrome/120.0 Safari/537.36";

    struct Case {
        const char* body;
        const char* path;
        bool allowed;
    };

    void ExpectCases(std::string_view userAgent, std::initializer_list<Case> cases)
    {
        for (const Case& c : cases) {
            RobotsRules rules = RobotsRules::Parse(c.body, userAgent);
            EXPECT_EQ(rules.Allows(c.path), c.allowed) << c.body << "\n-- " << c.path;
        }
    }

    TEST(RobotsRules, MatchesPathsAsTheStandardSays)
    {
        ExpectCases("pagestow/1.0",
            {
                // The longest match wins; an allow wins a tie.
                { "User-agent: *\nDisallow: /a\nAllow: /a/b\n", "/a/b/c", true },
                { "User-agent: *\nAllow: /page\nDisallow: /*.htm\n", "/page.htm", false },
                { "User-agent: *\nAllow: /x\nDisallow: /x\n", "/x", true },
                { "User-agent: *\nDisallow: /\nAllow: /$\n", "/", true },
                { "User-agent: *\nDisallow: /\nAllow: /$\n", "/page", false },
                // "*" any run, "$" the end; without "$" a pattern is a prefix.
                { "User-agent: *\nDisallow: /*.php$\n", "/index.php", false },
                { "User-agent: *\nDisallow: /*.php$\n", "/index.php?x=1", true },
                { "User-agent: *\nDisallow: /*.php\n", "/dir/index.php?x=1", false },
                { "User-agent: *\nDisallow: /fish*salmon\n", "/fish/smoked/salmon.html", false },
                { "User-agent: *\nDisallow: /a*b*c$\n", "/axbxc", false },
                { "User-agent: *\nDisallow: /a*b*c$\n", "/axbxcx", true },
                { "User-agent: *\nDisallow: /*?\n", "/page?q", false },
                // Case matters in paths; escapes are compared in one spelling.
                { "User-agent: *\nDisallow: /Fish\n", "/fish", true },
                { "User-agent: *\nDisallow: /%7Efoo\n", "/~foo/x", false },
                { "User-agent: *\nDisallow: /~foo\n", "/%7efoo", false },
                { "User-agent: *\nDisallow: /a%2fb\n", "/a%2Fb", false },
                { "User-agent: *\nDisallow: /a%2Fb\n", "/a/b", true },
                { "User-agent: *\nDisallow: /caf\xC3\xA9\n", "/caf%C3%A9", false },
                // An empty disallow takes nothing; robots.txt itself is always allowed.
                { "User-agent: *\nDisallow:\n", "/anything", true },
                { "User-agent: *\nDisallow: /\n", "/robots.txt", true },
                { "User-agent: *\nDisallow: /\n", "", false },
                // Keys in any case, comments, CR line ends, rules before any group ignored.
                { "DISALLOW: /a\nuSeR-AgEnT: *\nallow: /b # a comment\n", "/a", true },
                { "# only a comment\r\nUser-agent: *\r\nDisallow: /a\r\n", "/a/x", false },
                { "User-agent: *\nDisallow /a\nnonsense\n", "/a", true },
            });
    }

    TEST(RobotsRules, ChoosesTheGroupOfThisCrawler)
    {
        const char* named = "User-agent: *\nDisallow: /\n\nUser-agent: pagestow\nDisallow: /private\n";
        const char* merged = "User-agent: pagestow\nDisallow: /a\n\nUser-agent: other\nDisallow: /b\n\n"
                             "User-agent: PageStow\nDisallow: /c\n";
        const char* shared
            = "User-agent: other\nUser-agent: HeadlessChrome\nDisallow: /x\n\nUser-agent: *\nDisallow: /\n";
        const char* productLine = "User-agent: Safari/2.0 extra\nDisallow: /s\n";
        const char* commentName = "User-agent: Gecko\nDisallow: /g\n";
        const struct {
            const char* body;
            std::string_view userAgent;
            const char* path;
            bool allowed;
        } cases[] = {
            // A named group beats "*", and "pagestow" always names this crawler.
            { named, kBrowser, "/page", true },
            { named, kBrowser, "/private/x", false },
            { named, "curl/8.0", "/page", true },
            // Groups of the same name are merged.
            { merged, "pagestow", "/a", false },
            { merged, "pagestow", "/c", false },
            { merged, "pagestow", "/b", true },
            // Consecutive user-agent lines make one group; a product of the header names it.
            { shared, kBrowser, "/x", false },
            { shared, kBrowser, "/y", true },
            { shared, "Other/1.0", "/y", true },
            { productLine, kBrowser, "/s", false },
            // Words inside the header's parenthesised comments are no products.
            { commentName, kBrowser, "/g", true },
            // No group for this crawler and none for "*": everything allowed.
            { "User-agent: other\nDisallow: /\n", kBrowser, "/", true },
        };
        for (const auto& c : cases) {
            RobotsRules rules = RobotsRules::Parse(c.body, c.userAgent);
            EXPECT_EQ(rules.Allows(c.path), c.allowed) << c.body << "\n-- " << c.userAgent << " " << c.path;
        }
        EXPECT_EQ(ProductNames(kBrowser),
            (std::vector<std::string> { "mozilla", "applewebkit", "headlesschrome", "safari" }));
    }

    TEST(RobotsRules, ReadsCrawlDelayOfTheChosenGroup)
    {
        const std::pair<const char*, std::optional<double>> cases[] = {
            { "User-agent: *\nCrawl-delay: 2.5\n", 2.5 },
            { "User-agent: *\nCrawl-delay: 3\n\nUser-agent: pagestow\nCrawl-delay: 1\n", 1.0 },
            { "User-agent: other\nCrawl-delay: 4\n", std::nullopt },
            { "User-agent: *\ncrawl-delay: soon\n", std::nullopt },
            { "User-agent: *\nCrawl-delay: -1\n", std::nullopt },
            { "User-agent: *\nDisallow: /\n", std::nullopt },
        };
        for (const auto& [body, delay] : cases)
            EXPECT_EQ(RobotsRules::Parse(body, "pagestow").CrawlDelay(), delay) << body;
    }

    TEST(RobotsRules, StaysBoundedOnHugeAndHostileFiles)
    {
        // Only the first 512 KiB are read: a rule past them is not seen, a BOM is skipped.
        std::string huge = "\xEF\xBB\xBFUser-agent: *\nDisallow: /early\n";
        huge.append(10 * 1024 * 1024, '\n');
        huge += "Disallow: /late\n";
        RobotsRules hugeRules = RobotsRules::Parse(huge, "pagestow");
        EXPECT_FALSE(hugeRules.Allows("/early"));
        EXPECT_TRUE(hugeRules.Allows("/late"));

        // The read part full of star patterns that never match a long path: each costs at most pattern
        // times path.
        std::string stars = "User-agent: *\n";
        while (stars.size() < kMaxRobotsBytes - 6000)
            stars += "Disallow: /*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b\n";
        stars += "Disallow: /" + std::string(5000, '*') + "z$\n";
        RobotsRules starRules = RobotsRules::Parse(stars, "pagestow");
        std::string path = "/" + std::string(2000, 'a');
        EXPECT_TRUE(starRules.Allows(path));
        EXPECT_FALSE(starRules.Allows(path + "b"));
        EXPECT_FALSE(starRules.Allows(path + "z"));

        // Rules past the cap are ignored; a pattern past its length bound is dropped.
        std::string many = "User-agent: *\nDisallow: /\n";
        for (std::size_t i = 0; i < kMaxRobotsRules; ++i)
            many += "Allow: /r" + std::to_string(i) + "$\n";
        RobotsRules manyRules = RobotsRules::Parse(many, "pagestow");
        EXPECT_TRUE(manyRules.Allows("/r19998"));
        EXPECT_FALSE(manyRules.Allows("/r19999"));
        for (std::size_t length : { kMaxRobotsPattern - 1, kMaxRobotsPattern }) {
            std::string pattern = "/" + std::string(length, 'p');
            EXPECT_EQ(
                RobotsRules::Parse("User-agent: *\nDisallow: " + pattern + "\n", "pagestow").Allows(pattern),
                length == kMaxRobotsPattern)
                << length;
        }

        // Binary garbage makes no rule and no fault.
        std::mt19937 random(7);
        std::string garbage(2 * 1024 * 1024, '\0');
        for (char& c : garbage)
            c = char(random());
        EXPECT_TRUE(RobotsRules::Parse(garbage, kBrowser).Allows("/"));
        EXPECT_TRUE(
            RobotsRules::Parse("User-agent: *\nDisallow: /\n" + garbage, kBrowser).Allows("/robots.txt"));
    }

    TEST(RulesForAnswer, FollowsTheStatusOfTheFetch)
    {
        const char* body = "User-agent: *\nDisallow: /no\n";
        const struct {
            long status;
            bool pageAllowed;
            bool noAllowed;
        } cases[] = {
            { 200, true, false },
            { 204, true, false },
            { 302, true, true }, // the fetcher gave up on the redirects: as if there were none
            { 404, true, true },
            { 403, true, true },
            { 429, false, false },
            { 500, false, false },
            { 503, false, false },
            { 0, false, false },
        };
        for (const auto& c : cases) {
            RobotsRules rules = RulesForAnswer(c.status, body, "pagestow");
            EXPECT_EQ(rules.Allows("/page"), c.pageAllowed) << c.status;
            EXPECT_EQ(rules.Allows("/no"), c.noAllowed) << c.status;
            EXPECT_TRUE(rules.Allows("/robots.txt")) << c.status;
        }

        const std::pair<const char*, const char*> paths[] = {
            { "http://example.com", "/" },
            { "https://Example.com:8443/a/b?c=1#frag", "/a/b?c=1" },
            { "http://example.com/a b", "/a%20b" },
            { "not an address", "/" },
        };
        for (const auto& [address, path] : paths)
            EXPECT_EQ(RobotsPath(address), path) << address;
    }

} // namespace
} // namespace pagestow::crawl
