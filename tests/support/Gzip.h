#pragma once

#include <string>

namespace pagestow::testing {

// The text compressed as a gzip member, as a server sends a body with Content-Encoding: gzip.
std::string Gzip(const std::string& text);

// The text as a zlib stream (Content-Encoding: deflate as most servers send it), or as a raw deflate
// stream without the zlib header when raw is set.
std::string Deflate(const std::string& text, bool raw);

// Every gzip member of bytes inflated, one after the other (a WARC file of gzip members).
std::string Gunzip(const std::string& bytes);

// The text as a brotli stream (Content-Encoding: br).
std::string Brotli(const std::string& text);

} // namespace pagestow::testing
