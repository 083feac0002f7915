// Feeds arbitrary settings files to the settings-file reader and writer. Aborts when a value read is
// longer than a value may be, when an integer read disagrees with the text it was read from, when a
// written value does not read back, when a write changes any other value, or when writing the same
// value twice changes the file the second time.
//
// Input: one byte choosing the key to write, one byte giving the length of the value to write, the
// value, then the file's content.

#include "app/IniFile.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

using pagestow::app::IniFile;

struct Key {
    std::string_view section;
    std::string_view name;
};

// The keys the program reads and writes, and one spelt in another letter case.
constexpr std::array<Key, 7> kKeys = { { { "form", "top" }, { "form", "left" }, { "form", "width" },
    { "form", "height" }, { "form", "wstate" }, { "setup", "savedir" }, { "SETUP", "SaveDir" } } };

// Stops the run at a broken expectation, naming its line.
void Require(bool condition, int line)
{
    if (condition)
        return;
    std::fprintf(stderr, "expectation broken at line %d\n", line);
    std::abort();
}
#define REQUIRE(condition) Require((condition), __LINE__)

std::string FilePath()
{
    static const std::string path = "/tmp/pagestow-fuzz-settings-" + std::to_string(getpid()) + ".ini";
    return path;
}

void WriteWhole(const std::string& path, std::string_view bytes)
{
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// What reading gives for a value written as it stands: blanks around it and one pair of matching
// quotes dropped, at most the longest value.
bool SameName(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return std::tolower((unsigned char)x) == std::tolower((unsigned char)y); });
}

std::string AsRead(std::string_view value)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!value.empty() && blank(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && blank(value.back()))
        value.remove_suffix(1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, IniFile::kMaxValueLength));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const Key& written = kKeys[data[0] % kKeys.size()];
    const size_t valueLength = std::min<size_t>(data[1], size - 2);
    std::string value(reinterpret_cast<const char*>(data) + 2, valueLength);
    // A value is one line of the file.
    std::erase(value, '\n');
    const std::string_view content(
        reinterpret_cast<const char*>(data) + 2 + valueLength, size - 2 - valueLength);

    const std::string path = FilePath();
    WriteWhole(path, content);
    IniFile file(path);

    std::array<std::string, kKeys.size()> before;
    for (size_t i = 0; i < kKeys.size(); ++i) {
        before[i] = file.ReadString(kKeys[i].section, kKeys[i].name, "\x01missing");
        REQUIRE(before[i].size() <= IniFile::kMaxValueLength);
        int number = 0;
        int fallback = -12345;
        int read = file.ReadInteger(kKeys[i].section, kKeys[i].name, fallback);
        if (pagestow::app::ParseIniInteger(file.ReadString(kKeys[i].section, kKeys[i].name), number))
            REQUIRE(read == number);
        else
            REQUIRE(read == fallback);
    }

    file.WriteString(written.section, written.name, value);
    std::array<std::string, kKeys.size()> after;
    for (size_t i = 0; i < kKeys.size(); ++i) {
        after[i] = file.ReadString(kKeys[i].section, kKeys[i].name, "\x01missing");
        bool same = SameName(kKeys[i].name, written.name) && SameName(kKeys[i].section, written.section);
        if (same)
            REQUIRE(after[i] == AsRead(value));
        else
            REQUIRE(after[i] == before[i]);
    }

    // Writing the value a second time changes no value and adds no line. (A rewrite may drop one of
    // several carriage returns at the end of a line, which no reading sees.)
    const std::string once = ReadWhole(path);
    const size_t lines = size_t(std::count(once.begin(), once.end(), '\n'));
    file.WriteString(written.section, written.name, value);
    for (size_t i = 0; i < kKeys.size(); ++i)
        REQUIRE(file.ReadString(kKeys[i].section, kKeys[i].name, "\x01missing") == after[i]);
    const std::string twice = ReadWhole(path);
    REQUIRE(size_t(std::count(twice.begin(), twice.end(), '\n')) == lines);
    unlink(path.c_str());
    return 0;
}
