#pragma once

#include <chrono>
#include <csignal>
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
    // With a SignalOnOutput whose marker came: whether it came, and the seconds from the signal to the
    // program's end.
    bool signalSent = false;
    double secondsAfterSignal = -1;
};

// Sends signal to the program once marker has come on its standard output or error (or, with no
// marker, once the pause has passed since the start). Standard output is left unread for the pause
// first: a program with more to write fills the pipe and waits, so the signal finds it at the step
// that printed the marker, however fast the machine.
struct SignalOnOutput {
    std::string marker;
    int signal = 0;
    std::chrono::milliseconds pause { 300 };
};

// Runs program with args in folder, with the environment changed by environment (an empty value
// removes a variable), and collects what it writes. A program still running after guard is killed
// (the result then says so by its signal); the guard only keeps a broken program from hanging a test.
ChildResult RunProgram(const std::string& program, const std::vector<std::string>& args,
    const std::string& folder, const std::map<std::string, std::string>& environment,
    std::chrono::seconds guard = std::chrono::seconds(120), const SignalOnOutput& signalOnOutput = {});

} // namespace pagestow::testing
