// The WARC/1.1 writer. Each record is a gzip member of its own, so a reader can seek to any record
// by the offset the index gives; records are written whole one after another, so a run that dies
// leaves whole records and at most one cut record at the end.

#include "archive/Warc.h"

#include "archive/Digest.h"
#include "archive/FileOutput.h"
#include "archive/Gzip.h"
#include "archive/HttpHead.h"
#include "base/Ascii.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pagestow::archive {

struct WarcWriter::Body {
    std::string_view held;
    // A file's body is read in pieces; empty for a body held in memory.
    std::filesystem::path file;
    std::uint64_t size = 0;
    // A body that does not compress (a picture, a font, a coded stream) is stored in its member
    // rather than deflated: deflating it would cost the archive's time for nothing.
    bool stored = false;
};

namespace {

    // Whether a response's body is already compressed, by its headers: a content coding that still
    // applies, or a type that is compressed in itself.
    bool CompressedAlready(const Exchange& exchange)
    {
        if (!exchange.decodedBody && !HeaderValue(exchange.responseHeaders, "Content-Encoding").empty())
            return true;
        std::string type(HeaderValue(exchange.responseHeaders, "Content-Type"));
        for (char& c : type)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (type.starts_with("image/"))
            return !type.starts_with("image/svg") && !type.starts_with("image/bmp");
        for (std::string_view prefix : { "video/", "audio/", "font/woff", "application/font-woff", "application/zip",
                 "application/gzip", "application/x-gzip", "application/x-bzip2", "application/x-xz",
                 "application/zstd", "application/vnd.ms-fontobject" })
            if (type.starts_with(prefix))
                return true;
        return false;
    }

    constexpr std::size_t kPiece = 64 * 1024;
    constexpr std::string_view kRevisitProfile
        = "http://netpreserve.org/warc/1.1/revisit/identical-payload-digest";

    std::string NewRecordId()
    {
        unsigned char bytes[16];
        if (RAND_bytes(bytes, sizeof bytes) != 1)
            throw std::runtime_error("OpenSSL has no random bytes");
        bytes[6] = (bytes[6] & 0x0F) | 0x40;
        bytes[8] = (bytes[8] & 0x3F) | 0x80;
        std::string hex = Hex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
        return "<urn:uuid:" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-"
            + hex.substr(16, 4) + "-" + hex.substr(20) + ">";
    }

    std::string WarcDate(std::chrono::system_clock::time_point date)
    {
        auto micros = std::chrono::duration_cast<std::chrono::microseconds>(date.time_since_epoch()).count();
        std::time_t seconds = std::time_t(micros / 1'000'000);
        long fraction = long(micros % 1'000'000);
        if (fraction < 0) {
            fraction += 1'000'000;
            --seconds;
        }
        std::tm tm {};
        gmtime_r(&seconds, &tm);
        char text[80];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900,
            tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
        return text;
    }

    // A WARC header value on one line: control characters become a blank.
    std::string WarcValue(std::string_view value)
    {
        std::string out(value);
        for (char& c : out)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = ' ';
        return out;
    }

    // An address as a WARC header holds it: blanks, control characters and bytes beyond ASCII
    // percent-encoded, so that the index's JSON gives back the very same text.
    std::string WarcUri(std::string_view uri)
    {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string out;
        out.reserve(uri.size());
        for (unsigned char c : uri) {
            if (c <= 0x20 || c >= 0x7F) {
                out += '%';
                out += kDigits[c >> 4];
                out += kDigits[c & 15];
            } else {
                out += char(c);
            }
        }
        return out;
    }

    // The server's address as WARC-IP-Address holds it ("93.184.216.34", "::1"), "" for anything else.
    std::string IpAddress(std::string_view text)
    {
        if (text.size() > 2 && text.front() == '[' && text.back() == ']')
            text = text.substr(1, text.size() - 2);
        if (text.empty() || text.size() > 45)
            return {};
        for (char c : text)
            if (!base::IsHexDigit(c) && c != '.' && c != ':')
                return {};
        return std::string(text);
    }

    // Hands exactly size bytes of file to each in pieces; false when the file could not give them
    // all (the rest is then handed over as zero bytes, so the record keeps the length its head says).
    bool ReadPieces(const std::filesystem::path& file, std::uint64_t size,
        const std::function<bool(std::string_view)>& each)
    {
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        std::string buffer(kPiece, '\0');
        bool whole = fd >= 0;
        while (size > 0) {
            std::size_t want = std::size_t(std::min<std::uint64_t>(size, kPiece));
            ssize_t got = 0;
            if (whole) {
                got = ::read(fd, buffer.data(), want);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0) {
                    whole = false;
                    got = 0;
                }
            }
            if (got == 0) {
                std::fill(buffer.begin(), buffer.begin() + std::ptrdiff_t(want), '\0');
                got = ssize_t(want);
            }
            if (!each(std::string_view(buffer.data(), std::size_t(got)))) {
                whole = false;
                break;
            }
            size -= std::uint64_t(got);
        }
        if (fd >= 0)
            ::close(fd);
        return whole;
    }

    std::optional<std::uint64_t> FileSize(const std::filesystem::path& file)
    {
        struct stat st { };
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
        return std::uint64_t(st.st_size);
    }

} // namespace

std::unique_ptr<WarcWriter> WarcWriter::Create(const std::filesystem::path& path, std::string& error)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError("cannot create", path);
        return nullptr;
    }
    try {
        return std::unique_ptr<WarcWriter>(new WarcWriter(path, fd));
    } catch (const std::exception& failure) {
        error = "cannot write " + path.string() + ": " + failure.what();
        return nullptr;
    }
}

WarcWriter::WarcWriter(std::filesystem::path path, int fd)
    : m_path(std::move(path))
    , m_out(std::make_unique<FileOutput>(fd, m_path))
    , m_gzip(std::make_unique<GzipWriter>(*m_out))
{
}

WarcWriter::~WarcWriter() = default;

const std::string& WarcWriter::Error() const
{
    return m_out->Error();
}

bool WarcWriter::Close()
{
    if (m_closed)
        return !m_out->Failed();
    m_closed = true;
    return m_out->Close();
}

bool WarcWriter::WriteRecord(std::vector<HeaderField> fields, std::string_view head, const Body* body)
{
    if (m_closed || m_out->Failed())
        return false;
    std::uint64_t blockSize = head.size() + (body ? body->size : 0);
    std::string record = "WARC/1.1\r\n";
    for (const auto& [name, value] : fields)
        record.append(name).append(": ").append(value).append("\r\n");
    record.append("Content-Length: ").append(std::to_string(blockSize)).append("\r\n\r\n");
    if (!m_gzip->SetStored(false) || !m_gzip->Add(record) || !m_gzip->Add(head))
        return false;
    if (body && body->stored && body->size > 0 && !m_gzip->SetStored(true))
        return false;
    if (body && body->file.empty() && !m_gzip->Add(body->held))
        return false;
    if (body && !body->file.empty()) {
        // The file was digested a moment ago; should it have shrunk since, the record still holds
        // as many bytes as its head says, and a checker sees the digest differ.
        ReadPieces(body->file, body->size, [&](std::string_view piece) { return m_gzip->Add(piece); });
        if (m_out->Failed())
            return false;
    }
    return m_gzip->SetStored(false) && m_gzip->Add("\r\n\r\n") && m_gzip->EndMember();
}

bool WarcWriter::WriteInfo(const WarcInfo& info)
{
    std::string block;
    block.append("software: ").append(WarcValue(info.software)).append("\r\n");
    block.append("format: WARC File Format 1.1\r\n");
    block.append(
        "conformsTo: http://iipc.github.io/warc-specifications/specifications/warc-format/warc-1.1/\r\n");
    for (const auto& [name, value] : info.fields)
        if (IsHttpToken(name))
            block.append(name).append(": ").append(WarcValue(value)).append("\r\n");
    Digest sha1(Digest::Algorithm::Sha1);
    sha1.Update(block);
    return WriteRecord(
        { { "WARC-Type", "warcinfo" }, { "WARC-Record-ID", NewRecordId() },
            { "WARC-Date", WarcDate(std::chrono::system_clock::now()) },
            { "WARC-Filename", WarcValue(m_path.filename().string()) },
            { "WARC-Block-Digest", WarcDigest(sha1) }, { "Content-Type", "application/warc-fields" } },
        block, nullptr);
}

bool WarcWriter::WriteExchanges(const std::vector<Exchange>& exchanges, const CacheLookup& cache)
{
    for (const Exchange& exchange : exchanges)
        if (!WriteExchange(exchange, cache))
            return false;
    return !m_out->Failed();
}

bool WarcWriter::WriteExchange(const Exchange& exchange, const CacheLookup& cache)
{
    if (m_closed || m_out->Failed())
        return false;
    // 1. Find the body: held here, a file of the log, or the engine cache's file for the address.
    //    A body that cannot be found leaves the response with its head only, marked as truncated.
    bool truncated = !exchange.complete;
    std::optional<Body> body;
    using Source = ExchangeBody::Source;
    if (exchange.body.source == Source::Held) {
        body = Body { exchange.body.bytes, {}, exchange.body.bytes.size() };
    } else if (exchange.body.source == Source::File || exchange.body.source == Source::Cache) {
        std::optional<std::filesystem::path> file;
        if (exchange.body.source == Source::File)
            file = exchange.body.file;
        else if (cache)
            file = cache(exchange.body.cacheAddress);
        std::optional<std::uint64_t> size = file ? FileSize(*file) : std::nullopt;
        if (size)
            body = Body { {}, *file, *size, CompressedAlready(exchange) };
        truncated = truncated || !size;
    }

    // 2. The HTTP heads; a status outside 100..999 (or no address) is no response to archive.
    if (exchange.url.empty())
        return true;
    auto responseHead = ResponseHead(exchange, body ? std::optional(body->size) : std::nullopt);
    if (!responseHead)
        return true;

    // 3. The digests: the payload is the body as written, the block the head and the body.
    Digest payload(Digest::Algorithm::Sha1);
    Digest block(Digest::Algorithm::Sha1);
    block.Update(*responseHead);
    if (body && body->file.empty()) {
        payload.Update(body->held);
        block.Update(body->held);
    } else if (body) {
        bool whole = ReadPieces(body->file, body->size, [&](std::string_view piece) {
            payload.Update(piece);
            block.Update(piece);
            return true;
        });
        if (!whole) {
            body.reset();
            truncated = true;
            responseHead = ResponseHead(exchange, std::nullopt);
            block.Finish();
            block.Update(*responseHead);
            payload.Finish();
        }
    }
    std::string payloadDigest = WarcDigest(payload);
    std::string blockDigest = WarcDigest(block);

    std::string responseId = NewRecordId();
    std::string date = WarcDate(exchange.date);
    std::string target = WarcUri(exchange.url);
    std::vector<HeaderField> fields;
    std::string_view repeated = body && body->size > 0 && !truncated ? std::string_view(payloadDigest) : "";
    auto earlier = repeated.empty() ? m_payloads.end() : m_payloads.find(std::string(repeated));
    if (earlier != m_payloads.end()) {
        // 4a. The same payload was written before: a revisit record holds the head only.
        Digest headDigest(Digest::Algorithm::Sha1);
        headDigest.Update(*responseHead);
        fields = { { "WARC-Type", "revisit" }, { "WARC-Record-ID", responseId }, { "WARC-Date", date },
            { "WARC-Target-URI", target } };
        if (std::string ip = IpAddress(exchange.ipAddress); !ip.empty())
            fields.emplace_back("WARC-IP-Address", ip);
        fields.insert(fields.end(),
            { { "WARC-Profile", std::string(kRevisitProfile) },
                { "WARC-Refers-To-Target-URI", earlier->second.target },
                { "WARC-Refers-To-Date", earlier->second.date },
                { "WARC-Refers-To", earlier->second.recordId }, { "WARC-Payload-Digest", payloadDigest },
                { "WARC-Block-Digest", WarcDigest(headDigest) },
                { "Content-Type", "application/http; msgtype=response" } });
        if (!WriteRecord(std::move(fields), *responseHead, nullptr))
            return false;
    } else {
        // 4b. A response record with the body.
        fields = { { "WARC-Type", "response" }, { "WARC-Record-ID", responseId }, { "WARC-Date", date },
            { "WARC-Target-URI", target } };
        if (std::string ip = IpAddress(exchange.ipAddress); !ip.empty())
            fields.emplace_back("WARC-IP-Address", ip);
        fields.insert(fields.end(),
            { { "WARC-Block-Digest", blockDigest }, { "WARC-Payload-Digest", payloadDigest },
                { "Content-Type", "application/http; msgtype=response" } });
        if (truncated)
            fields.emplace_back("WARC-Truncated", "unspecified");
        if (!WriteRecord(std::move(fields), *responseHead, body ? &*body : nullptr))
            return false;
        if (!repeated.empty())
            m_payloads.emplace(std::string(repeated), Written { target, date, responseId });
    }

    // 5. The request follows its response, as warcio's indexer expects to pair them (a POST's body
    //    becomes part of its index key there).
    auto requestHead = RequestHead(exchange);
    if (!requestHead)
        return true;
    Digest requestDigest(Digest::Algorithm::Sha1);
    requestDigest.Update(*requestHead);
    return WriteRecord(
        { { "WARC-Type", "request" }, { "WARC-Record-ID", NewRecordId() }, { "WARC-Date", date },
            { "WARC-Target-URI", target }, { "WARC-Concurrent-To", responseId },
            { "WARC-Block-Digest", WarcDigest(requestDigest) },
            { "Content-Type", "application/http; msgtype=request" } },
        *requestHead, nullptr);
}

bool WarcWriter::WriteDocument(const SavedDocument& document, std::chrono::system_clock::time_point date)
{
    Digest sha1(Digest::Algorithm::Sha1);
    sha1.Update(document.bytes);
    std::string digest = WarcDigest(sha1);
    std::string contentType = WarcValue(document.contentType);
    std::vector<HeaderField> fields = { { "WARC-Type", "resource" }, { "WARC-Record-ID", NewRecordId() },
        { "WARC-Date", WarcDate(date) }, { "WARC-Target-URI", "urn:pagestow:dom:" + WarcUri(document.url) },
        { "WARC-Refers-To-Target-URI", WarcUri(document.url) }, { "WARC-Block-Digest", digest },
        { "WARC-Payload-Digest", digest } };
    // What the package's page list needs is kept in the record itself: the WARC files of several
    // processes are concatenated before they are packaged.
    if (document.topLevel) {
        fields.emplace_back(kPageField, "top");
        fields.emplace_back(kPageTitleField, WarcValue(document.title));
    }
    fields.emplace_back("Content-Type", contentType.empty() ? "application/octet-stream" : contentType);
    Body body { document.bytes, {}, document.bytes.size() };
    return WriteRecord(std::move(fields), "", &body);
}

} // namespace pagestow::archive
