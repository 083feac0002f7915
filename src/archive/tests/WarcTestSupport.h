#pragma once

// The tests' own reading of what the archive writes: zlib's inflate member by member and a plain
// split of the WARC fields, independent of the module's reader.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::archive::testing {

struct ReadRecord {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string version;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string block;
    std::string Field(std::string_view name) const;
};

// Every whole member of a file as a record; a cut member at the end is left out and counted.
struct ReadBack {
    std::vector<ReadRecord> records;
    bool cutAtEnd = false;
};
ReadBack ReadMembers(const std::string& bytes);
ReadBack ReadMembers(const std::filesystem::path& file);

// "sha1:" + upper-case base32 of the SHA-1 of bytes, and the lower-case hex of the SHA-256.
std::string Sha1Digest(std::string_view bytes);
std::string Sha256Hex(std::string_view bytes);

std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, std::string_view bytes);
// Bytes that do not compress.
std::string RandomBytes(std::size_t size, unsigned seed);

// A folder of its own below the system's temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The HTTP head of a block (up to the blank line) and what follows it.
std::pair<std::string, std::string> SplitHttp(const std::string& block);

} // namespace pagestow::archive::testing
