#include "mapping/AddressRecord.h"

#include "base/Ascii.h"

#include <cstddef>

namespace pagestow::mapping {

namespace {

    // The position just after "key=" when line starts with key (letter case ignored) followed by "=".
    bool LineHasKey(const std::string& line, std::string_view key, std::size_t& valueStart)
    {
        // A line's name is the text before its first "=", so a key holding "=" names no line.
        if (key.find('=') != std::string_view::npos || line.size() <= key.size() || line[key.size()] != '=')
            return false;
        for (std::size_t i = 0; i < key.size(); ++i) {
            if (base::LowerAscii(line[i]) != base::LowerAscii(key[i]))
                return false;
        }
        valueStart = key.size() + 1;
        return true;
    }

} // namespace

void AddressRecord::Add(std::string_view name, std::string_view value)
{
    std::string line;
    line.reserve(name.size() + 1 + value.size());
    line.append(name);
    line.push_back('=');
    line.append(value);
    m_lines.push_back(std::move(line));
}

std::string AddressRecord::Value(std::string_view key) const
{
    std::size_t valueStart = 0;
    for (const auto& line : m_lines) {
        if (LineHasKey(line, key, valueStart))
            return line.substr(valueStart);
    }
    return {};
}

bool AddressRecord::Has(std::string_view key) const
{
    std::size_t valueStart = 0;
    for (const auto& line : m_lines) {
        if (LineHasKey(line, key, valueStart))
            return true;
    }
    return false;
}

} // namespace pagestow::mapping
