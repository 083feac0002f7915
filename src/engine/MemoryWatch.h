#pragma once

#include "engine/Contract.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace pagestow::engine {

// The memory of a process and of every process below it, as the kernel counts it: each process's
// proportional set size (shared pages split among the processes that share them).
struct TreeMemory {
    std::uint64_t total = 0;
    // The largest process below the root, 0 when the root has none.
    pid_t largest = 0;
    std::uint64_t largestBytes = 0;
};

// Measures root and its descendants once; reads /proc.
TreeMemory MeasureTree(pid_t root);

// Keeps each page's load within kEngineMemoryLimit. From Begin() to End(), a thread measures every
// process this process started (a browser's renderer, network and GPU processes; this process keeps
// its own budget, kPageMemoryBudget) every interval (the proportional set sizes now and then, their
// growth in between); past the limit it ends the started process that grew most since Begin(), which
// the engine then sees as a crashed page, and Exceeded() turns true so that the engine fails the
// page with MemoryExceededText().
class MemoryWatch {
public:
    explicit MemoryWatch(std::uint64_t limit = kEngineMemoryLimit,
        std::chrono::milliseconds interval = std::chrono::milliseconds(20));
    ~MemoryWatch();
    MemoryWatch(const MemoryWatch&) = delete;
    MemoryWatch& operator=(const MemoryWatch&) = delete;

    // A page's load begins: what the processes grow is counted from here, and Exceeded() is false
    // again. Cheap, and never waits for the thread.
    void Begin();
    // The load is over: nothing is measured until the next Begin(). Exceeded() keeps its answer.
    void End();

    bool Exceeded() const { return m_exceeded.load(); }
    // The highest total measured so far.
    std::uint64_t Peak() const { return m_peak.load(); }

private:
    void Run();

    const std::uint64_t m_limit;
    const std::chrono::milliseconds m_interval;
    std::atomic<bool> m_exceeded { false };
    std::atomic<std::uint64_t> m_peak { 0 };
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_active = false;
    bool m_rebase = false;
    std::thread m_thread;
};

// The failure detail of a page that outgrew kEngineMemoryLimit.
std::string MemoryExceededText();

} // namespace pagestow::engine
