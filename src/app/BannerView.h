#pragma once

#include "banner/Banner.h"
#include "banner/BannerThread.h"
#include "banner/Download.h"

#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;

namespace pagestow::app {

// The banner control GGIm: an event box holding an image. The picture sits at the control's top-left
// corner at its own size; what lies beyond the control's size is cut off, never scaled.
class GtkBannerDisplay final : public banner::BannerDisplay {
public:
    // control is the event box; image the image inside it. Both belong to the window.
    GtkBannerDisplay(GtkWidget* control, GtkWidget* image, int width, int height);

    void ShowPicture(const banner::Picture& picture) override;
    void SetHint(std::string_view hint) override;
    void SetLink(std::string_view link) override;

    const std::string& Link() const { return m_link; }
    // The picture the control shows, null before the first one.
    GdkPixbuf* Pixbuf() const;
    // Called when the window goes: nothing is drawn any more.
    void Detach();

private:
    GtkWidget* m_control = nullptr;
    GtkWidget* m_image = nullptr;
    int m_width = 0;
    int m_height = 0;
    std::string m_link;
};

// The download's progress window: 300 x 25, without owner, caption or close box, centred on the
// desktop, one horizontal gauge from 0 to 100 that shows its percentage. Made anew at each Show.
class GtkProgressWindow final : public banner::ProgressWindow {
public:
    // desktopSize gives the desktop's size at each Show.
    explicit GtkProgressWindow(std::function<std::pair<int, int>()> desktopSize);
    ~GtkProgressWindow() override;
    GtkProgressWindow(const GtkProgressWindow&) = delete;
    GtkProgressWindow& operator=(const GtkProgressWindow&) = delete;

    void Show() override;
    void SetPosition(int percent) override;
    void Close() override;

    // The window while it is shown, else null; and its gauge.
    GtkWidget* Window() const { return m_window; }
    GtkWidget* Gauge() const { return m_gauge; }

private:
    std::function<std::pair<int, int>()> m_desktopSize;
    GtkWidget* m_window = nullptr;
    GtkWidget* m_gauge = nullptr;
};

// Runs task on the main loop's thread later (GLib's default main context); callable from any thread.
void PostToMainLoop(std::function<void()> task);

} // namespace pagestow::app
