#include "cli/Explain.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace pagestow::cli {
namespace {

    struct Outcome {
        int status;
        std::string out;
        std::string err;
    };

    Outcome Explain(const std::vector<std::string>& args)
    {
        std::ostringstream out;
        std::ostringstream err;
        const int status = RunExplain(args, out, err);
        return { status, out.str(), err.str() };
    }

    TEST(RunExplain, PrintsTheRecordOfTheAddressLineByLine)
    {
        const Outcome outcome = Explain({ "http://www.example.com:8080/news/page.htm?id=5#top" });
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out,
            "url=http://www.example.com:8080/news/page.htm?id=5#top\n"
            "ifabsoluteadd=1\n"
            "protocol=http\n"
            "hostmess=www.example.com:8080\n"
            "host=www.example.com\n"
            "post=8080\n"
            "fragment=top\n"
            "query=id=5\n"
            "path=/news/page.htm\n"
            "filename=page.htm\n"
            "directory=/news\n");
        EXPECT_EQ(outcome.err, "");
    }

    TEST(RunExplain, ResolvesAgainstTheBaseDocumentFirst)
    {
        const Outcome outcome = Explain({ " ../img/b.gif", "--base", "http://www.example.com/news/a.htm" });
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out,
            "absolute=http://www.example.com/img/b.gif\n"
            "url=http://www.example.com/img/b.gif\n"
            "ifabsoluteadd=1\n"
            "protocol=http\n"
            "hostmess=www.example.com\n"
            "host=www.example.com\n"
            "post=\n"
            "path=/img/b.gif\n"
            "filename=b.gif\n"
            "directory=/img\n");
    }

    TEST(RunExplain, KeepsAnAbsoluteAddressUnderABase)
    {
        const Outcome outcome = Explain({ "--base", "http://www.example.com/", "index.htm" });
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out,
            "absolute=index.htm\nurl=index.htm\nifabsoluteadd=1\nhostmess=index.htm\nhost=index.htm\npost="
            "\n");
    }

    TEST(RunExplain, RejectsWrongArgumentsWithUsage)
    {
        const std::vector<std::vector<std::string>> wrong = {
            {},
            { "a.htm", "b.htm" },
            { "a.htm", "--base" },
            { "--base", "http://x.example/" },
            { "a.htm", "--base", "x", "--base", "y" },
            { "a.htm", "--verbose" },
        };
        for (const auto& args : wrong) {
            const Outcome outcome = Explain(args);
            EXPECT_EQ(outcome.status, 2);
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err.rfind("usage: pagestow-cli --explain ADDRESS [--base DOCUMENT] [--save-dir DIR]\n", 0), 0u)
                << outcome.err;
        }
    }

} // namespace
} // namespace pagestow::cli
