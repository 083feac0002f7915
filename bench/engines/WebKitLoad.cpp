// WebKit just loading a page: a WebKitGTK view in an off-screen window loads the address given and the
// program ends when the load has finished (status 0) or failed (status 1). Needs a display.
//
//   webkit_load ADDRESS

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>

namespace {

int g_status = 1;

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer)
{
    if (event == WEBKIT_LOAD_FINISHED)
        gtk_main_quit();
}

gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* address, GError* error, gpointer)
{
    std::fprintf(stderr, "webkit_load: %s: %s\n", address, error ? error->message : "failed");
    g_status = 2;
    return FALSE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: webkit_load ADDRESS\n");
        return 2;
    }
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 1280, 900);
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), nullptr);
    g_signal_connect(view, "load-failed", G_CALLBACK(OnLoadFailed), nullptr);
    gtk_widget_show_all(window);
    g_status = 0;
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_main();
    gtk_widget_destroy(window);
    return g_status;
}
