#include "cli/RunArchive.h"

#include "capture/PageArchive.h"
#include "engine/EngineCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace pagestow::cli {
namespace {

    const char* const kEngineNames[] = { "static", "chromium", "webkit" };

    archive::WarcInfo InfoFor(const CliOptions& options)
    {
        archive::WarcInfo info;
        info.software = VersionText();
        while (!info.software.empty() && info.software.back() == '\n')
            info.software.pop_back();
        info.fields = {
            { "engine", kEngineNames[int(options.engine)] },
            { "timeout", std::to_string(options.timeout.count() / 1000.0) },
            { "offline-copy", options.offlineCopy ? "yes" : "no" },
            { "scroll", options.scroll ? "yes" : "no" },
            { "jobs", std::to_string(options.jobs) },
        };
        // What requests carried, by name only: values and cookies may be secrets (the request records
        // hold them as sent).
        if (!options.userAgent.empty())
            info.fields.emplace_back("user-agent", options.userAgent);
        for (const engine::RequestHeader& header : options.headers)
            info.fields.emplace_back("header", header.name);
        if (!options.loadCookies.empty())
            info.fields.emplace_back("cookies", "loaded from a cookie file");
        return info;
    }

    // Appends the file at from to the end of the file at to; "" or what went wrong.
    std::string Append(const std::string& from, const std::string& to)
    {
        int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return "cannot read " + from + ": " + std::strerror(errno);
        int out = ::open(to.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (out < 0) {
            int error = errno;
            ::close(in);
            return "cannot write " + to + ": " + std::strerror(error);
        }
        std::string problem;
        char buffer[1 << 16];
        for (;;) {
            ssize_t got = ::read(in, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                problem = "cannot read " + from + ": " + std::strerror(errno);
                break;
            }
            if (got == 0)
                break;
            for (ssize_t done = 0; done < got && problem.empty();) {
                ssize_t put = ::write(out, buffer + done, std::size_t(got - done));
                if (put < 0 && errno == EINTR)
                    continue;
                if (put <= 0)
                    problem = "cannot write " + to + ": " + std::strerror(put < 0 ? errno : ENOSPC);
                else
                    done += put;
            }
            if (!problem.empty())
                break;
        }
        ::close(in);
        if (::fsync(out) != 0 && problem.empty())
            problem = "cannot write " + to + ": " + std::strerror(errno);
        if (::close(out) != 0 && problem.empty())
            problem = "cannot write " + to + ": " + std::strerror(errno);
        return problem;
    }

    std::string Absolute(const std::string& path)
    {
        std::error_code error;
        std::filesystem::path absolute = std::filesystem::absolute(path, error);
        return error ? path : absolute.lexically_normal().string();
    }

} // namespace

std::string WarcFileName(const std::string& name)
{
    return name.ends_with(".warc.gz") ? name : name + ".warc.gz";
}

std::string WorkerPartName(const std::string& warcPath, int workerIndex)
{
    return warcPath + ".worker-" + std::to_string(workerIndex);
}

std::unique_ptr<RunArchive> RunArchive::ForRun(const CliOptions& options, int workers, std::string& error)
{
    if (options.warcFile.empty() && options.wacz.empty())
        return nullptr;
    std::unique_ptr<RunArchive> run(new RunArchive());
    run->m_workers = workers;
    archive::WarcInfo info = InfoFor(options);
    run->m_software = info.software;
    run->m_waczPath = options.wacz.empty() ? std::string() : Absolute(options.wacz);
    if (!options.warcFile.empty()) {
        run->m_warcPath = Absolute(WarcFileName(options.warcFile));
    } else {
        run->m_warcPath = run->m_waczPath + ".warc.gz.partial";
        run->m_warcIsTemporary = true;
    }
    run->m_warc = archive::WarcWriter::Create(run->m_warcPath, error);
    if (!run->m_warc)
        return nullptr;
    if (!run->m_warc->WriteInfo(info)) {
        error = run->m_warc->Error();
        return nullptr;
    }
    return run;
}

std::unique_ptr<RunArchive> RunArchive::ForWorker(const CliOptions& options, std::string& error)
{
    if (options.warcPart.empty())
        return nullptr;
    std::unique_ptr<RunArchive> run(new RunArchive());
    run->m_warcPath = WorkerPartName(options.warcPart, options.workerIndex);
    run->m_warc = archive::WarcWriter::Create(run->m_warcPath, error);
    if (!run->m_warc)
        return nullptr;
    return run;
}

RunArchive::~RunArchive()
{
    Detach();
    // A run that ended before Finish (its engine could not start) leaves no temporary WARC.
    if (m_warc && m_warcIsTemporary) {
        m_warc.reset();
        std::error_code ignored;
        std::filesystem::remove(m_warcPath, ignored);
    }
}

void RunArchive::Attach(engine::PageEngine& engine)
{
    auto log = std::make_unique<archive::ExchangeLog>(engine.Cache().Folder() / "exchanges");
    engine.SetExchangeLog(log.get());
    m_attached.emplace_back(&engine, std::move(log));
}

void RunArchive::Detach()
{
    for (auto& [engine, log] : m_attached)
        engine->SetExchangeLog(nullptr);
    m_attached.clear();
}

std::string RunArchive::Failure(const std::string& message)
{
    m_failed = true;
    if (m_said)
        return {};
    m_said = true;
    return message;
}

std::string RunArchive::PageDone(engine::PageEngine& engine, const engine::SnapshotDocument* page, bool keep)
{
    if (std::none_of(m_attached.begin(), m_attached.end(),
            [&](const auto& attached) { return attached.first == &engine; }))
        return {};
    if (!keep || m_failed) {
        capture::DropPageExchanges(engine);
        return {};
    }
    if (!capture::ArchivePage(*m_warc, engine, page))
        return Failure(m_warc->Error());
    return {};
}

std::string RunArchive::Finish(bool interrupted)
{
    Detach();
    if (!m_warc)
        return {};
    bool closed = m_warc->Close();
    std::string problem = closed ? std::string() : m_warc->Error();
    // The workers' parts, in worker order; each holds whole records only.
    for (int worker = 1; worker <= m_workers; ++worker) {
        std::string part = WorkerPartName(m_warcPath, worker);
        std::error_code missing;
        if (!std::filesystem::exists(part, missing))
            continue;
        if (problem.empty())
            problem = Append(part, m_warcPath);
        std::filesystem::remove(part, missing);
    }
    if (problem.empty() && !interrupted && !m_waczPath.empty() && !m_failed) {
        std::string error;
        if (!archive::WriteWacz(m_warcPath, m_waczPath, m_software, error))
            problem = error;
    }
    if (m_warcIsTemporary) {
        std::error_code ignored;
        std::filesystem::remove(m_warcPath, ignored);
    }
    m_warc.reset();
    if (problem.empty())
        return {};
    return Failure(problem);
}

} // namespace pagestow::cli
