#include "app/MainForm.h"

#include "app/BannerView.h"
#include "app/BrowseView.h"
#include "app/Texts.h"
#include "engine/webkit/WebKitEngine.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace pagestow::app {
namespace {

    // Every control of the window in the order of its tree, with its parent control.
    struct ControlEntry {
        const char* name;
        const char* parent;
    };
    constexpr ControlEntry kControls[] = {
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

    constexpr int kTopHeight = 60;
    constexpr int kBannerWidth = 250;
    constexpr int kRowHeight = 30;
    constexpr int kStatusHeight = 19;
    constexpr int kRowDesignWidth = 382;
    constexpr int kColumnAllowance = 26;
    constexpr int kLoadGaugeWidth = 80;
    constexpr unsigned kLoadProgressIntervalMs = 200;
    // What the browse view's error page says when the view itself reported no failure (a load that
    // the engine's time-out ended before any answer); the view's own failures are in English too.
    constexpr const char* kNoResponseReason = "The page could not be loaded";

    // The window's look: the system font of the design (SimSun, or a CJK font where it is not
    // installed) at 13 pixels, and controls no taller than their design size.
    constexpr const char* kStyleSheet = R"CSS(
#mainForm, #mainForm *, #helpForm, #helpForm * {
    font-family: "SimSun", "Noto Serif CJK SC", "Noto Sans CJK SC", sans-serif;
    font-size: 13px;
}
#mainForm button { padding: 0 4px; min-height: 0; min-width: 0; }
#mainForm entry { padding: 0 3px; min-height: 0; }
#mainForm radiobutton { padding: 0; min-height: 0; }
#mainForm radiobutton radio { min-width: 13px; min-height: 13px; margin: 0 2px 0 0; }
#mainForm #StatusBar1 label { margin: 0 2px; }
#mainForm #StatusBar1 #loadGauge trough { min-width: 80px; min-height: 7px; }
#mainForm #StatusBar1 #loadGauge progress { min-height: 7px; }
#mainForm #StatusBar1 #loadCount { margin: 0 6px 0 4px; }
#helpForm, #helpMemo, #helpMemo text { background-color: rgb(192, 220, 192); }
)CSS";

    void InstallStyleSheet()
    {
        static bool installed = false;
        if (installed)
            return;
        installed = true;
        base::GObjectPtr<GtkCssProvider> provider(gtk_css_provider_new());
        gtk_css_provider_load_from_data(provider.get(), kStyleSheet, -1, nullptr);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(),
            GTK_STYLE_PROVIDER(provider.get()), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }

    void SetFocusChain(GtkWidget* container, std::initializer_list<GtkWidget*> widgets)
    {
        GList* chain = nullptr;
        for (GtkWidget* widget : widgets)
            chain = g_list_append(chain, widget);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_container_set_focus_chain(GTK_CONTAINER(container), chain);
        G_GNUC_END_IGNORE_DEPRECATIONS
        g_list_free(chain);
    }

} // namespace

const std::vector<std::string>& TmainForm::ControlNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const ControlEntry& entry : kControls)
            list.push_back(entry.name);
        return list;
    }();
    return names;
}

TmainForm::TmainForm(Desktop& desktop, FormOptions options)
    : m_desktop(desktop)
    , m_options(std::move(options))
{
    InstallStyleSheet();
    m_engine = m_options.makeEngine ? m_options.makeEngine()
                                    : std::make_unique<engine::webkit::WebKitEngine>(
                                        engine::webkit::ViewHost::Embedded, nullptr, SessionFile());
    BuildControls();
    GtkWidget* ggIm = Control("GGIm");
    m_bannerDisplay = std::make_unique<GtkBannerDisplay>(
        ggIm, gtk_bin_get_child(GTK_BIN(ggIm)), kBannerWidth, kTopHeight);
    m_progressWindow = std::make_unique<GtkProgressWindow>([this] {
        ScreenSize screen = m_desktop.PrimaryScreenSize();
        return std::pair { screen.width, screen.height };
    });
    m_banner = std::make_unique<banner::Banner>(*m_bannerDisplay);
    m_fetcher = std::make_unique<banner::BannerFetcher>(*m_banner, *m_progressWindow, PostToMainLoop,
        m_options.bannerService,
        m_options.bannerThreadStarter ? m_options.bannerThreadStarter
                                      : banner::ThreadStarter(banner::StartThread));
    // A page's alert, confirm and prompt come up as WebKit's own dialogs over the window.
    m_engine->SetScriptDialogsShown(true);
    m_browseView = std::make_unique<BrowseView>(m_engine->View(), [this] { m_pageLoading = true; });
    m_engine->SetDocumentCompleteHandler(
        [this](const engine::SnapshotDocument& document, engine::PageEngine::Completion completion) {
            if (m_engine && completion == engine::PageEngine::Completion::TopLevel) {
                m_pageLoading = false;
                ShowLoadProgress();
            }
            REWDocumentComplete(document, completion);
            ShowWhyThePageFailed(document, completion);
        });
    FormCreate();
    m_progressSource = g_timeout_add(
        kLoadProgressIntervalMs,
        [](gpointer data) -> gboolean {
            static_cast<TmainForm*>(data)->ShowLoadProgress();
            return G_SOURCE_CONTINUE;
        },
        this);
}

TmainForm::~TmainForm()
{
    if (!m_closed && m_window)
        gtk_widget_destroy(m_window);
    m_fetcher.reset();
}

GtkWidget* TmainForm::Named(GtkWidget* widget, const char* name)
{
    gtk_widget_set_name(widget, name);
    m_controls.emplace(name, widget);
    return widget;
}

GtkWidget* TmainForm::Button(const char* name, std::string_view caption)
{
    return Named(gtk_button_new_with_label(std::string(caption).c_str()), name);
}

void TmainForm::BuildControls()
{
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(m_window, "mainForm");
    gtk_window_set_title(GTK_WINDOW(m_window), std::string(kAppTitle).c_str());
    gtk_window_set_default_size(GTK_WINDOW(m_window), m_clientWidth, m_clientHeight);

    // The client area places its three rows itself, so it asks for no size of its own and the window
    // can be made smaller than its content (the resize rule then puts it back).
    GtkWidget* client = gtk_layout_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(m_window), client);
    gtk_layout_put(GTK_LAYOUT(client), BuildTopRows(), 0, 0);
    gtk_layout_put(GTK_LAYOUT(client), BuildViews(), 0, 0);
    gtk_layout_put(GTK_LAYOUT(client), BuildStatusBar(), 0, 0);

    // The design's placements; the filling ones follow the window's size (Align).
    Place("GGIm", { 0, 0, kBannerWidth, kTopHeight });
    Place("inurlLabel", { 8, 8, 26, 13 });
    Place("inurlEdit", { 40, 5, 177, 21 });
    Place("Button1", { 16, 0, 65, 24 });
    Place("Button3", { 88, 0, 65, 25 });
    Place("Button2", { 160, 0, 65, 25 });
    Place("RB1", { 232, 3, 73, 17 });
    Place("RB3", { 304, 3, 73, 17 });
    Place("Button4", { 272, 0, 75, 25 });
    Align(m_clientWidth, m_clientHeight);

    // Every control is shown from the start (only Button4 never is), so that start-up can pick the
    // page to show before the window appears.
    gtk_widget_show_all(client);

    // The keyboard order: address box, Save, Help, the checked view selector, Settings, the views.
    SetFocusChain(client, { Control("topP"), Control("rewP") });
    SetFocusChain(Control("topP"), { Control("topGG"), Control("topTool") });
    SetFocusChain(Control("topTool"), { Control("topPs"), Control("topPx") });
    SetFocusChain(Control("topPs"), { Control("inurlEdit") });
    SetFocusChain(Control("topPx"),
        { Control("Button1"), Control("Button2"), Control("RB1"), Control("RB3"), Control("Button3"),
            Control("Button4") });

    ConnectSignals();
}

GtkWidget* TmainForm::BuildTopRows()
{
    // The banner on the right; on the left the address row above the row of commands and view
    // selectors.
    GtkWidget* topP = Named(gtk_fixed_new(), "topP");
    GtkWidget* topGG = Named(gtk_fixed_new(), "topGG");
    GtkWidget* ggIm = Named(gtk_event_box_new(), "GGIm");
    gtk_container_add(GTK_CONTAINER(ggIm), gtk_image_new());
    GtkWidget* topTool = Named(gtk_fixed_new(), "topTool");
    GtkWidget* topPs = Named(gtk_fixed_new(), "topPs");
    GtkWidget* label = Named(gtk_label_new(std::string(kAddressCaption).c_str()), "inurlLabel");
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_yalign(GTK_LABEL(label), 0);
    GtkWidget* edit = Named(gtk_entry_new(), "inurlEdit");
    gtk_entry_set_width_chars(GTK_ENTRY(edit), 1);
    GtkWidget* topPx = Named(gtk_fixed_new(), "topPx");
    GtkWidget* button1 = Button("Button1", kSaveCaption);
    GtkWidget* button3 = Button("Button3", kSettingsCaption);
    GtkWidget* button2 = Button("Button2", kHelpCaption);
    GtkWidget* rb1
        = Named(gtk_radio_button_new_with_label(nullptr, std::string(kParseWindowCaption).c_str()), "RB1");
    GtkWidget* rb3 = Named(gtk_radio_button_new_with_label_from_widget(
                               GTK_RADIO_BUTTON(rb1), std::string(kBrowseWindowCaption).c_str()),
        "RB3");
    GtkWidget* button4 = Button("Button4", kButton4Caption);
    gtk_widget_set_no_show_all(button4, TRUE);

    gtk_fixed_put(GTK_FIXED(topP), topGG, 0, 0);
    gtk_fixed_put(GTK_FIXED(topP), topTool, 0, 0);
    gtk_fixed_put(GTK_FIXED(topGG), ggIm, 0, 0);
    gtk_fixed_put(GTK_FIXED(topTool), topPs, 0, 0);
    gtk_fixed_put(GTK_FIXED(topTool), topPx, 0, 0);
    gtk_fixed_put(GTK_FIXED(topPs), label, 0, 0);
    gtk_fixed_put(GTK_FIXED(topPs), edit, 0, 0);
    for (GtkWidget* widget : { button1, button3, button2, rb1, rb3, button4 })
        gtk_fixed_put(GTK_FIXED(topPx), widget, 0, 0);
    return topP;
}

GtkWidget* TmainForm::BuildViews()
{
    // Four pages without tabs: the result list, the log, the page engine's view and an empty one.
    GtkWidget* rewP = Named(gtk_frame_new(nullptr), "rewP");
    gtk_frame_set_shadow_type(GTK_FRAME(rewP), GTK_SHADOW_IN);
    GtkWidget* showPC = Named(gtk_notebook_new(), "showPC");
    gtk_notebook_set_show_border(GTK_NOTEBOOK(showPC), FALSE);
    gtk_container_add(GTK_CONTAINER(rewP), showPC);
    GtkWidget* pages[4];
    for (int i = 0; i < 4; ++i) {
        std::string name = "TS" + std::to_string(i + 1);
        pages[i] = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_widget_set_name(pages[i], name.c_str());
        m_controls.emplace(name, pages[i]);
        gtk_notebook_append_page(GTK_NOTEBOOK(showPC), pages[i], nullptr);
    }

    GtkWidget* plv = Named(gtk_scrolled_window_new(nullptr, nullptr), "PLV");
    gtk_widget_set_tooltip_text(plv, std::string(kResultListHint).c_str());
    m_resultView = gtk_tree_view_new();
    gtk_container_add(GTK_CONTAINER(plv), m_resultView);
    gtk_box_pack_start(GTK_BOX(pages[0]), plv, TRUE, TRUE, 0);

    GtkWidget* hsm = Named(gtk_scrolled_window_new(nullptr, nullptr), "HSM");
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(hsm), GTK_POLICY_ALWAYS, GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(hsm), GTK_SHADOW_NONE);
    m_logView = gtk_text_view_new();
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(m_logView), GTK_WRAP_NONE);
    gtk_text_buffer_set_text(
        gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_logView)), std::string(kLogInitialText).c_str(), -1);
    gtk_container_add(GTK_CONTAINER(hsm), m_logView);
    gtk_box_pack_start(GTK_BOX(pages[1]), hsm, TRUE, TRUE, 0);

    GtkWidget* rew = Named(m_engine->View(), "REW");
    gtk_box_pack_start(GTK_BOX(pages[2]), rew, TRUE, TRUE, 0);
    return rewP;
}

GtkWidget* TmainForm::BuildStatusBar()
{
    GtkWidget* status = Named(gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0), "StatusBar1");
    m_statusLabel = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(m_statusLabel), 0);
    gtk_label_set_ellipsize(GTK_LABEL(m_statusLabel), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(status), m_statusLabel, TRUE, TRUE, 0);
    // Beside the status text, while a page loads: how many of the files it asked for have arrived.
    m_loadCount = gtk_label_new("");
    gtk_widget_set_name(m_loadCount, "loadCount");
    gtk_widget_set_no_show_all(m_loadCount, TRUE);
    m_loadGauge = gtk_progress_bar_new();
    gtk_widget_set_name(m_loadGauge, "loadGauge");
    gtk_widget_set_size_request(m_loadGauge, kLoadGaugeWidth, -1);
    gtk_widget_set_valign(m_loadGauge, GTK_ALIGN_CENTER);
    gtk_widget_set_no_show_all(m_loadGauge, TRUE);
    gtk_box_pack_end(GTK_BOX(status), m_loadCount, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(status), m_loadGauge, FALSE, FALSE, 0);
    return status;
}

void TmainForm::ConnectSignals()
{
    g_signal_connect_swapped(
        Control("Button1"), "clicked", G_CALLBACK(+[](TmainForm* form) { form->Button1Click(); }), this);
    g_signal_connect_swapped(
        Control("Button2"), "clicked", G_CALLBACK(+[](TmainForm* form) { form->Button2Click(); }), this);
    g_signal_connect_swapped(
        Control("Button3"), "clicked", G_CALLBACK(+[](TmainForm* form) { form->Button3Click(); }), this);
    g_signal_connect_swapped(
        Control("Button4"), "clicked", G_CALLBACK(+[](TmainForm* form) { form->Button4Click(); }), this);
    // A radio button runs its handler when it becomes checked, by a click or from code.
    g_signal_connect(Control("RB1"), "toggled", G_CALLBACK(+[](GtkToggleButton* radio, TmainForm* form) {
        if (gtk_toggle_button_get_active(radio))
            form->RB1Click();
    }),
        this);
    g_signal_connect(Control("RB3"), "toggled", G_CALLBACK(+[](GtkToggleButton* radio, TmainForm* form) {
        if (gtk_toggle_button_get_active(radio))
            form->RB3Click();
    }),
        this);
    g_signal_connect(m_resultView, "button-press-event",
        G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, TmainForm* form) -> gboolean {
            if (event->type == GDK_2BUTTON_PRESS && event->button == GDK_BUTTON_PRIMARY)
                form->PLVDblClick();
            return FALSE;
        }),
        this);
    g_signal_connect(Control("GGIm"), "button-press-event",
        G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, TmainForm* form) -> gboolean {
            if (event->type == GDK_BUTTON_PRESS && event->button == GDK_BUTTON_PRIMARY)
                form->GGImClick();
            return FALSE;
        }),
        this);

    g_signal_connect(m_window, "key-press-event", G_CALLBACK(OnKeyPress), this);
    g_signal_connect(m_window, "size-allocate", G_CALLBACK(OnSizeAllocate), this);
    g_signal_connect(m_window, "configure-event", G_CALLBACK(OnConfigure), this);
    g_signal_connect(m_window, "window-state-event", G_CALLBACK(OnWindowState), this);
    g_signal_connect(m_window, "delete-event", G_CALLBACK(OnDelete), this);
    g_signal_connect(m_window, "destroy", G_CALLBACK(OnDestroy), this);
}

void TmainForm::Place(std::string_view name, Placement placement)
{
    m_layout.insert_or_assign(std::string(name), placement);
    GtkWidget* widget = Control(name);
    if (!widget)
        return;
    GtkWidget* parent = gtk_widget_get_parent(widget);
    if (GTK_IS_FIXED(parent))
        gtk_fixed_move(GTK_FIXED(parent), widget, placement.left, placement.top);
    else if (GTK_IS_LAYOUT(parent))
        gtk_layout_move(GTK_LAYOUT(parent), widget, placement.left, placement.top);
    else
        return; // placed by its container (the pages and what fills them)
    gtk_widget_set_size_request(widget, placement.width, placement.height);
}

void TmainForm::Align(int clientWidth, int clientHeight)
{
    // The layout never goes below the design's client area: a smaller window is about to be put
    // back by the resize rule.
    int width = std::max(clientWidth, kDesignWidth - kFrameWidth);
    int height = std::max(clientHeight, kDesignHeight - kFrameHeight);
    int toolWidth = width - kBannerWidth;
    int viewsHeight = height - kTopHeight - kStatusHeight;
    Place("topP", { 0, 0, width, kTopHeight });
    Place("topGG", { toolWidth, 0, kBannerWidth, kTopHeight });
    Place("topTool", { 0, 0, toolWidth, kTopHeight });
    Place("topPs", { 0, 0, toolWidth, kRowHeight });
    Place("topPx", { 0, kRowHeight, toolWidth, kRowHeight });
    Place("rewP", { 0, kTopHeight, width, viewsHeight });
    Placement inside { 1, 1, width - 2, viewsHeight - 2 };
    Place("showPC", inside);
    Placement page { 0, 0, inside.width, inside.height };
    for (const char* name : { "TS1", "PLV", "TS2", "HSM", "TS3", "REW", "TS4" })
        Place(name, page);
    Place("StatusBar1", { 0, height - kStatusHeight, width, kStatusHeight });
    m_laidOutWidth = clientWidth;
    m_laidOutHeight = clientHeight;
}

GtkWidget* TmainForm::Control(std::string_view name) const
{
    if (name == "mainForm")
        return m_window;
    auto found = m_controls.find(name);
    return found == m_controls.end() ? nullptr : found->second;
}

Placement TmainForm::LayoutOf(std::string_view name) const
{
    auto found = m_layout.find(name);
    return found == m_layout.end() ? Placement {} : found->second;
}

GtkWindow* TmainForm::Window() const
{
    return GTK_WINDOW(m_window);
}

void TmainForm::Show()
{
    gtk_widget_show_all(m_window);
}

void TmainForm::Close()
{
    if (!m_closed && m_window)
        gtk_window_close(GTK_WINDOW(m_window));
}

WindowBounds TmainForm::Bounds() const
{
    return { m_left, m_top, m_clientWidth + kFrameWidth, m_clientHeight + kFrameHeight };
}

void TmainForm::SetClientSize(int width, int height)
{
    m_clientWidth = width;
    m_clientHeight = height;
    if (!m_maximised)
        m_normalBounds = Bounds();
    gtk_window_resize(GTK_WINDOW(m_window), width, height);
    Align(width, height);
}

void TmainForm::SetPosition(int left, int top)
{
    m_left = left;
    m_top = top;
    if (!m_maximised)
        m_normalBounds = Bounds();
    gtk_window_move(GTK_WINDOW(m_window), left, top);
}

void TmainForm::FormCreate()
{
    // 1. The result list: one column, no border, no column header.
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    gtk_tree_view_set_model(GTK_TREE_VIEW(m_resultView), GTK_TREE_MODEL(store));
    // The form keeps its own reference, so that the list can still be read once the window is gone.
    m_resultStore.reset(store);
    // A line too long for the column ends in an ellipsis instead of a glyph cut in half.
    GtkCellRenderer* cell = gtk_cell_renderer_text_new();
    g_object_set(cell, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
    GtkTreeViewColumn* column = gtk_tree_view_column_new();
    gtk_tree_view_column_pack_start(column, cell, FALSE);
    gtk_tree_view_column_add_attribute(column, cell, "text", 0);
    gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_append_column(GTK_TREE_VIEW(m_resultView), column);
    m_resultColumn = column;
    // A tree view gives all the room its columns leave to the last one; an empty column after the
    // list's one takes it, so that the list's column keeps the width the window gives it.
    GtkTreeViewColumn* rest = gtk_tree_view_column_new();
    gtk_tree_view_column_set_expand(rest, TRUE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(m_resultView), rest);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(Control("PLV")), GTK_SHADOW_NONE);
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(m_resultView), FALSE);
    // 2. The banner: the default record built into the program.
    m_banner->LoadBanner(banner::DefaultBannerRecord());
    // 3. The settings file, or the first run.
    ApplySettings();
    // 4. Nothing is pending yet.
    m_capturePending = 0;
    // 5. Fit the list's column; the views fill their pages (their containers see to that).
    gtk_tree_view_column_set_fixed_width(column, std::max(1, LayoutOf("PLV").width - kColumnAllowance));
    // 6. Load the start-up page; its completion starts nothing.
    m_engine->Navigate(std::string(kBlankPage));
    // 7. Empty the address box.
    gtk_entry_set_text(GTK_ENTRY(Control("inurlEdit")), "");
    // 8. No page shows a tab.
    gtk_notebook_set_show_tabs(GTK_NOTEBOOK(Control("showPC")), FALSE);
    // 9. The browse page is the one shown.
    SelectPage(2);
    CheckRadio("RB3");
    // 10. Fit the list's column again, now that the pages are laid out.
    gtk_tree_view_column_set_fixed_width(column, std::max(1, LayoutOf("PLV").width - kColumnAllowance));
    // 11. Straight after start-up the address box reaches the banner area.
    Placement edit = LayoutOf("inurlEdit");
    edit.width = LayoutOf("topPs").width - 40;
    Place("inurlEdit", edit);
    gtk_editable_set_position(GTK_EDITABLE(Control("inurlEdit")), 0);
}

void TmainForm::FormResize()
{
    ++m_resizeCount;
    // 1. Each dimension below the design size is put back separately.
    int width = m_clientWidth;
    int height = m_clientHeight;
    if (width + kFrameWidth < kDesignWidth)
        width = kDesignWidth - kFrameWidth;
    if (height + kFrameHeight < kDesignHeight)
        height = kDesignHeight - kFrameHeight;
    if (width != m_clientWidth || height != m_clientHeight)
        SetClientSize(width, height);
    // 2. Fit the list's column to the list.
    gtk_tree_view_column_set_fixed_width(
        GTK_TREE_VIEW_COLUMN(m_resultColumn), std::max(1, LayoutOf("PLV").width - kColumnAllowance));
    // 3. After a resize the address box ends 4 pixels short of the banner area.
    Placement edit = LayoutOf("inurlEdit");
    edit.width = LayoutOf("topPs").width - 44;
    Place("inurlEdit", edit);
    gtk_editable_set_position(GTK_EDITABLE(Control("inurlEdit")), 0);
    // 4. The five row controls spread the spare width in six equal gaps.
    int spare = LayoutOf("topPx").width - kRowDesignWidth;
    int step = spare > 0 ? spare / 6 : 0;
    const std::pair<const char*, int> row[]
        = { { "Button1", 16 }, { "Button3", 88 }, { "Button2", 160 }, { "RB1", 232 }, { "RB3", 304 } };
    for (int i = 0; i < 5; ++i) {
        Placement placement = LayoutOf(row[i].first);
        placement.left = row[i].second + (i + 1) * step;
        Place(row[i].first, placement);
    }
}

void TmainForm::OnSizeAllocate(GtkWidget* widget, void*, void* data)
{
    auto* form = static_cast<TmainForm*>(data);
    int width = gtk_widget_get_allocated_width(widget);
    int height = gtk_widget_get_allocated_height(widget);
    if (form->m_resizeSource
        || (width == form->m_laidOutWidth && height == form->m_laidOutHeight && form->m_resizedOnce))
        return;
    // The new size is handled right after this allocation, outside it, since handling it changes
    // the sizes of the controls.
    form->m_resizeSource = g_idle_add_full(
        G_PRIORITY_HIGH_IDLE,
        [](gpointer formData) -> gboolean {
            auto* self = static_cast<TmainForm*>(formData);
            self->m_resizeSource = 0;
            if (!self->m_window)
                return G_SOURCE_REMOVE;
            self->m_clientWidth = gtk_widget_get_allocated_width(self->m_window);
            self->m_clientHeight = gtk_widget_get_allocated_height(self->m_window);
            if (!self->m_maximised)
                self->m_normalBounds = self->Bounds();
            self->m_resizedOnce = true;
            self->Align(self->m_clientWidth, self->m_clientHeight);
            self->FormResize();
            return G_SOURCE_REMOVE;
        },
        form, nullptr);
}

int TmainForm::OnKeyPress(GtkWidget* widget, void* event, void* data)
{
    auto* form = static_cast<TmainForm*>(data);
    auto* key = static_cast<GdkEventKey*>(event);
    if (key->keyval != GDK_KEY_Tab && key->keyval != GDK_KEY_ISO_Left_Tab && key->keyval != GDK_KEY_KP_Tab)
        return FALSE;
    // The page view sends Tab to its page first. When the page has nothing more to focus, the view
    // hands the focus on to the window itself and then also returns the key press, which the window
    // would take as a second Tab: one press, two steps, and the address box skipped. A press that
    // has already moved the focus out of the view moves it no further.
    GtkWidget* view = form->Control("REW");
    GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(widget));
    bool inView = view && focus && (focus == view || gtk_widget_is_ancestor(focus, view));
    bool returned = form->m_viewTab && form->m_viewTab->time == key->time
        && form->m_viewTab->keyval == key->keyval && form->m_viewTab->state == key->state;
    form->m_viewTab.reset();
    if (inView) {
        form->m_viewTab = ViewKey { key->time, key->keyval, key->state };
        return FALSE;
    }
    return returned ? TRUE : FALSE;
}

int TmainForm::OnConfigure(GtkWidget* widget, void*, void* data)
{
    auto* form = static_cast<TmainForm*>(data);
    int left = 0;
    int top = 0;
    gtk_window_get_position(GTK_WINDOW(widget), &left, &top);
    form->m_left = left;
    form->m_top = top;
    GdkWindow* window = gtk_widget_get_window(widget);
    bool maximised = window && (gdk_window_get_state(window) & GDK_WINDOW_STATE_MAXIMIZED);
    if (!maximised && !form->m_maximised) {
        form->m_normalBounds.left = left;
        form->m_normalBounds.top = top;
    }
    return FALSE;
}

int TmainForm::OnWindowState(GtkWidget*, void* event, void* data)
{
    auto* form = static_cast<TmainForm*>(data);
    auto* state = static_cast<GdkEventWindowState*>(event);
    form->m_maximised = (state->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
    return FALSE;
}

int TmainForm::OnDelete(GtkWidget*, void*, void* data)
{
    auto* form = static_cast<TmainForm*>(data);
    // The capture runs on the window's engine and writes into its views: the window closes when the
    // capture has ended.
    if (form->m_capturing) {
        // Until then the window is out of sight at once, and the rest of the capture runs without
        // drawing or waiting for events (see PumpMessages), so that it ends promptly.
        form->m_closeRequested = true;
        gtk_widget_hide(form->m_window);
        return TRUE;
    }
    form->FormClose();
    return FALSE;
}

void TmainForm::OnDestroy(GtkWidget*, void* data)
{
    auto* form = static_cast<TmainForm*>(data);
    form->m_closed = true;
    // A fetch still running is stopped before the banner's control goes with the window.
    form->m_fetcher.reset();
    form->m_progressWindow->Close();
    form->m_bannerDisplay->Detach();
    if (form->m_resizeSource)
        g_source_remove(form->m_resizeSource);
    form->m_resizeSource = 0;
    if (form->m_progressSource)
        g_source_remove(form->m_progressSource);
    form->m_progressSource = 0;
    // The engine lets go of its view while the view still stands.
    form->m_browseView.reset();
    form->m_engine.reset();
    form->m_window = nullptr;
    form->m_controls.clear();
    if (form->m_options.onClosed)
        form->m_options.onClosed();
}

void TmainForm::ShowLoadProgress()
{
    if (m_closed || !m_engine)
        return;
    // While Save waits for its page; the walk that follows shows its own progress in the list.
    bool loading = m_capturePending != 0 && !m_capturing && m_pageLoading;
    if (!loading) {
        gtk_widget_hide(m_loadGauge);
        gtk_widget_hide(m_loadCount);
        return;
    }
    engine::LoadProgress progress = m_engine->Progress();
    std::string count = std::to_string(progress.loaded) + "/" + std::to_string(progress.requested);
    gtk_label_set_text(GTK_LABEL(m_loadCount), count.c_str());
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(m_loadGauge),
        progress.requested > 0 ? std::min(1.0, double(progress.loaded) / progress.requested) : 0.0);
    gtk_widget_show(m_loadGauge);
    gtk_widget_show(m_loadCount);
}

std::string TmainForm::LoadProgressText() const
{
    return !m_closed && gtk_widget_get_visible(m_loadCount) ? gtk_label_get_text(GTK_LABEL(m_loadCount)) : "";
}

void TmainForm::ShowWhyThePageFailed(
    const engine::SnapshotDocument& document, engine::PageEngine::Completion completion)
{
    // Only once the capture is over: the error page is a load of its own, whose completion must find
    // no capture pending.
    if (m_closed || !m_engine || completion != engine::PageEngine::Completion::TopLevel
        || m_capturePending != 0 || document.origin != engine::DocumentOrigin::Failed)
        return;
    std::string reason(engine::DescribeNavigationFailure(m_engine->LastFailure()));
    if (!m_engine->LastFailureDetail().empty())
        reason += (reason.empty() ? "" : ": ") + m_engine->LastFailureDetail();
    if (reason.empty())
        reason = kNoResponseReason;
    m_browseView->ShowErrorPage(document.url, reason);
}

void TmainForm::SelectPage(int index)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(Control("showPC")), index);
}

int TmainForm::ActivePage() const
{
    return gtk_notebook_get_current_page(GTK_NOTEBOOK(Control("showPC")));
}

void TmainForm::CheckRadio(std::string_view name)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(Control(name)), TRUE);
}

} // namespace pagestow::app
