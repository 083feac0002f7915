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

    // One run of a batch: the workers, the replies that wait for their turn to be printed, and how
    // far the addresses have been sent and printed.
    class BatchRun {
    public:
        BatchRun(const std::vector<std::string>& addresses, std::vector<Worker> workers, bool json,
            std::ostream& out, std::ostream& err)
            : m_addresses(addresses)
            , m_workers(std::move(workers))
            , m_json(json)
            , m_out(out)
            , m_err(err)
        {
        }

        // Sends and reads until every worker has ended or has nothing more to say.
        void Loop(const std::atomic<bool>* interrupted)
        {
            while (true) {
                if (interrupted && interrupted->load() && !m_stopped)
                    Stop();
                SendTasks();
                if (!ReadReplies())
                    break;
                Print();
            }
        }

        // Waits for every worker to end, prints what is left and gives the batch's exit status.
        int Finish()
        {
            for (Worker& worker : m_workers) {
                worker.tasks.Reset();
                worker.replies.Reset();
                int ignored = 0;
                while (::waitpid(worker.pid, &ignored, 0) < 0 && errno == EINTR) { }
            }
            Print();
            if (m_stopped)
                m_status.Add(AddressOutcome::Interrupted);
            // Addresses never sent count as not captured.
            if (m_nextToPrint < m_addresses.size())
                m_status.Add(m_stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed);
            return m_status.Value();
        }

    private:
        void Stop()
        {
            m_stopped = true;
            for (Worker& worker : m_workers) {
                if (!worker.ended)
                    ::kill(worker.pid, SIGTERM);
            }
        }

        // Prints the replies whose turn has come, in the order of the addresses.
        void Print()
        {
            for (auto found = m_done.find(m_nextToPrint); found != m_done.end();
                 found = m_done.find(m_nextToPrint)) {
                const Reply& reply = found->second;
                m_out << reply.out;
                m_err << reply.err;
                if (m_json && !reply.json.empty())
                    m_out << reply.json << '\n';
                m_out.flush();
                m_err.flush();
                m_status.Add(reply.outcome);
                m_done.erase(found);
                ++m_nextToPrint;
            }
        }

        // A worker that ended or broke its pipe: the address it worked on fails (or counts as
        // interrupted once the batch was stopped).
        void Lose(Worker& worker)
        {
            worker.ended = true;
            worker.tasks.Reset();
            worker.replies.Reset();
            if (worker.busyWith) {
                size_t index = *worker.busyWith;
                std::string line = "pagestow-cli: " + m_addresses[index]
                    + ": the worker process ended before the page was done\n";
                m_done[index] = { m_stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed, {}, line,
                    LostWorkerJson(m_addresses[index]) };
                worker.busyWith.reset();
            }
        }

        // Idle workers get the next address; with none left, their task pipe is closed and they end.
        void SendTasks()
        {
            for (Worker& worker : m_workers) {
                if (worker.ended || worker.busyWith || worker.tasks.Get() < 0)
                    continue;
                if (m_stopped || m_nextToSend >= m_addresses.size()) {
                    worker.tasks.Reset();
                    continue;
                }
                std::string task
                    = std::to_string(m_nextToSend) + '\t' + EscapeField(m_addresses[m_nextToSend]) + '\n';
                if (!WriteAll(worker.tasks.Get(), task)) {
                    Lose(worker);
                    continue;
                }
                worker.busyWith = m_nextToSend++;
            }
        }

        // Waits a little for replies and reads what came; false once no worker is left to hear from.
        bool ReadReplies()
        {
            std::vector<pollfd> polls;
            std::vector<Worker*> polled;
            for (Worker& worker : m_workers) {
                if (!worker.ended && worker.replies.Get() >= 0) {
                    polls.push_back({ worker.replies.Get(), POLLIN, 0 });
                    polled.push_back(&worker);
                }
            }
            if (polls.empty())
                return false;
            if (::poll(polls.data(), polls.size(), 100) < 0 && errno != EINTR)
                return false;
            for (size_t i = 0; i < polls.size(); ++i) {
                if (polls[i].revents & (POLLIN | POLLHUP | POLLERR))
                    ReadFrom(*polled[i]);
            }
            return true;
        }

        // Reads what one worker sent; every whole reply line ends its address.
        void ReadFrom(Worker& worker)
        {
            char buffer[65536];
            ssize_t got = ::read(worker.replies.Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                return;
            if (got <= 0) {
                Lose(worker);
                return;
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
                m_done[*worker.busyWith] = { AddressOutcome(outcome), fields[2], fields[3], fields[4] };
                worker.busyWith.reset();
            }
        }

        const std::vector<std::string>& m_addresses;
        std::vector<Worker> m_workers;
        bool m_json;
        std::ostream& m_out;
        std::ostream& m_err;
        std::map<size_t, Reply> m_done;
        size_t m_nextToSend = 0;
        size_t m_nextToPrint = 0;
        ExitStatus m_status;
        bool m_stopped = false;
    };

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
    BatchRun run(addresses, std::move(workers), m_json, out, err);
    run.Loop(m_interrupted);
    return run.Finish();
}

} // namespace pagestow::cli
