#pragma once

#include <string>
#include <string_view>

namespace pagestow::engine::static_engine {

// The one address a browser at 1x density takes from an img's srcset, sizes and src ("" when none).
// viewportWidth is the width "vw" lengths and media conditions are read against.
std::string PickSrcsetCandidate(
    std::string_view srcset, std::string_view sizes, std::string_view src, int viewportWidth);

// Whether a media query holds on a screen viewportWidth pixels wide (the common forms only:
// all, screen, print, min-width and max-width in pixels, joined by "and").
bool MediaMatches(std::string_view media, int viewportWidth);

// Whether a <source type> names an image format browsers show (an empty type does).
bool IsSupportedImageType(std::string_view type);

} // namespace pagestow::engine::static_engine
