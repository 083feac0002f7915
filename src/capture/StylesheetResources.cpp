#include "capture/StylesheetResources.h"

#include "capture/Capture.h"
#include "capture/FileWriting.h"
#include "engine/EngineCache.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"
#include "offline/CssReferences.h"
#include "offline/OfflineCopy.h"
#include "offline/OfflineHtml.h"
#include "offline/OfflineUrl.h"
#include "url/Canonical.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace pagestow::capture {
namespace {

    // Bounds for hostile stylesheets: how many stylesheets one capture reads, and how many addresses
    // in stylesheets it looks up. Import loops end because each stylesheet is read once.
    constexpr size_t kMaxStylesheets = 4096;
    constexpr size_t kMaxReferences = 200'000;

    constexpr std::string_view kCopyReport = "保存离线副本：";
    constexpr std::string_view kOpenCopyLine = "离线浏览请打开：";

    struct CssFileKind {
        SavedEntry::Kind kind;
        std::string_view defaultName;
        std::string_view defaultExtension;
        std::string_view reportText;
    };

    CssFileKind KindOf(offline::CssReferenceKind kind)
    {
        switch (kind) {
        case offline::CssReferenceKind::Import:
            return { SavedEntry::Kind::Stylesheet, "/css.css", ".css", "保存CSS文件：" };
        case offline::CssReferenceKind::Font:
            return { SavedEntry::Kind::Other, "/temp.woff", ".woff", "保存字体文件：" };
        case offline::CssReferenceKind::Image:
            break;
        }
        return { SavedEntry::Kind::Image, "/temp.jpg", ".jpg", "保存图片文件：" };
    }

    bool ReadWhole(const std::string& path, std::string& bytes)
    {
        std::ifstream stream(path, std::ios::binary);
        if (!stream)
            return false;
        std::ostringstream buffer;
        buffer << stream.rdbuf();
        bytes = std::move(buffer).str();
        return !stream.bad();
    }

} // namespace

namespace {

    // What the offline copy writes for saved files: a copy of each document and of each stylesheet
    // among stylesheets (canonical addresses), pointers at the rest.
    std::vector<offline::CapturedFile> OfflineCopyFiles(
    const std::vector<SavedEntry>& saved, const std::vector<std::string>& stylesheets)
{
    std::set<std::string> read(stylesheets.begin(), stylesheets.end());
    std::vector<offline::CapturedFile> files;
    for (const SavedEntry& entry : saved) {
        offline::CapturedFile file;
        file.address = entry.address;
        file.path = entry.path;
        if (entry.kind == SavedEntry::Kind::Document)
            file.role = offline::CapturedFile::Role::Document;
        else if (entry.kind == SavedEntry::Kind::Stylesheet && read.count(url::Canonicalize(entry.address)) != 0)
            file.role = offline::CapturedFile::Role::Stylesheet;
        files.push_back(std::move(file));
    }
    return files;
}

} // namespace

// What the offline copy has read and looked up in one capture.
struct PageCapture::OfflineState {
    // Stylesheets read in this capture (canonical addresses), and those found in the cache.
    std::set<std::string> read;
    std::set<std::string> stylesheets;
    // Addresses already looked up for a stylesheet reference.
    std::set<std::string> handled;
    size_t references = 0;

    // Copies the cached file of address into the capture as the element walk does (each local file
    // once, never over a document, reported only once complete), with its kind's names and report.
    static void SaveCssFile(PageCapture& capture, offline::CssReferenceKind referenceKind,
        const std::string& address, const std::string& referrer)
    {
        engine::CachedBody body;
        if (!capture.FindCached(address, body))
            return;
        CssFileKind kind = KindOf(referenceKind);
        mapping::AddressRecord resource = mapping::PathRecord(address);
        std::string folder = mapping::TargetFolder(capture.SaveDir, capture.CaptureFolder, resource);
        std::string target = mapping::LocalTargetPath(
            folder, resource.Value("filename"), kind.defaultName, kind.defaultExtension);
        if (capture.SavedFiles.Contains(target) || capture.SavedFiles.IsDocument(target))
            return;
        if (capture.EnterEarlierFile({ kind.kind, address, referrer, target, 0 }))
            return;
        std::uint64_t bytes = 0;
        int folderError = capture.MakeCaptureFolders(folder);
        int error = folderError
            ? folderError
            : CopyStoredFile(body.file.string(), body.size, target, bytes, capture.Settings().copies);
        capture.EnterCopy({ kind.kind, address, referrer, target, bytes }, kind.reportText, error);
    }

    // Saves what one stylesheet's text loads, read against baseUrl; imported stylesheets go to pending.
    void SaveReferences(PageCapture& capture, std::string_view css, offline::CssSource source,
        const std::string& baseUrl, std::deque<std::string>& pending)
    {
        offline::ReferenceResolver resolver(baseUrl);
        offline::ScanCssReferences(css, source, [&](const offline::CssReference& reference) {
            if (references >= kMaxReferences)
                return;
            ++references;
            const auto& resolved = resolver.Resolve(reference.value);
            if (!resolved)
                return;
            if (reference.kind == offline::CssReferenceKind::Import)
                pending.push_back(resolved->canonical);
            if (!handled.insert(resolved->canonical).second)
                return;
            capture.PumpMessages();
            SaveCssFile(capture, reference.kind, resolved->canonical, baseUrl);
        });
    }

    // Reads every pending stylesheet from the cache, once each, breadth first.
    void SaveStylesheets(PageCapture& capture, std::deque<std::string> pending)
    {
        while (!pending.empty() && read.size() < kMaxStylesheets) {
            std::string address = std::move(pending.front());
            pending.pop_front();
            if (!read.insert(address).second)
                continue;
            engine::CachedBody body;
            std::string css;
            if (!capture.FindCached(address, body) || !ReadWhole(body.file.string(), css))
                continue;
            stylesheets.insert(address);
            SaveReferences(capture, css, offline::CssSource::Stylesheet, address, pending);
        }
    }
};

void PageCapture::SaveStylesheetResources(const std::string& documentUrl, const std::string& serialization)
{
    if (!m_settings.SavesStylesheetResources())
        return;
    if (!m_offline)
        m_offline = std::make_shared<OfflineState>();
    offline::DocumentStyles styles = offline::ReadDocumentStyles(serialization, documentUrl);
    std::deque<std::string> pending(styles.stylesheets.begin(), styles.stylesheets.end());
    for (const auto& [css, source] : styles.inlineCss)
        m_offline->SaveReferences(*this, css, source, styles.baseUrl, pending);
    m_offline->SaveStylesheets(*this, std::move(pending));
}

void PageCapture::WriteOfflineCopyOfCapture()
{
    m_result.offlineCopy.clear();
    if (m_offline)
        m_result.stylesheets.assign(m_offline->stylesheets.begin(), m_offline->stylesheets.end());
    if (!m_settings.offlineCopy)
        return;
    std::vector<offline::CapturedFile> files = OfflineCopyFiles(m_result.saved, m_result.stylesheets);
    offline::OfflineCopyResult written
        = offline::WriteOfflineCopy(SaveDir + CaptureFolder, files, [this] { StopWhenInterrupted(); },
            m_settings.KeepsScripts() ? offline::CopyScripts::Keep : offline::CopyScripts::Remove);
    for (const auto& copy : written.copies) {
        std::string report = OfflineCopyReportLine(copy.string());
        AddResultLine(report);
        SetStatusText(report);
    }
    for (const auto& failure : written.failures)
        m_result.failures.push_back({ failure.path.string(), failure.reason });
    m_result.offlineCopy = written.page.string();
}

SharedOfflineCopy WriteSharedOfflineCopy(const std::string& capturePath, const std::vector<SavedEntry>& saved,
    const std::vector<std::string>& stylesheets, const std::vector<std::pair<std::string, std::string>>& redirects,
    bool keepScripts, const std::function<void()>& beforeEachCopy)
{
    std::vector<offline::CapturedFile> files = OfflineCopyFiles(saved, stylesheets);
    std::map<std::string, std::vector<std::string>> aliases;
    for (const auto& [requested, pageFile] : redirects)
        aliases[pageFile].push_back(requested);
    for (offline::CapturedFile& file : files) {
        if (auto found = aliases.find(file.path.string()); found != aliases.end())
            file.otherAddresses = std::move(found->second);
    }
    offline::OfflineCopyResult written = offline::WriteOfflineCopy(capturePath, files, beforeEachCopy,
        keepScripts ? offline::CopyScripts::Keep : offline::CopyScripts::Remove);
    SharedOfflineCopy result;
    for (const auto& copy : written.copies)
        result.copies.push_back(copy.string());
    result.page = written.page.string();
    for (const auto& failure : written.failures)
        result.failures.push_back({ failure.path.string(), failure.reason });
    return result;
}

std::string OfflineCopyReportLine(const std::string& copy)
{
    return std::string(kCopyReport) + copy;
}

std::string OfflineCopyLine(const std::string& file)
{
    return std::string(kOpenCopyLine) + file;
}

} // namespace pagestow::capture
