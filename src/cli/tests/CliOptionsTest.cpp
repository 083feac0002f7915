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

} // namespace
} // namespace pagestow::cli
