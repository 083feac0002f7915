#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pagestow::engine {

// The rules every page engine keeps the same way. Each backend asks these instead of holding its
// own copy, so the three engines cannot drift apart on what they store, how deep they go or when a
// page counts as loaded. docs/engine-contract.md explains each choice.

// Whether a final response (after redirects) with this HTTP status is stored in the engine cache:
// a 2xx whose body is the whole resource. 204 and 205 carry no body to save, 206 only a part.
constexpr bool IsStorableStatus(int status)
{
    return status >= 200 && status <= 299 && status != 204 && status != 205 && status != 206;
}

// Frames nested deeper than this are not loaded (a sanity bound against a page that frames itself
// through ever new addresses). Every engine saves at least this many levels.
inline constexpr int kFrameDepthLimit = 128;

// An element's attributes every engine reads: the first this many; the rest of the tag is dropped.
// Reading them all costs time in the square of their number (80,000 attributes on one element: 45 s
// in the built-in parser, past the snapshot's bound in Chromium's DOM).
inline constexpr int kMaxAttributes = 256;

// The viewport every headless engine lays pages out in. The window's engine keeps its view's size.
inline constexpr int kViewportWidth = 1280;
inline constexpr int kViewportHeight = 900;

// One page's memory budget: the bytes an engine holds in memory for one page's documents and
// frames together. A body beyond what is left of it is streamed to the cache or given up.
inline constexpr std::uint64_t kPageMemoryBudget = 256ull * 1024 * 1024;

// The memory (proportional set size) the browser of an engine may use while it loads one page: every
// process this process started (renderer, network and GPU processes) together. Past it the started
// process that grew most is ended and the page fails. It is what a bomb page may take, and it must
// leave room for every sound page: a browser alone holds 330 to 450 MB on an ordinary documentation
// page, and Chromium itself needs 1 GB for a page of 10,000 images (the engine 1.1 GB, as for 20
// images of 10 MB).
inline constexpr std::uint64_t kEngineMemoryLimit = 2048ull * 1024 * 1024;

// The default bound of one page's load; what has arrived by then is the page, and resources
// already requested still count while they finish.
inline constexpr std::chrono::seconds kDefaultLoadTimeout { 60 };

// Scrolling a page through before it is taken, so that what loads only when it comes into view
// (images with loading="lazy", pictures a script swaps in as they appear) is loaded: the browser
// engines scroll each frame down one viewport at a time, at most this many screens or for this long,
// whichever comes first (a page that grows for ever stops there), then back to the top. After each
// step the page must stay quiet for kScrollQuietPeriod before the next.
inline constexpr int kScrollScreenLimit = 50;
inline constexpr std::chrono::seconds kScrollTimeLimit { 20 };
inline constexpr std::chrono::milliseconds kScrollQuietPeriod { 120 };

} // namespace pagestow::engine
