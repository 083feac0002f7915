#include "WarcTestSupport.h"

#include <openssl/sha.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace pagestow::archive::testing {

std::string ReadRecord::Field(std::string_view name) const
{
    for (const auto& [field, value] : fields)
        if (field == name)
            return value;
    return {};
}

namespace {

    ReadRecord ParseRecord(const std::string& text)
    {
        ReadRecord record;
        std::size_t headEnd = text.find("\r\n\r\n");
        if (headEnd == std::string::npos)
            throw std::runtime_error("a record without the end of its head");
        std::size_t lineEnd = text.find("\r\n");
        record.version = text.substr(0, lineEnd);
        std::size_t at = lineEnd + 2;
        while (at < headEnd + 2) {
            std::size_t end = text.find("\r\n", at);
            std::string line = text.substr(at, end - at);
            std::size_t colon = line.find(": ");
            if (colon == std::string::npos)
                throw std::runtime_error("a WARC field line without a colon: " + line);
            record.fields.emplace_back(line.substr(0, colon), line.substr(colon + 2));
            at = end + 2;
        }
        std::uint64_t length = std::stoull(record.Field("Content-Length"));
        if (text.size() != headEnd + 4 + length + 4 || text.substr(text.size() - 4) != "\r\n\r\n")
            throw std::runtime_error("a block whose length is not its Content-Length");
        record.block = text.substr(headEnd + 4, length);
        return record;
    }

} // namespace

ReadBack ReadMembers(const std::string& bytes)
{
    ReadBack back;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        z_stream z {};
        inflateInit2(&z, 16 + 15);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + offset));
        z.avail_in = uInt(bytes.size() - offset);
        std::string text;
        char out[65536];
        int status = Z_OK;
        while (status == Z_OK) {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            status = inflate(&z, Z_NO_FLUSH);
            text.append(out, sizeof out - z.avail_out);
        }
        std::size_t used = bytes.size() - offset - z.avail_in;
        inflateEnd(&z);
        if (status != Z_STREAM_END) {
            back.cutAtEnd = true;
            break;
        }
        ReadRecord record = ParseRecord(text);
        record.offset = offset;
        record.length = used;
        back.records.push_back(std::move(record));
        offset += used;
    }
    return back;
}

ReadBack ReadMembers(const std::filesystem::path& file)
{
    return ReadMembers(ReadFile(file));
}

std::string Sha1Digest(std::string_view bytes)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    // 160 bits are 32 base32 digits exactly, without padding.
    std::string out = "sha1:";
    for (int bit = 0; bit < 160; bit += 5) {
        int value = 0;
        for (int i = 0; i < 5; ++i)
            value = (value << 1) | ((digest[(bit + i) / 8] >> (7 - (bit + i) % 8)) & 1);
        out += kAlphabet[value];
    }
    return out;
}

std::string Sha256Hex(std::string_view bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    std::string out;
    char hex[3];
    for (unsigned char byte : digest) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        out += hex;
    }
    return out;
}

std::string ReadFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::filesystem::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(random() & 0xFF);
    return bytes;
}

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "archive-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary folder");
    m_path = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::pair<std::string, std::string> SplitHttp(const std::string& block)
{
    std::size_t end = block.find("\r\n\r\n");
    if (end == std::string::npos)
        return { block, "" };
    return { block.substr(0, end + 4), block.substr(end + 4) };
}

} // namespace pagestow::archive::testing
