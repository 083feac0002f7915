#include "app/Desktop.h"

#include <gtk/gtk.h>

namespace pagestow::app {

void GtkDesktop::ShowMessage(
    GtkWindow* owner, const std::string& title, const std::string& text, MessageIcon icon)
{
    GtkWidget* dialog
        = gtk_message_dialog_new(owner, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
            icon == MessageIcon::Information ? GTK_MESSAGE_INFO : GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s",
            text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

std::string GtkDesktop::BrowseForFolder(
    GtkWindow* owner, const std::string& initialFolder, const std::string& prompt)
{
    GtkWidget* dialog
        = gtk_file_chooser_dialog_new(prompt.c_str(), owner, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "取消",
            GTK_RESPONSE_CANCEL, "确定", GTK_RESPONSE_ACCEPT, nullptr);
    // The chooser opens with the initial folder itself selected, as the folder browser does.
    if (!initialFolder.empty())
        gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), initialFolder.c_str());
    std::string chosen;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (char* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            chosen = folder;
            g_free(folder);
        }
    }
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
    char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (!uri)
        return {};
    std::string text = uri;
    g_free(uri);
    return text;
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
    GdkAppLaunchContext* context = gdk_display_get_app_launch_context(
        owner ? gtk_widget_get_display(GTK_WIDGET(owner)) : gdk_display_get_default());
    g_app_info_launch_default_for_uri(uri.c_str(), G_APP_LAUNCH_CONTEXT(context), nullptr);
    g_object_unref(context);
}

} // namespace pagestow::app
