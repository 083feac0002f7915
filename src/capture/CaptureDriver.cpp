#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "capture/FileWriting.h"
#include "engine/EngineError.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace pagestow::capture {
using namespace engine;

namespace {

    constexpr std::string_view kCaptureFolderPrefix = "qzwd_";
    constexpr std::string_view kPageNotFound = "网页不存在，或是网址不符合标准，停止下载。";
    // Enough draws to find a free number among the 999 of one minute; past them the minute has
    // moved on in practice, and the last name drawn is taken (its writes then report the cause).
    constexpr int kMaxNameDraws = 20000;

    // "qzwd_" + the two-digit year, month, day, hour and minute + the three random digits of a
    // time-stamp name.
    std::string CaptureFolderName()
    {
        std::string name = mapping::MakeTimeStampName();
        if (name.size() < 20)
            name.append(20 - name.size(), '0');
        return std::string(kCaptureFolderPrefix) + name.substr(2, 10) + name.substr(17, 3);
    }

    // The page document: the document of the topmost element above the body. A snapshot's elements
    // all belong to the document that holds them, so that is the document itself once it has a body.
    const SnapshotDocument& PageDocument(const SnapshotDocument& document)
    {
        if (document.body < 0 || size_t(document.body) >= document.elements.size())
            throw EngineError("The document has no body element");
        return document;
    }

    // An interrupted capture is abandoned: what it wrote goes, so that no part of the page looks saved.
    // A folder of its own was made by this capture (ClaimCaptureFolder), so nothing else is in it; in a
    // shared one only the files it wrote are its own.
    void AbandonCapture(CaptureResult& result, bool sharedFolder)
    {
        result.interrupted = true;
        if (result.captureFolder.empty())
            return;
        std::error_code error;
        if (!sharedFolder) {
            std::filesystem::remove_all(result.CapturePath(), error);
            if (error)
                result.failures.push_back({ result.CapturePath(), error.message() });
            return;
        }
        for (const SavedEntry& entry : result.saved) {
            if (!entry.earlier && !std::filesystem::remove(entry.path, error) && error)
                result.failures.push_back({ entry.path, error.message() });
        }
    }

} // namespace

std::string ClaimCaptureFolder(const std::string& saveDir, std::vector<WriteFailure>& failures)
{
    auto record = [&failures](const std::string& path, int error) {
        failures.push_back({ path, std::strerror(error) });
    };
    // The save folder is taken exactly as given; its own missing levels are made, nothing beside it.
    if (int error = mapping::MakeFolders(saveDir))
        record(saveDir, error);
    // A name is ours only once our own mkdir made its folder: a folder that exists, made by another
    // run a moment ago, sends us on to the next draw.
    std::string folder;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
        folder = CaptureFolderName();
        if (::mkdir((saveDir + folder).c_str(), 0777) == 0)
            return folder;
        if (errno != EEXIST) {
            record(saveDir + folder, errno);
            return folder;
        }
    }
    return folder;
}

CaptureResult CapturePage(
    const SnapshotDocument* document, const CaptureSettings& settings, FrontEnd& frontEnd)
{
    CaptureResult refused;
    refused.saveDir = settings.saveDir;
    // A capture that starts inside a running one would report into the middle of it.
    if (frontEnd.CaptureRunning())
        return refused;
    RunningCapture running(frontEnd);

    // 1.-2. No document, no capture.
    if (!document)
        return refused;

    // 3. The page document.
    const SnapshotDocument& page = PageDocument(*document);

    // 4. The capture's state, with its saved-files list, and the page's address record.
    PageCapture capture(settings, frontEnd);
    mapping::AddressRecord record;

    // 5. The engine's own page for an address it could not reach.
    if (page.origin == DocumentOrigin::Failed) {
        capture.AddResultLine(std::string(kPageNotFound));
        capture.SetStatusText(" " + std::string(kPageNotFound));
        return refused;
    }

    // 6. The page's address.
    mapping::SplitAddress(page.url, record);

    // 7. The save folder ends with a separator.
    //    Only "/" separates here: a "\\" at the end is part of the folder's Linux name, and the
    //    capture goes inside that folder, never beside it.
    capture.SaveDir = settings.saveDir;
    if (!capture.SaveDir.empty() && capture.SaveDir.back() != mapping::kPathSeparator)
        capture.SaveDir += mapping::kPathSeparator;

    // 8. A fresh capture folder, claimed by making it, or the shared one asked for.
    const bool sharedFolder = !settings.captureFolder.empty();
    if (sharedFolder) {
        capture.CaptureFolder = settings.captureFolder;
        if (int error = mapping::MakeFolders(capture.SaveDir + capture.CaptureFolder))
            capture.Result().failures.push_back({ capture.SaveDir + capture.CaptureFolder, std::strerror(error) });
    } else {
        capture.CaptureFolder = ClaimCaptureFolder(capture.SaveDir, capture.Result().failures);
    }
    frontEnd.CaptureFolderClaimed(capture.SaveDir, capture.CaptureFolder);

    // 9. The page's folder; a level that cannot be made is reported by the document save.
    mapping::MakeFolders(
        mapping::TargetFolder(capture.SaveDir, capture.CaptureFolder, mapping::PathRecord(page.url)));

    // 10. The page, its resources and its frames.
    bool interrupted = false;
    try {
        capture.StopWhenInterrupted();
        capture.SaveDocument(&page, DocumentPass::Document);
        capture.WriteOfflineCopyOfCapture();
        capture.WriteSingleFileOfCapture();
        capture.WriteMhtmlOfCapture();
    } catch (const CaptureInterrupted&) {
        interrupted = true;
    }
    CaptureResult result = std::move(capture.Result());
    result.accepted = true;
    result.saveDir = capture.SaveDir;
    result.captureFolder = capture.CaptureFolder;
    if (interrupted)
        AbandonCapture(result, sharedFolder);
    return result;
}

} // namespace pagestow::capture
