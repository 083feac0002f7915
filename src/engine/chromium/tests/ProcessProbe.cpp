#include "ProcessProbe.h"
#include "engine/chromium/ProcessTable.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pagestow::engine::chromium::testing {

std::vector<pid_t> ProcessesMentioning(const std::string& text)
{
    std::vector<pid_t> found;
    for (const auto& process : chromium::ProcessesMentioning(text))
        found.push_back(process.pid);
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
