#include "mapping/LocalPath.h"

#include "mapping/AddressScan.h"
#include "url/Escapes.h"
#include "url/Host.h"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace pagestow::mapping {

namespace {

    constexpr auto npos = std::string_view::npos;
    // Stands for a host the scanner cannot read while the rest of the address is split.
    constexpr std::string_view kHostStandIn = "pagestow-host.invalid";

    // "[::1]" as "[__1]": the characters a file name may not hold become "_", as everywhere else.
    std::string BracketedFolder(std::string_view literal)
    {
        std::string folder = SanitizeFileName(literal);
        std::replace(folder.begin(), folder.end(), '/', '_');
        std::replace(folder.begin(), folder.end(), '\\', '_');
        return folder;
    }

    // The record with the value of every line named key replaced.
    AddressRecord WithValue(const AddressRecord& record, std::string_view key, std::string_view value)
    {
        AddressRecord result;
        for (const std::string& line : record.Lines()) {
            const std::size_t equals = line.find('=');
            const std::string_view name = std::string_view(line).substr(0, equals);
            if (name == key)
                result.Add(name, value);
            else
                result.Add(name, std::string_view(line).substr(equals + 1));
        }
        return result;
    }

    // The segments of a directory or file name value, each decoded where that is safe.
    std::string DecodeSegments(std::string_view value)
    {
        std::string result;
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t end = value.find('/', start);
            if (end == npos)
                end = value.size();
            result += SanitizeFileName(url::DecodeNameEscapes(value.substr(start, end - start)));
            if (end < value.size())
                result += '/';
            start = end + 1;
        }
        return result;
    }

} // namespace

AddressRecord PathRecord(std::string_view address)
{
    const std::string text = NormaliseAddress(address);
    AddressRecord record;
    const auto host = IsRelativeText(text) ? std::nullopt : url::FindSpecialHost(text);
    if (host) {
        // The host the scanner cannot read stands in the folder as the host rule names it.
        const std::string folder = host->literal ? BracketedFolder(host->name) : SanitizeFileName(host->name);
        std::string standIn = text;
        standIn.replace(host->start, host->end - host->start, kHostStandIn);
        AddressRecord scanned;
        SplitAddress(standIn, scanned);
        const std::string hostPart = scanned.Value("hostmess");
        record = WithValue(WithValue(WithValue(scanned, "url", text), "host", folder), "hostmess",
            folder + hostPart.substr(std::min(hostPart.size(), kHostStandIn.size())));
    } else {
        SplitAddress(text, record);
    }
    if (record.Has("directory"))
        record = WithValue(record, "directory", DecodeSegments(record.Value("directory")));
    if (record.Has("filename"))
        record = WithValue(record, "filename", DecodeSegments(record.Value("filename")));
    return record;
}

} // namespace pagestow::mapping
