#pragma once

#include "engine/static/PageParser.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::static_engine {

// How many requests stylesheets may add to one page's load; a stylesheet of 100,000 imports or an
// endless chain of them stops there.
inline constexpr std::size_t kMaxStylesheetLoads = 10'000;

// What a stylesheet served from baseUrl loads: its @import rules (as stylesheets) and every url(),
// src() and image-set() address (as images; fonts are requested like any file), each once, in order.
std::vector<ResourceReference> StylesheetReferences(std::string_view css, const std::string& baseUrl);

// What the <style> elements and style attributes of a document load, read against its base address.
std::vector<ResourceReference> DocumentStyleReferences(std::string_view html, const std::string& documentUrl);
std::vector<ResourceReference> DocumentStyleReferences(const offline::DocumentStyles& styles);

// Whether a response's content type is a stylesheet's (text/css, parameters ignored).
bool IsStylesheetType(std::string_view contentType);

} // namespace pagestow::engine::static_engine
