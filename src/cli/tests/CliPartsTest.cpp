#include "cli/AddressInput.h"
#include "cli/BatchRunner.h"
#include "cli/CaptureRunner.h"
#include "cli/CliOptions.h"
#include "cli/EngineTable.h"
#include "cli/TerminalFrontEnd.h"

#include <gtest/gtest.h>

#include <sstream>

namespace pagestow::cli {
namespace {
    using Action = ParsedArguments::Action;
    using Kind = AddressSource::Kind;

    TEST(ParseArguments, KeepsAddressesAndListsInTheirOrder)
    {
        ParsedArguments parsed = ParseArguments({ "a.com", "-i", "one.txt", "--input=-", "b.com", "-itwo.txt",
            "-j4", "--json", "-q", "--offline-copy" });
        ASSERT_EQ(parsed.action, Action::Capture) << parsed.error;
        EXPECT_EQ(parsed.options.sources,
            (std::vector<AddressSource> { { Kind::Address, "a.com" }, { Kind::File, "one.txt" },
                { Kind::File, "-" }, { Kind::Address, "b.com" }, { Kind::File, "two.txt" } }));
        EXPECT_EQ(parsed.options.jobs, 4);
        EXPECT_TRUE(parsed.options.json);
        EXPECT_TRUE(parsed.options.quiet);
        EXPECT_TRUE(parsed.options.offlineCopy);
        EXPECT_EQ(ParseArguments({ "-i", "list.txt" }).action, Action::Capture);
    }

    TEST(ParseArguments, ExplainStandsAnywhereAndKeepsTheSaveFolder)
    {
        const std::vector<std::vector<std::string>> cases = {
            { "--explain", "img/a.gif", "--base", "http://h/d/" },
            { "img/a.gif", "--explain", "--base", "http://h/d/" },
            { "--base", "http://h/d/", "img/a.gif", "--explain" },
            { "--save-dir", "/srv", "--base=http://h/d/", "--explain", "img/a.gif" },
        };
        for (const auto& args : cases) {
            ParsedArguments parsed = ParseArguments(args);
            ASSERT_EQ(parsed.action, Action::Explain) << ::testing::PrintToString(args);
            std::vector<std::string> expected = args[0] == "--base" || args[0] == "--save-dir"
                ? std::vector<std::string> { "--base", "http://h/d/", "img/a.gif" }
                : std::vector<std::string> { "img/a.gif", "--base", "http://h/d/" };
            EXPECT_EQ(parsed.explainArguments, expected) << ::testing::PrintToString(args);
        }
        EXPECT_EQ(ParseArguments({ "--save-dir", "/srv", "--explain", "a" }).options.saveDir, "/srv");
        EXPECT_EQ(ParseArguments({ "a.com", "--version" }).action, Action::Version);
    }

    TEST(WorkerArguments, GiveTheSameCaptureOptions)
    {
        ParsedArguments parsed = ParseArguments({ "--engine=chromium", "--timeout", "2.5", "--verbose",
            "--json", "--offline-copy", "--no-scroll", "a" });
        EXPECT_EQ(WorkerArguments(parsed.options, "/srv/out "),
            (std::vector<std::string> { "--worker", "--engine", "chromium", "--save-dir", "/srv/out ",
                "--timeout", "2.500000", "--verbose", "--json", "--offline-copy", "--no-scroll" }));
        ParsedArguments worker = ParseArguments(WorkerArguments(parsed.options, "/srv/out "));
        EXPECT_EQ(worker.action, Action::Worker);
        EXPECT_FALSE(worker.options.scroll);
        EXPECT_TRUE(ParseArguments({ "a" }).options.scroll);
        EXPECT_EQ(worker.options.saveDir, "/srv/out ");
        EXPECT_EQ(worker.options.timeout, std::chrono::milliseconds(2500));
    }

    TEST(ReadAddressList, SkipsBlankLinesAndCommentsAndDropsLineEnds)
    {
        std::istringstream list("http://a/\r\n# note\n\n \t\n\t# indented note\n b.com \r\nc#d\nlast");
        EXPECT_EQ(
            ReadAddressList(list), (std::vector<std::string> { "http://a/", " b.com ", "c#d", "last" }));
    }

    TEST(CollectAddresses, ReadsStandardInputForDashAndNamesAListItCannotRead)
    {
        std::istringstream in("x.com\ny.com\n");
        std::vector<std::string> addresses;
        std::string error;
        EXPECT_TRUE(CollectAddresses(
            { { Kind::Address, "a" }, { Kind::File, "-" }, { Kind::Address, "b" } }, in, addresses, error));
        EXPECT_EQ(addresses, (std::vector<std::string> { "a", "x.com", "y.com", "b" }));
        addresses.clear();
        EXPECT_FALSE(CollectAddresses({ { Kind::File, "/proc" } }, in, addresses, error));
        EXPECT_EQ(error, "cannot read /proc: Is a directory");
    }

    TEST(EscapeField, RoundTripsEveryByte)
    {
        std::string text;
        for (int c = 0; c < 256; ++c)
            text += char(c);
        text += "\\t\\\\n";
        std::string escaped = EscapeField(text);
        EXPECT_EQ(escaped.find_first_of("\t\n\r"), std::string::npos);
        EXPECT_EQ(UnescapeField(escaped), text);
    }

    TEST(ResultJson, GivesEveryFieldInOrder)
    {
        AddressResult result;
        result.address = "http://h/\"q\"";
        result.outcome = AddressOutcome::Incomplete;
        result.finalAddress = "http://h/q";
        result.captureFolder = "/s/qzwd_2612090000272";
        result.pageFile = "/s/qzwd_2612090000272/h/index.htm";
        result.filesSaved = 2;
        result.bytes = 1234;
        result.failures = { { "/s/qzwd_2612090000272/h/a.js", "No space left on device" } };
        result.reason = "could not write /s/qzwd_2612090000272/h/a.js: No space left on device";
        result.seconds = 1.23456;
        EXPECT_EQ(ResultJson(result),
            "{\"address\":\"http://h/\\\"q\\\"\",\"final_address\":\"http://h/q\",\"status\":\"incomplete\","
            "\"capture_folder\":\"/s/qzwd_2612090000272\",\"page_file\":\"/s/qzwd_2612090000272/h/"
            "index.htm\","
            "\"files_saved\":2,\"bytes\":1234,\"failures\":[{\"path\":\"/s/qzwd_2612090000272/h/a.js\","
            "\"reason\":\"No space left on device\"}],\"error\":\"could not write "
            "/s/qzwd_2612090000272/h/a.js: No "
            "space left on device\",\"seconds\":1.235}");
        result.address = "\xFF";
        EXPECT_EQ(ResultJson(result).rfind("{\"address\":\"\xEF\xBF\xBD\"", 0), 0u);
    }

    TEST(ErrorLine, NamesTheAddressOnOneLine)
    {
        AddressResult result;
        result.outcome = AddressOutcome::Rejected;
        result.reason = "host not found";
        result.address = "http://x.invalid/";
        EXPECT_EQ(ErrorLine(result), "pagestow-cli: http://x.invalid/: host not found");
        result.address = " a\tb\r\n\x01";
        EXPECT_EQ(ErrorLine(result), "pagestow-cli: \" a\\tb\\r\\n\\x01\": host not found");
        result.outcome = AddressOutcome::Captured;
        EXPECT_EQ(ErrorLine(result), "");
        result.outcome = AddressOutcome::Interrupted;
        EXPECT_EQ(ErrorLine(result), "");
    }

    TEST(ExitStatus, FoldsOutcomes)
    {
        const std::vector<std::pair<std::vector<AddressOutcome>, int>> cases = {
            { {}, 0 },
            { { AddressOutcome::Captured, AddressOutcome::Captured }, 0 },
            { { AddressOutcome::Captured, AddressOutcome::Incomplete }, 1 },
            { { AddressOutcome::Rejected, AddressOutcome::Captured }, 1 },
            { { AddressOutcome::Failed, AddressOutcome::Interrupted }, 130 },
        };
        for (const auto& [outcomes, expected] : cases) {
            ExitStatus status;
            for (AddressOutcome outcome : outcomes)
                status.Add(outcome);
            EXPECT_EQ(status.Value(), expected);
        }
    }

    TEST(TerminalFrontEnd, ASharedScreenShowsARepeatedMessageOnce)
    {
        std::ostringstream out;
        TerminalFrontEnd shared(
            out, out, TerminalFrontEnd::Verbosity::Quiet, TerminalFrontEnd::ProgressLine::Off);
        shared.SetSharedScreen(true);
        shared.AddResultLine("网页不存在，或是网址不符合标准，停止下载。");
        shared.ShowMessage(" 网页不存在，或是网址不符合标准，停止下载。");
        shared.ShowMessage("请输入要保存的网址...");
        EXPECT_EQ(out.str(), "网页不存在，或是网址不符合标准，停止下载。\n请输入要保存的网址...\n");

        std::ostringstream silentOut;
        std::ostringstream silentErr;
        TerminalFrontEnd silent(
            silentOut, silentErr, TerminalFrontEnd::Verbosity::Silent, TerminalFrontEnd::ProgressLine::On);
        silent.SetSharedScreen(true);
        silent.AddResultLine("网页不存在，或是网址不符合标准，停止下载。");
        silent.SetStatusText(" 网页不存在，或是网址不符合标准，停止下载。");
        silent.ShowProgress({ 3, 1, 10 });
        silent.ShowMessage(" 网页不存在，或是网址不符合标准，停止下载。");
        silent.ReportError("pagestow-cli: a: connection refused");
        EXPECT_EQ(silentOut.str(), "");
        EXPECT_EQ(silentErr.str(),
            " 网页不存在，或是网址不符合标准，停止下载。\npagestow-cli: a: connection refused\n");
    }

    TEST(EngineTable, ListsEveryEngineOnceWithTheBuiltInOneFirst)
    {
        std::vector<std::string> names;
        for (const EngineEntry& entry : Engines())
            names.emplace_back(entry.name);
        EXPECT_EQ(names, (std::vector<std::string> { "static", "chromium", "webkit" }));
        std::string why;
        EXPECT_TRUE(FindEngine("static")->available(why));
        EXPECT_EQ(FindEngine("gecko"), nullptr);
        EXPECT_EQ(EngineModuleFile("chromium"), "libpagestow-engine-chromium.so");
    }

} // namespace
} // namespace pagestow::cli
