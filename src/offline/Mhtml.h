#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::offline {

// One file of a capture as a part of its MHTML file.
struct MhtmlPart {
    // What the capture saved it as; it decides the type where the bytes do not.
    enum class Role { Document, Stylesheet, Script, Other };
    Role role = Role::Other;
    // Its Content-Location: the address the documents name it by, resolved.
    std::string address;
    // The saved file its body is read from.
    std::filesystem::path path;
};

struct MhtmlResult {
    // The file written; empty when it could not be written (then failure says why).
    std::filesystem::path file;
    std::uint64_t bytes = 0;
    std::string failure;
};

// The MHTML file of a page saved as pagePath, beside it: "index.htm" gives "index.mhtml", "run"
// gives "run.mhtml". A name already taken by another file gets "index.2.mhtml", "index.3.mhtml", ...
std::filesystem::path MhtmlPath(const std::filesystem::path& pagePath);

// The Content-Type of a part: from its first bytes where they say (images, fonts, SVG), else from its
// role, else from the file name's extension; application/octet-stream when none knows.
std::string MhtmlContentType(MhtmlPart::Role role, const std::filesystem::path& path, std::string_view head);

// The <title> of an HTML file, read from its first 256 KiB ("" when it has none).
std::string DocumentTitle(const std::filesystem::path& path);

// The addresses of the frames an HTML document names (<iframe src>, <frame src>), resolved against its
// base as a browser resolves them, in canonical form, in document order.
std::vector<std::string> FrameAddresses(std::string_view html, const std::string& documentUrl);

// The title as a Subject header's value: as it is when it is printable ASCII, else RFC 2047
// encoded words (UTF-8, base64) on folded lines.
std::string EncodeSubject(std::string_view title);

// Writes parts as one multipart/related message (RFC 2557) to target: the first part is the page.
// Text goes quoted-printable, everything else base64, lines of at most 76 characters, and the
// boundary holds "=_", which neither encoding can produce. Each body is read and encoded in pieces of
// 57 KiB, so memory stays bounded whatever the sizes. A part whose file cannot be opened is left out.
// The message goes to a temporary file beside target that is renamed once complete: target is whole
// or absent. beforeEachPart, when given, is called before each part; what it throws passes to the
// caller, with the temporary file removed. A body that cannot be read to its end fails the whole file.
MhtmlResult WriteMhtml(const std::filesystem::path& target, const std::vector<MhtmlPart>& parts,
    const std::string& subject, std::time_t date, const std::function<void()>& beforeEachPart = {});

} // namespace pagestow::offline
