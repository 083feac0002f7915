#pragma once

// Reads a small file the kernel makes up as it is read (/proc/<pid>/status, /proc/<pid>/cmdline):
// with read(2), so that a process that ends meanwhile gives a short text, where a stream would throw
// from inside the standard library.
//
//   std::string status = base::ReadProcFile("/proc/self/status");

#include "base/Owned.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace pagestow::base {

// The whole file, or what was read of it before it ended; "" when it cannot be opened.
inline std::string ReadProcFile(const char* path)
{
    std::string content;
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
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

} // namespace pagestow::base
