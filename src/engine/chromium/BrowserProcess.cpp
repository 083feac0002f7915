#include "engine/chromium/BrowserProcess.h"
#include "engine/chromium/ProcessTable.h"

#include "base/Owned.h"
#include "engine/Contract.h"
#include "engine/EngineError.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

extern char** environ;

namespace pagestow::engine::chromium {
namespace fs = std::filesystem;

namespace {

    constexpr const char* kErrorLogName = "browser-stderr.log";
    // An address the browser never reaches: port 9 is on its list of ports it will not connect to.
    constexpr const char* kNowhere = "http://127.0.0.1:9/";

} // namespace

// Run by /bin/sh with the profile folder as $1 and the pipe from the engine on standard input.
// The first line names the browser's process group; "done" means the engine cleaned up itself.
// End of input without "done" means the engine's process died: kill the group and the browser's
// crash handlers (which leave the group; they are known by the profile folder in their command
// line), wait until the group is gone, and remove the profile folder; again while a process that
// was still on its way out makes it anew, until it stays away. Debian's /bin/sh is dash: its kill
// takes no "--", so a group is named as "-N" right after the signal.
const char* const kWatchdogScript = R"script(trap '' INT TERM HUP QUIT PIPE
IFS= read -r group || group=
IFS= read -r word
[ "$word" = done ] && exit 0
case "$group" in ''|*[!0-9]*) group= ;; esac
if [ -n "$group" ]; then
    kill -KILL "-$group" 2>/dev/null
fi
# The folder reaches grep on its standard input, so that grep's own command line does not name it.
outsiders() {
    for file in $(grep -lsaF -f - /proc/[0-9]*/cmdline <<EOF
$1
EOF
    ); do
        p=${file#/proc/}
        p=${p%/cmdline}
        [ "$p" = "$$" ] || kill -KILL "$p" 2>/dev/null
    done
}
outsiders "$1"
if [ -n "$group" ]; then
    n=0
    while [ $n -lt 100 ] && kill -0 "-$group" 2>/dev/null; do sleep 0.1; n=$((n+1)); done
fi
n=0
absent=0
while [ $n -lt 50 ] && [ $absent -lt 3 ]; do
    rm -rf -- "$1" 2>/dev/null
    if [ -e "$1" ]; then absent=0; outsiders "$1"; else absent=$((absent+1)); fi
    sleep 0.2
    n=$((n+1))
done
)script";

namespace {

    // Settings of this whole process that the browser needs, made once: writes to a closed pipe give
    // EPIPE instead of killing us, and the browser's helper processes, re-parented when the browser's
    // main process exits, come to us to be reaped instead of lingering as zombies.
    void PrepareProcessOnce()
    {
        static std::once_flag once;
        std::call_once(once, [] {
            signal(SIGPIPE, SIG_IGN);
            prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        });
    }

    [[noreturn]] void ThrowSystemError(const std::string& what, int error)
    {
        throw EngineError("The browser could not be started: " + what + ": " + std::strerror(error));
    }

    fs::path MakeProfileFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        fs::path base = ProfileBase(tmp ? tmp : "");
        std::string pattern = (base / "pagestow-chromium-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            ThrowSystemError("no profile folder in " + base.string(), errno);
        return pattern;
    }

    // Moves fd to a number of 10 or more, close-on-exec, so that mapping the browser's ends onto 3 and
    // 4 can never overwrite one with the other.
    int MoveHigh(int fd)
    {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
        int error = errno;
        close(fd);
        if (high < 0)
            ThrowSystemError("fcntl", error);
        return high;
    }

    void SetNonBlocking(int fd)
    {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    std::vector<std::string> BrowserEnvironment(const fs::path& profile)
    {
        // The browser writes its certificate store, configuration, caches and temporary files (its
        // singleton socket among them) below these folders; they point into the profile so that a
        // browser that was killed leaves nothing in the user's home or the temporary folder.
        std::vector<std::string> environment;
        for (char** entry = environ; entry && *entry; ++entry) {
            std::string_view text(*entry);
            if (text.starts_with("HOME=") || text.starts_with("XDG_CONFIG_HOME=")
                || text.starts_with("XDG_CACHE_HOME=") || text.starts_with("TMPDIR="))
                continue;
            environment.emplace_back(text);
        }
        environment.push_back("HOME=" + profile.string());
        environment.push_back("XDG_CONFIG_HOME=" + (profile / ".config").string());
        environment.push_back("XDG_CACHE_HOME=" + (profile / ".cache").string());
        environment.push_back("TMPDIR=" + (profile / "tmp").string());
        return environment;
    }

    std::vector<char*> PointersOf(std::vector<std::string>& texts)
    {
        std::vector<char*> pointers;
        for (auto& text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    // Spawn attributes: the signal mask cleared and every signal at its default (SIGPIPE is ignored in
    // this process and would otherwise stay ignored across exec).
    struct SpawnAttributes {
        posix_spawnattr_t attributes;
        SpawnAttributes(short extraFlags)
        {
            posix_spawnattr_init(&attributes);
            sigset_t none;
            sigemptyset(&none);
            sigset_t all;
            sigfillset(&all);
            posix_spawnattr_setsigmask(&attributes, &none);
            posix_spawnattr_setsigdefault(&attributes, &all);
            posix_spawnattr_setflags(
                &attributes, short(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags));
        }
        ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    };

    struct FileActions {
        posix_spawn_file_actions_t actions;
        FileActions() { posix_spawn_file_actions_init(&actions); }
        ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    };

    std::string DescribeStatus(int status)
    {
        if (WIFEXITED(status))
            return "exited with status " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status))
            return "was killed by signal " + std::to_string(WTERMSIG(status));
        return "ended";
    }

    // Waits up to timeout for pid to exit; true when it did (not reaped).
    bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout)
    {
        int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            pollfd entry { pidfd, POLLIN, 0 };
            int ready = poll(&entry, 1, int(timeout.count()));
            close(pidfd);
            return ready > 0;
        }
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            siginfo_t info {};
            if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

} // namespace

fs::path ProfileBase(std::string_view temporaryFolder)
{
    // The browser's singleton socket ends up at
    // <base>/pagestow-chromium-XXXXXX/tmp/.org.chromium.Chromium.XXXXXX/SingletonSocket, and a Unix
    // socket's path holds at most 107 bytes.
    constexpr std::size_t kSocketPathLimit = 107;
    constexpr std::size_t kBelowBase
        = std::string_view("/pagestow-chromium-XXXXXX/tmp/.org.chromium.Chromium.XXXXXX/SingletonSocket")
              .size();
    std::string base(temporaryFolder);
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base.empty() || base.front() != '/' || base.size() + kBelowBase > kSocketPathLimit)
        return "/tmp";
    return base;
}

std::vector<std::string> BrowserArguments(const fs::path& profileFolder, bool runningAsRoot)
{
    std::vector<std::string> arguments = {
        "--headless",
        "--remote-debugging-pipe",
        // The start tab, which the first load takes, is off the record like every later load's own
        // context: nothing of the page is written into the profile.
        "--incognito",
        "--user-data-dir=" + profileFolder.string(),
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-quic",
        "--disable-default-apps",
        "--disable-extensions",
        "--disable-domain-reliability",
        "--disable-client-side-phishing-detection",
        "--disable-breakpad",
        "--metrics-recording-only",
        "--no-pings",
        "--no-service-autorun",
        "--password-store=basic",
        "--use-mock-keychain",
        "--mute-audio",
        "--hide-scrollbars",
        "--window-size=" + std::to_string(kViewportWidth) + "," + std::to_string(kViewportHeight),
        "--disable-features=Translate,OptimizationHints,MediaRouter,DialMediaRouteProvider,"
        "AutofillServerCommunication,CertificateTransparencyComponentUpdater,InterestFeedContentSuggestions,"
        "NetworkTimeServiceQuerying",
        // What the switches above leave of the browser's own traffic goes nowhere: its account checks
        // and its component update checks are sent to a port the browser refuses to connect to.
        "--gaia-url=" + std::string(kNowhere),
        "--component-updater=url-source=" + std::string(kNowhere),
    };
    if (runningAsRoot)
        arguments.push_back("--no-sandbox");
    return arguments;
}

BrowserProcess::BrowserProcess(const BrowserOptions& options)
{
    PrepareProcessOnce();
    if (access(options.program.c_str(), X_OK) != 0)
        throw EngineError(
            "The browser program " + options.program.string() + " was not found or cannot be run");

    m_profile = MakeProfileFolder();
    try {
        std::error_code ignored;
        fs::create_directory(m_profile / "tmp", ignored);
        StartWatchdog();

        int command[2];
        int reply[2];
        if (pipe2(command, O_CLOEXEC) != 0)
            ThrowSystemError("pipe", errno);
        m_commandFd = command[1];
        int browserReads = MoveHigh(command[0]);
        if (pipe2(reply, O_CLOEXEC) != 0) {
            int error = errno;
            close(browserReads);
            ThrowSystemError("pipe", error);
        }
        m_replyFd = reply[0];
        int browserWrites = MoveHigh(reply[1]);

        std::vector<std::string> arguments = { options.program.string() };
        for (auto& argument : BrowserArguments(m_profile, geteuid() == 0))
            arguments.push_back(std::move(argument));
        for (const auto& argument : options.extraArguments)
            arguments.push_back(argument);
        arguments.push_back("about:blank");
        std::vector<std::string> environment = BrowserEnvironment(m_profile);
        std::string errorLog = (m_profile / kErrorLogName).string();

        FileActions files;
        posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files.actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(
            &files.actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&files.actions, browserReads, 3);
        posix_spawn_file_actions_adddup2(&files.actions, browserWrites, 4);
        posix_spawn_file_actions_addclosefrom_np(&files.actions, 5);
        SpawnAttributes attributes(POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes.attributes, 0);

        auto argv = PointersOf(arguments);
        auto envp = PointersOf(environment);
        int error = posix_spawn(
            &m_pid, arguments[0].c_str(), &files.actions, &attributes.attributes, argv.data(), envp.data());
        close(browserReads);
        close(browserWrites);
        if (error != 0) {
            m_pid = -1;
            ThrowSystemError(arguments[0], error);
        }
        SetNonBlocking(m_commandFd);
        SetNonBlocking(m_replyFd);

        std::string group = std::to_string(m_pid) + "\n";
        if (write(m_watchdogFd, group.data(), group.size()) < 0) {
            // Without the watchdog nothing changes while this process lives; it only loses the
            // clean-up after a crash.
        }
    } catch (...) {
        Stop(std::chrono::milliseconds(0));
        throw;
    }
}

BrowserProcess::~BrowserProcess()
{
    Stop(std::chrono::milliseconds(0));
}

void BrowserProcess::StartWatchdog()
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        ThrowSystemError("pipe", errno);
    m_watchdogFd = channel[1];

    std::vector<std::string> arguments
        = { "/bin/sh", "-c", kWatchdogScript, "pagestow-watchdog", m_profile.string() };
    FileActions files;
    posix_spawn_file_actions_adddup2(&files.actions, channel[0], 0);
    posix_spawn_file_actions_addopen(&files.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files.actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&files.actions, 3);
    // A session of its own: neither a terminal's Ctrl-C nor a signal to our process group reaches it.
    SpawnAttributes attributes(POSIX_SPAWN_SETSID);
    auto argv = PointersOf(arguments);
    int error = posix_spawn(
        &m_watchdogPid, "/bin/sh", &files.actions, &attributes.attributes, argv.data(), environ);
    close(channel[0]);
    if (error != 0) {
        m_watchdogPid = -1;
        ThrowSystemError("/bin/sh", error);
    }
}

bool BrowserProcess::Exited()
{
    if (m_pid <= 0)
        return true;
    if (!m_reaped) {
        int status = 0;
        pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno == ECHILD)) {
            m_reaped = true;
            m_exitDescription = done == m_pid ? DescribeStatus(status) : "ended";
        }
    }
    if (m_reaped) {
        // Helpers that have already ended and were handed to us.
        while (waitpid(-m_pid, nullptr, WNOHANG) > 0) { }
    }
    return m_reaped;
}

std::string BrowserProcess::ErrorOutputTail() const
{
    std::ifstream log(m_profile / kErrorLogName);
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
        if (lines.size() > 5)
            lines.erase(lines.begin());
    }
    std::string tail;
    for (const auto& line : lines)
        tail += (tail.empty() ? "" : "\n") + line;
    return tail;
}

void BrowserProcess::ReapGroup()
{
    // Kill before every wait: whatever the group still holds dies, and each wait returns when one of
    // our children in the group ends. Helpers whose parent died were re-parented to us (we are a
    // subreaper), so once no child of the group is left, no process of it is left.
    while (true) {
        kill(-m_pid, SIGKILL);
        int status = 0;
        pid_t done = waitpid(-m_pid, &status, 0);
        if (done > 0) {
            if (done == m_pid && !m_reaped) {
                m_reaped = true;
                m_exitDescription = DescribeStatus(status);
            }
            continue;
        }
        if (errno == EINTR)
            continue;
        break;
    }
    // Without the subreaper role orphans go to init; wait (briefly) until they are gone all the same.
    for (int i = 0; i < 200 && kill(-m_pid, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void BrowserProcess::Stop(std::chrono::milliseconds grace)
{
    if (m_stopped)
        return;
    m_stopped = true;
    // Closing the command pipe is the browser's signal to quit.
    if (m_commandFd >= 0)
        close(m_commandFd);
    m_commandFd = -1;
    if (m_pid > 0) {
        // The crash handlers are re-parented to us early on but live outside the group; note them
        // while their command lines still name the profile.
        auto outsiders = ProcessesMentioning(m_profile.string(), m_watchdogPid);
        if (!m_reaped && grace.count() > 0)
            WaitForExit(m_pid, grace);
        ReapGroup();
        for (const auto& process : outsiders) {
            if (process.group == m_pid)
                continue;
            kill(process.pid, SIGKILL);
            if (process.parent == getpid())
                while (waitpid(process.pid, nullptr, 0) < 0 && errno == EINTR) { }
        }
    }
    if (m_replyFd >= 0)
        close(m_replyFd);
    m_replyFd = -1;
    Cleanup();
}

void BrowserProcess::Cleanup()
{
    std::error_code error;
    if (!m_profile.empty())
        fs::remove_all(m_profile, error);
    if (m_watchdogFd >= 0) {
        const char done[] = "\ndone\n";
        // Without a group line yet, "done" would be read as the group; the leading newline fills it.
        const char* text = done;
        std::size_t size = sizeof(done) - 1;
        if (m_pid > 0) {
            ++text;
            --size;
        }
        if (write(m_watchdogFd, text, size) < 0) { }
        close(m_watchdogFd);
        m_watchdogFd = -1;
    }
    if (m_watchdogPid > 0) {
        while (waitpid(m_watchdogPid, nullptr, 0) < 0 && errno == EINTR) { }
        m_watchdogPid = -1;
    }
}

} // namespace pagestow::engine::chromium
