#include "capture/Capture.h"
#include "capture/FileWriting.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <typeinfo>
#include <vector>

namespace pagestow::capture {
using namespace engine;

namespace {

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

    // Keeps a document's address on the capture's list of open documents while it is saved.
    class OpenDocument {
    public:
        OpenDocument(std::vector<std::string>& open, std::string url)
            : m_open(open)
        {
            m_open.push_back(std::move(url));
        }
        ~OpenDocument() { m_open.pop_back(); }
        OpenDocument(const OpenDocument&) = delete;
        OpenDocument& operator=(const OpenDocument&) = delete;

    private:
        std::vector<std::string>& m_open;
    };

} // namespace

// Steps 5 to 8 for a document with an address of its own: its folder, its file, written whole, and
// the report. A document never replaces a resource the capture copied.
void PageCapture::WriteDocument(const SnapshotDocument& document, const std::string& url)
{
    // 5. Its folder, with every missing level, and 6. its file: its own name, or index.htm.
    std::string file = mapping::DocumentFile(SaveDir, CaptureFolder, url);
    int folderError = MakeCaptureFolders(file.substr(0, file.rfind(mapping::kPathSeparator)));
    if (SavedFiles.Contains(file))
        return;

    // 7. The engine's serialisation, written whole.
    std::string stream;
    SaveDocumentToStream(&document, stream);
    WriteOutcome outcome = folderError ? WriteOutcome { folderError, false } : WriteWholeFile(file, stream);
    if (outcome.error) {
        RecordFailure(file, outcome.error);
        throw FileCreateError(
            FileError(outcome.created ? "Cannot write file" : "Cannot create file", file, outcome.error));
    }
    SavedFiles.AddDocument(file);
    std::string referrer = m_openDocuments.size() > 1 ? m_openDocuments[m_openDocuments.size() - 2] : "";
    m_result.saved.push_back({ SavedEntry::Kind::Document, url, referrer, file, stream.size() });

    // 8. Report.
    std::string report = "网页文件“" + file + "”保存完成。";
    AddResultLine(report);
    SetStatusText(" " + report);
}

// Document pass, steps 4 to 10.
void PageCapture::SaveOneDocument(const SnapshotDocument& document)
{
    // 4. The document's own address.
    const std::string& url = document.url;
    OpenDocument open(m_openDocuments, url);
    mapping::AddressRecord record;
    mapping::SplitAddress(url, record);

    // 5.-8. Only a document loaded from an address of its own is a file of the capture; one made in
    //       place (about:blank, srcdoc, written by script) or whose load failed is not.
    if (document.origin == DocumentOrigin::Loaded)
        WriteDocument(document, url);

    // 9. Its resources, resolved against its own address.
    SaveDocumentResources(document, record);
    if (m_settings.SavesStylesheetResources())
        SaveStylesheetResources(url, document.serialization);

    // 10. Its frames.
    if (!document.frames.empty())
        SaveDocument(&document, DocumentPass::FramesOnly);
}

// Frame pass: the document of every frame, in index order.
void PageCapture::SaveFrameDocuments(const SnapshotDocument& document)
{
    for (const SnapshotFrame& frame : document.frames) {
        PumpMessages();
        SaveDocument(GetFrameDocument(frame), DocumentPass::Document);
    }
}

bool PageCapture::SaveDocument(const SnapshotDocument* document, DocumentPass pass)
{
    if (!document)
        return true;
    // One guard per pass: an error ends the rest of this pass and is shown, and the caller's loop
    // goes on. The frame pass is the document pass's last step, so guarding it here shows the same
    // as letting its error reach the document pass.
    try {
        if (pass == DocumentPass::Document)
            SaveOneDocument(*document);
        else
            SaveFrameDocuments(*document);
    } catch (const CaptureInterrupted&) {
        throw;
    } catch (...) {
        ShowMessage(DescribeError(std::current_exception()));
    }
    return true;
}

std::int32_t SaveDocumentToStream(const SnapshotDocument* document, std::string& stream)
{
    if (!document)
        return 1;
    stream += document->serialization;
    return 0;
}

const SnapshotDocument* GetFrameDocument(const SnapshotFrame& frame)
{
    return frame.document.get();
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
