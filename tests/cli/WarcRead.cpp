#include "WarcRead.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace pagestow::testing {
namespace {

    bool EqualsIgnoringCase(const std::string& a, const std::string& b)
    {
        return a.size() == b.size()
            && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
    }

    std::uint32_t Little(const std::string& bytes, std::size_t at, int size)
    {
        std::uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = (value << 8) | std::uint8_t(bytes[at + std::size_t(i)]);
        return value;
    }

} // namespace

std::string HttpMessage::Header(const std::string& name) const
{
    for (const auto& [field, value] : headers)
        if (EqualsIgnoringCase(field, name))
            return value;
    return {};
}

HttpMessage ParseHttp(const std::string& block)
{
    HttpMessage message;
    std::size_t headEnd = block.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return message;
    std::size_t lineEnd = block.find("\r\n");
    std::string statusLine = block.substr(0, lineEnd);
    if (statusLine.starts_with("HTTP/")) {
        std::size_t space = statusLine.find(' ');
        message.status = std::atoi(statusLine.c_str() + space + 1);
    }
    for (std::size_t line = lineEnd + 2; line < headEnd + 2;) {
        std::size_t end = block.find("\r\n", line);
        std::string field = block.substr(line, end - line);
        std::size_t colon = field.find(':');
        std::size_t value = field.find_first_not_of(' ', colon + 1);
        message.headers.emplace_back(field.substr(0, colon), value == std::string::npos ? "" : field.substr(value));
        line = end + 2;
    }
    message.body = block.substr(headEnd + 4);
    return message;
}

std::map<std::string, std::string> ReadZip(const std::string& path)
{
    std::string bytes = ReadFileBytes(path);
    std::map<std::string, std::string> entries;
    std::size_t at = 0;
    while (at + 30 <= bytes.size() && Little(bytes, at, 4) == 0x04034b50) {
        std::uint32_t method = Little(bytes, at + 8, 2);
        std::uint64_t size = Little(bytes, at + 18, 4);
        std::uint32_t nameLength = Little(bytes, at + 26, 2);
        std::uint32_t extraLength = Little(bytes, at + 28, 2);
        std::string name = bytes.substr(at + 30, nameLength);
        // Zip64: the sizes are in the extra field.
        if (size == 0xffffffffu && extraLength >= 20)
            size = Little(bytes, at + 30 + nameLength + 4 + 8, 4);
        EXPECT_EQ(method, 0u) << name << " is not stored";
        std::size_t data = at + 30 + nameLength + extraLength;
        entries[name] = bytes.substr(data, size);
        at = data + size;
        // A data descriptor after the entry.
        if (at + 4 <= bytes.size() && Little(bytes, at, 4) == 0x08074b50)
            at += 16;
    }
    return entries;
}

} // namespace pagestow::testing
