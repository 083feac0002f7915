// pagestow-cli: captures pages from the command line, as the window's Save does.

#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "cli/AddressInput.h"
#include "cli/BatchRunner.h"
#include "cli/CaptureRunner.h"
#include "cli/CliOptions.h"
#include "cli/CrawlRun.h"
#include "cli/EngineFactory.h"
#include "cli/EngineTable.h"
#include "cli/Explain.h"
#include "cli/RequestCookies.h"
#include "cli/RunArchive.h"
#include "cli/TerminalFrontEnd.h"
#include "cli/WorkerPool.h"
#include "engine/static/StaticEngine.h"
#include "mapping/FileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

namespace {

using namespace pagestow::cli;

std::atomic<bool> g_interrupted { false };

void OnInterrupt(int)
{
    g_interrupted = true;
}

// A reader that has gone away must not end the program: the captures go on, and the exit status
// says that output was lost. (A handler rather than SIG_IGN, so that child processes start with the
// default disposition.)
void OnBrokenPipe(int) { }

void InstallSignalHandlers()
{
    struct sigaction action { };
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnBrokenPipe;
    sigaction(SIGPIPE, &action, nullptr);
}

// The save folder as an absolute path, exactly as given otherwise ("" when there is none).
std::string AbsoluteSaveDir(const std::string& given)
{
    std::error_code error;
    std::filesystem::path folder
        = given.empty() ? std::filesystem::current_path(error) : std::filesystem::path(given);
    if (error)
        return {};
    std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    if (error)
        return {};
    return absolute.lexically_normal().string();
}

// The save folder exists (it is made when missing) and can be written to; otherwise the reason.
std::string CheckSaveDir(const std::string& folder)
{
    std::error_code error;
    if (!std::filesystem::exists(folder, error))
        std::filesystem::create_directories(folder, error);
    if (error)
        return "cannot make the save folder " + folder + ": " + std::strerror(error.value());
    if (!std::filesystem::is_directory(folder, error))
        return "the save folder " + folder + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write into the save folder " + folder + ": " + std::strerror(errno);
    return {};
}

// Whether both streams show on the same terminal, where a message that repeats a result line would
// be read twice.
bool SameTerminal(int first, int second)
{
    struct stat a { };
    struct stat b { };
    return isatty(first) && isatty(second) && fstat(first, &a) == 0 && fstat(second, &b) == 0
        && a.st_rdev == b.st_rdev;
}

TerminalFrontEnd::Verbosity VerbosityOf(const CliOptions& options)
{
    if (options.quiet)
        return TerminalFrontEnd::Verbosity::Silent;
    return options.verbose ? TerminalFrontEnd::Verbosity::Verbose : TerminalFrontEnd::Verbosity::Quiet;
}

// What every capture of this run goes by (each runner reads from its own engine's cache).
pagestow::capture::CaptureSettings SettingsFor(const CliOptions& options, const std::string& saveDir)
{
    pagestow::capture::CaptureSettings settings;
    settings.saveDir = saveDir;
    settings.offlineCopy = options.offlineCopy;
    settings.singleFile = options.singleFile;
    settings.mhtml = options.mhtml;
    settings.scriptsRan = options.engine != EngineName::Static;
    // A crawl's pages share one capture folder, and its offline copy is written once the crawl knows
    // which pages it saved.
    settings.captureFolder = options.captureFolder;
    if (options.offlineCopy && (options.crawl.recursive || options.crawlWorker)) {
        settings.offlineCopy = false;
        settings.stylesheetResources = true;
    }
    if (options.singleFileScripts == "keep")
        settings.scripts = pagestow::capture::CaptureSettings::Scripts::Keep;
    else if (options.singleFileScripts == "remove")
        settings.scripts = pagestow::capture::CaptureSettings::Scripts::Remove;
    return settings;
}

// Saves the engine's cookie store when --save-cookies asks for it (a worker's into its own file);
// a file that cannot be written is said and makes the exit status 1.
int SaveCookies(pagestow::engine::PageEngine& engine, const CliOptions& options, int status)
{
    if (options.saveCookies.empty())
        return status;
    std::string path = options.workerIndex > 0 ? WorkerCookieFile(options.saveCookies, options.workerIndex)
                                               : options.saveCookies;
    if (std::string problem = SaveCookieStore(engine, path); !problem.empty()) {
        std::cerr << "pagestow-cli: " << problem << "\n";
        return status == 0 || status == 3 ? 1 : status;
    }
    return status;
}

// Whether the built-in engine also loads what stylesheets load (@import, url()), as browsers do: the
// offline copy needs those files, and an archive replays the page as a browser showed it only with them.
bool LoadsWhatStylesheetsLoad(const CliOptions& options)
{
    return options.offlineCopy || options.singleFile || options.mhtml || !options.warcFile.empty() || !options.wacz.empty() || !options.warcPart.empty();
}

// Has runner write each page into the run's archive, when there is one.
void ArchiveEachPage(CaptureRunner& runner, RunArchive* archive)
{
    if (archive)
        runner.SetPageDoneHandler(
            [archive, &engine = runner.Engine()](const pagestow::engine::SnapshotDocument* page, bool keep) {
                return archive->PageDone(engine, page, keep);
            });
}

// Ends the run's archive; a file that could not be written is said and makes the exit status 1.
int FinishArchive(RunArchive* archive, int status)
{
    if (!archive)
        return status;
    if (std::string problem = archive->Finish(status == 130); !problem.empty()) {
        std::cerr << "pagestow-cli: " << problem << "\n";
        return status == 0 || status == 3 ? 1 : status;
    }
    return status;
}

// The arguments of the run's worker processes; nullopt, said once and not by every worker, when the
// engine cannot run here.
std::optional<std::vector<std::string>> PoolArguments(
    const CliOptions& options, const std::string& saveDir, const RunArchive* archive)
{
    std::string why;
    if (!FindEngine(EngineNameText(options.engine))->available(why)) {
        std::cerr << "pagestow-cli: " << why << "\n";
        return std::nullopt;
    }
    std::vector<std::string> args = WorkerArguments(options, saveDir);
    if (archive)
        args.insert(args.end(), { "--warc-part", archive->WarcPath() });
    return args;
}

// Makes the engine of the run with what every page asks of it; null with the reason said.
EngineChoice PreparedEngine(EngineName name, const CliOptions& options, const pagestow::engine::RequestOptions& requests)
{
    EngineChoice choice = MakeEngine(name);
    if (!choice.engine)
        return choice;
    if (LoadsWhatStylesheetsLoad(options))
        choice.engine->SetStylesheetLoads(true);
    choice.engine->SetScrollLoading(options.scroll);
    choice.engine->SetRequestOptions(requests);
    choice.engine->SetKeepPageForPictures(options.screenshot || options.pdf);
    choice.engine->SetReuseLoadedResources(options.crawl.recursive || options.crawlWorker);
    return choice;
}

// The engine of a run in this process, attached to the run's archive; null with the reason said.
EngineChoice RunEngine(const CliOptions& options, const pagestow::engine::RequestOptions& requests, RunArchive* archive)
{
    EngineChoice choice = PreparedEngine(options.engine, options, requests);
    if (!choice.engine) {
        std::cerr << "pagestow-cli: " << choice.error << "\n";
        return choice;
    }
    if (archive)
        archive->Attach(*choice.engine);
    return choice;
}

// A crawl from the one address given: its pages taken in this process or by --jobs workers, into one
// capture folder.
int RunCrawl(const CliOptions& options, const pagestow::engine::RequestOptions& requests, const std::string& saveDir)
{
    std::string start = CrawlStartAddress(options.addresses.front());
    std::string folderError;
    CliOptions crawlOptions = options;
    crawlOptions.captureFolder = CrawlFolder(saveDir, start, options.crawl.resume, folderError);
    if (crawlOptions.captureFolder.empty()) {
        std::cerr << "pagestow-cli: " << folderError << "\n";
        return 1;
    }
    const bool pool = options.jobs > 1;
    std::string archiveError;
    std::unique_ptr<RunArchive> archive = RunArchive::ForRun(options, pool ? options.jobs : 0, archiveError);
    if (!archive && !archiveError.empty()) {
        std::cerr << "pagestow-cli: " << archiveError << "\n";
        return 1;
    }
    pagestow::capture::CaptureSettings settings = SettingsFor(crawlOptions, saveDir);
    std::ostream& resultStream = options.json ? std::cerr : std::cout;
    auto progress = isatty(STDERR_FILENO) && !pool ? TerminalFrontEnd::ProgressLine::On : TerminalFrontEnd::ProgressLine::Off;
    TerminalFrontEnd frontEnd(resultStream, std::cerr, VerbosityOf(options), progress);
    frontEnd.SetSharedScreen(options.json || SameTerminal(STDOUT_FILENO, STDERR_FILENO));

    // Files (a PDF, an archive) are saved as served by the built-in engine when the pages need a browser.
    EngineChoice fileEngine;
    std::unique_ptr<CaptureRunner> fileRunner;
    std::unique_ptr<PageTaker> fileTaker;
    if (options.engine != EngineName::Static) {
        fileEngine = PreparedEngine(EngineName::Static, options, requests);
        if (fileEngine.engine) {
            fileRunner = std::make_unique<CaptureRunner>(*fileEngine.engine, frontEnd, settings, options.timeout, &g_interrupted);
            // The archive holds the files too.
            if (archive) {
                archive->Attach(*fileEngine.engine);
                ArchiveEachPage(*fileRunner, archive.get());
            }
            fileTaker = MakeRunnerTaker(*fileRunner);
        }
    }
    CrawlRun crawl(crawlOptions, settings, requests, &g_interrupted, std::cout, std::cerr);
    int status = 0;
    if (pool) {
        std::optional<std::vector<std::string>> workerArgs = PoolArguments(crawlOptions, saveDir, archive.get());
        if (!workerArgs)
            return 1;
        workerArgs->insert(workerArgs->end(), { "--capture-folder", crawlOptions.captureFolder, "--crawl-worker" });
        WorkerPool workers("/proc/self/exe", *workerArgs, options.jobs);
        if (workers.Size() == 0) {
            std::cerr << "pagestow-cli: cannot start a worker process\n";
            return 1;
        }
        // A built-in engine's worker asks for the pages it was given next while it loads one: the page
        // under way and the four its engine asks for ahead.
        std::unique_ptr<PageTaker> taker
            = MakePoolTaker(workers, options.engine == EngineName::Static && !archive ? 5 : 1);
        status = crawl.Run(options.addresses.front(), *taker, fileTaker.get());
        workers.Finish();
        status = FinishArchive(archive.get(), status);
    } else {
        EngineChoice choice = RunEngine(options, requests, archive.get());
        if (!choice.engine)
            return choice.exitStatus;
        {
            CaptureRunner runner(*choice.engine, frontEnd, settings, options.timeout, &g_interrupted);
            ArchiveEachPage(runner, archive.get());
            runner.SetPictures(options.screenshot, options.pdf);
            std::unique_ptr<PageTaker> taker = MakeRunnerTaker(runner);
            status = crawl.Run(options.addresses.front(), *taker, fileTaker.get());
        }
        status = FinishArchive(archive.get(), status);
        status = SaveCookies(*choice.engine, options, status);
        choice.engine.reset();
    }
    return status;
}

// A worker of --jobs: the same capture, its output handed back to the parent with each result.
int RunAsWorker(const CliOptions& options, const pagestow::engine::RequestOptions& requests)
{
    // Workers share the save folder and start at the same moment: each draws its capture folders'
    // numbers from a sequence of its own, so that they do not race for the same names.
    pagestow::mapping::SetRuntimeRandomSeed(std::uint32_t(options.workerIndex) * 2654435761u);
    // Replies go on a descriptor of their own; what the engine's programs write to standard output
    // goes to standard error instead of into the replies.
    int replyFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (replyFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return 1;
    EngineChoice choice = PreparedEngine(options.engine, options, requests);
    if (!choice.engine) {
        std::cerr << "pagestow-cli: " << choice.error << "\n";
        return choice.exitStatus;
    }
    std::string archiveError;
    std::unique_ptr<RunArchive> archive = RunArchive::ForWorker(options, archiveError);
    if (!archive && !archiveError.empty()) {
        std::cerr << "pagestow-cli: " << archiveError << "\n";
        return 1;
    }
    if (archive)
        archive->Attach(*choice.engine);
    std::stringstream out;
    std::stringstream err;
    TerminalFrontEnd frontEnd(
        options.json ? err : out, err, VerbosityOf(options), TerminalFrontEnd::ProgressLine::Off);
    frontEnd.SetSharedScreen(options.json);
    int status;
    {
        CaptureRunner runner(*choice.engine, frontEnd, SettingsFor(options, AbsoluteSaveDir(options.saveDir)),
            options.timeout, &g_interrupted);
        ArchiveEachPage(runner, archive.get());
        runner.SetPictures(options.screenshot, options.pdf);
        status = RunWorker(runner, out, err, options.json, STDIN_FILENO, replyFd,
            options.crawlWorker ? std::function<std::string(const AddressResult&)>(EncodePageRecord) : nullptr);
    }
    status = FinishArchive(archive.get(), status);
    status = SaveCookies(*choice.engine, options, status);
    choice.engine.reset();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    ParsedArguments parsed = ParseArguments(args);
    const CliOptions& options = parsed.options;
    switch (parsed.action) {
    case ParsedArguments::Action::Help:
        std::cout << kUsage;
        return 0;
    case ParsedArguments::Action::Version:
        std::cout << VersionText();
        return 0;
    case ParsedArguments::Action::UsageError:
        std::cerr << "pagestow-cli: " << parsed.error << "\n" << kUsage;
        return 2;
    case ParsedArguments::Action::Explain:
        return RunExplain(parsed.explainArguments, std::cout, std::cerr, AbsoluteSaveDir(options.saveDir));
    case ParsedArguments::Action::Worker:
    case ParsedArguments::Action::Capture:
        break;
    }
    // A picture needs an engine that draws the page.
    if ((options.screenshot || options.pdf) && options.engine == EngineName::Static) {
        std::cerr << "pagestow-cli: the built-in engine draws no page: --screenshot and --pdf need --engine "
                     "chromium or webkit\n";
        return 2;
    }
    // A cookie file that cannot be read is refused like an option's bad value, before any page.
    pagestow::engine::RequestOptions requests;
    if (std::string error; !MakeRequestOptions(options, requests, error)) {
        std::cerr << "pagestow-cli: " << error << "\n";
        return 2;
    }
    if (parsed.action == ParsedArguments::Action::Worker) {
        InstallSignalHandlers();
        return RunAsWorker(options, requests);
    }

    InstallSignalHandlers();
    std::vector<std::string> addresses;
    std::string inputError;
    if (!CollectAddresses(options.sources, std::cin, addresses, inputError)) {
        std::cerr << "pagestow-cli: " << inputError << "\n";
        return 1;
    }
    const std::string saveDir = AbsoluteSaveDir(options.saveDir);
    if (saveDir.empty()) {
        std::cerr << "pagestow-cli: the save folder cannot be read\n";
        return 1;
    }
    if (std::string problem = CheckSaveDir(saveDir); !problem.empty()) {
        std::cerr << "pagestow-cli: " << problem << "\n";
        return 1;
    }

    if (options.crawl.recursive) {
        int status = RunCrawl(options, requests, saveDir);
        if (status == 130)
            std::cerr << "pagestow-cli: interrupted\n";
        std::cout.flush();
        return status;
    }

    const bool batch = options.jobs > 1 && addresses.size() > 1;
    std::string archiveError;
    std::unique_ptr<RunArchive> archive = RunArchive::ForRun(options, batch ? options.jobs : 0, archiveError);
    if (!archive && !archiveError.empty()) {
        std::cerr << "pagestow-cli: " << archiveError << "\n";
        return 1;
    }

    int status = 0;
    if (batch) {
        std::optional<std::vector<std::string>> workerArgs = PoolArguments(options, saveDir, archive.get());
        if (!workerArgs)
            return 1;
        BatchRunner runner("/proc/self/exe", *workerArgs, options.jobs, options.json, &g_interrupted);
        status = runner.Run(addresses, std::cout, std::cerr);
        status = FinishArchive(archive.get(), status);
        if (!options.saveCookies.empty()) {
            if (std::string problem = MergeWorkerCookies(options.saveCookies, options.jobs);
                !problem.empty()) {
                std::cerr << "pagestow-cli: " << problem << "\n";
                if (status == 0)
                    status = 1;
            }
        }
    } else {
        EngineChoice choice = RunEngine(options, requests, archive.get());
        if (!choice.engine)
            return choice.exitStatus;
        // With --json the result lines share standard error with the messages.
        std::ostream& resultStream = options.json ? std::cerr : std::cout;
        TerminalFrontEnd frontEnd(resultStream, std::cerr, VerbosityOf(options),
            isatty(STDERR_FILENO) ? TerminalFrontEnd::ProgressLine::On : TerminalFrontEnd::ProgressLine::Off);
        frontEnd.SetSharedScreen(options.json || SameTerminal(STDOUT_FILENO, STDERR_FILENO));
        {
            CaptureRunner runner(
                *choice.engine, frontEnd, SettingsFor(options, saveDir), options.timeout, &g_interrupted);
            ArchiveEachPage(runner, archive.get());
            runner.SetPictures(options.screenshot, options.pdf);
            status = runner.Run(addresses, [&](const AddressResult& result) {
                if (options.json)
                    std::cout << ResultJson(result) << '\n' << std::flush;
            });
        }
        status = FinishArchive(archive.get(), status);
        status = SaveCookies(*choice.engine, options, status);
        choice.engine.reset();
    }
    if (status == 130)
        std::cerr << "pagestow-cli: interrupted\n";
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "pagestow-cli: standard output could not be written (" << std::strerror(EPIPE)
                  << "); the captures went on\n";
        if (status == 0)
            status = 3;
    }
    return status;
}
