#include "WarcTestSupport.h"
#include "archive/Cdxj.h"
#include "archive/Warc.h"
#include "archive/Zip.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>

namespace pagestow::archive {
namespace {

    using namespace std::chrono_literals;
    using testing::ReadFile;
    using testing::ReadMembers;
    using testing::TempFolder;

    const auto kDate
        = std::chrono::sys_days(std::chrono::year(2026) / 12 / 10) + 23h + 42min + 12s + 123456us;

    bool HaveUnzip()
    {
        return std::system("unzip -v >/dev/null 2>&1") == 0;
    }

    // Standard output of a command, and whether it ended with status 0.
    std::pair<std::string, bool> Command(const std::string& command)
    {
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[65536];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, got);
        return { output, ::pclose(pipe) == 0 };
    }

    std::string Entry(const std::filesystem::path& zip, std::string_view name)
    {
        return Command("unzip -p '" + zip.string() + "' " + std::string(name)).first;
    }

    Exchange Page(std::string url, std::string body, std::string type)
    {
        Exchange exchange;
        exchange.url = std::move(url);
        exchange.status = 200;
        exchange.reason = "OK";
        exchange.date = kDate;
        exchange.responseHeaders = { { "Content-Type", std::move(type) } };
        exchange.body.source = ExchangeBody::Source::Held;
        exchange.body.bytes = std::move(body);
        return exchange;
    }

    // A WARC file of one writer: warcinfo, the exchanges, the top-level document.
    void WriteWarc(
        const std::filesystem::path& file, const std::vector<Exchange>& exchanges, SavedDocument document)
    {
        std::string error;
        auto writer = WarcWriter::Create(file, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(writer->WriteInfo({ "pagestow-cli 1.4.0", {} }));
        ASSERT_TRUE(writer->WriteExchanges(exchanges, nullptr));
        ASSERT_TRUE(writer->WriteDocument(document, kDate));
        ASSERT_TRUE(writer->Close());
    }

    std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(start, text.size()) << "the last line ends with a line break";
        return lines;
    }

    TEST(WriteWacz, PackagesConcatenatedWarcsWithIndexPagesAndHashes)
    {
        if (!HaveUnzip())
            GTEST_SKIP() << "unzip is not installed";
        TempFolder folder;
        WriteWarc(folder.Path() / "1.warc.gz",
            { Page("https://www.example.com/a?b=2&a=1", "<html>one</html>", "text/html; charset=utf-8"),
                Page("http://127.0.0.1:8080/p.png", testing::RandomBytes(100000, 1), "image/png") },
            { "https://www.example.com/a?b=2&a=1", "text/html", "<html>dom one</html>", "One", true });
        WriteWarc(folder.Path() / "2.warc.gz",
            { Page("https://example.org/", "<html>two</html>", "text/html"),
                Page("https://example.org/again", "<html>two</html>", "text/html") },
            { "https://example.org/", "text/html", "<html>dom two</html>", "Two \"quoted\"", true });
        std::string warc = ReadFile(folder.Path() / "1.warc.gz") + ReadFile(folder.Path() / "2.warc.gz");
        testing::WriteFile(folder.Path() / "all.warc.gz", warc);
        auto wacz = folder.Path() / "page.wacz";
        std::string error;
        ASSERT_TRUE(WriteWacz(folder.Path() / "all.warc.gz", wacz, "pagestow-cli 1.4.0", error)) << error;

        // The entries, the WARC stored as it is.
        EXPECT_EQ(Command("unzip -Z1 '" + wacz.string() + "'").first,
            "archive/data.warc.gz\nindexes/index.cdxj\npages/"
            "pages.jsonl\ndatapackage.json\ndatapackage-digest.json\n");
        EXPECT_TRUE(Command("unzip -tq '" + wacz.string() + "' >/dev/null").second);
        EXPECT_EQ(Entry(wacz, "archive/data.warc.gz"), warc);
        EXPECT_EQ(
            Command("unzip -Zv '" + wacz.string() + "' archive/data.warc.gz | grep 'compression method'")
                .first,
            "  compression method:                             none (stored)\n");

        // Each index line names a member whose record has the indexed address.
        auto records = ReadMembers(warc).records;
        std::size_t indexed = 0;
        for (const auto& record : records)
            indexed += record.Field("WARC-Type") == "response" || record.Field("WARC-Type") == "revisit"
                || record.Field("WARC-Type") == "resource";
        std::vector<std::string> index = Lines(Entry(wacz, "indexes/index.cdxj"));
        ASSERT_EQ(index.size(), indexed);
        EXPECT_TRUE(std::is_sorted(index.begin(), index.end()));
        std::vector<std::string> types;
        for (const std::string& line : index) {
            auto json = nlohmann::json::parse(line.substr(line.find('{')));
            std::uint64_t offset = std::stoull(json["offset"].get<std::string>());
            std::uint64_t length = std::stoull(json["length"].get<std::string>());
            auto member = ReadMembers(warc.substr(offset, length));
            ASSERT_EQ(member.records.size(), 1u) << line;
            EXPECT_FALSE(member.cutAtEnd);
            EXPECT_EQ(member.records[0].Field("WARC-Target-URI"), json["url"]) << line;
            EXPECT_EQ(member.records[0].Field("WARC-Payload-Digest"), json["digest"]) << line;
            EXPECT_EQ(line.substr(0, line.find(' ')), SurtKey(json["url"].get<std::string>()));
            types.push_back(json.value("recordType", "response"));
        }
        const auto& page = records[1];
        ASSERT_EQ(page.Field("WARC-Target-URI"), "https://www.example.com/a?b=2&a=1");
        EXPECT_EQ(index[1],
            "com,example)/a?a=1&b=2 20261210234212 "
            "{\"url\":\"https://www.example.com/a?b=2&a=1\",\"mime\":\"text/html\","
            "\"status\":\"200\",\"digest\":\""
                + page.Field("WARC-Payload-Digest") + "\",\"length\":\"" + std::to_string(page.length)
                + "\",\"offset\":\"" + std::to_string(page.offset) + "\",\"filename\":\"data.warc.gz\"}");
        EXPECT_EQ(std::count(types.begin(), types.end(), "revisit"), 1);
        EXPECT_EQ(std::count(types.begin(), types.end(), "resource"), 2);

        // One page a top-level document, in the order written.
        std::string pages = Entry(wacz, "pages/pages.jsonl");
        std::vector<std::string> pageLines = Lines(pages);
        ASSERT_EQ(pageLines.size(), 3u);
        EXPECT_EQ(pageLines[0], R"({"format": "json-pages-1.0", "id": "pages", "title": "All Pages"})");
        auto first = nlohmann::json::parse(pageLines[1]);
        EXPECT_EQ(first["url"], "https://www.example.com/a?b=2&a=1");
        EXPECT_EQ(first["title"], "One");
        EXPECT_EQ(first["ts"], "2026-12-10T23:42:12.123Z");
        EXPECT_EQ(first["id"].get<std::string>().size(), 36u);
        EXPECT_EQ(nlohmann::json::parse(pageLines[2])["title"], "Two \"quoted\"");

        // The data package names every file with its hash and size, and the digest file names it.
        std::string packageText = Entry(wacz, "datapackage.json");
        auto package = nlohmann::json::parse(packageText);
        EXPECT_EQ(package["profile"], "data-package");
        EXPECT_EQ(package["wacz_version"], "1.1.1");
        EXPECT_EQ(package["software"], "pagestow-cli 1.4.0");
        EXPECT_EQ(package["mainPageUrl"], "https://www.example.com/a?b=2&a=1");
        EXPECT_EQ(package["mainPageDate"], "2026-12-10T23:42:12.123Z");
        ASSERT_EQ(package["resources"].size(), 3u);
        for (const auto& resource : package["resources"]) {
            std::string bytes = Entry(wacz, resource["path"].get<std::string>());
            EXPECT_EQ(resource["hash"], "sha256:" + testing::Sha256Hex(bytes)) << resource["path"];
            EXPECT_EQ(resource["bytes"], bytes.size());
        }
        auto digest = nlohmann::json::parse(Entry(wacz, "datapackage-digest.json"));
        EXPECT_EQ(digest["path"], "datapackage.json");
        EXPECT_EQ(digest["hash"], "sha256:" + testing::Sha256Hex(packageText));

        // Nothing is left beside the package.
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string> { "1.warc.gz", "2.warc.gz", "all.warc.gz", "page.wacz" }));
    }

    TEST(WriteWacz, FailureNamesTheFileAndLeavesNothing)
    {
        TempFolder folder;
        auto warc = folder.Path() / "a.warc.gz";
        WriteWarc(warc, { Page("http://a.test/", testing::RandomBytes(300000, 2), "image/png") },
            { "http://a.test/", "text/html", "d", "t", true });
        std::string error;
        EXPECT_FALSE(WriteWacz(folder.Path() / "missing.warc.gz", folder.Path() / "x.wacz", "s", error));
        EXPECT_EQ(error,
            "cannot read " + (folder.Path() / "missing.warc.gz").string() + ": No such file or directory");
        EXPECT_FALSE(WriteWacz(warc, folder.Path() / "no" / "x.wacz", "s", error));
        EXPECT_EQ(error,
            "cannot create " + (folder.Path() / "no" / "x.wacz").string() + ": No such file or directory");

        // A file size limit stops the package half-way (root is not stopped by a read-only folder).
        auto wacz = folder.Path() / "x.wacz";
        rlimit before {};
        ::getrlimit(RLIMIT_FSIZE, &before);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = before;
        limited.rlim_cur = 100000;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        bool written = WriteWacz(warc, wacz, "s", error);
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_FALSE(written);
        EXPECT_EQ(error, "cannot write " + wacz.string() + ": File too large");
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, (std::vector<std::string> { "a.warc.gz" }));
    }

    TEST(ZipWriter, Zip64FormsAreReadByUnzip)
    {
        if (!HaveUnzip())
            GTEST_SKIP() << "unzip is not installed";
        TempFolder folder;
        auto file = folder.Path() / "a.zip";
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        FileOutput out(fd, file);
        ZipWriter zip(out, 0);
        std::string large = testing::RandomBytes(70000, 4);
        ASSERT_TRUE(zip.AddEntry("a/one.txt", "one"));
        ASSERT_TRUE(zip.AddEntry("two.bin", large));
        ASSERT_TRUE(zip.Finish());
        ASSERT_TRUE(out.Close());
        EXPECT_TRUE(Command("unzip -tq '" + file.string() + "' >/dev/null 2>&1").second);
        EXPECT_EQ(Entry(file, "a/one.txt"), "one");
        EXPECT_EQ(Entry(file, "two.bin"), large);
    }

} // namespace
} // namespace pagestow::archive
