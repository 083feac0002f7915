#include "app/MainForm.h"
#include "app/HelpWindow.h"
#include "app/Texts.h"
#include "app/tests/WindowTestSupport.h"

#include <gtk/gtk.h>

namespace pagestow::app::testing {
namespace {

    class MainFormTest : public WindowTest {
    protected:
        // A stored design-size window, so that no first run gets in the way.
        TmainForm& MakeDesignSizeForm(bool show = true)
        {
            WriteSettings("[form]\ntop=10\nleft=20\nwidth=640\nheight=480\nwstate=0\n");
            return MakeForm(show);
        }
    };

    TEST_F(MainFormTest, EveryControlSitsUnderItsParentInTheWindowsTree)
    {
        const std::pair<const char*, const char*> tree[] = {
            { "topP", "mainForm" },
            { "topGG", "topP" },
            { "GGIm", "topGG" },
            { "topTool", "topP" },
            { "topPs", "topTool" },
            { "inurlLabel", "topPs" },
            { "inurlEdit", "topPs" },
            { "topPx", "topTool" },
            { "Button1", "topPx" },
            { "Button3", "topPx" },
            { "Button2", "topPx" },
            { "RB1", "topPx" },
            { "RB3", "topPx" },
            { "Button4", "topPx" },
            { "rewP", "mainForm" },
            { "showPC", "rewP" },
            { "TS1", "showPC" },
            { "PLV", "TS1" },
            { "TS2", "showPC" },
            { "HSM", "TS2" },
            { "TS3", "showPC" },
            { "REW", "TS3" },
            { "TS4", "showPC" },
            { "StatusBar1", "mainForm" },
        };
        TmainForm& form = MakeDesignSizeForm(false);
        for (const auto& [name, parent] : tree) {
            GtkWidget* control = form.Control(name);
            ASSERT_TRUE(control) << name;
            EXPECT_EQ(ParentControlName(control), parent) << name;
        }
        EXPECT_EQ(TmainForm::ControlNames().size(), std::size(tree));
        EXPECT_EQ(gtk_window_get_title(form.Window()), std::string(kAppTitle));
        // The pages hold the views in index order.
        GtkNotebook* pages = GTK_NOTEBOOK(form.Control("showPC"));
        ASSERT_EQ(gtk_notebook_get_n_pages(pages), 4);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(gtk_notebook_get_nth_page(pages, i), form.Control("TS" + std::to_string(i + 1)));
    }

    TEST_F(MainFormTest, CaptionsAndHintsAreTheWindowsOwn)
    {
        TmainForm& form = MakeDesignSizeForm(false);
        const std::pair<const char*, std::string_view> captions[] = {
            { "Button1", kSaveCaption },
            { "Button3", kSettingsCaption },
            { "Button2", kHelpCaption },
            { "RB1", kParseWindowCaption },
            { "RB3", kBrowseWindowCaption },
            { "Button4", kButton4Caption },
        };
        for (const auto& [name, caption] : captions)
            EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(form.Control(name))), caption) << name;
        EXPECT_EQ(gtk_label_get_text(GTK_LABEL(form.Control("inurlLabel"))), std::string("网址"));
        EXPECT_EQ(gtk_widget_get_tooltip_text(form.Control("PLV")), std::string("双击打开保存的目录！"));
        EXPECT_EQ(form.LogText(), "HSM");
        EXPECT_EQ(form.AddressText(), "");
    }

    TEST_F(MainFormTest, AtTheDesignSizeEveryControlIsAtItsDesignPlace)
    {
        TmainForm& form = MakeDesignSizeForm();
        // left, top, width, height inside the parent control; the address box as after a resize.
        const std::pair<const char*, Placement> places[] = {
            { "topP", { 0, 0, 632, 60 } },
            { "topGG", { 382, 0, 250, 60 } },
            { "GGIm", { 0, 0, 250, 60 } },
            { "topTool", { 0, 0, 382, 60 } },
            { "topPs", { 0, 0, 382, 30 } },
            { "inurlEdit", { 40, 5, 338, 21 } },
            { "topPx", { 0, 30, 382, 30 } },
            { "Button1", { 16, 0, 65, 24 } },
            { "Button3", { 88, 0, 65, 25 } },
            { "Button2", { 160, 0, 65, 25 } },
            { "rewP", { 0, 60, 632, 374 } },
            { "showPC", { 1, 1, 630, 372 } },
            { "TS3", { 0, 0, 630, 372 } },
            { "REW", { 0, 0, 630, 372 } },
            { "StatusBar1", { 0, 434, 632, 19 } },
        };
        for (const auto& [name, expected] : places)
            EXPECT_EQ(PlacementInParent(form.Control(name)), expected) << name;
        // Text controls are at least as tall as their font needs, so only their place and width are
        // the design's.
        const std::pair<const char*, Placement> textPlaces[] = {
            { "inurlLabel", { 8, 8, 26, 13 } },
            { "RB1", { 232, 3, 73, 17 } },
            { "RB3", { 304, 3, 73, 17 } },
        };
        for (const auto& [name, expected] : textPlaces) {
            Placement actual = PlacementInParent(form.Control(name));
            EXPECT_EQ(actual.left, expected.left) << name;
            EXPECT_EQ(actual.top, expected.top) << name;
            EXPECT_EQ(actual.width, expected.width) << name;
            EXPECT_GE(actual.height, expected.height) << name;
        }
        EXPECT_EQ(form.ResultColumnWidth(), 630 - 26);
        EXPECT_EQ(form.Bounds(), (WindowBounds { 20, 10, 640, 480 }));
    }

    TEST_F(MainFormTest, StraightAfterStartUpTheAddressBoxReachesTheBannerArea)
    {
        TmainForm& form = MakeDesignSizeForm(false);
        EXPECT_EQ(form.LayoutOf("inurlEdit"), (Placement { 40, 5, 342, 21 }));
        EXPECT_EQ(form.ResultColumnWidth(), 604);
    }

    struct ResizeCase {
        const char* name;
        int clientWidth;
        int clientHeight;
        // What the window settles at, and where the row controls stand.
        int settledWidth;
        int settledHeight;
        int lefts[5];
    };

    class MainFormResizeTest : public MainFormTest, public ::testing::WithParamInterface<ResizeCase> { };

    TEST_P(MainFormResizeTest, RowControlsSpreadOverTheSpareWidth)
    {
        const ResizeCase& c = GetParam();
        TmainForm& form = MakeDesignSizeForm();
        gtk_window_resize(form.Window(), c.clientWidth, c.clientHeight);
        WaitForClientSize(c.settledWidth, c.settledHeight);
        const char* row[] = { "Button1", "Button3", "Button2", "RB1", "RB3" };
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(PlacementInParent(form.Control(row[i])).left, c.lefts[i]) << row[i];
        // Vertical places, sizes and the hidden button stay.
        EXPECT_EQ(PlacementInParent(form.Control("Button3")).top, 0);
        EXPECT_EQ(form.LayoutOf("Button4"), (Placement { 272, 0, 75, 25 }));
        int toolWidth = c.settledWidth - 250;
        EXPECT_EQ(PlacementInParent(form.Control("topGG")), (Placement { toolWidth, 0, 250, 60 }));
        EXPECT_EQ(PlacementInParent(form.Control("inurlEdit")), (Placement { 40, 5, toolWidth - 44, 21 }));
        EXPECT_EQ(PlacementInParent(form.Control("PLV")).width, c.settledWidth - 2);
        EXPECT_EQ(form.ResultColumnWidth(), c.settledWidth - 2 - 26);
        EXPECT_EQ(PlacementInParent(form.Control("StatusBar1")),
            (Placement { 0, c.settledHeight - 19, c.settledWidth, 19 }));
        EXPECT_EQ(form.Bounds().width, c.settledWidth + kFrameWidth);
        EXPECT_EQ(form.Bounds().height, c.settledHeight + kFrameHeight);
    }

    INSTANTIATE_TEST_SUITE_P(Sizes, MainFormResizeTest,
        ::testing::Values(ResizeCase { "TwentyPixelsWider", 652, 453, 652, 453, { 19, 94, 169, 244, 319 } },
            ResizeCase { "FiveSparePixelsMakeNoStep", 637, 500, 637, 500, { 16, 88, 160, 232, 304 } },
            ResizeCase { "MuchWider", 1000, 700, 1000, 700, { 77, 210, 343, 476, 609 } },
            ResizeCase { "TooNarrowSnapsBackInWidthOnly", 500, 600, 632, 600, { 16, 88, 160, 232, 304 } },
            ResizeCase { "TooLowSnapsBackInHeightOnly", 700, 200, 700, 453, { 27, 110, 193, 276, 359 } },
            ResizeCase { "TooSmallSnapsBackToTheDesignSize", 300, 200, 632, 453, { 16, 88, 160, 232, 304 } }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST_F(MainFormTest, TheBrowsePageIsShownAndNoTabEver)
    {
        TmainForm& form = MakeDesignSizeForm();
        GtkNotebook* pages = GTK_NOTEBOOK(form.Control("showPC"));
        EXPECT_FALSE(gtk_notebook_get_show_tabs(pages));
        EXPECT_EQ(form.ActivePage(), 2);
        EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(form.Control("RB3"))));
        EXPECT_FALSE(gtk_widget_get_visible(form.Control("Button4")));
        EXPECT_FALSE(gtk_tree_view_get_headers_visible(
            GTK_TREE_VIEW(gtk_bin_get_child(GTK_BIN(form.Control("PLV"))))));

        // The view selectors switch the pages; nothing selects the log or the empty page.
        gtk_button_clicked(GTK_BUTTON(form.Control("RB1")));
        EXPECT_EQ(form.ActivePage(), 0);
        gtk_button_clicked(GTK_BUTTON(form.Control("RB3")));
        EXPECT_EQ(form.ActivePage(), 2);
        EXPECT_FALSE(gtk_notebook_get_show_tabs(pages));
    }

    TEST_F(MainFormTest, TabMovesThroughAddressSaveHelpTheCheckedSelectorAndSettings)
    {
        TmainForm& form = MakeDesignSizeForm();
        ActivateForm();
        gtk_widget_grab_focus(form.Control("inurlEdit"));
        std::vector<std::string> order { gtk_widget_get_name(gtk_window_get_focus(form.Window())) };
        for (int i = 0; i < 4; ++i) {
            gtk_widget_child_focus(GTK_WIDGET(form.Window()), GTK_DIR_TAB_FORWARD);
            order.push_back(gtk_widget_get_name(gtk_window_get_focus(form.Window())));
        }
        EXPECT_EQ(order, (std::vector<std::string> { "inurlEdit", "Button1", "Button2", "RB3", "Button3" }));
        // Then the views below.
        gtk_widget_child_focus(GTK_WIDGET(form.Window()), GTK_DIR_TAB_FORWARD);
        GtkWidget* focus = gtk_window_get_focus(form.Window());
        ASSERT_TRUE(focus);
        EXPECT_TRUE(gtk_widget_is_ancestor(focus, form.Control("rewP"))) << gtk_widget_get_name(focus);

        // With the parse page selected, its selector is the one in the order.
        gtk_button_clicked(GTK_BUTTON(form.Control("RB1")));
        gtk_widget_grab_focus(form.Control("Button2"));
        gtk_widget_child_focus(GTK_WIDGET(form.Window()), GTK_DIR_TAB_FORWARD);
        EXPECT_EQ(gtk_widget_get_name(gtk_window_get_focus(form.Window())), std::string("RB1"));
    }

    TEST_F(MainFormTest, TheWindowUsesA13PixelChineseFont)
    {
        TmainForm& form = MakeDesignSizeForm();
        PangoContext* context = gtk_widget_get_pango_context(form.Control("Button1"));
        const PangoFontDescription* font = pango_context_get_font_description(context);
        // The size is held in points: 13 pixels at the screen's resolution.
        double points = double(pango_font_description_get_size(font)) / PANGO_SCALE;
        double pixels = pango_font_description_get_size_is_absolute(font)
            ? points
            : points * gdk_screen_get_resolution(gdk_screen_get_default()) / 72.0;
        EXPECT_DOUBLE_EQ(pixels, 13.0);
        EXPECT_EQ(std::string(pango_font_description_get_family(font)).rfind("SimSun", 0), 0u);
    }

    TEST_F(MainFormTest, HelpShowsTheSameTextEachTimeItOpens)
    {
        TmainForm& form = MakeDesignSizeForm();
        struct Seen {
            std::string title;
            std::string text;
            bool modal = false;
            bool editable = true;
            bool resizable = true;
            int width = 0;
            int height = 0;
        };
        std::vector<Seen> seen;
        for (int opening = 0; opening < 2; ++opening) {
            // The help runs its own modal loop; the test reads it from inside and closes it.
            guint reader = g_timeout_add(
                20,
                [](gpointer data) -> gboolean {
                    GtkWidget* help = OpenHelpWindow();
                    if (!help || !gtk_widget_get_mapped(help))
                        return G_SOURCE_CONTINUE;
                    GtkWidget* memo = HelpMemo(help);
                    static_cast<std::vector<Seen>*>(data)->push_back({ gtk_window_get_title(GTK_WINDOW(help)),
                        HelpWindowText(help), bool(gtk_window_get_modal(GTK_WINDOW(help))),
                        bool(gtk_text_view_get_editable(GTK_TEXT_VIEW(memo))),
                        bool(gtk_window_get_resizable(GTK_WINDOW(help))),
                        gtk_widget_get_allocated_width(gtk_widget_get_parent(memo)),
                        gtk_widget_get_allocated_height(gtk_widget_get_parent(memo)) });
                    gtk_window_close(GTK_WINDOW(help));
                    return G_SOURCE_REMOVE;
                },
                &seen);
            form.Button2Click();
            EXPECT_EQ(OpenHelpWindow(), nullptr);
            if (seen.size() != size_t(opening + 1))
                g_source_remove(reader);
        }
        ASSERT_EQ(seen.size(), 2u);
        for (const Seen& s : seen) {
            EXPECT_EQ(s.title, "使用帮助...");
            EXPECT_EQ(s.text, HelpText());
            EXPECT_TRUE(s.modal);
            EXPECT_FALSE(s.editable);
            EXPECT_FALSE(s.resizable);
            EXPECT_EQ(s.width, 380);
            EXPECT_EQ(s.height, 274);
        }
        EXPECT_EQ(HelpText().substr(0, 38), "\n                                  使");
        EXPECT_NE(HelpText().find("\n\n保存网页：\n      在网址输入框"), std::string::npos);
        // The help ends with the same made-up number as the banner and the first-run message.
        EXPECT_TRUE(HelpText().ends_with("\n\n               有任何问题或建议可联系QQ：0123456789"));
    }

} // namespace
} // namespace pagestow::app::testing
