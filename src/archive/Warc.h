#pragma once

#include "archive/Exchange.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::archive {

class FileOutput;
class GzipWriter;

// What the warcinfo record at the head of a WARC file says.
struct WarcInfo {
    std::string software; // "pagestow-cli 1.4.0"
    // The options that shape the capture ("engine: chromium", "offline-copy: on"), one field each.
    std::vector<HeaderField> fields;
};

// A document as the engine saved it (its serialisation: the DOM for the browser engines), kept in the
// archive beside the response the server sent for its address.
struct SavedDocument {
    std::string url;
    // "text/html; charset=utf-8"
    std::string contentType;
    std::string bytes;
    // The page's title, for the top-level document; the archive's page list names each page by it.
    std::string title;
    bool topLevel = false;
};

// The fields of a top-level document's resource record that the package's page list is made from:
// "Pagestow-Page: top" and the page's title.
inline constexpr std::string_view kPageField = "Pagestow-Page";
inline constexpr std::string_view kPageTitleField = "Pagestow-Page-Title";

// The file of an engine cache body for an address, when the cache has it.
using CacheLookup = std::function<std::optional<std::filesystem::path>(std::string_view address)>;

// Writes WARC/1.1 records to a file, each record one gzip member of its own (random access). Every
// write reports failure (full disk, a folder that cannot be written): the writer then keeps the error
// and writes nothing more. Bodies are read from their files in pieces, never held whole.
class WarcWriter {
public:
    // Creates (or empties) path; null with error set when it cannot be opened.
    static std::unique_ptr<WarcWriter> Create(const std::filesystem::path& path, std::string& error);
    ~WarcWriter();

    // The warcinfo record; written once, first.
    bool WriteInfo(const WarcInfo& info);
    // A request record and a response record (a revisit record instead when the same payload was
    // written before by this writer) for each exchange, linked by WARC-Concurrent-To.
    bool WriteExchanges(const std::vector<Exchange>& exchanges, const CacheLookup& cache);
    // A resource record for a saved document's serialisation ("urn:pagestow:dom:" + its address); a
    // top-level document's record also names it as a page, with its title.
    bool WriteDocument(const SavedDocument& document, std::chrono::system_clock::time_point date);
    // Flushes and closes the file; false when anything written to it failed.
    bool Close();

    // The first failure: "cannot write /x/a.warc.gz: No space left on device"; "" while there is none.
    const std::string& Error() const;
    const std::filesystem::path& Path() const { return m_path; }

private:
    WarcWriter(std::filesystem::path path, int fd);
    struct Body;
    bool WriteExchange(const Exchange& exchange, const CacheLookup& cache);
    bool WriteRecord(std::vector<HeaderField> fields, std::string_view head, const Body* body);

    std::filesystem::path m_path;
    std::unique_ptr<FileOutput> m_out;
    std::unique_ptr<GzipWriter> m_gzip;
    bool m_closed = false;
    // Payload digests written so far, for revisit records: digest to (target, date, record id).
    struct Written {
        std::string target;
        std::string date;
        std::string recordId;
    };
    std::map<std::string, Written> m_payloads;
};

// Packages a WARC file (as WarcWriter writes it, records of several writers concatenated included)
// as a WACZ 1.1.1 file: the WARC stored as archive/data.warc.gz, its index indexes/index.cdxj, the
// page list pages/pages.jsonl (one line per top-level saved document), datapackage.json with the
// sha256 of each, and datapackage-digest.json. Written to a temporary name beside path and renamed
// only when whole; false with error set (naming the file) otherwise.
bool WriteWacz(const std::filesystem::path& warc, const std::filesystem::path& path,
    std::string_view software, std::string& error);

} // namespace pagestow::archive
