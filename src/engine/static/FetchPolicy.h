#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagestow::engine::static_engine {

// The Referer a browser sends from document to target (strict-origin-when-cross-origin): the
// document's address without fragment for the same origin, its origin for another one, nothing from
// https to http.
std::optional<std::string> ReferrerFor(std::string_view document, std::string_view target);

} // namespace pagestow::engine::static_engine
