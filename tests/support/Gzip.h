#pragma once

#include <string>

namespace pagestow::testing {

// The text compressed as a gzip member, as a server sends a body with Content-Encoding: gzip.
std::string Gzip(const std::string& text);

} // namespace pagestow::testing
