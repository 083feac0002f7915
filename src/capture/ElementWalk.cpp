#include "base/Ascii.h"
#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "capture/FileWriting.h"
#include "engine/EngineCache.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"
#include "url/Address.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

namespace pagestow::capture {
namespace {
    using namespace engine;

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

    template <class Role> std::shared_ptr<Role> Required(const ObjectPtr& object, const char* what)
    {
        auto role = As<Role>(object);
        if (!role)
            throw EngineError(std::string("The document model gave no ") + what);
        return role;
    }

    // Where each source index sits in a document's element collection, made once per document so
    // that the step finds its element without scanning the whole collection.
    class ElementIndex {
    public:
        ElementIndex(std::shared_ptr<ElementCollection> all, std::int32_t length)
            : m_all(std::move(all))
        {
            m_sourceIndexes.reserve(size_t(std::max(length, 0)));
            m_positions.reserve(size_t(std::max(length, 0)));
            for (std::int32_t position = 0; position < length; ++position) {
                std::int32_t sourceIndex
                    = Required<HtmlElement>(m_all->Item(position), "element")->SourceIndex();
                m_sourceIndexes.push_back(sourceIndex);
                m_positions.emplace_back(sourceIndex, position);
            }
            std::sort(m_positions.begin(), m_positions.end());
        }

        const ElementCollection& All() const { return *m_all; }
        std::int32_t Length() const { return std::int32_t(m_sourceIndexes.size()); }
        std::int32_t SourceIndexAt(std::int32_t position) const { return m_sourceIndexes[size_t(position)]; }

        // The positions holding sourceIndex, in collection order.
        template <class Visit> void ForEachPosition(std::int32_t sourceIndex, Visit visit) const
        {
            auto first = std::lower_bound(m_positions.begin(), m_positions.end(),
                std::pair<std::int32_t, std::int32_t>(sourceIndex, INT32_MIN));
            for (auto it = first; it != m_positions.end() && it->first == sourceIndex; ++it) {
                if (!visit(it->second))
                    return;
            }
        }

    private:
        std::shared_ptr<ElementCollection> m_all;
        std::vector<std::int32_t> m_sourceIndexes;
        std::vector<std::pair<std::int32_t, std::int32_t>> m_positions;
    };

    // The index of the document whose walk is running; the step uses it when it is asked about
    // that document.
    struct ActiveWalk {
        const Object* document = nullptr;
        const ElementIndex* index = nullptr;
    };
    ActiveWalk g_activeWalk;

    // The copies of the document walk under way, or null when a step runs on its own (its copies are
    // then made in place).
    BackgroundCopies* g_copies = nullptr;

    class CopiesScope {
    public:
        explicit CopiesScope(BackgroundCopies* copies)
            : m_previous(g_copies)
        {
            g_copies = copies;
        }
        ~CopiesScope() { g_copies = m_previous; }
        CopiesScope(const CopiesScope&) = delete;
        CopiesScope& operator=(const CopiesScope&) = delete;

    private:
        BackgroundCopies* m_previous;
    };

    class ActiveWalkScope {
    public:
        ActiveWalkScope(const Object* document, const ElementIndex* index)
            : m_previous(g_activeWalk)
        {
            g_activeWalk = { document, index };
        }
        ~ActiveWalkScope() { g_activeWalk = m_previous; }
        ActiveWalkScope(const ActiveWalkScope&) = delete;
        ActiveWalkScope& operator=(const ActiveWalkScope&) = delete;

    private:
        ActiveWalk m_previous;
    };

    ElementIndex MakeIndex(const ObjectPtr& document)
    {
        auto all = Required<ElementCollection>(
            Required<HtmlDocument>(document, "document")->All(), "element collection");
        std::int32_t length = all->Length();
        return ElementIndex(std::move(all), length);
    }

    // Whether the engine's cache holds a body for address; body receives it.
    bool InCache(const std::string& address, CachedBody& body)
    {
        auto found = FindCachedBody(address);
        if (!found)
            return false;
        body = std::move(*found);
        return true;
    }

    // The address to look up for an attribute value, or "" when the cache holds nothing for it.
    // body receives the cached body. The address the resolution rule gives is tried first; when
    // the cache lacks it, the address the engine itself resolved the attribute to and loaded (its
    // base element, an extensionless page address, a query-only value, a bare file name, a query in
    // the document's character set).
    std::string FindCachedAddress(const mapping::AddressRecord& record, const HarvestRow& row,
        const ObjectPtr& attribute, std::string_view value, CachedBody& body)
    {
        std::string_view trimmed = mapping::TrimControls(value);
        bool relative = mapping::IsRelativeAddress(trimmed);
        if (relative && row.logsRelative) {
            // After the reports of the copies before it.
            if (g_copies)
                g_copies->Finish();
            AddLogLine(std::string(kRelativeLinkLine));
        }
        // A combination past the path limit leaves only the site's base address, which names the
        // root document and not this resource.
        bool combines = !mapping::CombinationFails(record, trimmed);
        std::string address;
        if (!relative || combines) {
            address = mapping::ElementAddress(record, trimmed);
            if (InCache(address, body))
                return address;
        }
        std::string engineAddress
            = Supports<ResolvedAttribute>(attribute) ? As<ResolvedAttribute>(attribute)->EngineAddress() : "";
        if (!engineAddress.empty()) {
            if (engineAddress != address && InCache(engineAddress, body))
                return engineAddress;
            return {};
        }
        // A document model that gives no resolution of its own: a bare file name ("logo.gif"), which
        // the address rule calls absolute, is looked up beside the document, where a browser loads it.
        if (!relative && combines && url::SchemeOf(trimmed).empty()) {
            address = mapping::ResolveAddress(record, trimmed);
            if (InCache(address, body))
                return address;
        }
        return {};
    }

    SavedEntry::Kind KindOf(const HarvestRow& row)
    {
        if (row.tag == "link")
            return SavedEntry::Kind::Stylesheet;
        if (row.tag == "script")
            return SavedEntry::Kind::Script;
        return SavedEntry::Kind::Image;
    }

    // Steps 11 and 13 once a resource's copy has ended: the path is entered once it names a complete
    // file, and reported; a copy that failed is recorded and the path is not claimed.
    void ReportCopy(SavedEntry::Kind kind, const std::string& address, const std::string& url,
        const std::string& target, std::string_view reportText, int error, std::uint64_t bytes)
    {
        if (error) {
            RecordFailure(target, error);
            return;
        }
        if (SavedFiles)
            SavedFiles->Add(target);
        LastCapture().saved.push_back({ kind, address, url, target, bytes });
        std::string report = std::string(reportText) + target;
        AddResultLine(report);
        SetStatusText(report);
    }

    // Steps 7 to 13 for an address found in the cache: the target path from the address that was
    // found, each local file once, never over a document of the capture, and reported only once the
    // file is complete.
    void SaveFoundResource(const std::string& address, const CachedBody& body, const HarvestRow& row,
        const mapping::AddressRecord& record)
    {
        // 7.-9. The target folder and file under the capture.
        mapping::AddressRecord resource = mapping::PathRecord(address);
        std::string folder = mapping::TargetFolder(SaveDir, CaptureFolder, resource);
        int folderError = MakeCaptureFolders(folder);
        std::string target = mapping::LocalTargetPath(
            folder, resource.Value("filename"), row.defaultName, row.defaultExtension);

        // 10. Each local file once per capture, and never in place of a saved document. A copy to the
        //     same target still under way decides first.
        if (g_copies && g_copies->Holds(target))
            g_copies->Finish();
        if (SavedFiles && (SavedFiles->Contains(target) || SavedFiles->IsDocument(target)))
            return;

        // 12. The copy is complete under its own name, or it is not there and not claimed; 11. and 13.
        //     follow once it is, in the order of the walk.
        auto saved = [kind = KindOf(row), address, url = record.Value("url"), target,
                         reportText = row.reportText](int error, std::uint64_t bytes) {
            ReportCopy(kind, address, url, target, reportText, error, bytes);
        };
        if (g_copies && !folderError) {
            g_copies->Report();
            g_copies->Submit(body.file.string(), body.size, std::move(target), std::move(saved));
            return;
        }
        if (g_copies)
            g_copies->Finish();
        std::uint64_t bytes = 0;
        int error = folderError ? folderError : CopyStoredFile(body.file.string(), body.size, target, bytes);
        saved(error, bytes);
    }

    void SaveAttributeResources(
        const ObjectPtr& element, const HarvestRow& row, const mapping::AddressRecord& record)
    {
        // 1. The attribute collection and its length, read once.
        auto attributes = Required<AttributeCollection>(
            Required<DomNode>(element, "node")->Attributes(), "attribute collection");
        std::int32_t length = attributes->Length();

        for (std::int32_t position = 0; position < length; ++position) {
            PumpMessages();
            // 2. Name and value; 3. an empty value is skipped.
            ObjectPtr object = attributes->Item(position);
            auto attribute = Required<DomAttribute>(object, "attribute");
            std::string value = attribute->NodeValue();
            if (value.empty())
                continue;
            // 4. Only the row's own attributes.
            std::string name = base::LowerAscii(attribute->NodeName());
            bool wanted = !name.empty()
                && std::find(row.attributes.begin(), row.attributes.end(), name) != row.attributes.end();
            if (!wanted)
                continue;
            // A value of blanks only is no address at all.
            if (mapping::TrimControls(value).empty())
                continue;

            // 5.-6. The absolute address, found in the engine's cache.
            CachedBody body;
            std::string address = FindCachedAddress(record, row, object, value, body);
            if (!address.empty())
                SaveFoundResource(address, body, row, record);
        }

        // The srcset or <picture> candidate the engine loaded for an image comes with the image's row,
        // after its own attributes.
        if (row.tag == "img" && Supports<ImageSource>(element)) {
            std::string candidate = As<ImageSource>(element)->CurrentSource();
            CachedBody body;
            if (!candidate.empty() && InCache(candidate, body))
                SaveFoundResource(candidate, body, row, record);
        }
    }

    // Finds the element(s) at sourceIndex through the index and harvests them; a comment element
    // ends the step.
    void RunStep(const ElementIndex& index, const mapping::AddressRecord& record, std::int32_t sourceIndex)
    {
        index.ForEachPosition(sourceIndex, [&](std::int32_t position) {
            PumpMessages();
            ObjectPtr object = index.All().Item(position);
            auto element = Required<HtmlElement>(object, "element");
            std::string tag = base::LowerAscii(element->TagName());
            if (tag == kCommentTag)
                return false;
            for (const HarvestRow& row : kHarvestTable) {
                if (tag == row.tag) {
                    SaveAttributeResources(object, row, record);
                    break;
                }
            }
            return true;
        });
    }

} // namespace

void SaveDocumentResources(const ObjectPtr& document, const mapping::AddressRecord& record)
{
    // 1. The element collection and its length, read once; the index of source indexes is made
    //    from them once for the whole document.
    ElementIndex index = MakeIndex(document);
    ActiveWalkScope scope(document.get(), &index);
    // The resources' copies are made beside the walk and reported in its order; all are made and
    // reported before the walk ends.
    BackgroundCopies copies;
    CopiesScope copiesScope(&copies);

    // 2. The step for every element in collection order.
    std::int32_t length = index.Length();
    for (std::int32_t position = 0; position < length; ++position) {
        PumpMessages();
        SaveElementResources(document, record, index.SourceIndexAt(position));
    }
    copies.Finish();
}

void SaveElementResources(
    const ObjectPtr& document, const mapping::AddressRecord& record, std::int32_t sourceIndex)
{
    if (g_activeWalk.index && g_activeWalk.document == document.get()) {
        RunStep(*g_activeWalk.index, record, sourceIndex);
        return;
    }
    // Called on its own: one pass over the collection finds the element(s).
    ElementIndex index = MakeIndex(document);
    RunStep(index, record, sourceIndex);
}

} // namespace pagestow::capture
