// The MHTML file of a capture: the page and what it loaded as one multipart/related message.

#include "capture/MhtmlOutput.h"

#include "capture/Capture.h"
#include "offline/Mhtml.h"
#include "url/Canonical.h"

#include <ctime>
#include <set>

namespace pagestow::capture {
namespace {

    constexpr std::string_view kMhtmlLine = "MHTML文件：";

    offline::MhtmlPart::Role RoleOf(SavedEntry::Kind kind)
    {
        switch (kind) {
        case SavedEntry::Kind::Document:
            return offline::MhtmlPart::Role::Document;
        case SavedEntry::Kind::Stylesheet:
            return offline::MhtmlPart::Role::Stylesheet;
        case SavedEntry::Kind::Script:
            return offline::MhtmlPart::Role::Script;
        case SavedEntry::Kind::Image:
        case SavedEntry::Kind::Other:
            break;
        }
        return offline::MhtmlPart::Role::Other;
    }

} // namespace

void PageCapture::WriteMhtmlOfCapture()
{
    m_result.mhtml.clear();
    if (!m_settings.mhtml)
        return;
    std::string pageFile = m_result.PageFile();
    if (pageFile.empty())
        return;
    // The page first, then every other file once by its address: a browser finds a part by the
    // resolved address a document names it by, which is the address the capture found it under.
    std::vector<offline::MhtmlPart> parts;
    std::set<std::string> addresses;
    for (const SavedEntry& entry : m_result.saved) {
        if (entry.kind == SavedEntry::Kind::Document && entry.referrer.empty() && entry.path == pageFile) {
            parts.insert(parts.begin(), { offline::MhtmlPart::Role::Document, entry.address, entry.path });
            addresses.insert(url::Canonicalize(entry.address));
            break;
        }
    }
    for (const SavedEntry& entry : m_result.saved) {
        if (entry.path == pageFile || !addresses.insert(url::Canonicalize(entry.address)).second)
            continue;
        parts.push_back({ RoleOf(entry.kind), entry.address, entry.path });
    }
    std::filesystem::path target = offline::MhtmlPath(pageFile);
    offline::MhtmlResult written = offline::WriteMhtml(
        target, parts, offline::DocumentTitle(pageFile), std::time(nullptr), [this] { PumpMessages(); });
    if (!written.failure.empty()) {
        m_result.failures.push_back({ target.string(), written.failure });
        return;
    }
    m_result.mhtml = written.file.string();
}

std::string MhtmlLine(const std::string& file)
{
    return std::string(kMhtmlLine) + file;
}

} // namespace pagestow::capture
