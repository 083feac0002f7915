#pragma once

#include <string>

namespace pagestow::capture {

// The result line that names the MHTML file, for the front ends to add last.
std::string MhtmlLine(const std::string& file);

} // namespace pagestow::capture
