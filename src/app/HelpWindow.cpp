#include "app/HelpWindow.h"

#include "app/MainForm.h"
#include "app/Texts.h"
#include "base/GLibOwned.h"

#include <gtk/gtk.h>

namespace pagestow::app {
namespace {

    constexpr const char* kHelpWindowName = "helpForm";
    constexpr const char* kHelpMemoName = "helpMemo";
    // The client area of a 400 x 300 window with a dialog border.
    constexpr int kHelpClientWidth = 394;
    constexpr int kHelpClientHeight = 274;

    GtkWidget* g_openHelp = nullptr;

    std::string WithLineFeeds(std::string text)
    {
        std::string result;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                continue;
            result += text[i];
        }
        return result;
    }

} // namespace

std::string HelpText()
{
    // Three lines appended one by one, then the body in one piece: each shows as its own line.
    return "\n" + std::string(kHelpTitleLine) + "\n\n" + WithLineFeeds(HelpBody());
}

GtkWidget* OpenHelpWindow()
{
    return g_openHelp;
}

GtkWidget* HelpMemo(GtkWidget* helpWindow)
{
    GtkWidget* fixed = gtk_bin_get_child(GTK_BIN(helpWindow));
    GList* children = gtk_container_get_children(GTK_CONTAINER(fixed));
    GtkWidget* memo = children ? gtk_bin_get_child(GTK_BIN(children->data)) : nullptr;
    g_list_free(children);
    return memo;
}

std::string HelpWindowText(GtkWidget* helpWindow)
{
    GtkWidget* memo = HelpMemo(helpWindow);
    std::string text;
    if (memo) {
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(memo));
        GtkTextIter start;
        GtkTextIter end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        base::GCharPtr chars(gtk_text_buffer_get_text(buffer, &start, &end, FALSE));
        text = chars.get();
    }
    return text;
}

void RunHelpWindow()
{
    // 1. A window of its own, owned by nobody, with a dialog border.
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(window, kHelpWindowName);
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window), kHelpClientWidth, kHelpClientHeight);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    gtk_window_set_title(GTK_WINDOW(window), std::string(kHelpWindowCaption).c_str());
    // The light green background comes from the style sheet, by the window's name.

    // 2. The memo: flat, read-only, wrapping, in the main window's 13-pixel font (the style sheet's,
    //    by the window's name). Where even that font leaves lines below the memo's bounds, a vertical
    //    scroll bar (always drawn, not one that shows only under the pointer) says that there is more.
    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller), FALSE);
    gtk_widget_set_size_request(scroller, 380, 274);
    gtk_fixed_put(GTK_FIXED(fixed), scroller, 10, 0);
    GtkWidget* memo = gtk_text_view_new();
    gtk_widget_set_name(memo, kHelpMemoName);
    gtk_container_add(GTK_CONTAINER(scroller), memo);
    gtk_text_view_set_editable(GTK_TEXT_VIEW(memo), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(memo), GTK_WRAP_WORD_CHAR);

    // 3. Fill the memo with the help text.
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(memo)), HelpText().c_str(), -1);

    // 4. Modal: the main window takes no input until the help window is closed.
    gtk_window_set_modal(GTK_WINDOW(window), TRUE);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_signal_connect(window, "delete-event",
        G_CALLBACK(+[](GtkWidget*, GdkEvent*, GMainLoop* modal) -> gboolean {
            g_main_loop_quit(modal);
            return TRUE;
        }),
        loop);
    g_openHelp = window;
    gtk_widget_show_all(window);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);

    // 5. Nothing is kept between openings.
    g_openHelp = nullptr;
    gtk_widget_destroy(window);
}

void TmainForm::Button2Click()
{
    RunHelpWindow();
}

} // namespace pagestow::app
