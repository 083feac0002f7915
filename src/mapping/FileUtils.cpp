#include "mapping/FileUtils.h"

#include "mapping/AddressRecord.h"

#include <glib.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace pagestow::mapping {

namespace {

    constexpr int kDocumentsFolder = 5;
    constexpr int kRandomRange = 999;
    constexpr int kRandomDraws = 5;

    std::mutex g_randomMutex;
    std::uint32_t g_randomSeed = 0;

    bool FolderExists(const std::string& path)
    {
        struct stat info { };
        return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }

    void AppendPadded(std::string& text, int value, int width)
    {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
        text.append(buffer);
    }

    std::string ExecutablePath()
    {
        std::string buffer(PATH_MAX, '\0');
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0)
            return {};
        buffer.resize(static_cast<std::size_t>(length));
        return buffer;
    }

} // namespace

bool SplitString(std::string_view text, std::string_view separators, std::vector<std::string>& list)
{
    if (text.empty())
        return true;
    try {
        std::string piece;
        for (const char c : text) {
            if (separators.find(c) != std::string_view::npos) {
                list.push_back(std::move(piece));
                piece.clear();
            } else {
                piece.push_back(c);
            }
        }
        if (!piece.empty())
            list.push_back(std::move(piece));
    } catch (const std::bad_alloc&) {
        list.clear();
        return false;
    }
    return true;
}

bool ForceDirectoryPath(std::string_view path)
{
    // 1. Split the trimmed path at both separators.
    std::vector<std::string> pieces;
    if (!SplitString(TrimControls(path), "/\\", pieces))
        return false;
    // An empty path names no folder to start from.
    if (pieces.empty())
        return false;

    // 2. The first piece starts the path and is never created: "" for an absolute path gives "/".
    std::string current = pieces.front() + "/";

    // 3. Every further level, trimmed; empty levels are skipped, and a level that cannot be made does
    // not stop the ones below it (the caller finds out when it writes there).
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::string_view piece = TrimControls(pieces[i]);
        if (piece.empty())
            continue;
        // A level that exists as given (a save folder called "out ") is that folder; only levels still
        // to be made are trimmed, so nothing is made beside it.
        if (piece.size() != pieces[i].size() && FolderExists(current + pieces[i] + "/")) {
            current.append(pieces[i]);
            current.push_back('/');
            continue;
        }
        current.append(piece);
        current.push_back('/');
        if (!FolderExists(current))
            ::mkdir(current.c_str(), 0777);
    }
    return true;
}

int MakeFolders(std::string_view folder)
{
    if (FolderExists(std::string(folder)))
        return 0;
    std::string current;
    current.reserve(folder.size());
    std::size_t start = 0;
    if (!folder.empty() && folder.front() == '/') {
        current.push_back('/');
        start = 1;
    }
    while (start < folder.size()) {
        std::size_t end = folder.find('/', start);
        if (end == std::string_view::npos)
            end = folder.size();
        const std::string_view level = folder.substr(start, end - start);
        start = end + 1;
        if (level.empty())
            continue;
        current.append(level);
        if (::mkdir(current.c_str(), 0777) != 0) {
            const int error = errno;
            if (error != EEXIST)
                return error;
            if (!FolderExists(current))
                return ENOTDIR;
        }
        current.push_back('/');
    }
    return 0;
}

LocalTime CurrentLocalTime()
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts {};
    ::localtime_r(&now.tv_sec, &parts);
    LocalTime time;
    time.year = parts.tm_year + 1900;
    time.month = parts.tm_mon + 1;
    time.day = parts.tm_mday;
    time.hour = parts.tm_hour;
    time.minute = parts.tm_min;
    time.second = parts.tm_sec;
    time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return time;
}

int RuntimeRandom(int range)
{
    std::lock_guard lock(g_randomMutex);
    g_randomSeed = g_randomSeed * 134775813u + 1u;
    return static_cast<int>(
        (static_cast<std::uint64_t>(g_randomSeed) * static_cast<std::uint32_t>(range)) >> 32);
}

void SetRuntimeRandomSeed(std::uint32_t seed)
{
    std::lock_guard lock(g_randomMutex);
    g_randomSeed = seed;
}

std::string MakeTimeStampName()
{
    return MakeTimeStampName(CurrentLocalTime());
}

std::string MakeTimeStampName(const LocalTime& now)
{
    // Only the fifth of five draws is used.
    int random = 0;
    for (int i = 0; i < kRandomDraws; ++i)
        random = RuntimeRandom(kRandomRange);

    std::string name = std::to_string(now.year);
    AppendPadded(name, now.month, 2);
    AppendPadded(name, now.day, 2);
    AppendPadded(name, now.hour, 2);
    AppendPadded(name, now.minute, 2);
    AppendPadded(name, now.second, 2);
    AppendPadded(name, now.millisecond, 3);
    AppendPadded(name, random, 3);
    return name;
}

std::string GetSpecialFolderPath(int csidl)
{
    if (csidl != kDocumentsFolder)
        return {};
    std::string folder;
    if (const char* documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS))
        folder = documents;
    else if (const char* home = std::getenv("HOME"); home && *home)
        folder = home;
    else
        folder = g_get_home_dir();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string GetExeDirectory()
{
    const std::string path = ExecutablePath();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash + 1);
}

std::string GetExeBaseName()
{
    const std::string path = ExecutablePath();
    const std::string fileName = path.substr(path.rfind('/') + 1);
    const std::size_t dot = fileName.find('.');
    if (dot == std::string::npos)
        return {};
    return fileName.substr(0, dot);
}

} // namespace pagestow::mapping
