#include "ProcessProbe.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace pagestow::engine::chromium::testing {

std::vector<pid_t> ProcessesMentioning(const std::string& text)
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || pid_t(std::stol(name)) == getpid())
            continue;
        std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
        std::string arguments((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (arguments.find(text) != std::string::npos)
            found.push_back(pid_t(std::stol(name)));
    }
    return found;
}

bool GroupExists(pid_t group)
{
    return group > 0 && kill(-group, 0) == 0;
}

void ReapEndedChildren()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) { }
}

} // namespace pagestow::engine::chromium::testing
