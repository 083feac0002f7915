#include "engine/Snapshot.h"

#include "base/Ascii.h"

#include <algorithm>

namespace pagestow::engine {

std::vector<SnapshotElement> BlankDocumentElements()
{
    return { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
}

std::shared_ptr<SnapshotDocument> MakeBlankDocument(std::string url, DocumentOrigin origin)
{
    auto blank = std::make_shared<SnapshotDocument>();
    blank->url = std::move(url);
    blank->origin = origin;
    blank->characterSet = "UTF-8";
    blank->elements = BlankDocumentElements();
    blank->body = 2;
    return blank;
}

int FindBodyElement(const SnapshotDocument& document)
{
    int frameset = -1;
    for (size_t i = 0; i < document.elements.size(); ++i) {
        const std::string& tag = document.elements[i].tagName;
        if (base::EqualsIgnoringAsciiCase(tag, "body"))
            return int(i);
        if (frameset < 0 && base::EqualsIgnoringAsciiCase(tag, "frameset"))
            frameset = int(i);
    }
    return frameset;
}

} // namespace pagestow::engine
