#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "capture/FileWriting.h"
#include "capture/StylesheetResources.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"

#include <cerrno>
#include <sys/stat.h>

namespace pagestow::capture {
namespace {
    using namespace engine;

    constexpr std::string_view kCaptureFolderPrefix = "qzwd_";
    constexpr std::string_view kPageNotFound = "网页不存在，或是网址不符合标准，停止下载。";
    // Enough draws to find a free number among the 999 of one minute; past them the minute has
    // moved on in practice, and the last name drawn is taken (its writes then report the cause).
    constexpr int kMaxNameDraws = 20000;

    bool g_captureRunning = false;

    // Marks a capture as running for its whole length and tidies its state on every way out.
    class RunningCapture {
    public:
        RunningCapture() { g_captureRunning = true; }
        ~RunningCapture()
        {
            SavedFiles.reset();
            g_captureRunning = false;
        }
        RunningCapture(const RunningCapture&) = delete;
        RunningCapture& operator=(const RunningCapture&) = delete;
    };

    // "qzwd_" + the two-digit year, month, day, hour and minute + the three random digits of a
    // time-stamp name.
    std::string CaptureFolderName()
    {
        std::string name = mapping::MakeTimeStampName();
        if (name.size() < 20)
            name.append(20 - name.size(), '0');
        return std::string(kCaptureFolderPrefix) + name.substr(2, 10) + name.substr(17, 3);
    }

    // The page document: the document of the topmost element above the body.
    ObjectPtr PageDocument(const ObjectPtr& document)
    {
        auto html = As<HtmlDocument>(document);
        auto element = As<HtmlElement>(html->Body());
        if (!element)
            throw EngineError("The document has no body element");
        while (auto parent = As<HtmlElement>(element->ParentElement()))
            element = parent;
        ObjectPtr page = element->Document();
        if (!As<HtmlDocument>(page))
            throw EngineError("The element has no document");
        return page;
    }

} // namespace

std::string ClaimCaptureFolder(const std::string& saveDir)
{
    // The save folder is taken exactly as given; its own missing levels are made, nothing beside it.
    if (int error = mapping::MakeFolders(saveDir))
        RecordFailure(saveDir, error);
    // A name is ours only once our own mkdir made its folder: a folder that exists, made by another
    // run a moment ago, sends us on to the next draw.
    std::string folder;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
        folder = CaptureFolderName();
        if (::mkdir((saveDir + folder).c_str(), 0777) == 0)
            return folder;
        if (errno != EEXIST) {
            RecordFailure(saveDir + folder, errno);
            return folder;
        }
    }
    return folder;
}

bool CaptureRunning()
{
    return g_captureRunning;
}

bool CapturePage(PageEngine& browser)
{
    // A capture that starts inside a running one would take its saved-files list away.
    if (g_captureRunning)
        return false;
    RunningCapture running;
    LastCapture().Clear();
    BeginStylesheetResources();

    // 1.-2. No document, no capture.
    ObjectPtr document = browser.Document();
    if (!document)
        return false;

    // 3. The page document.
    ObjectPtr page = PageDocument(document);

    // 4. The saved-files list and the page's address record; a fresh record of what is written.
    SavedFiles = std::make_unique<SavedFileList>();
    mapping::AddressRecord record;

    // 5. The engine's own page for an address it could not reach.
    std::string url = As<HtmlDocument>(page)->Url();
    if (url.find(kErrorPageMarker) != std::string::npos) {
        AddResultLine(std::string(kPageNotFound));
        SetStatusText(" " + std::string(kPageNotFound));
        return false;
    }

    // 6. The page's address.
    mapping::SplitAddress(As<HtmlDocument>(page)->Url(), record);

    // 7. The save folder ends with a separator.
    //    Only "/" separates here: a "\\" at the end is part of the folder's Linux name, and the
    //    capture goes inside that folder, never beside it.
    if (!SaveDir.empty() && SaveDir.back() != mapping::kPathSeparator)
        SaveDir += mapping::kPathSeparator;

    // 8. A fresh capture folder, claimed by making it.
    CaptureFolder = ClaimCaptureFolder(SaveDir);

    // 9. The page's folder; a level that cannot be made is reported by the document save.
    mapping::MakeFolders(mapping::TargetFolder(SaveDir, CaptureFolder, mapping::PathRecord(url)));

    // 10. The page, its resources and its frames.
    SaveDocument(page, DocumentPass::Document);
    WriteOfflineCopyOfCapture();
    return true;
}

} // namespace pagestow::capture
