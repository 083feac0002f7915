#pragma once

#include <string>

namespace pagestow::capture {

// The result line that names the offline copy to open, for the front ends to add last.
std::string OfflineCopyLine(const std::string& file);
// The result line that reports one copy the offline copy wrote.
std::string OfflineCopyReportLine(const std::string& copy);

} // namespace pagestow::capture
