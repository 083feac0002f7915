#pragma once

#include "archive/Exchange.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::archive {

// One record read back from a WARC file whose records are gzip members of their own.
struct WarcRecord {
    // Where its gzip member lies in the file.
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::vector<HeaderField> fields;
    // The block's first bytes (all of it when it is no longer than the reader was asked to keep).
    std::string block;
    std::uint64_t blockSize = 0;

    std::string_view Field(std::string_view name) const { return HeaderValue(fields, name); }
};

struct WarcReadResult {
    // False when the file could not be read; error then names it.
    bool ok = true;
    std::string error;
    // Whether the file ended after a whole record; false when it ends in a cut member or bytes that
    // are no record (everything before them was read).
    bool wholeRecords = true;
    std::uint64_t records = 0;
};

// Reads the records of a WARC file in order (the files of several writers concatenated included),
// keeping up to keepBlock bytes of each block; stops at the first member that is cut or holds no
// well-formed record. raw, when given, sees every byte of the file, whatever it holds.
WarcReadResult ReadWarc(const std::filesystem::path& path, std::size_t keepBlock,
    const std::function<void(const WarcRecord&)>& each,
    const std::function<void(std::string_view)>& raw = nullptr);

// The status, reason and header fields of an HTTP head ("HTTP/1.1 200 OK\r\n..."); status 0 when the
// text does not start with a status line.
struct HttpHead {
    int status = 0;
    std::vector<HeaderField> headers;
};
HttpHead ParseHttpHead(std::string_view block);

} // namespace pagestow::archive
