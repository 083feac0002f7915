#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::mapping {

// Splits text at every character of separators, appending the pieces to list (see the rules in the
// implementation). False only when appending failed; the list is then cleared.
bool SplitString(std::string_view text, std::string_view separators, std::vector<std::string>& list);

// Creates every missing level of path ("/" and "\" both separate). True when the path could be
// split; whether the levels could be created is not part of the result. A path that is empty after
// trimming names no folder and gives false.
bool ForceDirectoryPath(std::string_view path);

// Creates folder and every missing level above it, each exactly as named ("/" separates; nothing is
// trimmed, empty levels are skipped). 0 when the folder exists afterwards, otherwise the errno of the
// first level that could not be made (ENOTDIR for a level that is a file).
int MakeFolders(std::string_view folder);

// A point in local time, as the capture name reads it.
struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The current local time.
LocalTime CurrentLocalTime();

// The runtime's linear congruential generator: a value from 0 to range - 1. Its seed starts at 0.
int RuntimeRandom(int range);
// Sets the generator's seed (tests, and nothing else).
void SetRuntimeRandomSeed(std::uint32_t seed);

// The 20-digit name: year, month, day, hour, minute, second, milliseconds, then three random digits.
std::string MakeTimeStampName();
std::string MakeTimeStampName(const LocalTime& now);

// The folder of a special-folder identifier; 5 is the user's documents folder. "" when unknown.
std::string GetSpecialFolderPath(int csidl);

// The folder of the running executable, ending with "/".
std::string GetExeDirectory();

// The file name of the running executable up to its first ".".
std::string GetExeBaseName();

} // namespace pagestow::mapping
