#pragma once

// What the command line's archive tests read back: the WARC records (by the archive module's own
// test reader), an HTTP message of a record's block, and the stored entries of a WACZ.

#include "archive/tests/WarcTestSupport.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pagestow::testing {

using WarcRecord = archive::testing::ReadRecord;

// Every whole record of a WARC file, in order.
inline std::vector<WarcRecord> ReadWarc(const std::string& path)
{
    return archive::testing::ReadMembers(std::filesystem::path(path)).records;
}

inline std::string Sha1Base32(const std::string& bytes)
{
    return archive::testing::Sha1Digest(bytes);
}

// An HTTP message of a request or response block.
struct HttpMessage {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The value of a header, letter case ignored ("" when there is none).
    std::string Header(const std::string& name) const;
};
HttpMessage ParseHttp(const std::string& block);

// The entries of a zip file of stored (uncompressed) entries, by name.
std::map<std::string, std::string> ReadZip(const std::string& path);

} // namespace pagestow::testing
