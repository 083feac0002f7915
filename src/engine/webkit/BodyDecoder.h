#pragma once

#include <gio/gio.h>
#include <glib-object.h>

#include "base/GLibOwned.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pagestow::engine::webkit {

// Undoes a response's content coding for a body the engine fetched itself, and unlike the network
// layer's own decoder it tells a stream that ends early or fails its checksum from a whole one.
// Bytes after the end of a stream are damage (gzip members one after the other are one body), and
// so is a stream that decodes to nothing. Knows no coding at all ("", "identity"), gzip and deflate
// (zlib or raw); any other is refused.
class BodyDecoder {
public:
    explicit BodyDecoder(std::string_view contentEncoding);

    // Whether the coding is one the decoder knows.
    bool Known() const { return m_known; }
    // Decodes the next bytes and appends the result to out; false once the stream is damaged.
    bool Feed(std::string_view bytes, std::string& out);
    // After the last bytes: whether the stream was whole (it reached its end, checksum included, and
    // gave bytes).
    bool Finish(std::string& out);

private:
    bool Run(std::string_view bytes, bool atEnd, std::string& out);

    bool m_known = true;
    bool m_identity = false;
    bool m_deflate = false;
    bool m_gzip = false;
    bool m_failed = false;
    bool m_finished = false;
    // A deflate body's first bytes, until they tell a zlib stream from a raw one.
    std::string m_head;
    std::uint64_t m_produced = 0;
    base::GObjectPtr<GConverter> m_converter;
};

} // namespace pagestow::engine::webkit
