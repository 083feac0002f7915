// Pictures of the page the last load completed with, drawn in its tab, which the engine keeps open
// for them until the next navigation: the whole page as a PNG, or the page printed to PDF.

#include "engine/EngineError.h"
#include "engine/chromium/EngineImpl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;

    // A 16,384 px page takes the browser a few seconds to draw on a busy machine; the same bound as a
    // fresh tab's start.
    constexpr std::chrono::milliseconds kPictureTimeout = kStartTimeout;

    int CssPixels(const json& size, const char* name, int least)
    {
        double value = size.value(name, 0.0);
        if (!std::isfinite(value))
            return least;
        return std::clamp(int(std::ceil(value)), least, PageEngine::kPictureHeightLimit);
    }

    std::string DecodedData(const json& reply, const char* method)
    {
        std::optional<std::string> bytes = DecodeBase64(reply.value("data", std::string()));
        if (!bytes || bytes->empty())
            throw EngineError(std::string("The browser's answer to ") + method + " holds no picture");
        return std::move(*bytes);
    }

    // Writes bytes to path whole or not at all: into a temporary file beside it, renamed over it once
    // every byte is written.
    bool WriteWhole(const std::string& path, const std::string& bytes, std::string& error)
    {
        std::string temporary = path + ".XXXXXX";
        int fd = mkstemp(temporary.data());
        if (fd < 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        std::size_t written = 0;
        int failure = 0;
        while (written < bytes.size()) {
            ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failure = n < 0 ? errno : ENOSPC;
                break;
            }
            written += std::size_t(n);
        }
        if (fchmod(fd, 0644) != 0 && !failure)
            failure = errno;
        if (close(fd) != 0 && !failure)
            failure = errno;
        if (!failure && rename(temporary.c_str(), path.c_str()) != 0)
            failure = errno;
        if (failure) {
            unlink(temporary.c_str());
            error = "cannot write " + path + ": " + std::strerror(failure);
            return false;
        }
        return true;
    }

} // namespace

// The page's whole layout (the content's size, never narrower than the viewport), to 16,384 px in
// either direction, drawn beyond the viewport in one capture.
std::string ChromiumEngine::Impl::Screenshot(const KeptPage& page)
{
    json metrics = client->Call("Page.getLayoutMetrics", json::object(), page.session, kPictureTimeout);
    const json& content = metrics.value("cssContentSize", json::object());
    const json& viewport = metrics.value("cssLayoutViewport", json::object());
    int width = std::max(CssPixels(content, "width", 1), CssPixels(viewport, "clientWidth", 1));
    int height = CssPixels(content, "height", 1);
    json clip = { { "x", 0 }, { "y", 0 }, { "width", width }, { "height", height }, { "scale", 1 } };
    json shot = client->Call("Page.captureScreenshot",
        { { "format", "png" }, { "captureBeyondViewport", true }, { "clip", std::move(clip) } }, page.session,
        kPictureTimeout);
    return DecodedData(shot, "Page.captureScreenshot");
}

// Printed as the browser prints: its default paper and margins, backgrounds included.
std::string ChromiumEngine::Impl::PrintToPdf(const KeptPage& page)
{
    json printed
        = client->Call("Page.printToPDF", { { "printBackground", true } }, page.session, kPictureTimeout);
    return DecodedData(printed, "Page.printToPDF");
}

bool ChromiumEngine::SavePicture(Picture kind, const std::string& path, std::string& error)
{
    if (!m_impl->keptPage || !m_impl->BrowserRunning()) {
        error = KeepsPageForPictures() ? "no page is loaded to draw"
                                       : "the page was not kept open for pictures";
        return false;
    }
    std::string bytes;
    try {
        bytes = kind == Picture::Screenshot ? m_impl->Screenshot(*m_impl->keptPage)
                                            : m_impl->PrintToPdf(*m_impl->keptPage);
    } catch (const EngineError& failure) {
        error = failure.what();
        return false;
    }
    return WriteWhole(path, bytes, error);
}

} // namespace pagestow::engine::chromium
