#include "app/HelpWindow.h"
#include "app/MainForm.h"
#include "app/Texts.h"
#include "app/tests/WindowTestSupport.h"
#include "capture/CaptureState.h"
#include "engine/webkit/WebKitEngine.h"
#include "support/TestServer.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>

namespace pagestow::app::testing {
namespace {

    using pagestow::testing::ListFiles;
    using pagestow::testing::TestServer;
    namespace fs = std::filesystem;

    const std::string kGif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01"
                           "\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
        43);

    class WindowPolishTest : public WindowTest {
    protected:
        TmainForm& MakeSavingForm(bool show = true)
        {
            m_saveDir = m_folder->Path() / "pages";
            fs::create_directories(m_saveDir);
            WriteSettings("[form]\ntop=0\nleft=0\nwidth=640\nheight=480\nwstate=0\n[setup]\nsavedir="
                + m_saveDir.string() + "\n");
            return MakeForm(show);
        }

        void ClickSave(const std::string& address)
        {
            m_form->SetAddressText(address);
            gtk_button_clicked(GTK_BUTTON(m_form->Control("Button1")));
        }

        std::string FocusName() const
        {
            GtkWidget* focus = gtk_window_get_focus(m_form->Window());
            return focus ? gtk_widget_get_name(focus) : "";
        }

        fs::path m_saveDir;
    };

    TEST_F(WindowPolishTest, EachTabPressIsOneStepAlsoOutOfThePageView)
    {
        TmainForm& form = MakeSavingForm();
        ActivateForm();
        ASSERT_EQ(form.ActivePage(), 2);
        gtk_widget_grab_focus(form.Control("inurlEdit"));
        unsigned time = 1000;
        std::vector<std::string> forward;
        for (int i = 0; i < 12; ++i) {
            PressKey(form.Window(), GDK_KEY_Tab, 0, ++time);
            // The page view answers a key only once its page has seen it.
            PumpUntil([] { return false; }, std::chrono::seconds(1));
            forward.push_back(FocusName());
        }
        const std::vector<std::string> round { "Button1", "Button2", "RB3", "Button3", "REW", "inurlEdit" };
        std::vector<std::string> twoRounds = round;
        twoRounds.insert(twoRounds.end(), round.begin(), round.end());
        EXPECT_EQ(forward, twoRounds);

        std::vector<std::string> backward;
        for (int i = 0; i < 6; ++i) {
            PressKey(form.Window(), GDK_KEY_ISO_Left_Tab, GDK_SHIFT_MASK, ++time);
            PumpUntil([] { return false; }, std::chrono::seconds(1));
            backward.push_back(FocusName());
        }
        EXPECT_EQ(backward,
            (std::vector<std::string> { "REW", "Button3", "RB3", "Button2", "Button1", "inurlEdit" }));
    }

    // The columns of one row of a drawn widget in which anything differs from the row's background (the
    // colour at its right end).
    std::vector<int> InkedColumns(GtkWidget* widget, int top, int height)
    {
        int width = gtk_widget_get_allocated_width(widget);
        cairo_surface_t* surface
            = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, gtk_widget_get_allocated_height(widget));
        cairo_t* cr = cairo_create(surface);
        gtk_widget_draw(widget, cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        int stride = cairo_image_surface_get_stride(surface);
        auto pixel
            = [&](int x, int y) { return *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4); };
        std::vector<int> columns;
        for (int x = 0; x < width; ++x) {
            for (int y = top; y < top + height; ++y) {
                if (pixel(x, y) != pixel(width - 1, y)) {
                    columns.push_back(x);
                    break;
                }
            }
        }
        cairo_surface_destroy(surface);
        return columns;
    }

    TEST_F(WindowPolishTest, ALongResultLineEndsInAnEllipsis26PixelsShortOfTheList)
    {
        TmainForm& form = MakeSavingForm();
        gtk_button_clicked(GTK_BUTTON(form.Control("RB1")));
        std::string line = "保存图片文件：" + m_saveDir.string() + "/qzwd_2612091200123/127.0.0.1";
        for (int i = 0; i < 20; ++i)
            line += "/目录" + std::to_string(i);
        form.AddResultLine(line);
        form.AddResultLine("页面解析完成。");
        PumpUntil([] { return false; }, std::chrono::seconds(1));

        GtkWidget* list = gtk_bin_get_child(GTK_BIN(form.Control("PLV")));
        const int listWidth = gtk_widget_get_allocated_width(form.Control("PLV"));
        ASSERT_EQ(form.ResultColumnWidth(), listWidth - 26);
        GdkRectangle row;
        GtkTreePath* path = gtk_tree_path_new_first();
        gtk_tree_view_get_background_area(GTK_TREE_VIEW(list), path, nullptr, &row);
        gtk_tree_path_free(path);
        int top = 0;
        gtk_tree_view_convert_bin_window_to_widget_coords(GTK_TREE_VIEW(list), 0, row.y, nullptr, &top);

        std::vector<int> inked = InkedColumns(list, top, row.height);
        ASSERT_FALSE(inked.empty());
        // The text reaches close to the column's end and never beyond it.
        EXPECT_LE(inked.back(), listWidth - 26);
        EXPECT_GE(inked.back(), listWidth - 26 - 30);

        // The line is cut with an ellipsis, and the layout is cut at whole characters.
        GtkTreeViewColumn* column = gtk_tree_view_get_column(GTK_TREE_VIEW(list), 0);
        GList* cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
        ASSERT_EQ(g_list_length(cells), 1u);
        PangoEllipsizeMode ellipsize = PANGO_ELLIPSIZE_NONE;
        g_object_get(cells->data, "ellipsize", &ellipsize, nullptr);
        g_list_free(cells);
        EXPECT_EQ(ellipsize, PANGO_ELLIPSIZE_END);

        // After a resize the rule holds again.
        gtk_window_resize(form.Window(), 800 - kFrameWidth, 480 - kFrameHeight);
        WaitForClientSize(800 - kFrameWidth, 480 - kFrameHeight);
        PumpUntil([] { return false; }, std::chrono::seconds(1));
        const int widerList = gtk_widget_get_allocated_width(form.Control("PLV"));
        ASSERT_EQ(widerList, listWidth + 160);
        inked = InkedColumns(list, top, row.height);
        ASSERT_FALSE(inked.empty());
        EXPECT_LE(inked.back(), widerList - 26);
        EXPECT_GE(inked.back(), widerList - 26 - 30);
    }

    // While it lives, answers every shown dialog of the given kind that look accepts (look sees each
    // dialog until it accepts it).
    class DialogAnswerer {
    public:
        DialogAnswerer(GType type, int response, std::function<bool(GtkWidget*)> look)
            : m_type(type)
            , m_response(response)
            , m_look(std::move(look))
        {
            m_source = g_timeout_add(50, Tick, this);
        }
        ~DialogAnswerer() { g_source_remove(m_source); }
        DialogAnswerer(const DialogAnswerer&) = delete;
        DialogAnswerer& operator=(const DialogAnswerer&) = delete;

    private:
        static gboolean Tick(gpointer data)
        {
            auto* self = static_cast<DialogAnswerer*>(data);
            GList* windows = gtk_window_list_toplevels();
            for (GList* item = windows; item; item = item->next) {
                GtkWidget* window = GTK_WIDGET(item->data);
                if (G_TYPE_CHECK_INSTANCE_TYPE(window, self->m_type) && gtk_widget_get_mapped(window)
                    && self->m_look(window))
                    gtk_dialog_response(GTK_DIALOG(window), self->m_response);
            }
            g_list_free(windows);
            return G_SOURCE_CONTINUE;
        }

        GType m_type;
        int m_response;
        std::function<bool(GtkWidget*)> m_look;
        guint m_source = 0;
    };

    std::string ImageIconName(GtkWidget* dialog)
    {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        GtkWidget* image = gtk_message_dialog_get_image(GTK_MESSAGE_DIALOG(dialog));
        G_GNUC_END_IGNORE_DEPRECATIONS
        if (!image || !GTK_IS_IMAGE(image) || !gtk_widget_get_visible(image)
            || gtk_image_get_storage_type(GTK_IMAGE(image)) != GTK_IMAGE_ICON_NAME)
            return "";
        const char* name = nullptr;
        gtk_image_get_icon_name(GTK_IMAGE(image), &name, nullptr);
        return name ? name : "";
    }

    TEST_F(WindowPolishTest, NoticesShowTheInformationIconAndErrorsNone)
    {
        MakeSavingForm();
        GtkDesktop desktop;
        struct Seen {
            std::string title;
            std::string icon;
        };
        std::vector<Seen> seen;
        auto look = [&](GtkWidget* dialog) {
            seen.push_back({ gtk_window_get_title(GTK_WINDOW(dialog)), ImageIconName(dialog) });
            return true;
        };
        {
            // Each call runs the dialog's own loop until the answer comes.
            DialogAnswerer answerer(GTK_TYPE_MESSAGE_DIALOG, GTK_RESPONSE_OK, look);
            desktop.ShowMessage(
                m_form->Window(), "友情提示！", "请输入要保存的网址...", MessageIcon::Information);
            desktop.ShowMessage(
                m_form->Window(), "Pagestow - Vantrelle", "EngineError: x", MessageIcon::None);
        }
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].title, "友情提示！");
        EXPECT_EQ(seen[0].icon, "dialog-information");
        EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), "dialog-information"));
        EXPECT_EQ(seen[1].title, "Pagestow - Vantrelle");
        EXPECT_EQ(seen[1].icon, "");
    }

    TEST_F(WindowPolishTest, TheFirstRunGreetingStandsOverThePlaceOfTheWindow)
    {
        GtkDesktop desktop;
        GdkRectangle dialog {};
        DialogAnswerer answerer(GTK_TYPE_MESSAGE_DIALOG, GTK_RESPONSE_OK, [&](GtkWidget* window) {
            gtk_window_get_position(GTK_WINDOW(window), &dialog.x, &dialog.y);
            dialog.width = gtk_widget_get_allocated_width(window);
            dialog.height = gtk_widget_get_allocated_height(window);
            return true;
        });
        FormOptions options;
        options.settingsFile = SettingsFile();
        m_form = std::make_unique<TmainForm>(desktop, std::move(options));
        ASSERT_GT(dialog.width, 0);
        // The window's place on this screen, as the first run computes it.
        WindowBounds bounds = m_form->Bounds();
        ScreenSize screen = desktop.PrimaryScreenSize();
        ASSERT_EQ(bounds.left, (screen.width - 640) / 2);
        ASSERT_EQ(bounds.top, (screen.height - 480 - 26) / 2);
        // The greeting's middle is the middle of the window's client area.
        EXPECT_NEAR(dialog.x + dialog.width / 2.0, bounds.left + (640 - kFrameWidth) / 2.0, 1.0);
        EXPECT_NEAR(dialog.y + dialog.height / 2.0, bounds.top + (480 - kFrameHeight) / 2.0, 1.0);
    }

    TEST_F(WindowPolishTest, TheFolderChooserFitsTheScreen)
    {
        TmainForm& form = MakeSavingForm();
        GtkDesktop desktop;
        GdkRectangle chooser {};
        GdkRectangle area {};
        gdk_monitor_get_workarea(gdk_display_get_primary_monitor(gdk_display_get_default()), &area);
        if (area.width == 0)
            gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &area);
        int looks = 0;
        DialogAnswerer answerer(GTK_TYPE_FILE_CHOOSER_DIALOG, GTK_RESPONSE_CANCEL, [&](GtkWidget* window) {
            gtk_window_get_position(GTK_WINDOW(window), &chooser.x, &chooser.y);
            chooser.width = gtk_widget_get_allocated_width(window);
            chooser.height = gtk_widget_get_allocated_height(window);
            // The chooser sets its own size once it is shown; it has settled when it fits, or after a
            // few seconds at the latest.
            return ++looks > 100
                || (chooser.width <= area.width && chooser.height <= area.height && chooser.x >= area.x
                    && chooser.y >= area.y);
        });
        EXPECT_EQ(desktop.BrowseForFolder(form.Window(), m_saveDir.string(), "设置Pagestow的目录"), "");
        ASSERT_GT(chooser.width, 0);
        EXPECT_GE(chooser.x, area.x);
        EXPECT_GE(chooser.y, area.y);
        EXPECT_LE(chooser.x + chooser.width, area.x + area.width);
        EXPECT_LE(chooser.y + chooser.height, area.y + area.height);
    }

    TEST_F(WindowPolishTest, HelpIsInTheWindowsFontAndScrollsToItsLastLine)
    {
        TmainForm& form = MakeSavingForm();
        struct Seen {
            double pixels = 0;
            bool barShown = false;
            bool overlay = true;
            double contentHeight = 0;
            double pageHeight = 0;
        } seen;
        guint reader = g_timeout_add(
            50,
            [](gpointer data) -> gboolean {
                GtkWidget* help = OpenHelpWindow();
                if (!help || !gtk_widget_get_mapped(help))
                    return G_SOURCE_CONTINUE;
                auto* self = static_cast<Seen*>(data);
                GtkWidget* memo = HelpMemo(help);
                GtkWidget* scroller = gtk_widget_get_parent(memo);
                const PangoFontDescription* font
                    = pango_context_get_font_description(gtk_widget_get_pango_context(memo));
                double size = double(pango_font_description_get_size(font)) / PANGO_SCALE;
                self->pixels = pango_font_description_get_size_is_absolute(font)
                    ? size
                    : size * gdk_screen_get_resolution(gdk_screen_get_default()) / 72.0;
                GtkWidget* bar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scroller));
                self->barShown = bar && gtk_widget_get_mapped(bar);
                self->overlay = gtk_scrolled_window_get_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller));
                GtkAdjustment* adjustment
                    = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller));
                self->contentHeight = gtk_adjustment_get_upper(adjustment);
                self->pageHeight = gtk_adjustment_get_page_size(adjustment);
                gtk_window_close(GTK_WINDOW(help));
                return G_SOURCE_REMOVE;
            },
            &seen);
        form.Button2Click();
        if (seen.pixels == 0)
            g_source_remove(reader);
        EXPECT_DOUBLE_EQ(seen.pixels, 13.0);
        EXPECT_EQ(seen.pageHeight, 274);
        // Where the lines do not fit, a scroll bar that is always drawn says so.
        EXPECT_EQ(seen.barShown, seen.contentHeight > seen.pageHeight);
        EXPECT_FALSE(seen.overlay);
    }

    // The text of the page a view shows ("(none)" when it cannot be read).
    std::string PageText(WebKitWebView* view)
    {
        struct Answer {
            bool done = false;
            std::string text = "(none)";
        } answer;
        webkit_web_view_evaluate_javascript(
            view, "document.body ? document.body.textContent : ''", -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* self = static_cast<Answer*>(data);
                if (JSCValue* value
                    = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                    char* text = jsc_value_to_string(value);
                    self->text = text ? text : "";
                    g_free(text);
                    g_object_unref(value);
                }
                self->done = true;
            },
            &answer);
        PumpUntil([&] { return answer.done; }, std::chrono::seconds(30));
        return answer.text;
    }

    TEST_F(WindowPolishTest, AfterAnAddressThatCannotBeReachedTheBrowseViewShowsWhy)
    {
        TmainForm& form = MakeSavingForm();
        const std::string address
            = "http://127.0.0.1:" + std::to_string(pagestow::testing::RefusedPort()) + "/";
        ClickSave(address);
        ASSERT_TRUE(PumpUntil([&] { return form.CapturePending() == 0; }));
        ASSERT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_EQ(m_desktop.messages[0].text, " 网页不存在，或是网址不符合标准，停止下载。");
        // The view's own error page is a page at the address that failed, with the view's reason.
        auto* view = WEBKIT_WEB_VIEW(form.Control("REW"));
        ASSERT_TRUE(PumpUntil([&] {
            const char* uri = webkit_web_view_get_uri(view);
            return uri && uri == address && !webkit_web_view_is_loading(view);
        }));
        EXPECT_EQ(PageText(view), "Could not connect to 127.0.0.1: Connection refused");
        // Its load captures nothing, and the window stays idle.
        PumpUntil([] { return false; }, std::chrono::seconds(1));
        EXPECT_EQ(form.CapturePending(), 0);
        EXPECT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_TRUE(form.CaptureFolder.empty());
        EXPECT_TRUE(ListFiles(m_saveDir).empty());
        EXPECT_EQ(form.ResultLines().back(), "网页不存在，或是网址不符合标准，停止下载。");
    }

    TEST_F(WindowPolishTest, WhileAPageLoadsTheCountOfItsFilesStandsBesideTheStatusText)
    {
        TestServer server;
        std::mutex mutex;
        std::condition_variable released;
        bool release = false;
        std::string body = "<html><body>";
        for (int i = 0; i < 3; ++i) {
            server.Serve("/p" + std::to_string(i) + ".gif", kGif + std::to_string(i), "image/gif");
            body += "<img src=\"p" + std::to_string(i) + ".gif\">";
        }
        server.Handle("/slow.gif", [&](const httplib::Request&, httplib::Response& response) {
            std::unique_lock lock(mutex);
            released.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
            response.set_content(kGif + "slow", "image/gif");
        });
        server.Serve("/page.htm", body + "<img src=\"slow.gif\"></body></html>");

        TmainForm& form = MakeSavingForm();
        EXPECT_EQ(form.LoadProgressText(), "");
        ClickSave(server.Url("/page.htm"));
        // The page and three pictures are in, the fourth is held back by the server.
        EXPECT_TRUE(PumpUntil([&] { return form.LoadProgressText() == "4/5"; }, std::chrono::seconds(60)))
            << form.LoadProgressText();
        EXPECT_EQ(form.StatusText(), " 开始下载页面...");
        {
            std::lock_guard lock(mutex);
            release = true;
        }
        released.notify_all();
        ASSERT_TRUE(PumpUntil([&] { return form.CapturePending() == 0; }));
        EXPECT_EQ(form.LoadProgressText(), "");
        EXPECT_EQ(form.ResultLines().back(), "双击打开保存的目录！");
        EXPECT_EQ(ListFiles(m_saveDir).size(), 5u);
    }

    // A form that closes itself in the middle of its capture, when the walk lets the window's events
    // through, and notes what could be seen right then.
    class ClosingForm : public TmainForm {
    public:
        using TmainForm::TmainForm;
        bool visibleAfterClose = true;
        bool closedAtOnce = true;
        int linesAfterClose = -1;

        void AddResultLine(const std::string& message) override
        {
            TmainForm::AddResultLine(message);
            if (message == kStartParseLine) {
                g_idle_add(
                    [](gpointer data) -> gboolean {
                        auto* form = static_cast<ClosingForm*>(data);
                        if (!form->Capturing())
                            return G_SOURCE_REMOVE;
                        form->Close();
                        PumpPending();
                        form->visibleAfterClose = gtk_widget_get_visible(GTK_WIDGET(form->Window()));
                        form->closedAtOnce = form->Closed();
                        form->linesAfterClose = int(form->ResultLines().size());
                        return G_SOURCE_REMOVE;
                    },
                    this);
            }
        }
    };

    TEST_F(WindowPolishTest, AWindowClosedDuringACaptureGoesAtOnceAndTheCaptureStillEndsWhole)
    {
        TestServer server;
        std::string body = "<html><body>";
        for (int i = 0; i < 40; ++i) {
            server.Serve("/p" + std::to_string(i) + ".gif", kGif + std::to_string(i), "image/gif");
            body += "<img src=\"p" + std::to_string(i) + ".gif\">";
        }
        server.Serve("/page.htm", body + "</body></html>");
        m_saveDir = m_folder->Path() / "pages";
        fs::create_directories(m_saveDir);
        WriteSettings("[form]\ntop=0\nleft=0\nwidth=640\nheight=480\nwstate=0\n[setup]\nsavedir="
            + m_saveDir.string() + "\n");
        FormOptions options;
        options.settingsFile = SettingsFile();
        auto owned = std::make_unique<ClosingForm>(m_desktop, std::move(options));
        ClosingForm& form = *owned;
        m_form = std::move(owned);
        form.Show();
        ASSERT_TRUE(PumpUntil([&] { return form.ResizeCount() > 0; }));

        ClickSave(server.Url("/page.htm"));
        ASSERT_TRUE(PumpUntil([&] { return form.Closed(); }));
        // Out of sight at once, though still there until the capture had ended.
        EXPECT_FALSE(form.visibleAfterClose);
        EXPECT_FALSE(form.closedAtOnce);
        EXPECT_GT(form.linesAfterClose, 0);
        // Every file of the page was written, and the settings were stored at the close.
        EXPECT_EQ(ListFiles(m_saveDir).size(), 41u);
        EXPECT_EQ(form.ResultLines().back(), "双击打开保存的目录！");
        EXPECT_NE(ReadSettings().find("wstate=0"), std::string::npos);
        EXPECT_TRUE(m_desktop.messages.empty());
    }

} // namespace
} // namespace pagestow::app::testing
