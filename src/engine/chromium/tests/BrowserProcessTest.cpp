#include "engine/chromium/BrowserProcess.h"
#include "engine/EngineError.h"
#include "engine/chromium/ChromiumEngine.h"

#include "ProcessProbe.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace pagestow::engine::chromium {
namespace {

    namespace fs = std::filesystem;
    using testing::GroupExists;
    using testing::ProcessesMentioning;

    bool Has(const std::vector<std::string>& arguments, const std::string& argument)
    {
        return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
    }

    // Points TMPDIR at a folder of the test's own for as long as it lives, so that the test sees
    // every profile folder the browser process makes.
    class TemporaryBase {
    public:
        TemporaryBase()
        {
            if (const char* old = std::getenv("TMPDIR"))
                m_old = old;
            setenv("TMPDIR", m_folder.Path().c_str(), 1);
        }
        ~TemporaryBase()
        {
            if (m_old)
                setenv("TMPDIR", m_old->c_str(), 1);
            else
                unsetenv("TMPDIR");
        }
        const fs::path& Path() const { return m_folder.Path(); }
        // What is left in the folder, for a failure message.
        std::vector<std::string> Left() const
        {
            std::vector<std::string> left;
            for (const auto& entry : fs::recursive_directory_iterator(m_folder.Path()))
                left.push_back(fs::relative(entry.path(), m_folder.Path()).string());
            return left;
        }
        bool Empty() const { return fs::is_empty(m_folder.Path()); }

    private:
        pagestow::testing::TemporaryFolder m_folder;
        std::optional<std::string> m_old;
    };

    TEST(BrowserProcess, ArgumentsKeepTheBrowserOffTheNetworkAndDropTheSandboxOnlyForRoot)
    {
        auto asUser = BrowserArguments("/tmp/p", false);
        auto asRoot = BrowserArguments("/tmp/p", true);
        for (const char* argument : { "--headless", "--remote-debugging-pipe", "--user-data-dir=/tmp/p",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-quic", "--no-first-run" }) {
            SCOPED_TRACE(argument);
            EXPECT_TRUE(Has(asUser, argument));
            EXPECT_TRUE(Has(asRoot, argument));
        }
        EXPECT_FALSE(Has(asUser, "--no-sandbox"));
        EXPECT_TRUE(Has(asRoot, "--no-sandbox"));
    }

    TEST(BrowserProcess, MissingProgramIsAnEngineErrorAndLeavesNoProfileFolder)
    {
        TemporaryBase base;
        EXPECT_THROW(BrowserProcess({ "/nonexistent/chromium", {} }), EngineError);
        EXPECT_TRUE(base.Empty());
    }

    TEST(BrowserProcess, StopLeavesNoProcessAndNoProfileFolder)
    {
        if (!ChromiumAvailable())
            GTEST_SKIP() << kChromiumProgram << " is not installed";
        TemporaryBase base;
        pid_t group = -1;
        pid_t watchdog = -1;
        fs::path profile;
        {
            BrowserProcess browser({ kChromiumProgram, {} });
            group = browser.ProcessGroup();
            watchdog = browser.WatchdogProcess();
            profile = browser.ProfileFolder();
            EXPECT_EQ(profile.parent_path(), base.Path());
            EXPECT_TRUE(fs::is_directory(profile));
            EXPECT_TRUE(GroupExists(group));
            EXPECT_GT(watchdog, 0);
        }
        EXPECT_FALSE(GroupExists(group));
        EXPECT_EQ(ProcessesMentioning(profile.string()), std::vector<pid_t>());
        EXPECT_FALSE(fs::exists(profile));
        EXPECT_TRUE(base.Empty());
        // The watchdog was dismissed and reaped.
        EXPECT_EQ(kill(watchdog, 0), -1);
    }

    // A child of this process that runs argv in a session (and process group) of its own.
    pid_t StartInOwnSession(const std::vector<const char*>& argv, int input = -1)
    {
        pid_t child = fork();
        if (child == 0) {
            setsid();
            if (input >= 0)
                dup2(input, 0);
            // Nothing of the test's output stays open in a process that outlives the test.
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            dup2(quiet, 2);
            closefrom(3);
            execv(argv[0], const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        return child;
    }

    // How a child of this process ended, waiting at most about 20 s; -1 while it still runs.
    int EndingSignal(pid_t child)
    {
        for (int tries = 0; tries < 1000; ++tries) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child)
                return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    // The watchdog script run on profile with input on its standard input, which then ends; -1 when
    // it cannot be started or fed.
    pid_t RunWatchdog(const std::string& profile, const std::string& input)
    {
        int channel[2];
        if (pipe(channel) != 0)
            return -1;
        const pid_t watchdog = StartInOwnSession(
            { "/bin/sh", "-c", kWatchdogScript, "pagestow-watchdog", profile.c_str(), nullptr }, channel[0]);
        close(channel[0]);
        const bool fed = write(channel[1], input.data(), input.size()) == ssize_t(input.size());
        close(channel[1]);
        return fed ? watchdog : -1;
    }

    TEST(Watchdog, AtTheEndOfInputKillsTheGroupAndEveryProcessNamingTheProfileAndRemovesIt)
    {
        pagestow::testing::TemporaryFolder scratch;
        const fs::path profile = scratch.Path() / "pagestow-chromium-test";
        fs::create_directories(profile / "Default");
        const std::string log = (profile / "Default" / "log").string();
        std::ofstream(log) << "\n";
        const pid_t group = StartInOwnSession({ "/bin/sleep", "300", nullptr });
        const std::string profileText = profile.string();
        // A crash handler's stand-in: a process of another session that names the profile.
        const pid_t outsider = StartInOwnSession({ "/usr/bin/tail", "-f", log.c_str(), nullptr });
        ASSERT_GT(group, 0);
        ASSERT_GT(outsider, 0);
        // The outsider must be running (and naming the profile) before the watchdog looks.
        for (int tries = 0; tries < 500 && ProcessesMentioning(profileText).empty(); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        const pid_t watchdog = RunWatchdog(profileText, std::to_string(group) + "\n");
        ASSERT_GT(watchdog, 0);

        // Reaped here as they end, so that the watchdog sees the group go.
        EXPECT_EQ(EndingSignal(group), SIGKILL);
        EXPECT_EQ(EndingSignal(outsider), SIGKILL);
        EXPECT_EQ(EndingSignal(watchdog), 0);
        EXPECT_FALSE(fs::exists(profile));
    }

    TEST(Watchdog, DismissedWithDoneLeavesEverythingAlone)
    {
        pagestow::testing::TemporaryFolder scratch;
        const fs::path profile = scratch.Path() / "pagestow-chromium-test";
        fs::create_directories(profile);
        const pid_t group = StartInOwnSession({ "/bin/sleep", "300", nullptr });
        ASSERT_GT(group, 0);
        const pid_t watchdog = RunWatchdog(profile.string(), std::to_string(group) + "\ndone\n");
        ASSERT_GT(watchdog, 0);

        EXPECT_EQ(EndingSignal(watchdog), 0);
        EXPECT_TRUE(GroupExists(group));
        EXPECT_TRUE(fs::is_directory(profile));
        kill(group, SIGKILL);
        EXPECT_EQ(EndingSignal(group), SIGKILL);
    }

    // What a child process that owns a browser tells its parent.
    struct ChildBrowser {
        pid_t child = -1;
        pid_t group = -1;
        pid_t watchdog = -1;
        std::string profile;
    };

    // Forks a child that starts an engine, reports its browser and waits to be killed.
    ChildBrowser StartChildWithBrowser()
    {
        int channel[2];
        if (pipe(channel) != 0)
            return {};
        pid_t child = fork();
        if (child == 0) {
            close(channel[0]);
            try {
                ChromiumEngine engine;
                std::string report = std::to_string(engine.BrowserProcessGroup()) + " "
                    + std::to_string(engine.WatchdogProcess()) + " " + engine.ProfileFolder().string() + "\n";
                if (write(channel[1], report.data(), report.size()) < 0)
                    _exit(3);
                while (true)
                    pause();
            } catch (...) {
                _exit(2);
            }
        }
        close(channel[1]);
        std::string report;
        char buffer[512];
        for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) {
            report.append(buffer, std::size_t(got));
            if (report.find('\n') != std::string::npos)
                break;
        }
        close(channel[0]);
        ChildBrowser result;
        result.child = child;
        std::istringstream fields(report);
        fields >> result.group >> result.watchdog >> result.profile;
        return result;
    }

    class BrowserOfADyingProcess : public ::testing::TestWithParam<int> { };

    TEST_P(BrowserOfADyingProcess, IsKilledAndItsProfileRemoved)
    {
        if (!ChromiumAvailable())
            GTEST_SKIP() << kChromiumProgram << " is not installed";
        // The orphaned watchdog and browser processes come to this process, which waits for them.
        prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        TemporaryBase base;
        ChildBrowser browser = StartChildWithBrowser();
        ASSERT_GT(browser.child, 0);
        ASSERT_GT(browser.group, 0);
        ASSERT_GT(browser.watchdog, 0);
        ASSERT_TRUE(fs::is_directory(browser.profile));

        kill(browser.child, GetParam());
        int status = 0;
        ASSERT_EQ(waitpid(browser.child, &status, 0), browser.child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), GetParam());

        // The watchdog ends once it has cleaned up; meanwhile the browser's processes, re-parented to
        // us, are reaped as they end so that the watchdog sees them go.
        while (waitpid(browser.watchdog, nullptr, WNOHANG) == 0) {
            testing::ReapEndedChildren();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // The watchdog's kill is delivered at once, but the killed processes may still be on their way
        // out on a busy machine: give them a moment before looking.
        for (int tries = 0; tries < 250
             && (!ProcessesMentioning(browser.profile).empty() || GroupExists(browser.group)
                 || fs::exists(browser.profile));
             ++tries) {
            testing::ReapEndedChildren();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        testing::ReapEndedChildren();
        EXPECT_EQ(ProcessesMentioning(browser.profile), std::vector<pid_t>());
        EXPECT_FALSE(GroupExists(browser.group));
        EXPECT_FALSE(fs::exists(browser.profile));
        EXPECT_EQ(base.Left(), std::vector<std::string>());
    }

    INSTANTIATE_TEST_SUITE_P(Signals, BrowserOfADyingProcess, ::testing::Values(SIGTERM, SIGINT, SIGKILL),
        [](const ::testing::TestParamInfo<int>& signal) {
            return std::string(signal.param == SIGTERM ? "SIGTERM"
                    : signal.param == SIGINT           ? "SIGINT"
                                                       : "SIGKILL");
        });

} // namespace
} // namespace pagestow::engine::chromium
