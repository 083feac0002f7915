#include "capture/Capture.h"

#include "engine/EngineCache.h"
#include "mapping/FileUtils.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace pagestow::capture {

PageCapture::PageCapture(const CaptureSettings& settings, FrontEnd& frontEnd)
    : m_settings(settings)
    , m_frontEnd(frontEnd)
{
}

bool PageCapture::FindCached(const std::string& address, engine::CachedBody& body) const
{
    if (!m_settings.cache)
        return false;
    auto found = m_settings.cache->Find(address);
    if (!found)
        return false;
    body = std::move(*found);
    return true;
}

int PageCapture::MakeCaptureFolders(const std::string& folder)
{
    if (SavedFiles.HasFolder(folder))
        return 0;
    int error = mapping::MakeFolders(folder);
    if (!error)
        SavedFiles.AddFolder(folder);
    return error;
}

void PageCapture::EnterCopy(const SavedEntry& entry, std::string_view reportText, int error)
{
    // Reports can come long after the walk has passed their elements: each is a step of its own.
    StopWhenInterrupted();
    if (error) {
        RecordFailure(entry.path, error);
        return;
    }
    SavedFiles.Add(entry.path);
    m_result.saved.push_back(entry);
    std::string report = std::string(reportText) + entry.path;
    AddResultLine(report);
    SetStatusText(report);
}

bool PageCapture::EnterEarlierFile(SavedEntry entry)
{
    if (m_settings.captureFolder.empty())
        return false;
    struct stat info { };
    if (::stat(entry.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    entry.bytes = std::uint64_t(info.st_size);
    entry.earlier = true;
    SavedFiles.Add(entry.path);
    m_result.saved.push_back(std::move(entry));
    return true;
}

void PageCapture::RecordFailure(const std::string& path, int error)
{
    auto& failures = m_result.failures;
    bool known = std::any_of(
        failures.begin(), failures.end(), [&](const WriteFailure& failure) { return failure.path == path; });
    if (!known)
        failures.push_back({ path, std::strerror(error) });
}

} // namespace pagestow::capture
