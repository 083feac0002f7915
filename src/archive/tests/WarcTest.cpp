#include "archive/Warc.h"
#include "WarcTestSupport.h"
#include "archive/WarcRead.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace pagestow::archive {
namespace {

    using namespace std::chrono_literals;
    using namespace std::string_literals;
    using testing::ReadMembers;
    using testing::ReadRecord;
    using testing::Sha1Digest;
    using testing::SplitHttp;
    using testing::TempFolder;

    const auto kDate
        = std::chrono::sys_days(std::chrono::year(2026) / 12 / 10) + 23h + 42min + 12s + 123456us;

    Exchange HeldExchange(std::string url, std::string body, std::vector<HeaderField> headers = {})
    {
        Exchange exchange;
        exchange.url = std::move(url);
        exchange.status = 200;
        exchange.reason = "OK";
        exchange.date = kDate;
        exchange.requestHeaders = { { "Accept", "*/*" } };
        exchange.responseHeaders = std::move(headers);
        exchange.body.source = ExchangeBody::Source::Held;
        exchange.body.size = body.size();
        exchange.body.bytes = std::move(body);
        return exchange;
    }

    std::vector<ReadRecord> WriteAndRead(const std::filesystem::path& file,
        const std::vector<Exchange>& exchanges, const CacheLookup& cache = nullptr)
    {
        std::string error;
        auto writer = WarcWriter::Create(file, error);
        EXPECT_TRUE(writer) << error;
        EXPECT_TRUE(writer->WriteExchanges(exchanges, cache)) << writer->Error();
        EXPECT_TRUE(writer->Close()) << writer->Error();
        auto back = ReadMembers(file);
        EXPECT_FALSE(back.cutAtEnd);
        return back.records;
    }

    std::vector<std::string> TypesOf(const std::vector<ReadRecord>& records)
    {
        std::vector<std::string> types;
        for (const auto& record : records)
            types.push_back(record.Field("WARC-Type"));
        return types;
    }

    // Every record's digests, recomputed from its bytes.
    void ExpectDigestsHold(const std::vector<ReadRecord>& records)
    {
        for (const auto& record : records) {
            std::string type = record.Field("WARC-Type");
            EXPECT_EQ(record.Field("WARC-Block-Digest"), Sha1Digest(record.block)) << type;
            if (type == "response") {
                EXPECT_EQ(record.Field("WARC-Payload-Digest"), Sha1Digest(SplitHttp(record.block).second));
            } else if (type == "resource") {
                EXPECT_EQ(record.Field("WARC-Payload-Digest"), Sha1Digest(record.block));
            }
        }
    }

    TEST(WarcWriter, WritesLinkedDigestedRecordsInOrder)
    {
        TempFolder folder;
        auto file = folder.Path() / "a.warc.gz";
        std::string error;
        auto writer = WarcWriter::Create(file, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(
            writer->WriteInfo({ "pagestow-cli 1.4.0", { { "engine", "static" }, { "bad name", "x" } } }));
        Exchange page = HeldExchange("https://example.com/a/b?c=1", "hello",
            { { "Content-Type", "text/html" }, { "Content-Length", "5" } });
        page.protocol = "HTTP/2";
        page.ipAddress = "93.184.216.34";
        page.requestHeaders = { { "Host", "example.com" }, { "Accept", "*/*" } };
        Exchange picture
            = HeldExchange("https://example.com/p.png", "PNG", { { "Content-Type", "image/png" } });
        picture.protocol = "HTTP/1.0";
        picture.ipAddress = "[2001:db8::1]";
        ASSERT_TRUE(writer->WriteExchanges({ page, picture }, nullptr));
        ASSERT_TRUE(writer->WriteDocument(
            { "https://example.com/a/b?c=1", "text/html; charset=utf-8", "<p>dom</p>", "Title", true },
            kDate));
        ASSERT_TRUE(writer->Close()) << writer->Error();

        auto back = ReadMembers(file);
        ASSERT_FALSE(back.cutAtEnd);
        const auto& records = back.records;
        ASSERT_EQ(TypesOf(records),
            (std::vector<std::string> {
                "warcinfo", "response", "request", "response", "request", "resource" }));
        ExpectDigestsHold(records);

        std::regex id("<urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}>");
        std::set<std::string> ids;
        for (const auto& record : records) {
            EXPECT_EQ(record.version, "WARC/1.1");
            EXPECT_TRUE(std::regex_match(record.Field("WARC-Record-ID"), id))
                << record.Field("WARC-Record-ID");
            ids.insert(record.Field("WARC-Record-ID"));
            EXPECT_TRUE(std::regex_match(
                record.Field("WARC-Date"), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)")));
            EXPECT_FALSE(record.Field("Content-Type").empty());
        }
        EXPECT_EQ(ids.size(), records.size());

        EXPECT_EQ(records[0].Field("Content-Type"), "application/warc-fields");
        EXPECT_EQ(records[0].Field("WARC-Filename"), "a.warc.gz");
        EXPECT_EQ(records[0].block,
            "software: pagestow-cli 1.4.0\r\nformat: WARC File Format 1.1\r\n"
            "conformsTo: http://iipc.github.io/warc-specifications/specifications/warc-format/warc-1.1/\r\n"
            "engine: static\r\n");

        EXPECT_EQ(records[1].Field("WARC-Date"), "2026-12-10T23:42:12.123456Z");
        EXPECT_EQ(records[1].Field("WARC-Target-URI"), "https://example.com/a/b?c=1");
        EXPECT_EQ(records[1].Field("WARC-IP-Address"), "93.184.216.34");
        EXPECT_EQ(records[1].Field("Content-Type"), "application/http; msgtype=response");
        EXPECT_EQ(
            records[1].block, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello");
        EXPECT_EQ(records[2].Field("Content-Type"), "application/http; msgtype=request");
        EXPECT_EQ(records[2].Field("WARC-Concurrent-To"), records[1].Field("WARC-Record-ID"));
        EXPECT_EQ(records[2].block, "GET /a/b?c=1 HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n");
        EXPECT_EQ(
            records[3].block, "HTTP/1.0 200 OK\r\nContent-Type: image/png\r\nContent-Length: 3\r\n\r\nPNG");
        EXPECT_EQ(records[3].Field("WARC-IP-Address"), "2001:db8::1");
        EXPECT_EQ(records[4].Field("WARC-Concurrent-To"), records[3].Field("WARC-Record-ID"));

        EXPECT_EQ(records[5].Field("WARC-Target-URI"), "urn:pagestow:dom:https://example.com/a/b?c=1");
        EXPECT_EQ(records[5].Field("WARC-Refers-To-Target-URI"), "https://example.com/a/b?c=1");
        EXPECT_EQ(records[5].Field("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(records[5].Field(std::string(kPageField)), "top");
        EXPECT_EQ(records[5].Field(std::string(kPageTitleField)), "Title");
        EXPECT_EQ(records[5].block, "<p>dom</p>");
    }

    TEST(WarcWriter, RepeatedPayloadIsARevisitOfTheFirst)
    {
        TempFolder folder;
        auto records = WriteAndRead(folder.Path() / "a.warc.gz",
            { HeldExchange("http://a.test/1.js", "same"), HeldExchange("http://a.test/2.js", "same"),
                HeldExchange("http://a.test/e1", ""), HeldExchange("http://a.test/e2", "") });
        ASSERT_EQ(TypesOf(records),
            (std::vector<std::string> {
                "response", "request", "revisit", "request", "response", "request", "response", "request" }));
        ExpectDigestsHold(records);
        const auto& revisit = records[2];
        EXPECT_EQ(revisit.Field("WARC-Target-URI"), "http://a.test/2.js");
        EXPECT_EQ(revisit.Field("WARC-Profile"),
            "http://netpreserve.org/warc/1.1/revisit/identical-payload-digest");
        EXPECT_EQ(revisit.Field("WARC-Refers-To-Target-URI"), "http://a.test/1.js");
        EXPECT_EQ(revisit.Field("WARC-Refers-To-Date"), records[0].Field("WARC-Date"));
        EXPECT_EQ(revisit.Field("WARC-Refers-To"), records[0].Field("WARC-Record-ID"));
        EXPECT_EQ(revisit.Field("WARC-Payload-Digest"), Sha1Digest("same"));
        EXPECT_EQ(revisit.Field("WARC-Truncated"), "");
        EXPECT_EQ(revisit.Field("Content-Type"), "application/http; msgtype=response");
        EXPECT_EQ(revisit.block, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
        EXPECT_EQ(records[3].Field("WARC-Concurrent-To"), revisit.Field("WARC-Record-ID"));
    }

    TEST(WarcWriter, HeadMatchesTheBodyWrittenAndKeepsTheOriginals)
    {
        struct Case {
            const char* name;
            bool decoded;
            std::vector<HeaderField> headers;
            const char* head;
        };
        const Case cases[] = {
            { "browser, decoded", true,
                { { "content-encoding", "br" }, { "Content-Length", "9" }, { "Content-Type", "text/css" } },
                "HTTP/1.1 200 OK\r\nContent-Type: text/css\r\nContent-Length: 4\r\n"
                "X-Archive-Orig-content-encoding: br\r\nX-Archive-Orig-Content-Length: 9\r\n\r\n" },
            { "browser, chunked", true, { { "Transfer-Encoding", "chunked" } },
                "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-Archive-Orig-Transfer-Encoding: chunked\r\n\r\n" },
            { "wire, gzip kept", false, { { "Content-Encoding", "gzip" }, { "Content-Length", "4" } },
                "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\n" },
            { "wire, de-chunked", false,
                { { "Content-Encoding", "gzip" }, { "Transfer-Encoding", "chunked" } },
                "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n"
                "X-Archive-Orig-Transfer-Encoding: chunked\r\n\r\n" },
            { "wire, wrong length", false, { { "Content-Length", "99" } },
                "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-Archive-Orig-Content-Length: 99\r\n\r\n" },
        };
        TempFolder folder;
        for (const Case& test : cases) {
            Exchange exchange = HeldExchange("http://a.test/", "body", test.headers);
            exchange.decodedBody = test.decoded;
            auto records = WriteAndRead(folder.Path() / "a.warc.gz", { exchange });
            ASSERT_EQ(records.size(), 2u) << test.name;
            EXPECT_EQ(records[0].block, std::string(test.head) + "body") << test.name;
            ExpectDigestsHold(records);
        }
    }

    TEST(WarcWriter, BodiesComeFromFilesAndTheCacheOrAreMarkedTruncated)
    {
        TempFolder folder;
        std::string large = testing::RandomBytes(3 * 1024 * 1024 / 2, 7);
        testing::WriteFile(folder.Path() / "log-body", large);
        testing::WriteFile(folder.Path() / "cached", "cached body");

        // A picture's body is stored in its member, not deflated; the records after it are deflated again.
        Exchange fromFile = HeldExchange("http://a.test/large.jpg", "", { { "Content-Type", "image/jpeg" } });
        fromFile.body = { ExchangeBody::Source::File, "", folder.Path() / "log-body", "", large.size() };
        Exchange fromCache = HeldExchange("http://a.test/c.css", "");
        fromCache.body = { ExchangeBody::Source::Cache, "", "", "http://a.test/c.css", 11 };
        Exchange missing = HeldExchange("http://a.test/gone.css", "", { { "Content-Length", "5" } });
        missing.body = { ExchangeBody::Source::Cache, "", "", "http://a.test/gone.css", 5 };
        Exchange cut = HeldExchange("http://a.test/cut", "par", { { "Content-Length", "10" } });
        cut.complete = false;
        Exchange none = HeldExchange("http://a.test/204", "");
        none.status = 204;
        none.body = {};

        CacheLookup cache = [&](std::string_view address) -> std::optional<std::filesystem::path> {
            if (address == "http://a.test/c.css")
                return folder.Path() / "cached";
            return std::nullopt;
        };
        auto records
            = WriteAndRead(folder.Path() / "a.warc.gz", { fromFile, fromCache, missing, cut, none }, cache);
        ASSERT_EQ(records.size(), 10u);
        ExpectDigestsHold(records);
        EXPECT_EQ(SplitHttp(records[0].block).second, large);
        EXPECT_EQ(records[0].Field("WARC-Truncated"), "");
        EXPECT_EQ(records[2].block, "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\ncached body");
        EXPECT_EQ(records[4].block, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
        EXPECT_EQ(records[4].Field("WARC-Truncated"), "unspecified");
        EXPECT_EQ(records[6].block,
            "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX-Archive-Orig-Content-Length: 10\r\n\r\npar");
        EXPECT_EQ(records[6].Field("WARC-Truncated"), "unspecified");
        EXPECT_EQ(records[8].block, "HTTP/1.1 204 OK\r\n\r\n");
        EXPECT_EQ(records[8].Field("WARC-Truncated"), "");
    }

    TEST(WarcWriter, HostileInputGivesWellFormedRecords)
    {
        Exchange headers = HeldExchange("http://a.test/x y\x01z\xC3\xA4?q=\"1\"", "b",
            { { "X-Split", "a\r\nInjected: 1\r\n\r\nb\0c"s }, { "Bad Name", "v" }, { "Bad:Name", "v" },
                { "", "v" } });
        headers.requestHeaders = { { ":authority", "a.test" }, { "Cookie", "a\nb" } };
        headers.reason = "O\r\nK\x01";
        headers.ipAddress = "1.2.3.4\r\nX: y";
        Exchange lowStatus = HeldExchange("http://a.test/low", "b");
        lowStatus.status = 42;
        Exchange highStatus = HeldExchange("http://a.test/high", "b");
        highStatus.status = 1000;
        Exchange noAddress = HeldExchange("", "n");
        Exchange badMethod = HeldExchange("http://a.test/method", "m");
        badMethod.method = "GET /x HTTP/1.1\r\n";
        Exchange many = HeldExchange("http://a.test/many", "many");
        for (int i = 0; i < 10000; ++i)
            many.responseHeaders.emplace_back("X-" + std::to_string(i), "v");
        many.responseHeaders.emplace_back("X-Large", std::string(1024 * 1024, 'v'));

        TempFolder folder;
        auto file = folder.Path() / "a.warc.gz";
        std::string error;
        auto writer = WarcWriter::Create(file, error);
        ASSERT_TRUE(
            writer->WriteExchanges({ headers, lowStatus, highStatus, noAddress, badMethod, many }, nullptr));
        ASSERT_TRUE(writer->WriteDocument(
            { "http://a.test/\r\nWARC-Type: x", "text/html\r\nX: y", "d", "Line\r\nbreaks\ttab", true },
            kDate));
        ASSERT_TRUE(writer->Close());
        auto back = ReadMembers(file);
        ASSERT_FALSE(back.cutAtEnd);
        const auto& records = back.records;
        ASSERT_EQ(TypesOf(records),
            (std::vector<std::string> {
                "response", "request", "response", "response", "request", "resource" }));
        ExpectDigestsHold(records);
        EXPECT_EQ(records[0].Field("WARC-Target-URI"), "http://a.test/x%20y%01z%C3%A4?q=\"1\"");
        EXPECT_EQ(records[0].Field("WARC-IP-Address"), "");
        EXPECT_EQ(records[0].block,
            "HTTP/1.1 200 O  K \r\nX-Split: a  Injected: 1    b c\r\nContent-Length: 1\r\n\r\nb");
        EXPECT_EQ(records[1].block, "GET /x%20y%01z%C3%A4?q=\"1\" HTTP/1.1\r\nCookie: a b\r\n\r\n");
        EXPECT_EQ(records[2].Field("WARC-Target-URI"), "http://a.test/method");
        auto [manyHead, manyBody] = SplitHttp(records[3].block);
        EXPECT_EQ(std::count(manyHead.begin(), manyHead.end(), '\n'), 10000 + 4);
        EXPECT_EQ(records[5].Field("WARC-Refers-To-Target-URI"), "http://a.test/%0D%0AWARC-Type:%20x");
        EXPECT_EQ(records[5].Field("Content-Type"), "text/html  X: y");
        EXPECT_EQ(records[5].Field(std::string(kPageTitleField)), "Line  breaks tab");
    }

    TEST(WarcWriter, WriteFailureIsReportedWithTheFileAndStops)
    {
        std::string error;
        EXPECT_FALSE(WarcWriter::Create("/nonexistent-folder/a.warc.gz", error));
        EXPECT_EQ(error, "cannot create /nonexistent-folder/a.warc.gz: No such file or directory");

        auto writer = WarcWriter::Create("/dev/full", error);
        ASSERT_TRUE(writer) << error;
        EXPECT_FALSE(writer->WriteInfo({ "pagestow-cli", {} }));
        EXPECT_EQ(writer->Error(), "cannot write /dev/full: No space left on device");
        EXPECT_FALSE(writer->WriteExchanges({ HeldExchange("http://a.test/", "b") }, nullptr));
        EXPECT_FALSE(writer->WriteDocument({ "http://a.test/", "text/html", "d", "", true }, kDate));
        EXPECT_FALSE(writer->Close());
        EXPECT_EQ(writer->Error(), "cannot write /dev/full: No space left on device");
    }

    TEST(ReadWarc, CutLastRecordLeavesTheWholeOnesReadable)
    {
        TempFolder folder;
        auto file = folder.Path() / "a.warc.gz";
        std::string big = testing::RandomBytes(200000, 3);
        auto written = WriteAndRead(
            file, { HeldExchange("http://a.test/1", "one"), HeldExchange("http://a.test/2", big) });
        ASSERT_EQ(written.size(), 4u);
        std::string bytes = testing::ReadFile(file);
        // Cut inside the last response's body, and again inside the last record's gzip trailer.
        for (std::size_t keep : { std::size_t(written[2].offset + 1000),
                 std::size_t(written[3].offset + written[3].length - 3) }) {
            testing::WriteFile(file, bytes.substr(0, keep));
            std::vector<std::string> targets;
            WarcReadResult result = ReadWarc(file, 16, [&](const WarcRecord& record) {
                targets.push_back(std::string(record.Field("WARC-Type")) + " "
                    + std::string(record.Field("WARC-Target-URI")));
                EXPECT_EQ(record.offset, written[targets.size() - 1].offset);
                EXPECT_EQ(record.length, written[targets.size() - 1].length);
                EXPECT_LE(record.block.size(), 16u);
            });
            EXPECT_TRUE(result.ok);
            EXPECT_FALSE(result.wholeRecords);
            std::vector<std::string> expected = { "response http://a.test/1", "request http://a.test/1" };
            if (keep > written[3].offset)
                expected.push_back("response http://a.test/2");
            EXPECT_EQ(targets, expected) << keep;
            EXPECT_EQ(testing::ReadMembers(file).records.size(), expected.size());
        }

        // Bytes after the last whole record that are no gzip member, or a member that ends at its header.
        for (std::string tail :
            { std::string("not gzip at all"), std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) }) {
            testing::WriteFile(file, bytes + tail);
            std::uint64_t raw = 0;
            WarcReadResult result = ReadWarc(
                file, 16, [](const WarcRecord&) {}, [&](std::string_view piece) { raw += piece.size(); });
            EXPECT_TRUE(result.ok);
            EXPECT_FALSE(result.wholeRecords);
            EXPECT_EQ(result.records, 4u);
            EXPECT_EQ(raw, bytes.size() + tail.size());
        }
    }

} // namespace
} // namespace pagestow::archive
