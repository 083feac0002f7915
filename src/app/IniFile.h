#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace pagestow::app {

// A settings file that could not be written; the message names the file.
class IniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An INI file read and written one value at a time, the way private-profile functions do it: every
// call reads the file afresh, and every write rewrites it with that one value changed. Section and
// key names match without regard to letter case; the first match counts.
class IniFile {
public:
    explicit IniFile(std::string path);

    const std::string& Path() const { return m_path; }
    bool Exists() const;

    // The value of key in section, at most kMaxValueLength characters; fallback when the key or the
    // file is missing. Blanks around the value, and one pair of matching quotes around it, are
    // dropped.
    std::string ReadString(
        std::string_view section, std::string_view key, std::string_view fallback = {}) const;
    // The value read as a decimal number, or a hexadecimal one after "0x" or "0X"; fallback when the
    // key is missing or its value is no number.
    int ReadInteger(std::string_view section, std::string_view key, int fallback = 0) const;

    // Sets key in section to value, adding the section and the key where they are missing; the file
    // is made by the first write. Raises IniFileError naming the file when it cannot be written.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);

    // A value read has at most this many characters (a buffer of 2048 with its terminator).
    static constexpr size_t kMaxValueLength = 2047;

private:
    std::string m_path;
};

// Reads a whole integer text: optional sign, then decimal digits or "0x"/"0X" and hexadecimal digits.
// Nothing for any other text (also for a number that does not fit).
bool ParseIniInteger(std::string_view text, int& value);

} // namespace pagestow::app
