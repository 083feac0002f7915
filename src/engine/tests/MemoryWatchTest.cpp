#include "engine/MemoryWatch.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

namespace pagestow::engine {
namespace {

    constexpr std::uint64_t kMiB = 1024 * 1024;

    // A child of this process that holds `bytes` of memory it has written to, until it is killed.
    class HungryChild {
    public:
        explicit HungryChild(std::size_t bytes, std::chrono::milliseconds delay = {})
        {
            int ready[2];
            if (pipe(ready) != 0)
                return;
            m_pid = fork();
            if (m_pid == 0) {
                close(ready[0]);
                std::this_thread::sleep_for(delay);
                std::vector<char> memory(bytes);
                std::memset(memory.data(), 1, memory.size());
                if (write(ready[1], "r", 1) != 1)
                    _exit(2);
                while (true)
                    pause();
            }
            close(ready[1]);
            char byte = 0;
            while (read(ready[0], &byte, 1) < 0 && errno == EINTR) { }
            close(ready[0]);
        }
        ~HungryChild()
        {
            if (m_pid > 0 && !m_reaped) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
        }
        pid_t Pid() const { return m_pid; }
        // The signal that ended the child, waiting at most about 30 s; 0 while it lives on.
        int EndingSignal()
        {
            for (int tries = 0; tries < 1500; ++tries) {
                int status = 0;
                if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                    m_reaped = true;
                    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return 0;
        }

    private:
        pid_t m_pid = -1;
        bool m_reaped = false;
    };

    TEST(MemoryWatch, MeasuresThisProcessWithItsChildrenAndNamesTheLargestChild)
    {
        HungryChild small(4 * kMiB);
        HungryChild large(64 * kMiB);
        ASSERT_GT(small.Pid(), 0);
        ASSERT_GT(large.Pid(), 0);
        const TreeMemory memory = MeasureTree(getpid());
        EXPECT_EQ(memory.largest, large.Pid());
        EXPECT_GE(memory.largestBytes, 64 * kMiB);
        EXPECT_GE(memory.total, 68 * kMiB);
        // Another process's tree does not hold ours.
        EXPECT_EQ(MeasureTree(small.Pid()).largest, 0);
    }

    TEST(MemoryWatch, PastTheLimitEndsTheChildThatGrewAndSaysSo)
    {
        // The settled child is the larger one; the other grows while the watch looks on.
        HungryChild settled(64 * kMiB);
        // The watch counts the processes below this one, not this one (whose size depends on the
        // cases run before in the same process): here that is the settled child alone.
        const std::uint64_t base = MeasureTree(getpid()).largestBytes;
        MemoryWatch watch(base + 48 * kMiB);
        watch.Begin();
        for (int tries = 0; tries < 1000 && watch.Peak() == 0; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        HungryChild growing(56 * kMiB, std::chrono::milliseconds(100));
        EXPECT_EQ(growing.EndingSignal(), SIGKILL);
        EXPECT_TRUE(watch.Exceeded());
        EXPECT_GT(watch.Peak(), base + 48 * kMiB);
        // The settled child and this process are left alone.
        EXPECT_EQ(kill(settled.Pid(), 0), 0);
    }

    TEST(MemoryWatch, WithinTheLimitEndsNothing)
    {
        HungryChild child(16 * kMiB);
        {
            MemoryWatch watch(MeasureTree(getpid()).total + 512 * kMiB, std::chrono::milliseconds(10));
            watch.Begin();
            // A few measurements, however busy the machine.
            for (int tries = 0; tries < 1000 && watch.Peak() == 0; ++tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_FALSE(watch.Exceeded());
            EXPECT_GT(watch.Peak(), 16 * kMiB);
        }
        EXPECT_EQ(kill(child.Pid(), 0), 0);
        EXPECT_NE(MemoryExceededText().find("2048 MB"), std::string::npos);
    }

} // namespace
} // namespace pagestow::engine
