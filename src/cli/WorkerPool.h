#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pagestow::cli {

// Worker processes of one run, each `program args... --worker-index K` with an engine of its own,
// fed one task a line on its standard input ("id<TAB>address") and answering one reply a line
// (tab-separated fields, the first the task's id), in the order of its tasks. A worker may be given
// its next tasks before it answers the one under way, and then sees them coming.
class WorkerPool {
public:
    // Starts up to count workers; Size() says how many started.
    WorkerPool(const std::string& program, const std::vector<std::string>& args, int count);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t Size() const;
    // Whether worker k is alive and has no task.
    bool Idle(std::size_t k) const;
    // The tasks worker k was given and has not answered; SIZE_MAX when it takes none.
    std::size_t Given(std::size_t k) const;
    // Whether any worker is still alive.
    bool AnyAlive() const;
    // Gives worker k a task; a worker that cannot take it is lost (Wait reports it).
    void Send(std::size_t k, std::uint64_t id, const std::string& address);
    // Closes worker k's tasks: it ends once its task under way is answered.
    void CloseTasks(std::size_t k);
    // Asks every live worker to stop (SIGTERM): each ends its page as interrupted.
    void Stop();

    // A reply (its fields after the id) or a task lost with its worker (lost, fields empty).
    struct Event {
        std::size_t worker = 0;
        std::uint64_t id = 0;
        bool lost = false;
        std::vector<std::string> fields;
    };
    // Waits up to timeout for replies and losses; what came.
    std::vector<Event> Wait(std::chrono::milliseconds timeout);
    // Closes every worker's tasks and waits for all to end.
    void Finish();

private:
    struct Worker;
    void Lose(Worker& worker, std::size_t index, std::vector<Event>& events);
    void ReadFrom(Worker& worker, std::size_t index, std::vector<Event>& events);
    std::vector<Worker> m_workers;
    // Tasks refused at Send, reported by the next Wait.
    std::vector<Event> m_pendingLosses;
};

// One field of the worker protocol: backslash, tab, line feed and carriage return escaped.
std::string EscapeField(std::string_view text);
std::string UnescapeField(std::string_view text);
// Writes all of text to fd, going on after interrupted writes; false when it could not.
bool WriteAllTo(int fd, std::string_view text);
// The fields of one protocol line.
std::vector<std::string> SplitFields(const std::string& line);

} // namespace pagestow::cli
