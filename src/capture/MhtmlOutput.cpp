// The MHTML file of a capture: the page and what it loaded as one multipart/related message.

#include "capture/MhtmlOutput.h"

#include "capture/Capture.h"
#include "offline/Mhtml.h"
#include "url/Canonical.h"

#include "engine/EngineCache.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

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

    // A frame is saved under the address of the document it showed; where its element names another
    // (one that was redirected), the frame's document is added again under the element's address, for a
    // browser finds a frame's part by the address the element names. Which of the document's saved
    // frames it is the engine cache tells where it holds both (one body for both addresses); the frames
    // left over are paired in order with the names left over when there are as many of each (an engine
    // that keeps no frame documents in its cache).
    void AddRedirectedFrames(const PageCapture& capture, const std::vector<SavedEntry>& saved,
        std::vector<offline::MhtmlPart>& parts, std::set<std::string>& addresses)
    {
        auto cachedFile = [&](const std::string& address) {
            engine::CachedBody body;
            return capture.FindCached(address, body) ? body.file : std::filesystem::path();
        };
        for (const SavedEntry& parent : saved) {
            std::string html;
            if (parent.kind != SavedEntry::Kind::Document || !ReadWhole(parent.path, html))
                continue;
            std::vector<std::string> named = offline::FrameAddresses(html, parent.address);
            std::set<std::string> namedSet(named.begin(), named.end());
            std::vector<const SavedEntry*> unnamed;
            for (const SavedEntry& child : saved) {
                if (child.kind == SavedEntry::Kind::Document && child.referrer == parent.address
                    && !child.referrer.empty() && namedSet.count(url::Canonicalize(child.address)) == 0)
                    unnamed.push_back(&child);
            }
            std::vector<std::string> unmatched;
            for (const std::string& frame : named) {
                if (addresses.count(frame) != 0)
                    continue;
                std::filesystem::path file = cachedFile(frame);
                auto same = std::find_if(unnamed.begin(), unnamed.end(), [&](const SavedEntry* child) {
                    return !file.empty() && cachedFile(child->address) == file;
                });
                if (same == unnamed.end()) {
                    unmatched.push_back(frame);
                    continue;
                }
                addresses.insert(frame);
                parts.push_back({ offline::MhtmlPart::Role::Document, frame, (*same)->path });
                unnamed.erase(same);
            }
            if (unmatched.size() != unnamed.size())
                continue;
            for (size_t i = 0; i < unmatched.size(); ++i) {
                if (addresses.insert(unmatched[i]).second)
                    parts.push_back({ offline::MhtmlPart::Role::Document, unmatched[i], unnamed[i]->path });
            }
        }
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
    AddRedirectedFrames(*this, m_result.saved, parts, addresses);
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
