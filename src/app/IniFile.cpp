#include "app/IniFile.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace pagestow::app {
namespace {

    namespace fs = std::filesystem;

    std::string_view Trimmed(std::string_view text)
    {
        size_t begin = 0;
        size_t end = text.size();
        while (begin < end && (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r'))
            ++begin;
        while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
            --end;
        return text.substr(begin, end - begin);
    }

    bool SameName(std::string_view a, std::string_view b)
    {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
            if (lower(a[i]) != lower(b[i]))
                return false;
        }
        return true;
    }

    std::vector<std::string> ReadLines(const std::string& path)
    {
        std::vector<std::string> lines;
        std::ifstream stream(path, std::ios::binary);
        std::string line;
        while (std::getline(stream, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // The section a line opens, or nothing for a line that opens none.
    bool SectionName(std::string_view line, std::string_view& name)
    {
        line = Trimmed(line);
        if (line.size() < 2 || line.front() != '[')
            return false;
        size_t close = line.find(']');
        if (close == std::string_view::npos)
            return false;
        name = Trimmed(line.substr(1, close - 1));
        return true;
    }

    bool KeyAndValue(std::string_view line, std::string_view& key, std::string_view& value)
    {
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return false;
        key = Trimmed(line.substr(0, equals));
        value = Trimmed(line.substr(equals + 1));
        return !key.empty() && key.front() != ';';
    }

} // namespace

bool ParseIniInteger(std::string_view text, int& value)
{
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    long long number = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'         ? c - '0'
            : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        number = number * base + digit;
        if (number > (long long)std::numeric_limits<unsigned>::max())
            return false;
    }
    if (negative)
        number = -number;
    // A hexadecimal value may name the bit pattern of a negative number (0xFFFFFFFF is -1).
    if (base == 16 && number > std::numeric_limits<int>::max())
        number -= (long long)1 << 32;
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return false;
    value = int(number);
    return true;
}

IniFile::IniFile(std::string path)
    : m_path(std::move(path))
{
}

bool IniFile::Exists() const
{
    std::error_code error;
    return fs::is_regular_file(m_path, error);
}

std::string IniFile::ReadString(
    std::string_view section, std::string_view key, std::string_view fallback) const
{
    bool inSection = false;
    for (const std::string& line : ReadLines(m_path)) {
        std::string_view name;
        if (SectionName(line, name)) {
            inSection = SameName(name, section);
            continue;
        }
        std::string_view lineKey;
        std::string_view value;
        if (!inSection || !KeyAndValue(line, lineKey, value) || !SameName(lineKey, key))
            continue;
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
            && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value.substr(0, kMaxValueLength));
    }
    return std::string(fallback.substr(0, kMaxValueLength));
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int fallback) const
{
    int value = 0;
    if (!ParseIniInteger(ReadString(section, key), value))
        return fallback;
    return value;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    std::vector<std::string> lines = ReadLines(m_path);
    const std::string entry = std::string(key) + "=" + std::string(value);

    // Find the section and, inside it, the key or the place after its last non-empty line.
    bool inSection = false;
    bool sectionFound = false;
    size_t insertAt = lines.size();
    bool replaced = false;
    for (size_t i = 0; i < lines.size() && !replaced; ++i) {
        std::string_view name;
        if (SectionName(lines[i], name)) {
            if (inSection)
                break;
            inSection = SameName(name, section);
            if (inSection) {
                sectionFound = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection)
            continue;
        std::string_view lineKey;
        std::string_view lineValue;
        if (KeyAndValue(lines[i], lineKey, lineValue) && SameName(lineKey, key)) {
            lines[i] = entry;
            replaced = true;
        } else if (!Trimmed(lines[i]).empty()) {
            insertAt = i + 1;
        }
    }
    if (!replaced) {
        if (sectionFound) {
            lines.insert(lines.begin() + std::ptrdiff_t(insertAt), entry);
        } else {
            lines.push_back(std::string("[") + std::string(section) + "]");
            lines.push_back(entry);
        }
    }

    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";

    // The new content goes to a file beside the old one and then takes its place, so that a failed
    // write never leaves half a settings file.
    const std::string failure = "Unable to write to " + m_path;
    std::string temporary = m_path + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        if (!stream)
            throw IniFileError(failure);
        stream << text;
        stream.flush();
        if (!stream) {
            stream.close();
            std::remove(temporary.c_str());
            throw IniFileError(failure);
        }
    }
    std::error_code error;
    fs::rename(temporary, m_path, error);
    if (error) {
        fs::remove(temporary, error);
        throw IniFileError(failure);
    }
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int value)
{
    WriteString(section, key, std::to_string(value));
}

} // namespace pagestow::app
