#pragma once

#include "capture/CaptureRecord.h"

#include <string>

namespace pagestow::capture {

// Forgets what the previous capture's stylesheets loaded; called when a capture starts.
void BeginStylesheetResources();

// With the offline copy on: saves from the engine cache what the document's stylesheets loaded
// (@import, url() and image-set() in linked stylesheets, <style> elements and style attributes) and
// reports each file. serialization is the document as it was written.
void SaveStylesheetResources(const std::string& documentUrl, const std::string& serialization);

// With the offline copy on: writes the copy of every saved document and stylesheet, reports each, and
// remembers the page's copy as the file to open.
void WriteOfflineCopyOfCapture();

// The offline copy of the last capture's page ("" when there is none).
const std::string& OfflineCopyFile();

// The result line that names the offline copy to open, for the front ends to add last.
std::string OfflineCopyLine();

} // namespace pagestow::capture
