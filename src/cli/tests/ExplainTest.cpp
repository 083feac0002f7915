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

    // The record lines are the address record's; the target is the file the capture writes a page of
    // the address to, also where the record cannot read the host or keeps the escapes.
    TEST(RunExplain, TargetIsTheFileTheCaptureWrites)
    {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunExplain({ "http://[::1]:8080/x.html" }, out, err, "/srv/pages"), 0);
        EXPECT_EQ(out.str(),
            "url=http://[::1]:8080/x.html\n"
            "ifabsoluteadd=1\n"
            "protocol=http\n"
            "hostmess=1\n"
            "host=1\n"
            "post=\n"
            "path=]:8080/x.html\n"
            "filename=x.html\n"
            "directory=/]_8080\n"
            "target=/srv/pages/qzwd_YYMMDDhhmmRRR/[__1]/x.html\n");

        const std::pair<const char*, const char*> cases[] = {
            { "http://127.0.0.1:8765/a%20b.html", "127.0.0.1/a_b.html" },
            { "http://bücher.example/x.html", "bücher.example/x.html" },
            { "http://xn--bcher-kva.example/x.html", "bücher.example/x.html" },
            { "http://h.example/my%20docs/%E9%A1%B5.htm", "h.example/my_docs/页.htm" },
            { "http://127.0.0.1/news/article", "127.0.0.1/news/article/index.htm" },
            { "http://user:pw@127.0.0.1:81/u/page.htm", "127.0.0.1/u/page.htm" },
        };
        for (const auto& [address, target] : cases)
            EXPECT_EQ(PageFilePath("/srv/pages", "C", address), std::string("/srv/pages/C/") + target)
                << address;
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
            EXPECT_EQ(outcome.err.rfind(
                          "usage: pagestow-cli --explain ADDRESS [--base DOCUMENT] [--save-dir DIR]\n", 0),
                0u)
                << outcome.err;
        }
    }

} // namespace
} // namespace pagestow::cli
