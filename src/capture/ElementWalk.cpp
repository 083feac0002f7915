#include "base/Ascii.h"
#include "capture/Capture.h"
#include "capture/FileWriting.h"
#include "engine/EngineCache.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"
#include "url/Address.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace pagestow::capture {
using namespace engine;

namespace {

    // One row of what the walk harvests: the element, its address attributes, and how the file is
    // named and reported.
    struct HarvestRow {
        std::string_view tag;
        std::array<std::string_view, 2> attributes;
        std::string_view defaultName;
        std::string_view defaultExtension;
        std::string_view reportText;
        bool logsRelative;
    };

    constexpr HarvestRow kHarvestTable[] = {
        { "link", { "href", {} }, "/css.css", ".css", "保存CSS文件：", true },
        { "script", { "src", {} }, "/temp.js", ".js", "保存JS文件：", false },
        { "input", { "src", {} }, "/temp.jpg", ".jpg", "保存图片文件：", false },
        { "body", { "background", {} }, "/temp.jpg", ".jpg", "保存图片文件：", false },
        { "img", { "src", "real_src" }, "/temp.jpg", ".jpg", "保存图片文件：", false },
    };

    constexpr std::string_view kCommentTag = "!";
    constexpr std::string_view kRelativeLinkLine = "link:相对地址";

    SavedEntry::Kind KindOf(const HarvestRow& row)
    {
        if (row.tag == "link")
            return SavedEntry::Kind::Stylesheet;
        if (row.tag == "script")
            return SavedEntry::Kind::Script;
        return SavedEntry::Kind::Image;
    }

} // namespace

// The walk over one document's elements. Its copies, when it has them, are made beside the walk
// and reported in the walk's order; a step run on its own makes its copies in place.
class ElementWalk {
public:
    ElementWalk(PageCapture& capture, const SnapshotDocument& document, const mapping::AddressRecord& record,
        BackgroundCopies* copies)
        : m_capture(capture)
        , m_document(document)
        , m_record(record)
        , m_copies(copies)
    {
    }

    // Finds the element at sourceIndex and harvests it; a comment element ends the step.
    void RunStep(std::int32_t sourceIndex)
    {
        // An element's source index is its position in the snapshot's list.
        if (sourceIndex < 0 || size_t(sourceIndex) >= m_document.elements.size())
            return;
        m_capture.PumpMessages();
        const SnapshotElement& element = m_document.elements[size_t(sourceIndex)];
        std::string tag = base::LowerAscii(element.tagName);
        if (tag == kCommentTag)
            return;
        for (const HarvestRow& row : kHarvestTable) {
            if (tag == row.tag) {
                SaveAttributeResources(element, row);
                break;
            }
        }
    }

private:
    // Whether the engine's cache holds a body for address; body receives it.
    bool InCache(const std::string& address, CachedBody& body) const
    {
        return m_capture.FindCached(address, body);
    }

    // The address to look up for an attribute value, or "" when the cache holds nothing for it.
    // body receives the cached body. The address the resolution rule gives is tried first; when
    // the cache lacks it, the address the engine itself resolved the attribute to and loaded (its
    // base element, an extensionless page address, a query-only value, a bare file name, a query in
    // the document's character set).
    std::string FindCachedAddress(
        const HarvestRow& row, const SnapshotAttribute& attribute, std::string_view value, CachedBody& body)
    {
        std::string_view trimmed = mapping::TrimControls(value);
        bool relative = mapping::IsRelativeAddress(trimmed);
        if (relative && row.logsRelative) {
            // After the reports of the copies before it.
            if (m_copies)
                m_copies->Finish();
            m_capture.AddLogLine(std::string(kRelativeLinkLine));
        }
        // A combination past the path limit leaves only the site's base address, which names the
        // root document and not this resource.
        bool combines = !mapping::CombinationFails(m_record, trimmed);
        std::string address;
        if (!relative || combines) {
            address = mapping::ElementAddress(m_record, trimmed);
            if (InCache(address, body))
                return address;
        }
        const std::string& engineAddress = attribute.resolved;
        if (!engineAddress.empty()) {
            if (engineAddress != address && InCache(engineAddress, body))
                return engineAddress;
            return {};
        }
        // An engine that gives no resolution of its own: a bare file name ("logo.gif"), which the
        // address rule calls absolute, is looked up beside the document, where a browser loads it.
        if (!relative && combines && url::SchemeOf(trimmed).empty()) {
            address = mapping::ResolveAddress(m_record, trimmed);
            if (InCache(address, body))
                return address;
        }
        return {};
    }

    // Steps 7 to 13 for an address found in the cache: the target path from the address that was
    // found, each local file once, never over a document of the capture, and reported only once the
    // file is complete.
    void SaveFoundResource(const std::string& address, const CachedBody& body, const HarvestRow& row)
    {
        // 7.-9. The target folder and file under the capture.
        mapping::AddressRecord resource = mapping::PathRecord(address);
        std::string folder = mapping::TargetFolder(m_capture.SaveDir, m_capture.CaptureFolder, resource);
        int folderError = m_capture.MakeCaptureFolders(folder);
        std::string target = mapping::LocalTargetPath(
            folder, resource.Value("filename"), row.defaultName, row.defaultExtension);

        // 10. Each local file once per capture, and never in place of a saved document. A copy to the
        //     same target still under way decides first.
        if (m_copies && m_copies->Holds(target))
            m_copies->Finish();
        if (m_capture.SavedFiles.Contains(target) || m_capture.SavedFiles.IsDocument(target))
            return;
        if (m_capture.EnterEarlierFile({ KindOf(row), address, m_record.Value("url"), target, 0 }))
            return;

        // 12. The copy is complete under its own name, or it is not there and not claimed; 11. and 13.
        //     follow once it is, in the order of the walk.
        auto saved = [&capture = m_capture, kind = KindOf(row), address, url = m_record.Value("url"), target,
                         reportText = row.reportText](int error, std::uint64_t bytes) {
            // 11. and 13.
            capture.EnterCopy({ kind, address, url, target, bytes }, reportText, error);
        };
        if (m_copies && !folderError) {
            m_copies->Report();
            m_copies->Submit(body.file.string(), body.size, std::move(target), std::move(saved));
            return;
        }
        if (m_copies)
            m_copies->Finish();
        std::uint64_t bytes = 0;
        int error = folderError
            ? folderError
            : CopyStoredFile(body.file.string(), body.size, target, bytes, m_capture.Settings().copies);
        saved(error, bytes);
    }

    void SaveAttributeResources(const SnapshotElement& element, const HarvestRow& row)
    {
        // 1. The attributes, in the element's own order.
        for (const SnapshotAttribute& attribute : element.attributes) {
            m_capture.PumpMessages();
            // 2. Name and value; 3. an empty value is skipped.
            const std::string& value = attribute.value;
            if (value.empty())
                continue;
            // 4. Only the row's own attributes.
            std::string name = base::LowerAscii(attribute.name);
            bool wanted = !name.empty()
                && std::find(row.attributes.begin(), row.attributes.end(), name) != row.attributes.end();
            if (!wanted)
                continue;
            // A value of blanks only is no address at all.
            if (mapping::TrimControls(value).empty())
                continue;

            // 5.-6. The absolute address, found in the engine's cache.
            CachedBody body;
            std::string address = FindCachedAddress(row, attribute, value, body);
            if (!address.empty())
                SaveFoundResource(address, body, row);
        }

        // The srcset or <picture> candidate the engine loaded for an image comes with the image's row,
        // after its own attributes.
        if (row.tag == "img") {
            const std::string& candidate = element.currentSource;
            CachedBody body;
            if (!candidate.empty() && InCache(candidate, body))
                SaveFoundResource(candidate, body, row);
        }
    }

    PageCapture& m_capture;
    const SnapshotDocument& m_document;
    const mapping::AddressRecord& m_record;
    BackgroundCopies* m_copies;
};

void PageCapture::SaveDocumentResources(
    const SnapshotDocument& document, const mapping::AddressRecord& record)
{
    // The resources' copies are made beside the walk and reported in its order; all are made and
    // reported before the walk ends.
    BackgroundCopies copies(m_settings.copies);
    ElementWalk walk(*this, document, record, &copies);

    // 1.-2. The step for every element in source order, the list's length read once.
    std::int32_t length = std::int32_t(document.elements.size());
    try {
        for (std::int32_t position = 0; position < length; ++position) {
            PumpMessages();
            walk.RunStep(position);
        }
        copies.Finish();
    } catch (const CaptureInterrupted&) {
        // The copies not made yet are not waited for: the capture folder goes with the capture.
        copies.Abandon();
        throw;
    }
}

void PageCapture::SaveElementResources(
    const SnapshotDocument& document, const mapping::AddressRecord& record, std::int32_t sourceIndex)
{
    ElementWalk walk(*this, document, record, nullptr);
    walk.RunStep(sourceIndex);
}

} // namespace pagestow::capture
