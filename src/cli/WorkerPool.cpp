#include "cli/WorkerPool.h"

#include "base/Owned.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>

extern char** environ;

namespace pagestow::cli {

// One worker process: its task pipe, its reply pipe, what it has sent back so far, and the ids of the
// tasks it was given and has not answered, the one it works on first.
struct WorkerPool::Worker {
    pid_t pid = -1;
    base::UniqueFd tasks;
    base::UniqueFd replies;
    std::string pending;
    std::deque<std::uint64_t> given;
    bool ended = false;
};

WorkerPool::WorkerPool(const std::string& program, const std::vector<std::string>& args, int count)
{
    for (int i = 0; i < count; ++i) {
        int taskPipe[2];
        int replyPipe[2];
        if (::pipe2(taskPipe, O_CLOEXEC) != 0)
            break;
        base::UniqueFd taskRead(taskPipe[0]);
        Worker worker;
        worker.tasks = base::UniqueFd(taskPipe[1]);
        if (::pipe2(replyPipe, O_CLOEXEC) != 0)
            break;
        base::UniqueFd replyWrite(replyPipe[1]);
        worker.replies = base::UniqueFd(replyPipe[0]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, taskRead.Get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, replyWrite.Get(), STDOUT_FILENO);
        std::vector<std::string> argv { program };
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), { "--worker-index", std::to_string(i + 1) });
        std::vector<char*> pointers;
        for (std::string& arg : argv)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        int failed = posix_spawn(&worker.pid, program.c_str(), &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            break;
        m_workers.push_back(std::move(worker));
    }
}

WorkerPool::~WorkerPool()
{
    Finish();
}

std::size_t WorkerPool::Size() const
{
    return m_workers.size();
}

bool WorkerPool::Idle(std::size_t k) const
{
    const Worker& worker = m_workers[k];
    return !worker.ended && worker.given.empty() && worker.tasks.Get() >= 0;
}

std::size_t WorkerPool::Given(std::size_t k) const
{
    const Worker& worker = m_workers[k];
    return worker.ended || worker.tasks.Get() < 0 ? SIZE_MAX : worker.given.size();
}

bool WorkerPool::AnyAlive() const
{
    for (const Worker& worker : m_workers) {
        if (!worker.ended && worker.replies.Get() >= 0)
            return true;
    }
    return false;
}

void WorkerPool::Send(std::size_t k, std::uint64_t id, const std::string& address)
{
    Worker& worker = m_workers[k];
    worker.given.push_back(id);
    if (!WriteAllTo(worker.tasks.Get(), std::to_string(id) + '\t' + EscapeField(address) + '\n'))
        Lose(worker, k, m_pendingLosses);
}

void WorkerPool::CloseTasks(std::size_t k)
{
    m_workers[k].tasks.Reset();
}

void WorkerPool::Stop()
{
    for (Worker& worker : m_workers) {
        if (!worker.ended)
            ::kill(worker.pid, SIGTERM);
    }
}

// A worker that ended or broke its pipe: the tasks it was given are lost.
void WorkerPool::Lose(Worker& worker, std::size_t index, std::vector<Event>& events)
{
    worker.ended = true;
    worker.tasks.Reset();
    worker.replies.Reset();
    for (std::uint64_t id : worker.given)
        events.push_back({ index, id, true, {} });
    worker.given.clear();
}

std::vector<WorkerPool::Event> WorkerPool::Wait(std::chrono::milliseconds timeout)
{
    std::vector<Event> events;
    events.swap(m_pendingLosses);
    std::vector<pollfd> polls;
    std::vector<std::size_t> polled;
    for (std::size_t k = 0; k < m_workers.size(); ++k) {
        if (!m_workers[k].ended && m_workers[k].replies.Get() >= 0) {
            polls.push_back({ m_workers[k].replies.Get(), POLLIN, 0 });
            polled.push_back(k);
        }
    }
    if (polls.empty() || !events.empty())
        return events;
    if (::poll(polls.data(), polls.size(), int(timeout.count())) < 0)
        return events;
    for (std::size_t i = 0; i < polls.size(); ++i) {
        if (polls[i].revents & (POLLIN | POLLHUP | POLLERR))
            ReadFrom(m_workers[polled[i]], polled[i], events);
    }
    return events;
}

// Reads what one worker sent; every whole reply line ends its task.
void WorkerPool::ReadFrom(Worker& worker, std::size_t index, std::vector<Event>& events)
{
    char buffer[65536];
    ssize_t got = ::read(worker.replies.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
        return;
    if (got <= 0) {
        Lose(worker, index, events);
        return;
    }
    worker.pending.append(buffer, size_t(got));
    size_t start = 0;
    for (size_t end = worker.pending.find('\n', start); end != std::string::npos;
         end = worker.pending.find('\n', start)) {
        std::vector<std::string> fields = SplitFields(worker.pending.substr(start, end - start));
        start = end + 1;
        if (worker.given.empty() || fields.empty() || fields[0] != std::to_string(worker.given.front()))
            continue;
        fields.erase(fields.begin());
        events.push_back({ index, worker.given.front(), false, std::move(fields) });
        worker.given.pop_front();
    }
    worker.pending.erase(0, start);
}

void WorkerPool::Finish()
{
    for (Worker& worker : m_workers) {
        worker.tasks.Reset();
        worker.replies.Reset();
        if (worker.pid > 0) {
            int ignored = 0;
            while (::waitpid(worker.pid, &ignored, 0) < 0 && errno == EINTR) { }
            worker.pid = -1;
        }
        worker.ended = true;
    }
}

bool WriteAllTo(int fd, std::string_view text)
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

} // namespace pagestow::cli
