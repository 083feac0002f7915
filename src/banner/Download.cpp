#include "banner/Download.h"

#include "base/Ascii.h"
#include "base/Owned.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <curl/curl.h>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace pagestow::banner {
namespace {

    constexpr std::size_t kReadSize = 1024;
    constexpr long kMaxRedirects = 10;
    constexpr long kConnectTimeoutSeconds = 30;
    // A transfer that moves less than a byte a second for a minute has stalled.
    constexpr long kStallSeconds = 60;
    // How long one wait for the network lasts before a stop request is looked at again.
    constexpr int kWaitMilliseconds = 200;

    void InitialiseCurl()
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    std::string_view Trimmed(std::string_view text)
    {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        while (!text.empty()
            && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
            text.remove_suffix(1);
        return text;
    }

    enum class TransferMode {
        Get,
        ConnectOnly,
    };

    // One request, read on the calling thread the way a blocking reader would: Open waits for the
    // final response's headers, Read waits until it can hand out the whole size asked for or the body
    // has ended.
    class Transfer {
    public:
        Transfer(std::string_view address, const InternetSession& internet, TransferMode mode)
            : m_address(address)
            , m_easy(curl_easy_init())
            , m_multi(curl_multi_init())
        {
            if (!m_easy || !m_multi)
                return;
            curl_easy_setopt(m_easy.get(), CURLOPT_URL, m_address.c_str());
            curl_easy_setopt(m_easy.get(), CURLOPT_USERAGENT, std::string(kUserAgent).c_str());
            curl_easy_setopt(
                m_easy.get(), CURLOPT_PROXY, ""); // a direct connection, whatever the environment says
            curl_easy_setopt(m_easy.get(), CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(m_easy.get(), CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(m_easy.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(m_easy.get(), CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(m_easy.get(), CURLOPT_MAXREDIRS, kMaxRedirects);
            curl_easy_setopt(m_easy.get(), CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
            curl_easy_setopt(m_easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(m_easy.get(), CURLOPT_LOW_SPEED_TIME, kStallSeconds);
            curl_easy_setopt(m_easy.get(), CURLOPT_SHARE, internet.Share());
            curl_easy_setopt(m_easy.get(), CURLOPT_WRITEFUNCTION, OnBody);
            curl_easy_setopt(m_easy.get(), CURLOPT_WRITEDATA, this);
            curl_easy_setopt(m_easy.get(), CURLOPT_HEADERFUNCTION, OnHeader);
            curl_easy_setopt(m_easy.get(), CURLOPT_HEADERDATA, this);
            if (mode == TransferMode::ConnectOnly)
                curl_easy_setopt(m_easy.get(), CURLOPT_CONNECT_ONLY, 1L);
            m_added = curl_multi_add_handle(m_multi.get(), m_easy.get()) == CURLM_OK;
        }

        ~Transfer()
        {
            if (m_added)
                curl_multi_remove_handle(m_multi.get(), m_easy.get());
        }

        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;

        // True once the final response has begun (for a connect-only transfer: once connected).
        bool Open(const std::stop_token& stop)
        {
            while (m_added && !m_opened && !m_done && !stop.stop_requested())
                Step();
            return m_opened;
        }

        // Up to size bytes of the body; 0 at its end, after a failure, or on a stop request.
        std::size_t Read(std::uint8_t* buffer, std::size_t size, const std::stop_token& stop)
        {
            while (m_added && Available() < size && !m_done && !stop.stop_requested())
                Step();
            if (stop.stop_requested())
                return 0;
            std::size_t count = std::min(size, Available());
            std::copy_n(m_pending.data() + m_pendingStart, count, buffer);
            m_pendingStart += count;
            if (m_pendingStart == m_pending.size()) {
                m_pending.clear();
                m_pendingStart = 0;
            }
            return count;
        }

        // The first header of that name in the final response.
        std::optional<std::string> Header(std::string_view name) const
        {
            for (const auto& [key, value] : m_headers) {
                if (base::EqualsIgnoringAsciiCase(key, name))
                    return value;
            }
            return std::nullopt;
        }

    private:
        std::size_t Available() const { return m_pending.size() - m_pendingStart; }

        void Step()
        {
            int running = 0;
            if (curl_multi_perform(m_multi.get(), &running) != CURLM_OK) {
                m_done = true;
                return;
            }
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &queued)) {
                if (message->msg != CURLMSG_DONE)
                    continue;
                m_done = true;
                if (message->data.result == CURLE_OK)
                    m_opened = true;
            }
            if (!m_done)
                curl_multi_poll(m_multi.get(), nullptr, 0, kWaitMilliseconds, nullptr);
        }

        static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self)
        {
            auto* transfer = static_cast<Transfer*>(self);
            transfer->m_opened = true;
            transfer->m_pending.insert(transfer->m_pending.end(), data, data + size * count);
            return size * count;
        }

        static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self)
        {
            static_cast<Transfer*>(self)->TakeHeaderLine(std::string_view(data, size * count));
            return size * count;
        }

        void TakeHeaderLine(std::string_view line)
        {
            if (line.starts_with("HTTP/")) {
                m_headers.clear();
                return;
            }
            if (Trimmed(line).empty()) {
                // The end of a response's headers. Interim answers and redirects that curl follows are
                // not the response the caller reads.
                long status = 0;
                curl_easy_getinfo(m_easy.get(), CURLINFO_RESPONSE_CODE, &status);
                bool followed
                    = (status == 301 || status == 302 || status == 303 || status == 307 || status == 308)
                    && Header("Location");
                if (status >= 200 && !followed)
                    m_opened = true;
                return;
            }
            std::size_t colon = line.find(':');
            if (colon == std::string_view::npos)
                return;
            m_headers.emplace_back(
                std::string(Trimmed(line.substr(0, colon))), std::string(Trimmed(line.substr(colon + 1))));
        }

        std::string m_address;
        base::Owned<CURL, curl_easy_cleanup> m_easy;
        base::Owned<CURLM, curl_multi_cleanup> m_multi;
        bool m_added = false;
        bool m_opened = false;
        bool m_done = false;
        std::vector<std::uint8_t> m_pending;
        std::size_t m_pendingStart = 0;
        std::vector<std::pair<std::string, std::string>> m_headers;
    };

    // Closes the progress window on every way out of a download that showed it.
    class ShownWindow {
    public:
        explicit ShownWindow(ProgressWindow* window)
            : m_window(window)
        {
            if (m_window)
                m_window->Show();
        }
        ~ShownWindow()
        {
            if (m_window)
                m_window->Close();
        }
        ShownWindow(const ShownWindow&) = delete;
        ShownWindow& operator=(const ShownWindow&) = delete;

        void SetPosition(int percent)
        {
            if (m_window)
                m_window->SetPosition(percent);
        }

    private:
        ProgressWindow* m_window;
    };

} // namespace

WindowGeometry CentredProgressWindow(int desktopWidth, int desktopHeight)
{
    return { (desktopWidth - kProgressWindowWidth) / 2, (desktopHeight - kProgressWindowHeight) / 2,
        kProgressWindowWidth, kProgressWindowHeight };
}

InternetSession::InternetSession()
{
    InitialiseCurl();
    CURLSH* share = curl_share_init();
    if (share)
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    m_share = share;
}

InternetSession::~InternetSession()
{
    if (m_share)
        curl_share_cleanup(static_cast<CURLSH*>(m_share));
}

int GaugePosition(std::uint64_t total, std::int64_t announced)
{
    if (announced <= 0)
        return 0;
    return int(std::min<std::uint64_t>(100, total * 100 / std::uint64_t(announced)));
}

bool DownloadWithProgress(std::string_view address, std::vector<std::uint8_t>& stream, ProgressWindow* window,
    const std::function<void()>& pump, std::stop_token stop)
{
    InternetSession internet;
    if (!internet.Valid())
        return false;
    Transfer transfer(address, internet, TransferMode::Get);
    if (!transfer.Open(stop))
        return false;
    std::int64_t announced = QueryContentLength(address, internet, stop);
    ShownWindow progress(announced > 0 ? window : nullptr);

    std::array<std::uint8_t, kReadSize> buffer;
    std::uint64_t total = 0;
    for (;;) {
        if (pump)
            pump();
        std::size_t count = transfer.Read(buffer.data(), buffer.size(), stop);
        if (count == 0 || total + count > kMaxDownloadBytes)
            break;
        stream.insert(stream.end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(count));
        total += count;
        if (announced > 0)
            progress.SetPosition(GaugePosition(total, announced));
    }
    return true;
}

std::int64_t QueryContentLength(
    std::string_view address, const InternetSession& internet, std::stop_token stop)
{
    Transfer request(address, internet, TransferMode::Get);
    if (!request.Open(stop))
        return 0;
    std::optional<std::string> header = request.Header("Content-Length");
    if (!header || header->empty())
        return 0;
    std::int64_t length = 0;
    auto [end, error] = std::from_chars(header->data(), header->data() + header->size(), length);
    if (error != std::errc() || end != header->data() + header->size() || length < 0)
        return 0;
    return length;
}

bool CheckConnection(std::string_view address, std::stop_token stop)
{
    InternetSession internet;
    if (!internet.Valid())
        return false;
    Transfer connection(address, internet, TransferMode::ConnectOnly);
    return connection.Open(stop);
}

} // namespace pagestow::banner
