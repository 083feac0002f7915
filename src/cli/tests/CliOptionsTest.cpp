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

} // namespace
} // namespace pagestow::cli
