#include "cli/CliOptions.h"

#include <gtest/gtest.h>

namespace pagestow::cli {
namespace {
    using Action = ParsedArguments::Action;

    TEST(ParseArguments, ReadsOptionsAndAddresses)
    {
        ParsedArguments parsed = ParseArguments({ "--engine", "chromium", "--save-dir=out", "--timeout",
            "2.5", "--verbose", "a.com", "  ", "b.com" });
        ASSERT_EQ(parsed.action, Action::Capture) << parsed.error;
        EXPECT_EQ(parsed.options.engine, EngineName::Chromium);
        EXPECT_EQ(parsed.options.saveDir, "out");
        EXPECT_EQ(parsed.options.timeout, std::chrono::milliseconds(2500));
        EXPECT_TRUE(parsed.options.verbose);
        EXPECT_EQ(parsed.options.addresses, (std::vector<std::string> { "a.com", "  ", "b.com" }));
    }

    TEST(ParseArguments, DefaultsToTheStaticEngineAndSixtySeconds)
    {
        ParsedArguments parsed = ParseArguments({ "a.com" });
        ASSERT_EQ(parsed.action, Action::Capture);
        EXPECT_EQ(parsed.options.engine, EngineName::Static);
        EXPECT_EQ(parsed.options.saveDir, "");
        EXPECT_EQ(parsed.options.timeout, std::chrono::milliseconds(60000));
        EXPECT_FALSE(parsed.options.verbose);
    }

    TEST(ParseArguments, RefusesWhatIsNoUsage)
    {
        const std::vector<std::vector<std::string>> cases = {
            {},
            { "--verbose" },
            { "--engine", "gecko", "a.com" },
            { "--engine" },
            { "--timeout", "0", "a.com" },
            { "--timeout", "-3", "a.com" },
            { "--timeout", "ten", "a.com" },
            { "--timeout", "nan", "a.com" },
            { "--save-dir=", "a.com" },
            { "--colour", "a.com" },
            { "-x", "a.com" },
            { "--jobs", "0", "a.com" },
            { "-j", "many", "a.com" },
            { "-i" },
            { "--base", "http://h/", "a.com" },
        };
        for (const auto& args : cases) {
            ParsedArguments parsed = ParseArguments(args);
            EXPECT_EQ(parsed.action, Action::UsageError) << ::testing::PrintToString(args);
            EXPECT_FALSE(parsed.error.empty());
        }
    }

    TEST(ParseArguments, SeparatesExplainHelpAndDashedAddresses)
    {
        ParsedArguments explain = ParseArguments({ "--explain", "img/a.gif", "--base", "http://h/d/p.htm" });
        EXPECT_EQ(explain.action, Action::Explain);
        EXPECT_EQ(explain.explainArguments,
            (std::vector<std::string> { "img/a.gif", "--base", "http://h/d/p.htm" }));
        EXPECT_EQ(ParseArguments({ "--help" }).action, Action::Help);
        EXPECT_EQ(ParseArguments({ "-h" }).action, Action::Help);
        ParsedArguments dashed = ParseArguments({ "--", "-odd", "--verbose" });
        ASSERT_EQ(dashed.action, Action::Capture);
        EXPECT_EQ(dashed.options.addresses, (std::vector<std::string> { "-odd", "--verbose" }));
        EXPECT_FALSE(dashed.options.verbose);
    }

    // What requests carry reaches the workers of --jobs as it was given; a header's name and value are
    // split at the first colon with the blanks around the value dropped.
    TEST(ParseArguments, RequestOptionsAreReadAndHandedToWorkers)
    {
        ParsedArguments parsed = ParseArguments({ "--load-cookies", "in.txt", "--header", "X-A:  a: b ",
            "--header=Accept:", "--user-agent", "UA/1", "--save-cookies=out.txt", "a.com" });
        ASSERT_EQ(parsed.action, Action::Capture) << parsed.error;
        EXPECT_EQ(parsed.options.headers,
            (std::vector<engine::RequestHeader> { { "X-A", "a: b" }, { "Accept", "" } }));
        EXPECT_EQ(WorkerArguments(parsed.options, "/s"),
            (std::vector<std::string> { "--worker", "--engine", "static", "--save-dir", "/s", "--timeout",
                "60.000000", "--load-cookies", "in.txt", "--save-cookies", "out.txt", "--user-agent", "UA/1",
                "--header", "X-A: a: b", "--header", "Accept: " }));
        for (const std::vector<std::string>& bad :
            std::vector<std::vector<std::string>> { { "--header", "X-A: 1\nX-B: 2", "a.com" },
                { "--header", "X-A: 1\r", "a.com" }, { "--header", "NoColon", "a.com" },
                { "--header", ": v", "a.com" }, { "--header", "X A: v", "a.com" },
                { "--load-cookies=", "a.com" }, { "--user-agent", "", "a.com" } }) {
            EXPECT_EQ(ParseArguments(bad).action, Action::UsageError) << ::testing::PrintToString(bad);
        }
    }

    TEST(ParseArguments, CrawlOptionsGoWithOneStartAddressAndReadAsWgetWrites)
    {
        ParsedArguments parsed = ParseArguments({ "-r", "-np", "-H", "--domains", "Example.org,,b.net", "--level",
            "inf", "--page-limit=20", "--wait", "0.5", "--random-wait", "--no-robots", "--continue",
            "--reject-regex", "\\?sort=", "https://example.org/docs/" });
        ASSERT_EQ(parsed.action, Action::Capture) << parsed.error;
        const CliOptions::Crawl& crawl = parsed.options.crawl;
        EXPECT_TRUE(crawl.recursive && crawl.noParent && crawl.spanHosts && crawl.randomWait && crawl.resume);
        EXPECT_FALSE(crawl.robots);
        EXPECT_EQ(crawl.domains, (std::vector<std::string> { "example.org", "b.net" }));
        EXPECT_EQ(crawl.level, -1);
        EXPECT_EQ(crawl.pageLimit, 20u);
        EXPECT_EQ(crawl.wait, std::chrono::milliseconds(500));
        EXPECT_EQ(crawl.rejectRegex, "\\?sort=");
        EXPECT_EQ(ParseArguments({ "-r", "--level", "0", "a.com" }).options.crawl.level, -1);
        EXPECT_EQ(ParseArguments({ "-r", "--level", "12", "a.com" }).options.crawl.level, 12);
        EXPECT_EQ(ParseArguments({ "-r", "a.com" }).options.crawl.pageLimit, 10000u);

        for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>> {
                 { "--level", "3", "a.com" }, { "--no-parent", "a.com" }, { "-np", "a.com" },
                 { "--continue", "a.com" }, { "--wait=1", "a.com" }, { "-r", "a.com", "b.com" },
                 { "-r", "-i", "list.txt" }, { "-r", "--level", "-1", "a.com" }, { "-r", "--level", "x", "a.com" },
                 { "-r", "--page-limit", "0", "a.com" }, { "-r", "--page-limit", "1e3", "a.com" },
                 { "-r", "--wait", "soon", "a.com" }, { "-r", "--domains", ",", "a.com" } }) {
            ParsedArguments refused = ParseArguments(bad);
            EXPECT_EQ(refused.action, Action::UsageError) << ::testing::PrintToString(bad);
            EXPECT_FALSE(refused.error.empty());
        }
    }

} // namespace
} // namespace pagestow::cli
