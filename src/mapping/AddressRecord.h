#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pagestow::mapping {

// An ordered list of name=value lines describing one address. Lookup by key ignores letter case
// and takes the first line with that key; a key that is absent reads as the empty text.
class AddressRecord {
public:
    // Appends the line name + "=" + value.
    void Add(std::string_view name, std::string_view value);
    // The value of the first line whose name equals key (letter case ignored), or "".
    std::string Value(std::string_view key) const;
    // True when a line with that key exists (letter case ignored).
    bool Has(std::string_view key) const;
    // The lines in the order they were added, each "name=value".
    const std::vector<std::string>& Lines() const { return m_lines; }
    bool Empty() const { return m_lines.empty(); }
    void Clear() { m_lines.clear(); }

private:
    std::vector<std::string> m_lines;
};

// Appends the record of address to record (never clears it first).
void SplitAddress(std::string_view address, AddressRecord& record);

// The name with every character of forbidden replaced by "_"; an empty forbidden set selects the
// default set (colon, asterisk, question mark, blank, double quote, less-than, greater-than, bar).
std::string SanitizeFileName(std::string_view name, std::string_view forbidden = {});

// The text without leading and trailing characters of code 0 to 32.
std::string_view TrimControls(std::string_view text);

} // namespace pagestow::mapping
