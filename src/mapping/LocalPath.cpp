#include "mapping/LocalPath.h"

#include "mapping/AddressScan.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace pagestow::mapping {

namespace {

    // The longest combined path; a longer one fails and gives "".
    constexpr std::size_t kMaxCombinedPath = 260;

    bool IsSeparator(char c)
    {
        return c == '/' || c == '\\';
    }

    std::string WithSlashes(std::string_view text)
    {
        std::string result(text);
        std::replace(result.begin(), result.end(), '\\', '/');
        return result;
    }

    // Resolves the "." and ".." segments of a path with "/" separators. A ".." above the start stays at
    // the start; empty segments (double separators) and a trailing separator are kept; a path ending in
    // "." or ".." ends with a separator, as in a browser.
    std::string Canonicalise(std::string_view path)
    {
        const bool rooted = !path.empty() && path.front() == '/';
        if (rooted)
            path.remove_prefix(1);

        std::vector<std::string_view> segments;
        bool endsInDots = false;
        std::size_t start = 0;
        while (true) {
            const std::size_t end = path.find('/', start);
            const std::string_view segment
                = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
            const bool last = end == std::string_view::npos;
            endsInDots = false;
            if (segment == ".") {
                endsInDots = true;
            } else if (segment == "..") {
                if (!segments.empty())
                    segments.pop_back();
                endsInDots = true;
            } else {
                segments.push_back(segment);
            }
            if (last)
                break;
            start = end + 1;
        }
        if (endsInDots && (segments.empty() ? !rooted : !segments.back().empty()))
            segments.push_back({});

        std::string result = rooted ? "/" : "";
        for (std::size_t i = 0; i < segments.size(); ++i) {
            if (i > 0)
                result.push_back('/');
            result.append(segments[i]);
        }
        return result;
    }

    // A host value or directory segment that reads "." or ".." would climb out of the capture folder.
    bool IsDotSegment(std::string_view segment)
    {
        const std::string_view trimmed = TrimControls(segment);
        return trimmed == "." || trimmed == "..";
    }

    std::string Neutralised(std::string_view segment)
    {
        std::string result(TrimControls(segment));
        std::replace(result.begin(), result.end(), '.', '_');
        return result;
    }

    // A host value is one segment, but it is split like a directory so that no separator smuggles one in.
    std::string SafeSegment(std::string_view segment)
    {
        return IsDotSegment(segment) ? Neutralised(segment) : std::string(segment);
    }

    // Every segment of a directory value made safe, separators kept as they are.
    std::string SafeDirectory(std::string_view directory)
    {
        std::string result;
        result.reserve(directory.size());
        std::size_t start = 0;
        while (start <= directory.size()) {
            std::size_t end = start;
            while (end < directory.size() && !IsSeparator(directory[end]))
                ++end;
            result.append(SafeSegment(directory.substr(start, end - start)));
            if (end < directory.size())
                result.push_back(directory[end]);
            start = end + 1;
        }
        return result;
    }

    // An address that begins with exactly two separators names its own host, in the document's scheme.
    bool IsProtocolRelative(std::string_view trimmed)
    {
        return trimmed.size() >= 2 && trimmed[0] == '/' && trimmed[1] == '/'
            && (trimmed.size() == 2 || trimmed[2] != '/');
    }

    // The directory a relative address is combined below; a document at the root of its host has none.
    std::string DirectoryOf(const AddressRecord& document)
    {
        std::string directory = document.Value("directory");
        return directory.empty() ? std::string("/") : directory;
    }

} // namespace

bool IsRelativeAddress(std::string_view address)
{
    return IsRelativeText(NormaliseAddress(address));
}

std::string CombinePath(std::string_view directory, std::string_view relative)
{
    std::string combined;
    if (directory.empty()) {
        combined = relative;
    } else {
        const std::string rel = WithSlashes(relative);
        if (!rel.empty() && rel.front() == '/') {
            // Taken from the root; a second leading separator stays as it is.
            combined = Canonicalise(rel);
        } else {
            std::string joined = WithSlashes(directory);
            if (joined.back() != '/')
                joined.push_back('/');
            joined.append(rel);
            combined = Canonicalise(joined);
        }
    }
    if (combined.size() > kMaxCombinedPath)
        return {};
    return combined;
}

std::string ResolveAddress(const AddressRecord& document, std::string_view relative)
{
    const std::string trimmed = NormaliseAddress(relative);
    if (IsProtocolRelative(trimmed))
        return document.Value("protocol") + ":" + trimmed;

    // 1. The base: scheme, host and the port when there is one.
    std::string base = document.Value("protocol") + "://" + document.Value("host");
    const std::string port = document.Value("post");
    if (!port.empty())
        base += ":" + port;

    // 2. The directory; 3-5. Combine on "/" paths and append to the base.
    return base + WithSlashes(CombinePath(DirectoryOf(document), relative));
}

bool CombinationFails(const AddressRecord& document, std::string_view relative)
{
    return !IsProtocolRelative(NormaliseAddress(relative))
        && CombinePath(DirectoryOf(document), relative).empty();
}

std::string ElementAddress(const AddressRecord& document, std::string_view value)
{
    const std::string_view trimmed = TrimControls(value);
    if (IsRelativeAddress(trimmed))
        return ResolveAddress(document, trimmed);
    return std::string(trimmed);
}

std::string TargetFolder(
    std::string_view saveDir, std::string_view captureFolder, const AddressRecord& record)
{
    std::string folder(saveDir);
    folder.append(captureFolder);
    folder.push_back(kPathSeparator);
    folder.append(SafeDirectory(record.Value("host")));
    folder.append(SafeDirectory(record.Value("directory")));
    return folder;
}

std::string SafeFileName(std::string_view fileName)
{
    return SafeSegment(fileName);
}

std::string DocumentFile(std::string_view saveDir, std::string_view captureFolder, std::string_view address)
{
    const AddressRecord record = PathRecord(address);
    const std::string folder = TargetFolder(saveDir, captureFolder, record);
    const std::string fileName = SafeFileName(record.Value("filename"));
    return fileName.empty() ? folder + kPathSeparator + "index.htm" : folder + kPathSeparator + fileName;
}

std::string LocalTargetPath(std::string_view folder, std::string_view fileName, std::string_view defaultName,
    std::string_view defaultExtension)
{
    std::string path(folder);
    if (fileName.empty()) {
        path.append(defaultName);
        return path;
    }
    path.push_back(kPathSeparator);
    path.append(SafeFileName(fileName));
    if (fileName.find('.') == std::string_view::npos)
        path.append(defaultExtension);
    return path;
}

} // namespace pagestow::mapping
