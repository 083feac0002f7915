// The program entry of the desktop window. It reads no command-line arguments.

#include "app/Desktop.h"
#include "app/MainForm.h"
#include "app/Texts.h"
#include "capture/CaptureState.h"

#include <gtk/gtk.h>

#include <cstdio>

int main()
{
    using namespace pagestow;
    // The window platform starts once, before any window exists.
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "pagestow: no display to show the window on\n");
        return 1;
    }
    g_set_application_name(std::string(app::kAppTitle).c_str());
    // The installed icon (data/), found through the desktop's icon theme.
    gtk_window_set_default_icon_name("com.vantrelle.Pagestow");

    app::GtkDesktop desktop;
    {
        app::TmainForm mainForm(desktop,
            { .settingsFile = {},
                .onClosed = [] { gtk_main_quit(); },
                .makeEngine = {},
                .bannerService = {},
                .bannerThreadStarter = {} });
        mainForm.Show();
        gtk_main();
    }
    return 0;
}
