#include "engine/chromium/ProcessTable.h"
#include "base/Owned.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

namespace pagestow::engine::chromium {
namespace {

    // The whole of a file under /proc; what was read so far when the process ends meanwhile (a stream
    // would throw from inside the standard library there).
    std::string ReadProcessFile(const std::filesystem::path& path)
    {
        std::string content;
        base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            return content;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return content;
            content.append(buffer, std::size_t(got));
        }
    }

} // namespace

std::vector<ProcessEntry> ProcessesMentioning(const std::string& text, pid_t except)
{
    std::vector<ProcessEntry> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = pid_t(std::stol(name));
        if (pid == getpid() || pid == except)
            continue;
        const std::string arguments = ReadProcessFile(entry.path() / "cmdline");
        if (arguments.find(text) == std::string::npos)
            continue;
        const std::string stat = ReadProcessFile(entry.path() / "stat");
        // After the parenthesised command name: state, parent, process group.
        ProcessEntry process { pid, 0, 0 };
        if (auto close = stat.rfind(')'); close != std::string::npos) {
            std::istringstream fields(stat.substr(close + 1));
            std::string state;
            fields >> state >> process.parent >> process.group;
        }
        found.push_back(process);
    }
    return found;
}

} // namespace pagestow::engine::chromium
