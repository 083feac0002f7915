#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "capture/FileWriting.h"
#include "capture/StylesheetResources.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <typeinfo>
#include <vector>

namespace pagestow::capture {
namespace {
    using namespace engine;

    // The name of a type as its own code spells it, without namespaces: "EngineError".
    std::string ShortTypeName(const char* mangled)
    {
        int status = 0;
        char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        std::string name = (status == 0 && demangled) ? demangled : mangled;
        std::free(demangled);
        // Cut at the last "::" outside template arguments.
        size_t cut = 0;
        int depth = 0;
        for (size_t i = 0; i + 1 < name.size(); ++i) {
            if (name[i] == '<')
                ++depth;
            else if (name[i] == '>')
                --depth;
            else if (depth == 0 && name[i] == ':' && name[i + 1] == ':')
                cut = i + 2;
        }
        return name.substr(cut);
    }

    std::string FileError(const char* what, const std::string& file, int error)
    {
        return std::string(what) + " \"" + file + "\". " + std::strerror(error);
    }

    // The addresses of the documents being saved, outermost first: the last is the referrer of
    // what the walk finds and of the frames' documents.
    std::vector<std::string> g_openDocuments;

    class OpenDocument {
    public:
        explicit OpenDocument(std::string url) { g_openDocuments.push_back(std::move(url)); }
        ~OpenDocument() { g_openDocuments.pop_back(); }
        OpenDocument(const OpenDocument&) = delete;
        OpenDocument& operator=(const OpenDocument&) = delete;
    };

    DocumentAddressKind AddressKindOf(const ObjectPtr& document)
    {
        return Supports<DocumentOriginInfo>(document) ? As<DocumentOriginInfo>(document)->AddressKind()
                                                      : DocumentAddressKind::Own;
    }

    // Steps 5 to 8 for a document with an address of its own: its folder, its file, written whole,
    // and the report. A document never replaces a resource the capture copied.
    void WriteDocument(const ObjectPtr& document, const std::string& url)
    {
        // 5. Its folder, with every missing level, and 6. its file: its own name, or index.htm.
        std::string file = mapping::DocumentFile(SaveDir, CaptureFolder, url);
        int folderError = MakeCaptureFolders(file.substr(0, file.rfind(mapping::kPathSeparator)));
        if (SavedFiles && SavedFiles->Contains(file))
            return;

        // 7. The engine's serialisation, written whole; a failed serialisation is not examined.
        std::string stream;
        SaveDocumentToStream(document, stream);
        WriteOutcome outcome
            = folderError ? WriteOutcome { folderError, false } : WriteWholeFile(file, stream);
        if (outcome.error) {
            RecordFailure(file, outcome.error);
            throw FileCreateError(
                FileError(outcome.created ? "Cannot write file" : "Cannot create file", file, outcome.error));
        }
        if (SavedFiles)
            SavedFiles->AddDocument(file);
        std::string referrer = g_openDocuments.size() > 1 ? g_openDocuments[g_openDocuments.size() - 2] : "";
        LastCapture().saved.push_back({ SavedEntry::Kind::Document, url, referrer, file, stream.size() });

        // 8. Report.
        std::string report = "网页文件“" + file + "”保存完成。";
        AddResultLine(report);
        SetStatusText(" " + report);
    }

    std::shared_ptr<FramesCollection> FramesOf(const HtmlDocument& document)
    {
        auto frames = As<FramesCollection>(document.Frames());
        if (!frames)
            throw EngineError("The document has no frames collection");
        return frames;
    }

    // Document pass, steps 4 to 10.
    void SaveOneDocument(const ObjectPtr& document)
    {
        auto html = As<HtmlDocument>(document);

        // 4. The document's own address.
        std::string url = html->Url();
        OpenDocument open(url);
        mapping::AddressRecord record;
        mapping::SplitAddress(url, record);

        // 5.-8. Only a document loaded from an address of its own is a file of the capture; one made
        //       in place (about:blank, srcdoc, written by script) or whose load failed is not.
        if (AddressKindOf(document) == DocumentAddressKind::Own)
            WriteDocument(document, url);

        // 9. Its resources, resolved against its own address.
        SaveDocumentResources(document, record);
        if (Options().offlineCopy) {
            std::string serialization;
            SaveDocumentToStream(document, serialization);
            SaveStylesheetResources(url, serialization);
        }

        // 10. Its frames.
        if (FramesOf(*html)->Length() > 0)
            SaveDocument(document, DocumentPass::FramesOnly);
    }

    // Frame pass: the document of every frame, in index order.
    void SaveFrameDocuments(const ObjectPtr& document)
    {
        auto html = As<HtmlDocument>(document);
        std::int32_t length = FramesOf(*html)->Length();
        for (std::int32_t index = 0; index < length; ++index) {
            PumpMessages();
            ObjectPtr frame = FramesOf(*html)->Item(index);
            SaveDocument(GetFrameDocument(frame), DocumentPass::Document);
        }
    }

} // namespace

bool SaveDocument(const ObjectPtr& document, DocumentPass pass)
{
    if (!document)
        return true;
    // One guard per pass: an error ends the rest of this pass and is shown, and the caller's loop
    // goes on. The frame pass is the document pass's last step, so guarding it here shows the same
    // as letting its error reach the document pass.
    try {
        if (pass == DocumentPass::Document)
            SaveOneDocument(document);
        else
            SaveFrameDocuments(document);
    } catch (...) {
        ShowMessage(DescribeError(std::current_exception()));
    }
    return true;
}

std::int32_t SaveDocumentToStream(const ObjectPtr& document, std::string& stream)
{
    if (!document)
        return 1;
    return As<PersistStream>(document)->Save(stream, true);
}

ObjectPtr GetFrameDocument(const ObjectPtr& frame)
{
    // 1.-2. Only a window has a document to show.
    if (!frame || !Supports<HtmlWindow>(frame))
        return nullptr;
    // 3. Always through the window's browser service and the browser's document.
    try {
        ObjectPtr browser = GetWindowBrowser(frame);
        if (!browser)
            return nullptr;
        ObjectPtr document = As<WebBrowser>(browser)->Document();
        return As<HtmlDocument>(document) ? document : nullptr;
    } catch (...) {
        return nullptr;
    }
}

ObjectPtr GetWindowBrowser(const ObjectPtr& window)
{
    if (!window)
        return nullptr;
    return As<ServiceProvider>(window)->QueryService(ServiceId::WebBrowserApp);
}

std::string DescribeError(const std::exception& error)
{
    return ShortTypeName(typeid(error).name()) + ": " + error.what();
}

std::string DescribeError(std::exception_ptr error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return DescribeError(e);
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        return (type ? ShortTypeName(type->name()) : std::string("unknown")) + ": ";
    }
}

} // namespace pagestow::capture
