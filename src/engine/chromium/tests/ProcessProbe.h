#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pagestow::engine::chromium::testing {

// Every process whose command line mentions text (a browser's profile folder names all of its
// processes, crash handlers included).
std::vector<pid_t> ProcessesMentioning(const std::string& text);

// Whether any process, a zombie included, is still in the process group.
bool GroupExists(pid_t group);

// Reaps every child of this process that has ended (for tests whose process is a subreaper).
void ReapEndedChildren();

} // namespace pagestow::engine::chromium::testing
