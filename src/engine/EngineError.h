#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace pagestow::engine {

// The message of the error raised when an object lacks the role it is taken as.
inline constexpr std::string_view kInterfaceNotSupported = "Interface not supported";

// A failure of the page engine or its document model.
class EngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace pagestow::engine
