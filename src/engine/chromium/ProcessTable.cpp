#include "engine/chromium/ProcessTable.h"
#include "base/ProcFile.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace pagestow::engine::chromium {

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
        const std::string arguments = base::ReadProcFile((entry.path() / "cmdline").c_str());
        if (arguments.find(text) == std::string::npos)
            continue;
        const std::string stat = base::ReadProcFile((entry.path() / "stat").c_str());
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
