#include "engine/chromium/ExactBody.h"

#include "engine/chromium/DevToolsMessage.h"

namespace pagestow::engine::chromium {

std::optional<std::string> ExactBody(std::string_view body, bool base64, std::uint64_t size)
{
    std::optional<std::string> bytes = base64 ? DecodeBase64(body) : std::optional(std::string(body));
    if (!bytes || bytes->size() != size)
        return std::nullopt;
    return bytes;
}

} // namespace pagestow::engine::chromium
