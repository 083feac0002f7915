#include "capture/Capture.h"
#include "capture/CaptureState.h"
#include "capture/StylesheetResources.h"
#include "mapping/FileUtils.h"
#include "mapping/LocalPath.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fcntl.h>
#include <typeinfo>
#include <unistd.h>

namespace pagestow::capture {
namespace {
    using namespace engine;

    constexpr std::string_view kDefaultDocumentName = "/index.htm";

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

    // Writes bytes to file, creating or replacing it. The bytes go to a fresh file beside it that
    // takes the file's name only once it is complete, so a failure leaves no half-written file.
    void WriteDocumentFile(const std::string& file, const std::string& bytes)
    {
        static std::atomic<unsigned> counter { 0 };
        size_t slash = file.find_last_of('/');
        std::string folder = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
        std::string partial
            = folder + ".pagestow-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part";

        int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0)
            throw FileCreateError(FileError("Cannot create file", file, errno));
        size_t written = 0;
        while (written < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                int error = n < 0 ? errno : ENOSPC;
                ::close(fd);
                ::unlink(partial.c_str());
                throw FileCreateError(FileError("Cannot write file", file, error));
            }
            written += size_t(n);
        }
        if (::close(fd) != 0) {
            int error = errno;
            ::unlink(partial.c_str());
            throw FileCreateError(FileError("Cannot write file", file, error));
        }
        if (::rename(partial.c_str(), file.c_str()) != 0) {
            int error = errno;
            ::unlink(partial.c_str());
            throw FileCreateError(FileError("Cannot create file", file, error));
        }
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
        mapping::AddressRecord record;
        mapping::SplitAddress(html->Url(), record);

        // 5. Its folder, with every missing level.
        std::string folder = mapping::TargetFolder(SaveDir, CaptureFolder, record);
        mapping::ForceDirectoryPath(folder);

        // 6. Its file: its own name, or index.htm.
        std::string fileName = mapping::SafeFileName(record.Value("filename"));
        std::string file = fileName.empty() ? folder + std::string(kDefaultDocumentName)
                                            : folder + mapping::kPathSeparator + fileName;

        // 7. The engine's serialisation, written whole; a failed serialisation is not examined.
        std::string stream;
        SaveDocumentToStream(document, stream);
        WriteDocumentFile(file, stream);

        // 8. Report.
        std::string report = "网页文件“" + file + "”保存完成。";
        AddResultLine(report);
        SetStatusText(" " + report);
        NoteSavedFile(SavedEntry::Kind::Document, html->Url(), {}, file);

        // 9. Its resources, resolved against its own address.
        SaveDocumentResources(document, record);
        SaveStylesheetResources(html->Url(), stream);

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
