#include "app/Desktop.h"

#include "base/GLibOwned.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace pagestow::app {
namespace {

    // The usable part of the monitor that shows owner (the primary one without an owner).
    GdkRectangle WorkArea(GtkWindow* owner)
    {
        GdkRectangle area { 0, 0, 0, 0 };
        GdkDisplay* display = owner ? gtk_widget_get_display(GTK_WIDGET(owner)) : gdk_display_get_default();
        if (!display)
            return area;
        GdkWindow* window = owner ? gtk_widget_get_window(GTK_WIDGET(owner)) : nullptr;
        GdkMonitor* monitor = window ? gdk_display_get_monitor_at_window(display, window) : nullptr;
        if (!monitor)
            monitor = gdk_display_get_primary_monitor(display);
        if (!monitor)
            monitor = gdk_display_get_monitor(display, 0);
        if (monitor)
            gdk_monitor_get_workarea(monitor, &area);
        return area;
    }

    // Puts dialog over the middle of owner. A shown owner is left to GTK; an owner that is not shown
    // yet (the greeting of a first run comes before the window) is taken at the place and size it has
    // been given, so that the dialog stands where the window will appear.
    void PlaceOver(GtkWidget* dialog, GtkWindow* owner)
    {
        if (!owner || gtk_widget_get_mapped(GTK_WIDGET(owner))) {
            gtk_window_set_position(
                GTK_WINDOW(dialog), owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
            return;
        }
        int left = 0;
        int top = 0;
        int width = 0;
        int height = 0;
        gtk_window_get_position(owner, &left, &top);
        gtk_window_get_size(owner, &width, &height);
        GtkRequisition size;
        gtk_widget_get_preferred_size(dialog, nullptr, &size);
        gtk_window_move(GTK_WINDOW(dialog), std::max(0, left + (width - size.width) / 2),
            std::max(0, top + (height - size.height) / 2));
    }

    // The chooser's own size is made for a large desktop (about 1100 x 820, and it sets that size
    // itself once it is shown); it is kept inside the screen so that its buttons stay within reach,
    // also without a window manager to move it.
    constexpr int kChooserWidth = 760;
    constexpr int kChooserHeight = 540;

    struct ChooserFit {
        GtkWindow* owner;
        GdkRectangle area;
        guint source = 0;
    };

    // The chooser's size within the usable part of the screen, and its place: over the middle of its
    // owner, inside that part.
    void FitChooser(GtkWidget* dialog, const ChooserFit& fit)
    {
        int width = std::min({ kChooserWidth, fit.area.width * 9 / 10 });
        int height = std::min({ kChooserHeight, fit.area.height * 9 / 10 });
        gtk_window_resize(GTK_WINDOW(dialog), width, height);
        int left = fit.area.x + (fit.area.width - width) / 2;
        int top = fit.area.y + (fit.area.height - height) / 2;
        if (fit.owner && gtk_widget_get_mapped(GTK_WIDGET(fit.owner))) {
            int ownerLeft = 0;
            int ownerTop = 0;
            int ownerWidth = 0;
            int ownerHeight = 0;
            gtk_window_get_position(fit.owner, &ownerLeft, &ownerTop);
            gtk_window_get_size(fit.owner, &ownerWidth, &ownerHeight);
            left = ownerLeft + (ownerWidth - width) / 2;
            top = ownerTop + (ownerHeight - height) / 2;
        }
        left = std::clamp(left, fit.area.x, std::max(fit.area.x, fit.area.x + fit.area.width - width));
        top = std::clamp(top, fit.area.y, std::max(fit.area.y, fit.area.y + fit.area.height - height));
        gtk_window_move(GTK_WINDOW(dialog), left, top);
    }

    void OnChooserAllocated(GtkWidget* dialog, GdkRectangle* allocation, ChooserFit* fit)
    {
        if (fit->source || (allocation->width <= fit->area.width && allocation->height <= fit->area.height))
            return;
        // Outside the allocation, which a resize must not run inside of.
        g_object_set_data(G_OBJECT(dialog), "pagestow-fit", fit);
        fit->source = g_idle_add(
            [](gpointer data) -> gboolean {
                auto* chooser = static_cast<GtkWidget*>(data);
                auto* self = static_cast<ChooserFit*>(g_object_get_data(G_OBJECT(chooser), "pagestow-fit"));
                self->source = 0;
                FitChooser(chooser, *self);
                return G_SOURCE_REMOVE;
            },
            dialog);
    }

} // namespace

void GtkDesktop::ShowMessage(
    GtkWindow* owner, const std::string& title, const std::string& text, MessageIcon icon)
{
    GtkWidget* dialog
        = gtk_message_dialog_new(owner, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
            icon == MessageIcon::Information ? GTK_MESSAGE_INFO : GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s",
            text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    // GTK 3 no longer shows the message type's picture by itself.
    if (icon == MessageIcon::Information) {
        GtkWidget* image = gtk_image_new_from_icon_name(kInformationIconName, GTK_ICON_SIZE_DIALOG);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), image);
        G_GNUC_END_IGNORE_DEPRECATIONS
        gtk_widget_show(image);
    }
    PlaceOver(dialog, owner);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

std::string GtkDesktop::BrowseForFolder(
    GtkWindow* owner, const std::string& initialFolder, const std::string& prompt)
{
    GtkWidget* dialog
        = gtk_file_chooser_dialog_new(prompt.c_str(), owner, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "取消",
            GTK_RESPONSE_CANCEL, "确定", GTK_RESPONSE_ACCEPT, nullptr);
    ChooserFit fit { owner, WorkArea(owner) };
    if (fit.area.width > 0 && fit.area.height > 0) {
        FitChooser(dialog, fit);
        g_signal_connect(dialog, "size-allocate", G_CALLBACK(OnChooserAllocated), &fit);
    }
    // The chooser opens with the initial folder itself selected, as the folder browser does.
    if (!initialFolder.empty())
        gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), initialFolder.c_str());
    std::string chosen;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (base::GCharPtr folder { gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)) })
            chosen = folder.get();
    }
    if (fit.source)
        g_source_remove(fit.source);
    gtk_widget_destroy(dialog);
    return chosen;
}

ScreenSize GtkDesktop::PrimaryScreenSize()
{
    GdkDisplay* display = gdk_display_get_default();
    if (!display)
        return {};
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor)
        monitor = gdk_display_get_monitor(display, 0);
    if (!monitor)
        return {};
    GdkRectangle geometry;
    gdk_monitor_get_geometry(monitor, &geometry);
    return { geometry.width, geometry.height };
}

std::string FolderUri(const std::string& path)
{
    base::GCharPtr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
    return uri ? std::string(uri.get()) : std::string();
}

void GtkDesktop::OpenFolder(GtkWindow* owner, const std::string& path)
{
    std::string uri = FolderUri(path);
    if (!uri.empty())
        OpenUri(owner, uri);
}

void GtkDesktop::OpenUri(GtkWindow* owner, const std::string& uri)
{
    if (uri.empty())
        return;
    base::GObjectPtr<GdkAppLaunchContext> context(gdk_display_get_app_launch_context(
        owner ? gtk_widget_get_display(GTK_WIDGET(owner)) : gdk_display_get_default()));
    g_app_info_launch_default_for_uri(uri.c_str(), G_APP_LAUNCH_CONTEXT(context.get()), nullptr);
}

} // namespace pagestow::app
