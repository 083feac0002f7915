#include "engine/static/ContentDecoder.h"

#include "base/Ascii.h"

#include <brotli/decode.h>
#include <zlib.h>

#include <cstdint>
#include <string>

namespace pagestow::engine::static_engine {
namespace {
    constexpr size_t kChunk = 64 * 1024;

    class Failing final : public ContentDecoder {
    public:
        bool Feed(std::string_view, const Sink&) override { return false; }
        bool Finished() const override { return false; }
    };

    // gzip and deflate. A deflate body is a zlib stream, or (as some servers send it) raw deflate.
    class Inflater final : public ContentDecoder {
    public:
        explicit Inflater(bool gzip)
            : m_gzip(gzip)
        {
            Init(gzip ? 16 + MAX_WBITS : MAX_WBITS);
        }
        ~Inflater() override { inflateEnd(&m_stream); }

        bool Feed(std::string_view bytes, const Sink& sink) override
        {
            if (m_failed)
                return false;
            if (m_finished && !bytes.empty())
                return NextMember(bytes, sink);
            if (!m_gzip && !m_started && !bytes.empty()) {
                m_head.append(bytes);
                if (m_head.size() < 2)
                    return true;
                // A zlib header is two bytes whose value is a multiple of 31, method 8.
                unsigned value = ((unsigned char)m_head[0] << 8) | (unsigned char)m_head[1];
                if ((m_head[0] & 0x0F) != 8 || value % 31 != 0) {
                    inflateEnd(&m_stream);
                    Init(-MAX_WBITS);
                }
                m_started = true;
                std::string head = std::move(m_head);
                return Run(head, sink);
            }
            m_started = true;
            return Run(bytes, sink);
        }

        // A stream that decodes to nothing is no content, whatever its coding says.
        bool Finished() const override { return m_finished && m_produced > 0; }

    private:
        // Bytes after the end of the stream: another gzip member (a gzip body may be several, one
        // after the other; zlib checks the next member's header as it reads it), or damage.
        bool NextMember()
        {
            if (!m_gzip || inflateReset(&m_stream) != Z_OK)
                return !(m_failed = true);
            m_finished = false;
            return true;
        }

        bool NextMember(std::string_view bytes, const Sink& sink) { return NextMember() && Run(bytes, sink); }

        void Init(int windowBits)
        {
            m_stream = {};
            m_failed = inflateInit2(&m_stream, windowBits) != Z_OK;
        }

        bool Run(std::string_view bytes, const Sink& sink)
        {
            m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
            m_stream.avail_in = uInt(bytes.size());
            char out[kChunk];
            for (;;) {
                m_stream.next_out = reinterpret_cast<Bytef*>(out);
                m_stream.avail_out = sizeof out;
                int result = inflate(&m_stream, Z_NO_FLUSH);
                size_t produced = sizeof out - m_stream.avail_out;
                m_produced += produced;
                if (result == Z_STREAM_END)
                    m_finished = true;
                else if (result != Z_OK && result != Z_BUF_ERROR)
                    return !(m_failed = true);
                if (produced > 0 && !sink(std::string_view(out, produced)))
                    return false;
                if (m_finished && m_stream.avail_in > 0) {
                    if (!NextMember())
                        return false;
                    continue;
                }
                // Room left in the output means the input is used up.
                if (m_finished || m_stream.avail_out != 0)
                    break;
            }
            return true;
        }

        z_stream m_stream {};
        bool m_gzip;
        bool m_started = false;
        bool m_finished = false;
        bool m_failed = false;
        std::uint64_t m_produced = 0;
        std::string m_head;
    };

    class BrotliDecoder final : public ContentDecoder {
    public:
        BrotliDecoder()
            : m_state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr))
        {
        }
        ~BrotliDecoder() override { BrotliDecoderDestroyInstance(m_state); }

        bool Feed(std::string_view bytes, const Sink& sink) override
        {
            if (!m_state || m_failed)
                return false;
            // Bytes after the end of the stream are damage.
            if (m_finished)
                return bytes.empty() || !(m_failed = true);
            size_t availableIn = bytes.size();
            auto* nextIn = reinterpret_cast<const uint8_t*>(bytes.data());
            uint8_t out[kChunk];
            for (;;) {
                size_t availableOut = sizeof out;
                uint8_t* nextOut = out;
                BrotliDecoderResult result = BrotliDecoderDecompressStream(
                    m_state, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
                size_t produced = sizeof out - availableOut;
                m_produced += produced;
                if (produced > 0 && !sink(std::string_view(reinterpret_cast<char*>(out), produced)))
                    return false;
                if (result == BROTLI_DECODER_RESULT_SUCCESS) {
                    m_finished = true;
                    return availableIn == 0 || !(m_failed = true);
                }
                if (result == BROTLI_DECODER_RESULT_ERROR)
                    return !(m_failed = true);
                if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT)
                    return true;
            }
        }

        bool Finished() const override { return m_finished && !m_failed && m_produced > 0; }

    private:
        BrotliDecoderState* m_state;
        bool m_finished = false;
        bool m_failed = false;
        std::uint64_t m_produced = 0;
    };

    // Codings applied one after the other: the last one applied is removed first.
    class Chain final : public ContentDecoder {
    public:
        explicit Chain(std::vector<std::unique_ptr<ContentDecoder>> outerFirst)
            : m_decoders(std::move(outerFirst))
        {
        }

        bool Feed(std::string_view bytes, const Sink& sink) override { return FeedFrom(0, bytes, sink); }

        bool Finished() const override
        {
            for (const auto& decoder : m_decoders) {
                if (!decoder->Finished())
                    return false;
            }
            return true;
        }

    private:
        bool FeedFrom(size_t index, std::string_view bytes, const Sink& sink)
        {
            if (index == m_decoders.size())
                return sink(bytes);
            return m_decoders[index]->Feed(
                bytes, [&](std::string_view decoded) { return FeedFrom(index + 1, decoded, sink); });
        }

        std::vector<std::unique_ptr<ContentDecoder>> m_decoders;
    };

} // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::ForEncoding(std::string_view contentEncoding)
{
    std::vector<std::unique_ptr<ContentDecoder>> decoders;
    size_t start = 0;
    while (start <= contentEncoding.size()) {
        size_t comma = contentEncoding.find(',', start);
        std::string coding = base::LowerAscii(base::TrimHtmlSpace(contentEncoding.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (coding == "gzip" || coding == "x-gzip")
            decoders.insert(decoders.begin(), std::make_unique<Inflater>(true));
        else if (coding == "deflate")
            decoders.insert(decoders.begin(), std::make_unique<Inflater>(false));
        else if (coding == "br")
            decoders.insert(decoders.begin(), std::make_unique<BrotliDecoder>());
        else if (!coding.empty() && coding != "identity")
            return std::make_unique<Failing>();
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    if (decoders.empty())
        return nullptr;
    if (decoders.size() == 1)
        return std::move(decoders.front());
    return std::make_unique<Chain>(std::move(decoders));
}

} // namespace pagestow::engine::static_engine
