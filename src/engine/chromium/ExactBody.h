#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pagestow::engine::chromium {

// The bytes of a body the network domain handed over, which the page received as size bytes (content
// codings removed): base64, or as it is when the bytes are UTF-8. nullopt when they are not as many
// as were received (a body the browser dropped or cut comes back empty or short).
std::optional<std::string> ExactBody(std::string_view body, bool base64, std::uint64_t size);

} // namespace pagestow::engine::chromium
