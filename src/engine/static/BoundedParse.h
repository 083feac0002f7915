#pragma once

#include "engine/Contract.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct GumboInternalOutput;

namespace pagestow::engine::static_engine {

// Elements nest at most this deep (html and body included); a start tag that would go deeper is
// closed off first, so the element becomes a sibling of the deepest one, as browsers do it.
inline constexpr int kMaxTreeDepth = 512;

// The markup with the depth bound and the attribute bound applied (kMaxAttributes, engine/Contract.h:
// a start tag keeps its first attributes, the rest of the tag is dropped), read by a light model of
// the HTML tree builder (implied end tags of p, li, table cells and the like; raw text elements;
// foreign content).
// Nullopt when the markup keeps within the bounds already, which is every ordinary page.
std::optional<std::string> BoundTreeInput(std::string_view html);

// What ends a parse early.
enum class ParseStop { None, OverBudget, TimedOut, Interrupted };

struct ParseBounds {
    // Bytes the parser's tree may hold at once.
    std::uint64_t memoryBytes = std::uint64_t(256) << 20;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // Set from a signal handler; the parse gives up promptly when it is.
    const std::atomic<bool>* interrupted = nullptr;
};

// A gumbo parse whose every allocation is counted and owned, so the whole tree is freed at once
// (no recursion however deep it is), and which stops when the memory bound, the deadline or the
// interrupt is reached.
class BoundedParse {
public:
    BoundedParse(std::string_view text, const ParseBounds& bounds);
    ~BoundedParse();
    BoundedParse(const BoundedParse&) = delete;
    BoundedParse& operator=(const BoundedParse&) = delete;

    // The tree; null when the parse stopped early.
    const GumboInternalOutput* Output() const { return m_output; }
    ParseStop Stop() const;
    // Bytes the tree holds.
    std::uint64_t HeldBytes() const;

private:
    struct Arena;
    std::unique_ptr<Arena> m_arena;
    GumboInternalOutput* m_output = nullptr;
};

} // namespace pagestow::engine::static_engine
