#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace pagestow::testing {

struct ChildResult {
    // The exit status, or 128 + the signal that ended the program.
    int status = -1;
    bool signalled = false;
    std::string out;
    std::string err;
};

// Runs program with args in folder, with the environment changed by environment (an empty value
// removes a variable), and collects what it writes. A program still running after guard is killed
// (the result then says so by its signal); the guard only keeps a broken program from hanging a test.
ChildResult RunProgram(const std::string& program, const std::vector<std::string>& args,
    const std::string& folder, const std::map<std::string, std::string>& environment,
    std::chrono::seconds guard = std::chrono::seconds(120));

} // namespace pagestow::testing
