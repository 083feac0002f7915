#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::chromium {

// How to start the browser.
struct BrowserOptions {
    std::filesystem::path program;
    // Added after the fixed switches (tests use this for switches of their own).
    std::vector<std::string> extraArguments;
};

// The folder the browser's profile folder is made in: temporaryFolder ($TMPDIR) when the socket the
// browser makes below it fits the Unix limit on socket paths, else /tmp.
std::filesystem::path ProfileBase(std::string_view temporaryFolder);

// The shell script that outlives a dying engine process: run as /bin/sh -c kWatchdogScript name
// profileFolder, it reads the browser's process group and then "done" from its standard input; at the
// end of input without "done" it kills the group and every process naming the profile folder, and
// removes the folder.
extern const char* const kWatchdogScript;

// The switches every browser gets: headless, the debugging pipe, the profile folder, nothing that
// talks to the network on its own, no crash handler outside the browser's process group, and
// --no-sandbox when running as root (the sandbox refuses to start then).
std::vector<std::string> BrowserArguments(const std::filesystem::path& profileFolder, bool runningAsRoot);

// One headless browser: its own process group, a fresh profile folder, and the two pipe ends the
// debugging protocol runs on. The group is killed and the profile folder removed when the object is
// destroyed, and also when this process dies any other way (a signal, Ctrl-C, a crash): a small
// watchdog process, holding a pipe whose other end only this process has, does it then.
class BrowserProcess {
public:
    // Starts the browser; EngineError when it cannot be started.
    explicit BrowserProcess(const BrowserOptions& options);
    ~BrowserProcess();
    BrowserProcess(const BrowserProcess&) = delete;
    BrowserProcess& operator=(const BrowserProcess&) = delete;

    // Our end of the browser's command pipe (non-blocking), -1 once closed.
    int CommandFd() const { return m_commandFd; }
    // Our end of the browser's reply pipe (non-blocking), -1 once closed.
    int ReplyFd() const { return m_replyFd; }

    pid_t ProcessGroup() const { return m_pid; }
    pid_t WatchdogProcess() const { return m_watchdogPid; }
    const std::filesystem::path& ProfileFolder() const { return m_profile; }

    // Whether the browser's main process has exited; reaps it and every helper it left.
    bool Exited();
    // How the browser ended ("exited with status 1", "was killed by signal 9"), empty while it runs.
    const std::string& ExitDescription() const { return m_exitDescription; }
    // The last lines the browser wrote to its error output, for an error message.
    std::string ErrorOutputTail() const;

    // Closes the pipes, gives the browser up to grace to exit by itself, then kills its process group,
    // reaps every process of it, removes the profile folder and dismisses the watchdog. Idempotent.
    void Stop(std::chrono::milliseconds grace);

private:
    void StartWatchdog();
    void ReapGroup();
    void Cleanup();

    std::filesystem::path m_profile;
    pid_t m_pid = -1;
    pid_t m_watchdogPid = -1;
    int m_watchdogFd = -1;
    int m_commandFd = -1;
    int m_replyFd = -1;
    bool m_reaped = false;
    bool m_stopped = false;
    std::string m_exitDescription;
};

} // namespace pagestow::engine::chromium
