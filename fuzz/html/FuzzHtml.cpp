// Feeds arbitrary bytes to the built-in engine's reading of a document: the character set found for
// them, their decoding to UTF-8, and the parse into the elements, frames and subresources of a
// snapshot, whose plain data is then read as the capture reads it. Aborts when a decoding is not
// UTF-8, when an element's parent does not come before it (a walk up the parents could loop), when
// the body is out of range, or when a subresource or frame is no canonical http(s) address.
//
// Input: one byte choosing the content type, one byte choosing the document's role and a character
// set to decode the bytes in directly, then the document's bytes.

#include "engine/Snapshot.h"
#include "engine/static/Charset.h"
#include "engine/static/PageParser.h"
#include "url/Canonical.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

namespace {

using namespace pagestow::engine;
using namespace pagestow::engine::static_engine;

constexpr std::array<std::string_view, 14> kContentTypes
    = { "text/html", "text/html; charset=utf-8", "text/html; charset=gbk", "text/html; charset=\"Shift_JIS\"",
          "text/html; charset=utf-16", "text/html; charset=iso-2022-jp", "text/html; charset=x-user-defined",
          "", "application/xhtml+xml", "text/plain; charset=big5", "image/png", "application/octet-stream",
          "text/html;charset=bogus", "image/svg+xml" };

// Every set a document can be read in.
constexpr std::array<std::string_view, 30> kCharsets = { "UTF-8", "GBK", "gb18030", "Big5", "EUC-JP",
    "ISO-2022-JP", "Shift_JIS", "EUC-KR", "windows-1252", "UTF-16LE", "UTF-16BE", "windows-1250",
    "windows-1251", "windows-1253", "windows-1254", "windows-1255", "windows-1256", "windows-1257",
    "windows-1258", "windows-874", "ISO-8859-2", "ISO-8859-5", "ISO-8859-7", "ISO-8859-15", "KOI8-R",
    "KOI8-U", "x-user-defined", "ISO-8859-8", "no-such-set", "" };

constexpr std::string_view kPageUrl = "http://www.example.com/news/page.htm";

// Stops the run at a broken expectation, naming its line.
void Require(bool condition, int line)
{
    if (condition)
        return;
    std::fprintf(stderr, "expectation broken at line %d\n", line);
    std::abort();
}
#define REQUIRE(condition) Require((condition), __LINE__)

void CheckAddress(const std::string& url)
{
    REQUIRE(url.starts_with("http://") || url.starts_with("https://"));
    REQUIRE(pagestow::url::Canonicalize(url) == url);
}

void CheckPage(const ParsedPage& page)
{
    REQUIRE(!page.characterSet.empty());
    REQUIRE(page.body >= -1 && page.body < int(page.elements.size()));
    for (size_t i = 0; i < page.elements.size(); ++i) {
        const SnapshotElement& element = page.elements[i];
        REQUIRE(!element.tagName.empty());
        REQUIRE(element.parent >= -1 && element.parent < int(i));
        // An attribute's name may be empty: the parser drops a NUL that starts it.
        for (const SnapshotAttribute& attribute : element.attributes)
            REQUIRE(IsValidUtf8(attribute.name) && IsValidUtf8(attribute.value));
    }
    std::set<std::string> seen;
    for (const ResourceReference& resource : page.resources) {
        CheckAddress(resource.url);
        REQUIRE(seen.insert(resource.url).second);
    }
    for (const FrameReference& frame : page.frames) {
        if (frame.kind == FrameReference::Kind::Address)
            CheckAddress(frame.url);
    }
}

// Reads the snapshot the page makes as the capture reads it: every element by its source index (its
// position) with its tag, the body, the way up from the body to the root, and the frames.
void WalkSnapshot(ParsedPage page)
{
    const std::size_t frames = page.frames.size();
    SnapshotDocument document;
    document.url = std::string(kPageUrl);
    document.characterSet = page.characterSet;
    document.elements = std::move(page.elements);
    document.body = page.body;
    document.frames.resize(frames);

    const int length = int(document.elements.size());
    for (int position = 0; position < length; ++position) {
        const SnapshotElement& element = document.elements[size_t(position)];
        REQUIRE(!element.tagName.empty());
        REQUIRE(element.parent >= -1 && element.parent < position);
    }
    REQUIRE(document.body >= -1 && document.body < length);
    if (document.body >= 0) {
        int steps = 0;
        for (int at = document.body; document.elements[size_t(at)].parent >= 0;) {
            int parent = document.elements[size_t(at)].parent;
            // A parent after its child would let the walk go round in circles.
            REQUIRE(parent < at);
            at = parent;
            REQUIRE(++steps <= length);
        }
    }
    REQUIRE(document.frames.size() == frames);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::string_view contentType = kContentTypes[data[0] % kContentTypes.size()];
    const DocumentRole role = (data[1] & 1) ? DocumentRole::Frame : DocumentRole::TopLevel;
    const std::string charsetName(kCharsets[(data[1] >> 1) % kCharsets.size()]);
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    // Decoding in any set gives well-formed UTF-8.
    REQUIRE(IsValidUtf8(DecodeToUtf8(bytes, charsetName)));

    DetectedCharset detected = DetectCharset(bytes, contentType);
    REQUIRE(detected.bomLength <= bytes.size());
    REQUIRE(CharsetForLabel(detected.name).has_value());
    REQUIRE(IsValidUtf8(DecodeToUtf8(bytes.substr(detected.bomLength), detected.name)));

    ParsedPage page = ParsePage(bytes, contentType, std::string(kPageUrl), role);
    CheckPage(page);
    WalkSnapshot(std::move(page));
    return 0;
}
