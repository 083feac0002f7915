#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace pagestow::testing {

ChildResult RunProgram(const std::string& program, const std::vector<std::string>& args,
    const std::string& folder, const std::map<std::string, std::string>& environment,
    std::chrono::seconds guard, const SignalOnOutput& signalOnOutput)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");

    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        size_t equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : environment) {
        if (value.empty())
            variables.erase(name);
        else
            variables[name] = value;
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : variables)
        envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : envText)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = { program };
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& text : argText)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    ChildResult result;
    using Clock = std::chrono::steady_clock;
    auto giveUp = Clock::now() + guard;
    Clock::time_point signalledAt;
    Clock::time_point started = Clock::now();
    auto sendSignal = [&] {
        if (signalOnOutput.signal == 0 || result.signalSent)
            return;
        if (signalOnOutput.marker.empty()) {
            if (Clock::now() < started + signalOnOutput.pause)
                return;
        } else if (result.out.find(signalOnOutput.marker) == std::string::npos
            && result.err.find(signalOnOutput.marker) == std::string::npos) {
            return;
        } else {
            std::this_thread::sleep_for(signalOnOutput.pause);
        }
        kill(pid, signalOnOutput.signal);
        result.signalSent = true;
        signalledAt = Clock::now();
    };
    bool killed = false;
    pollfd watched[2] = { { outPipe[0], POLLIN, 0 }, { errPipe[0], POLLIN, 0 } };
    int openPipes = 2;
    while (openPipes > 0) {
        int left = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now())
                .count());
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        // A signal due at a time is sent on time, output or not.
        bool timed = signalOnOutput.signal != 0 && signalOnOutput.marker.empty() && !result.signalSent;
        if (poll(watched, 2, killed ? 1000 : timed ? std::min(left, 20) : left) < 0)
            continue;
        sendSignal();
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || !watched[i].revents)
                continue;
            char buffer[8192];
            ssize_t count = read(watched[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                (i == 0 ? result.out : result.err).append(buffer, size_t(count));
                sendSignal();
            } else {
                close(watched[i].fd);
                watched[i].fd = -1;
                --openPipes;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (result.signalSent)
        result.secondsAfterSignal = std::chrono::duration<double>(Clock::now() - signalledAt).count();
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signalled = true;
        result.status = 128 + WTERMSIG(status);
    }
    return result;
}

} // namespace pagestow::testing
