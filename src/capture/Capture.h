#pragma once

#include "engine/DocumentModel.h"
#include "engine/PageEngine.h"
#include "mapping/AddressRecord.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace pagestow::capture {

// A document file that could not be created or written; no part of it is left behind.
class FileCreateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Which pass SaveDocument runs.
enum class DocumentPass { Document, FramesOnly };

// Captures the page the engine has finished loading. False when the engine has no document, shows
// its built-in error page, or a capture is already running (that capture is left alone).
bool CapturePage(engine::PageEngine& browser);

// Makes the save folder's missing levels, then claims a fresh capture folder in it by creating it:
// its name ("qzwd_" and 13 digits). Two runs never get the same folder.
std::string ClaimCaptureFolder(const std::string& saveDir);

// True while CapturePage runs.
bool CaptureRunning();

// Writes a document (or, for FramesOnly, the documents of its frames) and walks its resources.
// Reports its own errors; always true.
bool SaveDocument(const engine::ObjectPtr& document, DocumentPass pass);

// Appends the document's serialisation to stream: 1 and nothing written for a null document,
// otherwise the status of the document's Save.
std::int32_t SaveDocumentToStream(const engine::ObjectPtr& document, std::string& stream);

// The document shown in a frame window, or null when it cannot be reached. Never raises.
engine::ObjectPtr GetFrameDocument(const engine::ObjectPtr& frame);

// The browser that shows a frame window, or null.
engine::ObjectPtr GetWindowBrowser(const engine::ObjectPtr& window);

// Copies the cached resources of a document's elements into the capture.
void SaveDocumentResources(const engine::ObjectPtr& document, const mapping::AddressRecord& record);

// Handles the element at sourceIndex of the document (see SaveDocumentResources).
void SaveElementResources(
    const engine::ObjectPtr& document, const mapping::AddressRecord& record, std::int32_t sourceIndex);

// "type: message" for an error that reached a report.
std::string DescribeError(const std::exception& error);
std::string DescribeError(std::exception_ptr error);

} // namespace pagestow::capture
