#include "app/tests/WindowTestSupport.h"

#include "mapping/FileUtils.h"

#include <gtk/gtk.h>

#include <cstdlib>

namespace pagestow::app::testing {

void ScriptedDesktop::ShowMessage(
    GtkWindow* owner, const std::string& title, const std::string& text, MessageIcon icon)
{
    messages.push_back({ title, text, icon, owner && gtk_widget_get_visible(GTK_WIDGET(owner)) });
}

std::string ScriptedDesktop::BrowseForFolder(
    GtkWindow*, const std::string& initialFolder, const std::string& prompt)
{
    folderRequests.push_back({ initialFolder, prompt });
    if (folderAnswers.empty())
        return {};
    std::string answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds guard)
{
    auto giveUp = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        // Wakes at least every 50 ms so that the guard is seen even when nothing happens.
        guint wake = g_timeout_add(
            50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_remove(wake);
    }
    return true;
}

void PumpPending()
{
    for (int round = 0; round < 1000 && g_main_context_iteration(nullptr, FALSE); ++round) { }
}

void PressKey(GtkWindow* window, unsigned keyval, unsigned modifiers, unsigned time)
{
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count);
    guint16 keycode = count > 0 ? guint16(keys[0].keycode) : 0;
    g_free(keys);
    for (GdkEventType type : { GDK_KEY_PRESS, GDK_KEY_RELEASE }) {
        GdkEvent* event = gdk_event_new(type);
        event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window))));
        event->key.send_event = TRUE;
        event->key.time = time;
        event->key.state = modifiers;
        event->key.keyval = keyval;
        event->key.hardware_keycode = keycode;
        gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
        gtk_main_do_event(event);
        gdk_event_free(event);
    }
}

namespace {

    bool IsControl(GtkWidget* widget)
    {
        return std::string(gtk_widget_get_name(widget)) != G_OBJECT_TYPE_NAME(widget);
    }

    GtkWidget* ParentControl(GtkWidget* widget)
    {
        for (GtkWidget* parent = gtk_widget_get_parent(widget); parent;
             parent = gtk_widget_get_parent(parent)) {
            if (IsControl(parent))
                return parent;
        }
        return nullptr;
    }

} // namespace

std::string ParentControlName(GtkWidget* widget)
{
    GtkWidget* parent = ParentControl(widget);
    return parent ? gtk_widget_get_name(parent) : "";
}

Placement PlacementInParent(GtkWidget* widget)
{
    GtkWidget* parent = ParentControl(widget);
    int left = 0;
    int top = 0;
    // The window's own origin is its client area.
    GtkWidget* origin = GTK_IS_WINDOW(parent) ? gtk_bin_get_child(GTK_BIN(parent)) : parent;
    gtk_widget_translate_coordinates(widget, origin, 0, 0, &left, &top);
    return { left, top, gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget) };
}

void WindowTest::SetUpTestSuite()
{
    // Before GTK and GLib read them: the documents folder, the caches and Mesa's shader files all
    // land in a folder of the suite's own.
    static pagestow::testing::TemporaryFolder home;
    setenv("HOME", home.Path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.Path() / "config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home.Path() / "cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (home.Path() / "data").c_str(), 1);
}

void WindowTest::SetUp()
{
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        GTEST_SKIP() << "no display for the window";
    if (!gtk_init_check(nullptr, nullptr))
        GTEST_SKIP() << "GTK cannot open the display";
    m_folder = std::make_unique<pagestow::testing::TemporaryFolder>();
}

void WindowTest::TearDown()
{
    m_form.reset();
    PumpPending();
}

std::string WindowTest::SettingsFile() const
{
    return (m_folder->Path() / "pagestow.ini").string();
}

void WindowTest::WriteSettings(const std::string& content) const
{
    pagestow::testing::WriteFileBytes(SettingsFile(), content);
}

std::string WindowTest::ReadSettings() const
{
    return pagestow::testing::ReadFileBytes(SettingsFile());
}

TmainForm& WindowTest::MakeForm(bool show, FormOptions options)
{
    if (options.settingsFile.empty())
        options.settingsFile = SettingsFile();
    m_form = std::make_unique<TmainForm>(m_desktop, std::move(options));
    if (show) {
        m_form->Show();
        EXPECT_TRUE(PumpUntil([this] { return gtk_widget_get_mapped(GTK_WIDGET(m_form->Window())); }));
        WindowBounds bounds = m_form->Bounds();
        WaitForClientSize(bounds.width - kFrameWidth, bounds.height - kFrameHeight);
    }
    return *m_form;
}

void WindowTest::WaitForClientSize(int width, int height)
{
    GtkWidget* window = GTK_WIDGET(m_form->Window());
    bool reached = PumpUntil([&] {
        return gtk_widget_get_allocated_width(window) == width
            && gtk_widget_get_allocated_height(window) == height
            && m_form->LayoutOf("topP").width == std::max(width, kDesignWidth - kFrameWidth)
            && m_form->ResizeCount() > 0
            && gtk_widget_get_allocated_width(m_form->Control("topP")) == m_form->LayoutOf("topP").width;
    });
    EXPECT_TRUE(reached) << "the window did not reach " << width << " x " << height;
    PumpPending();
}

void WindowTest::CloseForm()
{
    m_form->Close();
    EXPECT_TRUE(PumpUntil([this] { return m_form->Closed(); }));
}

void WindowTest::ActivateForm()
{
    gtk_window_present(m_form->Window());
    EXPECT_TRUE(PumpUntil(
        [this] { return bool(gtk_window_has_toplevel_focus(m_form->Window())); }, std::chrono::seconds(30)));
}

std::string WindowTest::DocumentsFolder()
{
    return mapping::GetSpecialFolderPath(5);
}

} // namespace pagestow::app::testing
