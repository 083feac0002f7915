// The archive's records of one page: what the engine exchanged with the servers, and the documents as
// the engine saved them.

#include "capture/PageArchive.h"

#include "base/Ascii.h"
#include "engine/EngineCache.h"

#include <chrono>

namespace pagestow::capture {
namespace {

    // The text of the document's first title element, its entities for markup characters decoded and
    // its blanks folded; "" when it has none.
    std::string TitleOf(std::string_view markup)
    {
        std::size_t open = 0;
        for (;;) {
            open = markup.find('<', open);
            if (open == std::string_view::npos || markup.size() - open < 7)
                return {};
            if (base::EqualsIgnoringAsciiCase(markup.substr(open + 1, 5), "title")
                && (markup[open + 6] == '>' || markup[open + 6] == ' ' || markup[open + 6] == '\t'
                    || markup[open + 6] == '\n'))
                break;
            ++open;
        }
        std::size_t start = markup.find('>', open);
        if (start == std::string_view::npos)
            return {};
        ++start;
        std::size_t end = start;
        for (; end < markup.size(); ++end)
            if (markup[end] == '<' && end + 7 <= markup.size()
                && base::EqualsIgnoringAsciiCase(markup.substr(end + 1, 6), "/title"))
                break;
        std::string_view text = markup.substr(start, std::min(end, markup.size()) - start);
        static constexpr std::pair<std::string_view, char> kEntities[] = { { "&amp;", '&' }, { "&lt;", '<' },
            { "&gt;", '>' }, { "&quot;", '"' }, { "&#39;", '\'' }, { "&nbsp;", ' ' } };
        std::string title;
        bool blank = false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c == '&') {
                for (const auto& [entity, character] : kEntities)
                    if (text.substr(i, entity.size()) == entity) {
                        c = character;
                        i += entity.size() - 1;
                        break;
                    }
            }
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
                blank = !title.empty();
                continue;
            }
            if (blank)
                title += ' ';
            blank = false;
            title += c;
        }
        return title;
    }

    void Collect(const engine::SnapshotDocument& document, bool top, std::vector<archive::SavedDocument>& out)
    {
        if (document.origin == engine::DocumentOrigin::Loaded && !document.url.empty()
            && (base::StartsWithIgnoringAsciiCase(document.url, "http:")
                || base::StartsWithIgnoringAsciiCase(document.url, "https:"))) {
            archive::SavedDocument saved;
            saved.url = document.url;
            saved.contentType = "text/html; charset="
                + (document.characterSet.empty() ? std::string("utf-8") : document.characterSet);
            saved.bytes = document.serialization;
            saved.topLevel = top;
            if (top)
                saved.title = TitleOf(document.serialization);
            out.push_back(std::move(saved));
        }
        for (const engine::SnapshotFrame& frame : document.frames)
            if (frame.document)
                Collect(*frame.document, false, out);
    }

} // namespace

std::vector<archive::SavedDocument> SavedDocumentsOf(const engine::SnapshotDocument& top)
{
    std::vector<archive::SavedDocument> documents;
    Collect(top, true, documents);
    return documents;
}

bool ArchivePage(archive::WarcWriter& warc, engine::PageEngine& engine, const engine::SnapshotDocument* top)
{
    archive::ExchangeLog* log = engine.Exchanges();
    if (!log)
        return true;
    std::vector<archive::Exchange> exchanges = log->Take();
    const engine::EngineCache& cache = engine.Cache();
    bool written = warc.WriteExchanges(exchanges, [&cache](std::string_view address) {
        return cache.Lookup(address);
    });
    if (written && top) {
        auto now = std::chrono::system_clock::now();
        for (const archive::SavedDocument& document : SavedDocumentsOf(*top))
            written = written && warc.WriteDocument(document, now);
    }
    log->Clear();
    return written;
}

std::string WritePageArchive(const std::filesystem::path& file, const archive::WarcInfo& info,
    engine::PageEngine& engine, const engine::SnapshotDocument* top)
{
    std::string error;
    std::unique_ptr<archive::WarcWriter> warc = archive::WarcWriter::Create(file, error);
    if (!warc) {
        DropPageExchanges(engine);
        return error;
    }
    bool written = warc->WriteInfo(info) && ArchivePage(*warc, engine, top);
    written = warc->Close() && written;
    if (written)
        return {};
    error = warc->Error();
    warc.reset();
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return error;
}

void DropPageExchanges(engine::PageEngine& engine)
{
    if (archive::ExchangeLog* log = engine.Exchanges()) {
        log->Take();
        log->Clear();
    }
}

} // namespace pagestow::capture
