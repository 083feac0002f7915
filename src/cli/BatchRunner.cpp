#include "cli/BatchRunner.h"

#include "cli/WorkerPool.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <map>
#include <sstream>
#include <utility>

namespace pagestow::cli {
namespace {

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

    // One run of a batch: the replies that wait for their turn to be printed, and how far the
    // addresses have been sent and printed.
    class BatchRun {
    public:
        BatchRun(const std::vector<std::string>& addresses, WorkerPool& workers, bool json, std::ostream& out,
            std::ostream& err)
            : m_addresses(addresses)
            , m_workers(workers)
            , m_json(json)
            , m_out(out)
            , m_err(err)
        {
        }

        // Sends and reads until every worker has ended or has nothing more to say.
        void Loop(const std::atomic<bool>* interrupted)
        {
            while (true) {
                if (interrupted && interrupted->load() && !m_stopped) {
                    m_stopped = true;
                    m_workers.Stop();
                }
                SendTasks();
                if (!m_workers.AnyAlive())
                    break;
                for (WorkerPool::Event& event : m_workers.Wait(std::chrono::milliseconds(100)))
                    Take(event);
                Print();
            }
        }

        // Waits for every worker to end, prints what is left and gives the batch's exit status.
        int Finish()
        {
            m_workers.Finish();
            Print();
            if (m_stopped)
                m_status.Add(AddressOutcome::Interrupted);
            // Addresses never sent count as not captured.
            if (m_nextToPrint < m_addresses.size())
                m_status.Add(m_stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed);
            return m_status.Value();
        }

    private:
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

        // A reply ends its address; a worker lost fails the address it worked on (or counts it as
        // interrupted once the batch was stopped).
        void Take(const WorkerPool::Event& event)
        {
            size_t index = size_t(event.id);
            if (index >= m_addresses.size())
                return;
            if (event.lost) {
                std::string line = "pagestow-cli: " + m_addresses[index]
                    + ": the worker process ended before the page was done\n";
                m_done[index] = { m_stopped ? AddressOutcome::Interrupted : AddressOutcome::Failed, {}, line,
                    LostWorkerJson(m_addresses[index]) };
                return;
            }
            if (event.fields.size() < 4)
                return;
            int outcome = std::atoi(event.fields[0].c_str());
            if (outcome < 0 || outcome > int(AddressOutcome::Interrupted))
                outcome = int(AddressOutcome::Failed);
            m_done[index] = { AddressOutcome(outcome), event.fields[1], event.fields[2], event.fields[3] };
        }

        // Idle workers get the next address; with none left, their tasks are closed and they end.
        void SendTasks()
        {
            for (size_t k = 0; k < m_workers.Size(); ++k) {
                if (!m_workers.Idle(k))
                    continue;
                if (m_stopped || m_nextToSend >= m_addresses.size()) {
                    m_workers.CloseTasks(k);
                    continue;
                }
                m_workers.Send(k, m_nextToSend, m_addresses[m_nextToSend]);
                ++m_nextToSend;
            }
        }

        const std::vector<std::string>& m_addresses;
        WorkerPool& m_workers;
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

namespace {

    // The task lines of a worker's pipe: the next one, waiting for it, or those that have come.
    class TaskLines {
    public:
        explicit TaskLines(int fd)
            : m_fd(fd)
        {
        }

        // The next line: with wait, once it comes (false when the pipe has ended); without, only one
        // that has come whole.
        bool Next(std::string& line, bool wait)
        {
            while (!TakeLine(line)) {
                if (!ReadSome(wait ? -1 : 0))
                    return false;
            }
            return true;
        }

    private:
        bool TakeLine(std::string& line)
        {
            std::size_t end = m_buffer.find('\n');
            if (end == std::string::npos)
                return false;
            line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return true;
        }

        // Reads what has come, waiting up to timeout ms (-1: until something comes); false when
        // nothing was read.
        bool ReadSome(int timeout)
        {
            if (m_ended)
                return false;
            pollfd poll { m_fd, POLLIN, 0 };
            int ready = ::poll(&poll, 1, timeout);
            if (ready < 0 && errno == EINTR)
                return timeout != 0;
            if (ready <= 0)
                return false;
            char buffer[65536];
            ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                return true;
            if (got <= 0) {
                m_ended = true;
                return false;
            }
            m_buffer.append(buffer, std::size_t(got));
            return true;
        }

        int m_fd;
        std::string m_buffer;
        bool m_ended = false;
    };

} // namespace

int RunWorker(CaptureRunner& runner, std::stringstream& capturedOut, std::stringstream& capturedErr,
    bool json, int taskFd, int replyFd, const std::function<std::string(const AddressResult&)>& record)
{
    ExitStatus status;
    TaskLines tasks(taskFd);
    std::deque<std::vector<std::string>> ahead;
    for (;;) {
        std::vector<std::string> fields;
        if (!ahead.empty()) {
            fields = std::move(ahead.front());
            ahead.pop_front();
        } else if (std::string line; tasks.Next(line, true)) {
            fields = SplitFields(line);
        } else {
            break;
        }
        if (fields.size() != 2)
            continue;
        for (std::string line; tasks.Next(line, false);) {
            std::vector<std::string> next = SplitFields(line);
            if (next.size() == 2)
                ahead.push_back(std::move(next));
        }
        if (!ahead.empty()) {
            std::vector<std::string> upcoming { fields[1] };
            for (const std::vector<std::string>& next : ahead)
                upcoming.push_back(next[1]);
            runner.Prefetch(upcoming);
        }
        capturedOut.str({});
        capturedErr.str({});
        AddressResult result = runner.CaptureAddress(fields[1]);
        status.Add(result.outcome);
        std::string reply = fields[0] + '\t' + std::to_string(int(result.outcome)) + '\t'
            + EscapeField(capturedOut.str()) + '\t' + EscapeField(capturedErr.str()) + '\t'
            + EscapeField(json ? ResultJson(result) : "");
        if (record)
            reply += '\t' + EscapeField(record(result));
        reply += '\n';
        if (!WriteAllTo(replyFd, reply))
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
    WorkerPool workers(m_program, m_workerArgs, int(std::min<size_t>(size_t(m_jobs), addresses.size())));
    if (workers.Size() == 0) {
        err << "pagestow-cli: cannot start a worker process (" << m_program << ")\n";
        return 1;
    }
    BatchRun run(addresses, workers, m_json, out, err);
    run.Loop(m_interrupted);
    return run.Finish();
}

} // namespace pagestow::cli
