// The single file of a capture: the page as one HTML file that opens anywhere with the network off.

#include "capture/Capture.h"
#include "offline/SingleFile.h"

namespace pagestow::capture {

void PageCapture::WriteSingleFileOfCapture()
{
    m_result.singleFile.clear();
    m_result.singleFileBytes = 0;
    m_result.singleFilePartsBytes = 0;
    if (!m_settings.singleFile)
        return;
    std::vector<offline::CapturedFile> files;
    for (const SavedEntry& entry : m_result.saved) {
        offline::CapturedFile file;
        file.address = entry.address;
        file.path = entry.path;
        if (entry.kind == SavedEntry::Kind::Document)
            file.role = offline::CapturedFile::Role::Document;
        else if (entry.kind == SavedEntry::Kind::Stylesheet)
            file.role = offline::CapturedFile::Role::Stylesheet;
        files.push_back(std::move(file));
    }
    offline::SingleFileResult written = offline::WriteSingleFile(SaveDir + CaptureFolder, files,
        m_settings.KeepsScripts() ? offline::CopyScripts::Keep : offline::CopyScripts::Remove,
        [this] { StopWhenInterrupted(); });
    for (const auto& failure : written.failures)
        m_result.failures.push_back({ failure.path.string(), failure.reason });
    m_result.singleFile = written.file.string();
    m_result.singleFileBytes = written.bytes;
    m_result.singleFilePartsBytes = written.partsBytes;
}

} // namespace pagestow::capture
