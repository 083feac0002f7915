#pragma once

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace pagestow::engine::static_engine {

// Removes the content codings of a body (gzip, deflate, br, in the order the server applied them)
// as it arrives, and knows whether the coded stream ended properly: curl hands a stream cut short
// or damaged on as complete, a browser does not. Bytes after the end of a stream are damage (gzip
// members one after the other are one body, decoded whole), and so is a stream that decodes to
// nothing: a body whose content is empty is sent without a coding.
class ContentDecoder {
public:
    // Receives decoded bytes; returns false to stop.
    using Sink = std::function<bool(std::string_view)>;

    // A decoder for a Content-Encoding value; null when the body has no coding ("", "identity").
    // A coding the engine does not offer makes a decoder that fails on the first byte.
    static std::unique_ptr<ContentDecoder> ForEncoding(std::string_view contentEncoding);

    virtual ~ContentDecoder() = default;
    // Decodes bytes into sink; false when the stream is damaged or the sink stopped.
    virtual bool Feed(std::string_view bytes, const Sink& sink) = 0;
    // Whether the stream has ended properly: every coding's end was reached, and each gave bytes.
    virtual bool Finished() const = 0;
};

// The Accept-Encoding value the engine offers (what ContentDecoder reads).
inline constexpr const char* kAcceptEncoding = "Accept-Encoding: gzip, deflate, br";

} // namespace pagestow::engine::static_engine
