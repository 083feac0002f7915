#include "cli/BatchRunner.h"

#include "base/Owned.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

extern char** environ;

namespace pagestow::cli {
namespace {

    std::vector<std::string> SplitFields(const std::string& line)
    {
        std::vector<std::string> fields;
        size_t start = 0;
        while (true) {
            size_t tab = line.find('\t', start);
            fields.push_back(UnescapeField(std::string_view(line).substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        return fields;
    }

    bool WriteAll(int fd, const std::string& text)
    {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                return false;
            done += size_t(wrote);
        }
        return true;
    }

    using base::UniqueFd;

    // One worker process: its task pipe, its reply pipe, what it has sent back so far, and the
    // index of the address it works on.
    struct Worker {
        pid_t pid = -1;
        UniqueFd tasks;
        UniqueFd replies;
        std::string pending;
        std::optional<size_t> busyWith;
        bool ended = false;
    };

    std::optional<Worker> StartWorker(const std::string& program, const std::vector<std::string>& args)
    {
        int taskPipe[2];
        int replyPipe[2];
        if (::pipe2(taskPipe, O_CLOEXEC) != 0)
            return std::nullopt;
        UniqueFd taskRead(taskPipe[0]);
        Worker worker;
        worker.tasks = UniqueFd(taskPipe[1]);
        if (::pipe2(replyPipe, O_CLOEXEC) != 0)
            return std::nullopt;
        UniqueFd replyWrite(replyPipe[1]);
        worker.replies = UniqueFd(replyPipe[0]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, taskRead.Get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, replyWrite.Get(), STDOUT_FILENO);
        std::vector<std::string> argv { program };
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& arg : argv)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        int failed = posix_spawn(&worker.pid, program.c_str(), &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            return std::nullopt;
        return worker;
    }

    struct Reply {
        AddressOutcome outcome = AddressOutcome::Failed;
        std::string out;
        std::string err;
        std::string json;
    };

    std::string LostWorkerJson(const std::string& address)
    {
        AddressResult result;
        result.address = address;
        result.outcome = AddressOutcome::Failed;
        result.reason = "the worker process ended before the page was done";
        return ResultJson(result);
    }

} // namespace

std::string EscapeField(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string UnescapeField(std::string_view text)
{
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        char next = text[++i];
        plain += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return plain;
}

int RunWorker(CaptureRunner& runner, std::stringstream& capturedOut, std::stringstream& capturedErr,
    bool json, std::istream& in, int replyFd)
{
    ExitStatus status;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields = SplitFields(line);
        if (fields.size() != 2)
            continue;
        capturedOut.str({});
        capturedErr.str({});
        AddressResult result = runner.CaptureAddress(fields[1]);
        status.Add(result.outcome);
        std::string reply = fields[0] + '\t' + std::to_string(int(result.outcome)) + '\t'
            + EscapeField(capturedOut.str()) + '\t' + EscapeField(capturedErr.str()) + '\t'
            + EscapeField(json ? ResultJson(result) : "") + '\n';
        if (!WriteAll(replyFd, reply))
            break;
        if (result.outcome == AddressOutcome::Interrupted)
            break;
    }
    return status.Value();
}

BatchRunner::BatchRunner(std::string program, std::vector<std::string> workerArgs, int jobs, bool json,
    const std::atomic<bool>* interrupted)
    : m_program(std::move(program))
    , m_workerArgs(std::move(workerArgs))
    , m_jobs(jobs)
    , m_json(json)
    , m_interrupted(interrupted)
{
}

int BatchRunner::Run(const std::vector<std::string>& addresses, std::ostream& out, std::ostream& err)
{
    std::vector<Worker> workers;
    for (int i = 0; i < m_jobs && size_t(i) < addresses.size(); ++i) {
        std::vector<std::string> args = m_workerArgs;
        args.insert(args.end(), { "--worker-index", std::to_string(i + 1) });
        if (auto worker = StartWorker(m_program, args))
            workers.push_back(std::move(*worker));
    }
    if (workers.empty()) {
        err << "pagestow-cli: cannot start a worker process (" << m_program << ")\n";
        return 1;
    }

    std::map<size_t, Reply> done;
    size_t nextToSend = 0;
    size_t nextToPrint = 0;
    ExitStatus status;
    bool stopped = false;
    auto print = [&] {
        for (auto found = done.find(nextToPrint); found != done.end(); found = done.find(nextToPrint)) {
            const Reply& reply = found->second;
            out << reply.out;
            err << reply.err;
            if (m_json && !reply.json.empty())
                out << reply.json << '\n';
            out.flush();
            err.flush();
            status.Add(reply.outcome);
            done.erase(found);
            ++nextToPrint;
        }
    };
    auto lose = [&](Worker& worker) {
        worker.ended = true;
        worker.tasks.Reset();
        worker.replies.Reset();
        if (worker.busyWith) {
            size_t index = *worker.busyWith;
            std::string line = "pagestow-cli: " + addresses[index]
                + ": the worker process ended before the page was done\n";
            done[index] = { stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed, {}, line,
                LostWorkerJson(addresses[index]) };
            worker.busyWith.reset();
        }
    };

    while (true) {
        if (m_interrupted && m_interrupted->load() && !stopped) {
            stopped = true;
            for (Worker& worker : workers) {
                if (!worker.ended)
                    ::kill(worker.pid, SIGTERM);
            }
        }
        // Idle workers get the next address; with none left, their task pipe is closed and they end.
        for (Worker& worker : workers) {
            if (worker.ended || worker.busyWith || worker.tasks.Get() < 0)
                continue;
            if (stopped || nextToSend >= addresses.size()) {
                worker.tasks.Reset();
                continue;
            }
            std::string task = std::to_string(nextToSend) + '\t' + EscapeField(addresses[nextToSend]) + '\n';
            if (!WriteAll(worker.tasks.Get(), task)) {
                lose(worker);
                continue;
            }
            worker.busyWith = nextToSend++;
        }
        std::vector<pollfd> polls;
        std::vector<Worker*> polled;
        for (Worker& worker : workers) {
            if (!worker.ended && worker.replies.Get() >= 0) {
                polls.push_back({ worker.replies.Get(), POLLIN, 0 });
                polled.push_back(&worker);
            }
        }
        if (polls.empty())
            break;
        if (::poll(polls.data(), polls.size(), 100) < 0 && errno != EINTR)
            break;
        for (size_t i = 0; i < polls.size(); ++i) {
            if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Worker& worker = *polled[i];
            char buffer[65536];
            ssize_t got = ::read(worker.replies.Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                lose(worker);
                continue;
            }
            worker.pending.append(buffer, size_t(got));
            for (size_t end = worker.pending.find('\n'); end != std::string::npos;
                 end = worker.pending.find('\n')) {
                std::vector<std::string> fields = SplitFields(worker.pending.substr(0, end));
                worker.pending.erase(0, end + 1);
                if (fields.size() != 5 || !worker.busyWith)
                    continue;
                int outcome = std::atoi(fields[1].c_str());
                if (outcome < 0 || outcome > int(AddressOutcome::Interrupted))
                    outcome = int(AddressOutcome::Failed);
                done[*worker.busyWith] = { AddressOutcome(outcome), fields[2], fields[3], fields[4] };
                worker.busyWith.reset();
            }
        }
        print();
    }
    for (Worker& worker : workers) {
        worker.tasks.Reset();
        worker.replies.Reset();
        int ignored = 0;
        while (::waitpid(worker.pid, &ignored, 0) < 0 && errno == EINTR) { }
    }
    print();
    if (stopped)
        status.Add(AddressOutcome::Interrupted);
    // Addresses never sent count as not captured.
    if (nextToPrint < addresses.size())
        status.Add(stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed);
    return status.Value();
}

} // namespace pagestow::cli
