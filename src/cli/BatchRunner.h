#pragma once

#include "cli/CaptureRunner.h"
#include "cli/WorkerPool.h"

#include <atomic>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace pagestow::cli {

// Captures with several worker processes, each running `program workerArgs...` with an engine of its
// own (the capture's state belongs to one process). Each address goes to the next idle worker; what
// it printed and its result come back and are written in the order of the addresses, so the output
// reads as that of one process. In JSON mode the human lines go to err, the JSON lines to out.
class BatchRunner {
public:
    BatchRunner(std::string program, std::vector<std::string> workerArgs, int jobs, bool json,
        const std::atomic<bool>* interrupted);

    // The exit status of the whole batch, as one process would give it.
    int Run(const std::vector<std::string>& addresses, std::ostream& out, std::ostream& err);

private:
    std::string m_program;
    std::vector<std::string> m_workerArgs;
    int m_jobs;
    bool m_json;
    const std::atomic<bool>* m_interrupted;
};

// A worker's side: reads one task a line from taskFd, captures it with runner and writes its reply
// line to replyFd, until taskFd ends. The tasks that have come after the one under way are the
// engine's to ask for ahead. capturedOut and capturedErr are the streams the runner's front end
// writes to; they are emptied for every address. record, when given, adds a field of its own to each
// reply (what a crawl needs of the page).
int RunWorker(CaptureRunner& runner, std::stringstream& capturedOut, std::stringstream& capturedErr,
    bool json, int taskFd, int replyFd,
    const std::function<std::string(const AddressResult&)>& record = nullptr);

} // namespace pagestow::cli
