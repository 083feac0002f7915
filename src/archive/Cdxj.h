#pragma once

#include "archive/WarcRead.h"

#include <optional>
#include <string>
#include <string_view>

namespace pagestow::archive {

// The key under which ReplayWeb.page (wabac.js) looks an address up: its SURT form, such as
// "com,example)/a/b?x=1&y=2" for "http://www.example.com/a/b?y=2&x=1".
std::string SurtKey(std::string_view url);

// The index line of a response, revisit or resource record ("<key> <14 digits> {json}"), nullopt for
// a record of another type or without a target.
std::optional<std::string> CdxjLine(const WarcRecord& record, std::string_view filename);

} // namespace pagestow::archive
