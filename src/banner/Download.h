#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string_view>
#include <vector>

namespace pagestow::banner {

// Every banner request names itself so.
inline constexpr std::string_view kUserAgent = "GetHtml for VTRL";

// The progress window's outer size, placed at the centre of the desktop.
inline constexpr int kProgressWindowWidth = 300;
inline constexpr int kProgressWindowHeight = 25;

// A download stops after this many bytes, as if a read had failed: a banner record is a few kilobytes.
inline constexpr std::uint64_t kMaxDownloadBytes = 16 * 1024 * 1024;

struct WindowGeometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const WindowGeometry&) const = default;
};

// Where the progress window goes on a desktop of the given size.
WindowGeometry CentredProgressWindow(int desktopWidth, int desktopHeight);

// The small window that shows a download's progress: a top-level window without owner, caption or
// close box, 300 x 25, centred on the desktop, holding one horizontal gauge (0 to 100, showing its
// percentage as text) that fills it. The front end draws it.
class ProgressWindow {
public:
    virtual ~ProgressWindow() = default;
    // Shows the window, not modal, with the gauge at 0.
    virtual void Show() = 0;
    // Moves the gauge (0 to 100).
    virtual void SetPosition(int percent) = 0;
    // Closes and destroys the window. Called once after every Show.
    virtual void Close() = 0;
};

// The open Internet session (a direct connection, no proxy) that the requests of one download share.
class InternetSession {
public:
    InternetSession();
    ~InternetSession();
    InternetSession(const InternetSession&) = delete;
    InternetSession& operator=(const InternetSession&) = delete;

    bool Valid() const { return m_share != nullptr; }
    void* Share() const { return m_share; }

private:
    void* m_share = nullptr;
};

// The gauge position for total bytes of announced: truncated toward zero, held at 100.
int GaugePosition(std::uint64_t total, std::int64_t announced);

// Fetches address (HTTP GET, user agent "GetHtml for VTRL", no proxy, redirects followed, never from a
// cache) and appends the body to stream. window (may be null) is shown only when the server announces a
// length above 0, and its gauge follows each 1024-byte read; pump runs before every read. True when the
// address could be opened, whatever the transfer then does (a read that fails ends it like the end of
// the body); false when it could not, and stream is unchanged. The HTTP status is not examined. A
// stop request ends the transfer like a failing read.
bool DownloadWithProgress(std::string_view address, std::vector<std::uint8_t>& stream,
    ProgressWindow* window = nullptr, const std::function<void()>& pump = {}, std::stop_token stop = {});

// The Content-Length that a separate request for address answers with; 0 when the address cannot be
// opened or the header is missing or not a number.
std::int64_t QueryContentLength(
    std::string_view address, const InternetSession& internet, std::stop_token stop = {});

// Whether a connection to the host of address can be made.
bool CheckConnection(std::string_view address, std::stop_token stop = {});

} // namespace pagestow::banner
