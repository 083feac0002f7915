#pragma once

#include <stdexcept>
#include <string>

namespace pagestow::engine {

// A failure of the page engine or its document model.
class EngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace pagestow::engine
