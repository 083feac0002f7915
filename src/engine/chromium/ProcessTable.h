#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pagestow::engine::chromium {

// One process as /proc shows it.
struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
};

// Every process but this one and except whose command line mentions text (a profile folder names
// the browser's own processes and its crash handlers, which run in sessions of their own). A process
// that ends while it is read is left out, never an error.
std::vector<ProcessEntry> ProcessesMentioning(const std::string& text, pid_t except = 0);

} // namespace pagestow::engine::chromium
