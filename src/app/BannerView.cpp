#include "app/BannerView.h"

#include "base/GLibOwned.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace pagestow::app {

GtkBannerDisplay::GtkBannerDisplay(GtkWidget* control, GtkWidget* image, int width, int height)
    : m_control(control)
    , m_image(image)
    , m_width(width)
    , m_height(height)
{
    // The picture is drawn from the control's top-left corner, not centred.
    gtk_widget_set_halign(m_image, GTK_ALIGN_START);
    gtk_widget_set_valign(m_image, GTK_ALIGN_START);
}

void GtkBannerDisplay::ShowPicture(const banner::Picture& picture)
{
    if (!m_image || picture.width <= 0 || picture.height <= 0
        || picture.pixels.size() < std::size_t(picture.Stride()) * std::size_t(picture.height))
        return;
    // The pixbuf keeps a copy of its own: the picture may go at once.
    GBytes* bytes
        = g_bytes_new(picture.pixels.data(), std::size_t(picture.Stride()) * std::size_t(picture.height));
    GdkPixbuf* whole = gdk_pixbuf_new_from_bytes(bytes, GDK_COLORSPACE_RGB,
        picture.format == banner::PixelFormat::Rgba, 8, picture.width, picture.height, picture.Stride());
    g_bytes_unref(bytes);
    // A larger picture is cut at the control's edges, so that it never pushes the window's layout.
    int width = std::min(picture.width, m_width);
    int height = std::min(picture.height, m_height);
    base::GObjectPtr<GdkPixbuf> shown(whole);
    if (width != picture.width || height != picture.height)
        shown.reset(gdk_pixbuf_new_subpixbuf(whole, 0, 0, width, height));
    gtk_image_set_from_pixbuf(GTK_IMAGE(m_image), shown.get());
}

void GtkBannerDisplay::SetHint(std::string_view hint)
{
    if (!m_control)
        return;
    // The record's line breaks are CR LF; the tooltip shows each as one line break.
    std::string text;
    for (std::size_t i = 0; i < hint.size(); ++i) {
        if (hint[i] == '\r' && i + 1 < hint.size() && hint[i + 1] == '\n')
            continue;
        text += hint[i];
    }
    gtk_widget_set_has_tooltip(m_control, TRUE);
    gtk_widget_set_tooltip_text(m_control, text.c_str());
}

void GtkBannerDisplay::SetLink(std::string_view link)
{
    m_link = link;
}

GdkPixbuf* GtkBannerDisplay::Pixbuf() const
{
    if (!m_image || gtk_image_get_storage_type(GTK_IMAGE(m_image)) != GTK_IMAGE_PIXBUF)
        return nullptr;
    return gtk_image_get_pixbuf(GTK_IMAGE(m_image));
}

void GtkBannerDisplay::Detach()
{
    m_control = nullptr;
    m_image = nullptr;
}

GtkProgressWindow::GtkProgressWindow(std::function<std::pair<int, int>()> desktopSize)
    : m_desktopSize(std::move(desktopSize))
{
}

GtkProgressWindow::~GtkProgressWindow()
{
    Close();
}

void GtkProgressWindow::Show()
{
    Close();
    auto [desktopWidth, desktopHeight] = m_desktopSize ? m_desktopSize() : std::pair { 0, 0 };
    banner::WindowGeometry place = banner::CentredProgressWindow(desktopWidth, desktopHeight);
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(m_window, "progressForm");
    gtk_window_set_decorated(GTK_WINDOW(m_window), FALSE);
    gtk_window_set_deletable(GTK_WINDOW(m_window), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(m_window), FALSE);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(m_window), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(m_window), place.width, place.height);
    gtk_widget_set_size_request(m_window, place.width, place.height);
    gtk_window_move(GTK_WINDOW(m_window), place.x, place.y);
    m_gauge = gtk_progress_bar_new();
    gtk_orientable_set_orientation(GTK_ORIENTABLE(m_gauge), GTK_ORIENTATION_HORIZONTAL);
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(m_gauge), TRUE);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(m_gauge), 0.0);
    gtk_widget_set_valign(m_gauge, GTK_ALIGN_FILL);
    gtk_container_add(GTK_CONTAINER(m_window), m_gauge);
    // Shown without making it modal; the window that started the fetch stays usable.
    gtk_widget_show_all(m_window);
}

void GtkProgressWindow::SetPosition(int percent)
{
    if (!m_gauge)
        return;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(m_gauge), std::clamp(percent, 0, 100) / 100.0);
}

void GtkProgressWindow::Close()
{
    if (!m_window)
        return;
    gtk_widget_destroy(m_window);
    m_window = nullptr;
    m_gauge = nullptr;
}

void PostToMainLoop(std::function<void()> task)
{
    auto* heap = new std::function<void()>(std::move(task));
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

} // namespace pagestow::app
