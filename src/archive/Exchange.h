#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pagestow::archive {

// A header line of a request or a response, as the engine knows it.
using HeaderField = std::pair<std::string, std::string>;

// The body of an exchange as the archive is to hold it: nothing, bytes held here, a file of the
// exchange log, or the engine cache's body of an address (looked up when the archive is written, so
// that a body the cache keeps is not written twice).
struct ExchangeBody {
    enum class Source { None, Held, File, Cache } source = Source::None;
    std::string bytes;
    std::filesystem::path file;
    std::string cacheAddress;
    std::uint64_t size = 0;
};

// One HTTP exchange an engine made for a page (the document, a frame, a redirect, an error answer, a
// subresource, an XHR or fetch): the request as sent and the response as received, as far as the
// engine can tell them.
struct Exchange {
    // The absolute address requested (after the redirects before it).
    std::string url;
    std::string method = "GET";
    // The request line's protocol and the response's status line ("HTTP/1.1", 404, "Not Found").
    std::string protocol = "HTTP/1.1";
    std::vector<HeaderField> requestHeaders;
    int status = 0;
    std::string reason;
    std::vector<HeaderField> responseHeaders;
    // The server's address the response came from; "" when the engine does not know it.
    std::string ipAddress;
    // When the request was sent.
    std::chrono::system_clock::time_point date;
    // Whether the headers are the engine's rebuild rather than the lines as sent and received (the
    // browser engines hand over header maps).
    bool rebuiltHeaders = false;
    // Whether the body is decoded: the content coding its headers name no longer applies to it.
    bool decodedBody = false;
    // Whether the body arrived whole; a response whose body was cut is kept with its headers only.
    bool complete = true;
    ExchangeBody body;
};

// Where the exchanges of the pages an engine loads are recorded, for the archive: exchanges in the
// order their responses ended, bodies held in memory up to kHeldBodyBytes and in files of the log's
// folder beyond. Safe to use from several threads.
class ExchangeLog {
public:
    // A log whose body files go into folder (created when the first is needed, removed with the log).
    explicit ExchangeLog(std::filesystem::path folder);
    ~ExchangeLog();
    ExchangeLog(const ExchangeLog&) = delete;
    ExchangeLog& operator=(const ExchangeLog&) = delete;

    static constexpr std::size_t kHeldBodyBytes = 64 * 1024;

    // A body being received: held while small, then written to a file of the log as it comes.
    class BodyWriter {
    public:
        ~BodyWriter();
        // Appends bytes; false once the body could not be written (it is then dropped).
        bool Write(std::string_view bytes);
        std::uint64_t Size() const { return m_size; }
        bool Failed() const { return m_failed; }

    private:
        friend class ExchangeLog;
        explicit BodyWriter(std::filesystem::path file);
        ExchangeBody Finish();
        std::filesystem::path m_file;
        int m_fd = -1;
        std::string m_held;
        std::uint64_t m_size = 0;
        bool m_failed = false;
    };

    std::unique_ptr<BodyWriter> BeginBody();
    // Records an exchange; with a body writer, the body is what was written to it (none when the
    // writing failed, and the exchange is then not complete).
    void Add(Exchange exchange, std::unique_ptr<BodyWriter> body = nullptr);
    // The exchanges recorded since the last Take; their body files stay until Clear.
    std::vector<Exchange> Take();
    // Removes the body files of every exchange taken.
    void Clear();
    // How many exchanges wait to be taken.
    std::size_t Size() const;

private:
    std::filesystem::path m_folder;
    mutable std::mutex m_mutex;
    std::vector<Exchange> m_exchanges;
    std::uint64_t m_nextFile = 0;
};

// The header value of name (ASCII case ignored), "" when there is none.
std::string_view HeaderValue(const std::vector<HeaderField>& headers, std::string_view name);

} // namespace pagestow::archive
