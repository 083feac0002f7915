#include "crawl/Scope.h"

#include "url/Address.h"

#include <gtest/gtest.h>

namespace pagestow::crawl {
namespace {

    Scope MakeScope(ScopeOptions options)
    {
        std::string error;
        auto scope = Scope::Make(std::move(options), error);
        EXPECT_TRUE(scope) << error;
        return *scope;
    }

    struct Case {
        const char* address;
        int depth;
        Verdict verdict;
    };

    void ExpectVerdicts(const Scope& scope, std::initializer_list<Case> cases)
    {
        for (const Case& c : cases)
            EXPECT_EQ(VerdictText(scope.Judge(c.address, c.depth)), std::string(VerdictText(c.verdict)))
                << scope.Start() << " -> " << c.address << " at " << c.depth;
    }

    TEST(Scope, KeepsToTheStartSite)
    {
        Scope scope = MakeScope({ .start = "HTTP://www.Example.org/a/b/index.html", .maxLevel = 2 });
        EXPECT_EQ(scope.Start(), "http://www.example.org/a/b/index.html");
        ExpectVerdicts(scope,
            {
                { "http://www.example.org/", 1, Verdict::Follow },
                { "https://www.example.org/x", 1, Verdict::Follow },
                { "http://WWW.EXAMPLE.ORG:80/x", 2, Verdict::Follow },
                { "http://www.example.org:8080/x", 1, Verdict::OtherHost },
                { "https://www.example.org:80/x", 1, Verdict::OtherHost },
                { "http://example.org/x", 1, Verdict::OtherHost },
                { "http://cdn.www.example.org/x", 1, Verdict::OtherHost },
                { "http://www.example.org/x", 3, Verdict::TooDeep },
                { "ftp://www.example.org/x", 1, Verdict::NotHttp },
                { "mailto:a@www.example.org", 1, Verdict::NotHttp },
                { "no address", 1, Verdict::NotHttp },
                { "http://www.example.org:22/x", 1, Verdict::BlockedPort },
                { "http://www.example.org:10080/x", 1, Verdict::BlockedPort },
            });
        EXPECT_TRUE(url::IsBlockedPort(6697));
        EXPECT_FALSE(url::IsBlockedPort(6670));
        EXPECT_EQ(MakeScope({ .start = "http://h.test/", .maxLevel = -1 }).Judge("http://h.test/x", 1000),
            Verdict::Follow);
    }

    TEST(Scope, NoParentKeepsBelowTheStartFolder)
    {
        ExpectVerdicts(MakeScope({ .start = "http://h.test/a/b/", .noParent = true }),
            {
                { "http://h.test/a/b/", 0, Verdict::Follow },
                { "http://h.test/a/b/c/d.html", 1, Verdict::Follow },
                { "http://h.test/a/b/?q=1", 1, Verdict::Follow },
                { "http://h.test/a/bc", 1, Verdict::Parent },
                { "http://h.test/a/", 1, Verdict::Parent },
                { "http://h.test/a/b/../x", 1, Verdict::Parent },
                { "http://h.test/?/a/b/", 1, Verdict::Parent },
            });
        // The folder of "/a/b" is "/a/".
        ExpectVerdicts(MakeScope({ .start = "http://h.test/a/b?x=/y/", .noParent = true }),
            {
                { "http://h.test/a/bc", 1, Verdict::Follow },
                { "http://h.test/a/b?x=/y/", 0, Verdict::Follow },
                { "http://h.test/b", 1, Verdict::Parent },
            });
    }

    TEST(Scope, SpansHostsWithinTheDomains)
    {
        ExpectVerdicts(MakeScope({ .start = "http://www.example.org/a/",
                           .noParent = true,
                           .spanHosts = true,
                           .domains = { "Example.ORG", ".other.test" } }),
            {
                { "http://example.org/x", 1, Verdict::Follow },
                { "https://img.cdn.example.org/up/x.png", 1, Verdict::Follow },
                { "http://other.test/x", 1, Verdict::Follow },
                { "http://badexample.org/x", 1, Verdict::OtherHost },
                { "http://example.org.evil.test/x", 1, Verdict::OtherHost },
                { "http://www.example.org/up", 1, Verdict::Parent },
            });
        ExpectVerdicts(MakeScope({ .start = "http://a.test/", .spanHosts = true }),
            {
                { "http://anything.test:8080/", 1, Verdict::Follow },
                { "http://anything.test:6000/", 1, Verdict::BlockedPort },
            });
    }

    TEST(Scope, AcceptsAndRejectsByExpression)
    {
        Scope scope = MakeScope({ .start = "http://h.test/start.html",
            .acceptRegex = "^http://h\\.test/(docs|start)",
            .rejectRegex = "\\?(sort|page)=" });
        ExpectVerdicts(scope,
            {
                { "http://h.test/start.html", 0, Verdict::Follow },
                { "http://h.test/docs/a.html", 1, Verdict::Follow },
                { "http://h.test/blog/a.html", 1, Verdict::NotAccepted },
                { "http://h.test/docs/a.html?sort=name", 1, Verdict::Rejected },
            });
        // The start page is taken whatever the expressions say of it; a copy keeps its expressions.
        Scope strict = MakeScope({ .start = "http://h.test/index.html", .acceptRegex = "\\.pdf$" });
        Scope copy = strict;
        ExpectVerdicts(copy,
            {
                { "http://h.test/index.html", 0, Verdict::Follow },
                { "http://h.test/a.pdf", 1, Verdict::Follow },
                { "http://h.test/a.html", 1, Verdict::NotAccepted },
            });
        // A long address is matched without running out of stack.
        EXPECT_EQ(scope.Judge("http://h.test/docs/" + std::string(100'000, 'x'), 1), Verdict::Follow);

        std::string error;
        EXPECT_FALSE(Scope::Make({ .start = "http://h.test/", .rejectRegex = "(unclosed" }, error));
        EXPECT_FALSE(error.empty());
        error.clear();
        EXPECT_FALSE(Scope::Make({ .start = "ftp://h.test/" }, error));
        EXPECT_FALSE(error.empty());
    }

} // namespace
} // namespace pagestow::crawl
