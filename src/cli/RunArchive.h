#pragma once

#include "archive/Exchange.h"
#include "archive/Warc.h"
#include "cli/CliOptions.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pagestow::cli {

// The archive of a run (--warc-file, --wacz): one WARC file for every page of the run, and the WACZ
// package made from it at the end. With --jobs each worker writes its pages into a part file of its
// own beside the WARC ("<warc>.worker-N"), and the parts are appended to the run's file, worker by
// worker, once the workers have ended.
class RunArchive {
public:
    // The run's archive, when its options ask for one (null otherwise, and null with error set when
    // its file cannot be made). workers: the number of worker processes whose parts it takes up.
    static std::unique_ptr<RunArchive> ForRun(const CliOptions& options, int workers, std::string& error);
    // A worker's part of the run's archive (the options carry the part's path), null when none.
    static std::unique_ptr<RunArchive> ForWorker(const CliOptions& options, std::string& error);
    ~RunArchive();

    // The engine records its exchanges from now on, into a log in its cache's folder. A run may attach
    // more than one (a crawl's browser and the built-in engine that saves its files).
    void Attach(engine::PageEngine& engine);
    // After each address engine loaded: the page's records are written (kept) or let go. "" or what
    // went wrong, once.
    std::string PageDone(engine::PageEngine& engine, const engine::SnapshotDocument* page, bool keep);
    // Stops the engine's recording, closes the WARC, takes up the workers' parts and writes the WACZ
    // (not when the run was interrupted: the WARC then holds the pages saved whole). "" or what went
    // wrong, when it was not said already.
    std::string Finish(bool interrupted);

    // The WARC path the workers' parts are named after (for their arguments).
    const std::string& WarcPath() const { return m_warcPath; }

private:
    RunArchive() = default;
    std::string Failure(const std::string& message);

    std::string m_warcPath;
    // The WARC is a temporary file beside the WACZ when only a WACZ was asked for.
    bool m_warcIsTemporary = false;
    std::string m_waczPath;
    std::string m_software;
    int m_workers = 0;
    std::unique_ptr<archive::WarcWriter> m_warc;
    // Each attached engine with its log.
    std::vector<std::pair<engine::PageEngine*, std::unique_ptr<archive::ExchangeLog>>> m_attached;
    void Detach();
    bool m_failed = false;
    bool m_said = false;
};

// The WARC file --warc-file NAME names: NAME.warc.gz, or NAME itself when it ends so.
std::string WarcFileName(const std::string& name);

// A worker's part of the WARC at warcPath.
std::string WorkerPartName(const std::string& warcPath, int workerIndex);

} // namespace pagestow::cli
