// Feeds arbitrary addresses to the address scanner, the local path rule and the path record of
// documents and resources (international hosts, IPv6 literals, decoded escapes). Aborts when a record breaks
// the line order, when a combined path keeps a ".." segment, or when a target path could leave the
// capture folder (a ".." segment, before or after the trimming that folder creation applies).
//
// Input: one address, or "document\nvalue" to resolve value against document first.

#include "mapping/AddressRecord.h"
#include "mapping/LocalPath.h"
#include "url/Escapes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace pagestow::mapping;

constexpr std::string_view kSaveDir = "/fuzz/save/";
constexpr std::string_view kCaptureFolder = "qzwd_2612080445123";
constexpr std::string_view kRoot = "/fuzz/save/qzwd_2612080445123/";

constexpr std::array<std::string_view, 14> kKeyOrder
    = { "url", "ifabsoluteadd", "protocol", "usemess", "username", "password", "hostmess", "host", "post",
          "fragment", "query", "path", "filename", "directory" };

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void CheckRecordOrder(const AddressRecord& record)
{
    std::size_t next = 0;
    for (const auto& line : record.Lines()) {
        const std::size_t equals = line.find('=');
        Require(equals != std::string::npos);
        const std::string_view key = std::string_view(line).substr(0, equals);
        while (next < kKeyOrder.size() && kKeyOrder[next] != key)
            ++next;
        Require(next < kKeyOrder.size()); // Known key, after every earlier one, never twice.
        ++next;
    }
    Require(record.Lines().size() >= 2);
}

bool IsClimbing(std::string_view piece)
{
    return piece == ".." || TrimControls(piece) == "..";
}

// No piece between separators ("/" and "\", as folder creation splits) may climb.
void CheckInside(const std::string& path)
{
    Require(path.starts_with(kRoot));
    const std::string_view rest = std::string_view(path).substr(kRoot.size());
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find_first_of("/\\", start);
        if (end == std::string_view::npos)
            end = rest.size();
        Require(!IsClimbing(rest.substr(start, end - start)));
        start = end + 1;
    }
}

// A decoded name is valid text: no control character, no separator it did not have before.
void CheckDecoded(std::string_view name)
{
    const std::string decoded = pagestow::url::DecodeNameEscapes(name);
    if (decoded == name)
        return;
    for (char c : decoded) {
        const auto u = static_cast<unsigned char>(c);
        Require(u >= 0x20 && u != 0x7F && c != '/' && c != '\\');
    }
    Require(decoded.size() < name.size());
}

// The path of a document or resource made from PathRecord stays inside, whatever the host
// spelling, IPv6 literal or escapes.
void CheckPathRecord(std::string_view address)
{
    const AddressRecord record = PathRecord(address);
    CheckRecordOrder(record);
    const std::string folder = TargetFolder(kSaveDir, kCaptureFolder, record);
    CheckInside(folder);
    CheckInside(LocalTargetPath(folder, record.Value("filename"), "/temp.jpg", ".jpg"));
    CheckInside(DocumentFile(kSaveDir, kCaptureFolder, address));
    Require(record.Value("host").find_first_of("/\\") == std::string::npos);
    const std::size_t slash = address.find_last_of('/');
    CheckDecoded(slash == std::string_view::npos ? address : address.substr(slash + 1));
}

void CheckAddress(std::string_view address)
{
    AddressRecord record;
    SplitAddress(address, record);
    CheckRecordOrder(record);
    const std::string folder = TargetFolder(kSaveDir, kCaptureFolder, record);
    const std::string fileName = record.Value("filename");
    CheckInside(folder);
    CheckInside(LocalTargetPath(folder, fileName, "/temp.jpg", ".jpg"));
    CheckInside(LocalTargetPath(folder, fileName, "/index.htm", ""));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckAddress(input);
    CheckPathRecord(input);

    const std::size_t newline = input.find('\n');
    const std::string_view documentAddress
        = newline == std::string_view::npos ? "http://www.example.com/news/a.htm" : input.substr(0, newline);
    const std::string_view value = newline == std::string_view::npos ? input : input.substr(newline + 1);

    AddressRecord document;
    SplitAddress(documentAddress, document);
    CheckAddress(ElementAddress(document, value));

    // A combination below a rooted directory has no ".." left and never exceeds the limit.
    const std::string combined = CombinePath("/news", value);
    Require(combined.size() <= 260);
    Require(combined.find("/../") == std::string::npos && !combined.ends_with("/.."));
    return 0;
}
