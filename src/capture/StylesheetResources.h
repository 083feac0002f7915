#pragma once

#include <string>

namespace pagestow::capture {

// The result line that names the offline copy to open, for the front ends to add last.
std::string OfflineCopyLine(const std::string& file);

} // namespace pagestow::capture
