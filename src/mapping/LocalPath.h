#pragma once

#include "mapping/AddressRecord.h"

#include <string>
#include <string_view>

namespace pagestow::mapping {

// The one separator of local paths.
inline constexpr char kPathSeparator = '/';

// True when address (trimmed, "\" read as "/") is relative to its document by the address rule. An
// address that is empty after trimming has neither "/" nor "." and so reads as relative, as SplitAddress
// records it; callers skip such values before they ask.
bool IsRelativeAddress(std::string_view address);

// Joins an address directory and a relative path with one "/", resolving "." and "..". A relative
// path that starts with one "/" is taken from the root; an empty directory gives the relative path
// unchanged; a result longer than 260 characters gives "". Both "/" and "\" are separators.
std::string CombinePath(std::string_view directory, std::string_view relative);

// The absolute address of a relative address found in the document whose record is given.
std::string ResolveAddress(const AddressRecord& document, std::string_view relative);

// True when ResolveAddress(document, relative) gives only the bare base because the combined path
// would pass the 260-character limit (a protocol-relative address is never combined).
bool CombinationFails(const AddressRecord& document, std::string_view relative);

// The address the element walk looks up for an attribute value found in the document: the value
// without surrounding control characters, resolved against the document when it is relative.
std::string ElementAddress(const AddressRecord& document, std::string_view value);

// The folder for a record under the capture: saveDir + captureFolder + "/" + host + directory, where
// a host or directory segment that is "." or ".." is neutralised so the folder stays inside.
std::string TargetFolder(
    std::string_view saveDir, std::string_view captureFolder, const AddressRecord& record);

// The file name to use from a record's filename value: "" stays "", "." and ".." are neutralised.
std::string SafeFileName(std::string_view fileName);

// folder + "/" + fileName when it has a "."; folder + "/" + fileName + defaultExtension when it has
// none; folder + defaultName when fileName is empty. A fileName of "." or ".." goes through SafeFileName.
std::string LocalTargetPath(std::string_view folder, std::string_view fileName, std::string_view defaultName,
    std::string_view defaultExtension);

// The record a local path is made from for an absolute address: SplitAddress's record, except that an
// international host name stands in its one Unicode spelling (its punycode form gives the same), an
// IPv6 literal as its bracketed address with ":" made "_", and the directory and file name with their
// percent-escapes decoded where that is safe (url::DecodeNameEscapes). The same for documents and
// resources.
AddressRecord PathRecord(std::string_view address);

// The file a document of address is saved to: TargetFolder of its PathRecord, then its own file name,
// or "/index.htm" when it names none. The capture writes a page there, and --explain shows it.
std::string DocumentFile(std::string_view saveDir, std::string_view captureFolder, std::string_view address);

} // namespace pagestow::mapping
