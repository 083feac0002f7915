// Reading a WARC file back member by member: zlib's inflate says where each gzip member ends, so the
// offset and length of every record come from the compressed file itself.

#include "archive/WarcRead.h"

#include "archive/FileOutput.h"
#include "base/Ascii.h"

#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace pagestow::archive {
namespace {

    // A WARC head longer than this is taken for no record at all.
    constexpr std::size_t kMaxWarcHead = 16 * 1024 * 1024;

    std::vector<HeaderField> ParseFields(std::string_view text)
    {
        std::vector<HeaderField> fields;
        while (!text.empty()) {
            std::size_t end = text.find("\r\n");
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
            std::size_t colon = line.find(':');
            if (colon == std::string_view::npos)
                continue;
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            fields.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
        return fields;
    }

    // The record being taken from the decompressed bytes of one member.
    class RecordParser {
    public:
        explicit RecordParser(std::size_t keepBlock)
            : m_keepBlock(keepBlock)
        {
        }

        // False once the bytes cannot be a record.
        bool Feed(std::string_view bytes)
        {
            if (m_bad)
                return false;
            if (!m_headDone) {
                std::size_t searchFrom = m_head.size() >= 3 ? m_head.size() - 3 : 0;
                m_head.append(bytes);
                std::size_t end = m_head.find("\r\n\r\n", searchFrom);
                if (end == std::string::npos) {
                    m_bad = m_head.size() > kMaxWarcHead;
                    return !m_bad;
                }
                std::string rest = m_head.substr(end + 4);
                m_head.resize(end + 2);
                if (!StartHead())
                    return false;
                return Feed(rest);
            }
            std::uint64_t take = std::min<std::uint64_t>(bytes.size(), m_remaining);
            if (m_record.block.size() < m_keepBlock)
                m_record.block.append(
                    bytes.substr(0, std::min<std::size_t>(take, m_keepBlock - m_record.block.size())));
            m_remaining -= take;
            m_record.blockSize += take;
            return true;
        }

        bool Whole() const { return !m_bad && m_headDone && m_remaining == 0; }
        WarcRecord& Record() { return m_record; }

    private:
        bool StartHead()
        {
            m_headDone = true;
            std::string_view head(m_head);
            if (!head.starts_with("WARC/1.1\r\n") && !head.starts_with("WARC/1.0\r\n")) {
                m_bad = true;
                return false;
            }
            m_record.fields = ParseFields(head.substr(10));
            std::string_view length = m_record.Field("Content-Length");
            auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), m_remaining);
            m_bad = length.empty() || error != std::errc() || end != length.data() + length.size();
            m_head.clear();
            return !m_bad;
        }

        std::size_t m_keepBlock;
        std::string m_head;
        bool m_headDone = false;
        bool m_bad = false;
        std::uint64_t m_remaining = 0;
        WarcRecord m_record;
    };

} // namespace

WarcReadResult ReadWarc(const std::filesystem::path& path, std::size_t keepBlock,
    const std::function<void(const WarcRecord&)>& each, const std::function<void(std::string_view)>& raw)
{
    WarcReadResult result;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.ok = false;
        result.error = SystemError("cannot read", path);
        return result;
    }
    z_stream z {};
    if (inflateInit2(&z, 16 + 15) != Z_OK) {
        ::close(fd);
        result.ok = false;
        result.error = "zlib's inflate cannot start";
        return result;
    }
    std::string input(256 * 1024, '\0');
    std::string output(256 * 1024, '\0');
    std::uint64_t fileOffset = 0; // of input[0]
    std::uint64_t memberStart = 0;
    bool inMember = false;
    bool stopped = false;
    auto parser = std::make_unique<RecordParser>(keepBlock);
    for (;;) {
        ssize_t got = ::read(fd, input.data(), input.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result.ok = false;
            result.error = SystemError("cannot read", path);
            break;
        }
        if (got == 0)
            break;
        std::string_view chunk(input.data(), std::size_t(got));
        if (raw)
            raw(chunk);
        z.next_in = reinterpret_cast<Bytef*>(input.data());
        z.avail_in = uInt(got);
        while (!stopped && z.avail_in > 0) {
            if (!inMember) {
                inMember = true;
                memberStart = fileOffset + (std::size_t(got) - z.avail_in);
            }
            z.next_out = reinterpret_cast<Bytef*>(output.data());
            z.avail_out = uInt(output.size());
            int status = inflate(&z, Z_NO_FLUSH);
            std::size_t produced = output.size() - z.avail_out;
            bool stuck = status == Z_BUF_ERROR && produced == 0;
            if ((status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) || stuck) {
                stopped = true;
                break;
            }
            if (!parser->Feed(std::string_view(output.data(), produced))) {
                stopped = true;
                break;
            }
            if (status == Z_STREAM_END) {
                if (!parser->Whole()) {
                    stopped = true;
                    break;
                }
                WarcRecord& record = parser->Record();
                record.offset = memberStart;
                record.length = fileOffset + (std::size_t(got) - z.avail_in) - memberStart;
                each(record);
                ++result.records;
                parser = std::make_unique<RecordParser>(keepBlock);
                inMember = false;
                inflateReset(&z);
            }
        }
        fileOffset += std::uint64_t(got);
        // Once the records stop, the rest is still read for raw (the package's digest of the file).
        if (stopped && !raw)
            break;
    }
    inflateEnd(&z);
    ::close(fd);
    result.wholeRecords = !stopped && !inMember;
    return result;
}

HttpHead ParseHttpHead(std::string_view block)
{
    HttpHead head;
    std::size_t end = block.find("\r\n\r\n");
    if (end != std::string_view::npos)
        block = block.substr(0, end + 2);
    std::size_t lineEnd = block.find("\r\n");
    std::string_view line = block.substr(0, lineEnd);
    if (!line.starts_with("HTTP/"))
        return head;
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return head;
    std::string_view code = line.substr(space + 1, 3);
    int status = 0;
    auto [ptr, error] = std::from_chars(code.data(), code.data() + code.size(), status);
    if (error != std::errc() || ptr != code.data() + code.size())
        return head;
    head.status = status;
    if (lineEnd != std::string_view::npos)
        head.headers = ParseFields(block.substr(lineEnd + 2));
    return head;
}

} // namespace pagestow::archive
