// The WACZ 1.1.1 package: the WARC stored as it is, its CDXJ index and page list made by reading the
// WARC back record by record (so the files of several writers concatenated are indexed right), and
// the data package that names each file with its sha256.

#include "archive/Cdxj.h"
#include "archive/Digest.h"
#include "archive/FileOutput.h"
#include "archive/Warc.h"
#include "archive/WarcRead.h"
#include "archive/Zip.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pagestow::archive {
namespace {

    // Enough of a block for the HTTP head's status line and Content-Type.
    constexpr std::size_t kIndexedHead = 64 * 1024;

    std::string Json(const nlohmann::ordered_json& json)
    {
        return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }

    // "2026-12-10T23:42:12.123Z" from a WARC date with any number of fraction digits.
    std::string PageTime(std::string_view warcDate)
    {
        std::string out(warcDate.substr(0, 19));
        std::size_t dot = warcDate.find('.');
        std::string fraction = dot == std::string_view::npos ? "" : std::string(warcDate.substr(dot + 1));
        while (!fraction.empty() && !std::isdigit(static_cast<unsigned char>(fraction.back())))
            fraction.pop_back();
        fraction = (fraction + "000").substr(0, 3);
        return out + "." + fraction + "Z";
    }

    std::string NowText()
    {
        auto now = std::chrono::system_clock::now();
        auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
        std::time_t seconds = std::time_t(millis / 1000);
        std::tm tm {};
        gmtime_r(&seconds, &tm);
        char text[80];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
            tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(millis % 1000));
        return text;
    }

    std::string Sha256Of(std::string_view bytes)
    {
        Digest sha256(Digest::Algorithm::Sha256);
        sha256.Update(bytes);
        return "sha256:" + Hex(sha256.Finish());
    }

    struct Scan {
        std::vector<std::string> index;
        std::vector<nlohmann::ordered_json> pages;
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        std::string sha256;
    };

    bool ScanWarc(const std::filesystem::path& warc, Scan& scan, std::string& error)
    {
        Digest sha256(Digest::Algorithm::Sha256);
        WarcReadResult read = ReadWarc(
            warc, kIndexedHead,
            [&](const WarcRecord& record) {
                if (auto line = CdxjLine(record, "data.warc.gz"))
                    scan.index.push_back(std::move(*line));
                if (record.Field("WARC-Type") == "resource" && record.Field(kPageField) == "top") {
                    std::string id(record.Field("WARC-Record-ID"));
                    if (id.starts_with("<urn:uuid:") && id.ends_with(">"))
                        id = id.substr(10, id.size() - 11);
                    nlohmann::ordered_json page;
                    page["id"] = id;
                    page["url"] = record.Field("WARC-Refers-To-Target-URI");
                    page["title"] = record.Field(kPageTitleField);
                    page["ts"] = PageTime(record.Field("WARC-Date"));
                    scan.pages.push_back(std::move(page));
                }
            },
            [&](std::string_view bytes) {
                scan.size += bytes.size();
                scan.crc = Crc32(scan.crc, bytes);
                sha256.Update(bytes);
            });
        if (!read.ok) {
            error = read.error;
            return false;
        }
        scan.sha256 = "sha256:" + Hex(sha256.Finish());
        std::sort(scan.index.begin(), scan.index.end());
        return true;
    }

    // Copies the WARC into the package in pieces.
    bool CopyFile(
        const std::filesystem::path& file, const std::function<bool(std::string_view)>& sink, FileOutput& out)
    {
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            out.Fail(SystemError("cannot read", file));
            return false;
        }
        std::string buffer(256 * 1024, '\0');
        bool copied = true;
        for (;;) {
            ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                out.Fail(SystemError("cannot read", file));
            if (got <= 0) {
                copied = got == 0;
                break;
            }
            if (!sink(std::string_view(buffer.data(), std::size_t(got)))) {
                copied = false;
                break;
            }
        }
        ::close(fd);
        return copied;
    }

    bool WritePackage(
        const std::filesystem::path& warc, const Scan& scan, std::string_view software, FileOutput& out)
    {
        std::string index;
        for (const std::string& line : scan.index)
            index.append(line).append("\n");
        std::string pages = R"({"format": "json-pages-1.0", "id": "pages", "title": "All Pages"})"
                            "\n";
        for (const auto& page : scan.pages)
            pages.append(Json(page)).append("\n");

        ZipWriter zip(out);
        bool written = zip.AddEntry("archive/data.warc.gz", scan.size, scan.crc,
            [&](const auto& sink) { return CopyFile(warc, sink, out); });
        written = written && zip.AddEntry("indexes/index.cdxj", index)
            && zip.AddEntry("pages/pages.jsonl", pages);
        if (!written)
            return false;

        nlohmann::ordered_json package;
        package["profile"] = "data-package";
        package["wacz_version"] = "1.1.1";
        package["software"] = software;
        package["created"] = NowText();
        if (!scan.pages.empty()) {
            package["mainPageUrl"] = scan.pages.front()["url"];
            package["mainPageDate"] = scan.pages.front()["ts"];
        }
        auto resource = [](std::string_view path, const std::string& hash, std::uint64_t bytes) {
            nlohmann::ordered_json entry;
            entry["name"] = std::filesystem::path(path).filename().string();
            entry["path"] = path;
            entry["hash"] = hash;
            entry["bytes"] = bytes;
            return entry;
        };
        package["resources"] = { resource("archive/data.warc.gz", scan.sha256, scan.size),
            resource("indexes/index.cdxj", Sha256Of(index), index.size()),
            resource("pages/pages.jsonl", Sha256Of(pages), pages.size()) };
        std::string packageText = package.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        nlohmann::ordered_json digest;
        digest["path"] = "datapackage.json";
        digest["hash"] = Sha256Of(packageText);
        return zip.AddEntry("datapackage.json", packageText)
            && zip.AddEntry("datapackage-digest.json", Json(digest)) && zip.Finish();
    }

} // namespace

bool WriteWacz(const std::filesystem::path& warc, const std::filesystem::path& path,
    std::string_view software, std::string& error)
{
    Scan scan;
    if (!ScanWarc(warc, scan, error))
        return false;

    std::filesystem::path folder
        = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = SystemError("cannot create", path);
        return false;
    }
    ::fchmod(fd, 0644);
    FileOutput out(fd, path);
    bool written = WritePackage(warc, scan, software, out);
    written = out.Close() && written;
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        out.Fail(SystemError("cannot write", path));
        written = false;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        error = out.Failed() ? out.Error() : "cannot write " + path.string();
        return false;
    }
    // The rename itself is made durable with the folder.
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

} // namespace pagestow::archive
