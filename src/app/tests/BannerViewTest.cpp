#include "app/BannerView.h"
#include "app/tests/WindowTestSupport.h"
#include "banner/Picture.h"
#include "banner/tests/LiveServer.h"
#include "banner/tests/TestPictures.h"

#include <gtk/gtk.h>

#include <cstring>
#include <system_error>

namespace pagestow::app::testing {
namespace {

    using banner::testing::Bytes;
    using banner::testing::MakeJpeg;
    using banner::testing::MakeRecord;
    using banner::testing::ToBytes;
    using banner::testing::ToString;

    // The default hint as the tooltip shows it: its CR LF is one line break.
    constexpr const char* kDefaultHint = "  广告位招商\nQQ:0123456789";

    banner::Picture DefaultPicture()
    {
        banner::BannerUpdate update;
        EXPECT_EQ(banner::PrepareBanner(banner::DefaultBannerRecord(), update), banner::BannerLoad::Loaded);
        return update.picture.value_or(banner::Picture {});
    }

    // The pixels of a pixbuf without row padding, in the picture's own layout.
    banner::Picture PictureOf(GdkPixbuf* pixbuf)
    {
        banner::Picture picture;
        if (!pixbuf)
            return picture;
        picture.width = gdk_pixbuf_get_width(pixbuf);
        picture.height = gdk_pixbuf_get_height(pixbuf);
        picture.format
            = gdk_pixbuf_get_has_alpha(pixbuf) ? banner::PixelFormat::Rgba : banner::PixelFormat::Rgb;
        const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
        int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
        for (int row = 0; row < picture.height; ++row)
            picture.pixels.insert(
                picture.pixels.end(), pixels + row * rowstride, pixels + row * rowstride + picture.Stride());
        return picture;
    }

    std::string TooltipOf(GtkWidget* widget)
    {
        gchar* text = gtk_widget_get_tooltip_text(widget);
        std::string copy = text ? text : "";
        g_free(text);
        return copy;
    }

    class BannerViewTest : public WindowTest {
    protected:
        TmainForm& MakeBannerForm(bool show, FormOptions options = {})
        {
            WriteSettings("[form]\ntop=10\nleft=20\nwidth=640\nheight=480\nwstate=0\n");
            options.bannerService = { m_server.Url("/"), m_server.Url("/gg/test.asp") };
            return MakeForm(show, std::move(options));
        }

        // Clicks the hidden button and runs the main loop until the fetch's result has reached the banner.
        void Fetch(TmainForm& form)
        {
            gtk_button_clicked(GTK_BUTTON(form.Control("Button4")));
            ASSERT_TRUE(form.Fetcher() && form.Fetcher()->Running());
            EXPECT_TRUE(PumpUntil([&] { return !form.Fetcher()->Running(); }));
            PumpPending();
        }

        void ExpectDefaultBanner(TmainForm& form)
        {
            EXPECT_EQ(PictureOf(form.BannerDisplay().Pixbuf()), DefaultPicture());
            EXPECT_EQ(TooltipOf(form.Control("GGIm")), kDefaultHint);
            form.GGImClick();
            EXPECT_TRUE(m_desktop.openedUris.empty());
        }

        banner::testing::LiveServer m_server;
    };

    TEST_F(BannerViewTest, StartUpShowsTheDefaultPictureAtTheTopLeftWithItsHintAndNoLink)
    {
        TmainForm& form = MakeBannerForm(true);
        banner::Picture picture = DefaultPicture();
        EXPECT_EQ(picture.width, 250);
        EXPECT_EQ(picture.height, 60);
        ExpectDefaultBanner(form);
        EXPECT_TRUE(gtk_widget_get_has_tooltip(form.Control("GGIm")));
        EXPECT_EQ(form.BannerState().Link(), "");

        GtkWidget* image = gtk_bin_get_child(GTK_BIN(form.Control("GGIm")));
        int left = -1;
        int top = -1;
        gtk_widget_translate_coordinates(image, form.Control("GGIm"), 0, 0, &left, &top);
        EXPECT_EQ(Placement(left, top, gtk_widget_get_allocated_width(image),
                      gtk_widget_get_allocated_height(image)),
            Placement(0, 0, 250, 60));
        EXPECT_EQ(PlacementInParent(form.Control("GGIm")), Placement(0, 0, 250, 60));
    }

    TEST_F(BannerViewTest, FetchedRecordReplacesTheBannerAndAClickOpensItsLink)
    {
        m_server.Serve("/", "home");
        Bytes jpeg = MakeJpeg(120, 40, 200, 30, 60);
        m_server.Serve("/gg/test.asp",
            ToString(MakeRecord("fetched\r\nhint", " \thttp://ads.example/page \r\n", "1", jpeg)),
            "application/octet-stream");
        TmainForm& form = MakeBannerForm(true);

        Fetch(form);

        EXPECT_EQ(PictureOf(form.BannerDisplay().Pixbuf()), banner::DecodeJpeg(jpeg).value());
        EXPECT_EQ(TooltipOf(form.Control("GGIm")), "fetched\nhint");
        form.GGImClick();
        EXPECT_EQ(m_desktop.openedUris, std::vector<std::string> { "http://ads.example/page" });
        // The answer announced its length, so the progress window came and went.
        EXPECT_EQ(form.ProgressWindow().Window(), nullptr);
        EXPECT_TRUE(m_desktop.messages.empty());
        EXPECT_EQ(m_server.RequestCount("/gg/test.asp"), 2);
    }

    TEST_F(BannerViewTest, PictureLargerThanTheControlIsCutAtItsEdgesNotScaled)
    {
        m_server.Serve("/", "home");
        Bytes jpeg = MakeJpeg(400, 90, 10, 220, 40);
        m_server.Serve(
            "/gg/test.asp", ToString(MakeRecord("big", "", "1", jpeg)), "application/octet-stream");
        TmainForm& form = MakeBannerForm(true);

        Fetch(form);

        banner::Picture whole = banner::DecodeJpeg(jpeg).value();
        banner::Picture shown = PictureOf(form.BannerDisplay().Pixbuf());
        ASSERT_EQ(std::pair(shown.width, shown.height), std::pair(250, 60));
        for (int row = 0; row < 60; ++row)
            ASSERT_EQ(std::memcmp(shown.pixels.data() + row * shown.Stride(),
                          whole.pixels.data() + row * whole.Stride(), std::size_t(shown.Stride())),
                0)
                << "row " << row;
        EXPECT_EQ(form.LayoutOf("GGIm"), Placement(0, 0, 250, 60));
        EXPECT_EQ(gtk_widget_get_allocated_width(form.Control("GGIm")), 250);
    }

    TEST_F(BannerViewTest, AnswersThatAreNoShowableRecordLeaveTheBannerAsItWas)
    {
        Bytes cutShort = MakeRecord("hint", "http://x.example/", "1", MakeJpeg(10, 10, 1, 2, 3));
        cutShort.resize(cutShort.size() - 20);
        const std::pair<const char*, Bytes> answers[] = {
            { "length header with letters", ToBytes(std::string_view("12ab\0\0\0\0\0\0hello", 15)) },
            { "field past the end", cutShort },
            { "picture that does not decode",
                MakeRecord("hint", "http://x.example/", "1", ToBytes("not a jpeg")) },
            { "empty answer", {} },
        };
        for (const auto& [what, body] : answers) {
            SCOPED_TRACE(what);
            m_server.Serve("/", "home");
            m_server.Serve("/gg/test.asp", ToString(body), "application/octet-stream");
            m_desktop.openedUris.clear();
            TmainForm& form = MakeBannerForm(false);
            Fetch(form);
            ExpectDefaultBanner(form);
            EXPECT_TRUE(m_desktop.messages.empty());
            m_form.reset();
            PumpPending();
        }
    }

    TEST_F(BannerViewTest, ThreadThatCannotStartShowsTheThreadErrorWithoutTitleOrIcon)
    {
        FormOptions options;
        options.bannerThreadStarter = [](std::function<void(std::stop_token)>) -> std::jthread {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        };
        TmainForm& form = MakeBannerForm(true, std::move(options));

        form.Button4Click();

        ASSERT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_EQ(
            m_desktop.messages[0], (ScriptedDesktop::Message { "", "线程出错!", MessageIcon::None, true }));
        EXPECT_FALSE(form.Fetcher()->Running());
        ExpectDefaultBanner(form);
    }

    TEST_F(BannerViewTest, ClosingTheWindowDuringAFetchStopsItAndClosesTheProgressWindow)
    {
        pagestow::testing::SilentServer silent;
        WriteSettings("[form]\ntop=10\nleft=20\nwidth=640\nheight=480\nwstate=0\n");
        FormOptions options;
        options.bannerService = { silent.Origin() + "/", silent.Origin() + "/gg/test.asp" };
        TmainForm& form = MakeForm(true, std::move(options));
        gtk_button_clicked(GTK_BUTTON(form.Control("Button4")));
        // The check connects, the download then waits for an answer that never comes.
        EXPECT_TRUE(PumpUntil([&] { return silent.Connections() >= 2; }));

        CloseForm();

        EXPECT_EQ(form.Fetcher(), nullptr);
        EXPECT_EQ(form.ProgressWindow().Window(), nullptr);
        EXPECT_TRUE(m_desktop.messages.empty());
    }

    TEST_F(BannerViewTest, ProgressWindowIsAnUndecoratedGaugeCentredOnTheDesktop)
    {
        GtkProgressWindow window([] { return std::pair { 1024, 768 }; });
        window.Show();
        ASSERT_NE(window.Window(), nullptr);
        GtkWindow* shown = GTK_WINDOW(window.Window());
        EXPECT_TRUE(PumpUntil([&] { return gtk_widget_get_mapped(window.Window()); }));
        PumpPending();
        EXPECT_FALSE(gtk_window_get_decorated(shown));
        EXPECT_FALSE(gtk_window_get_deletable(shown));
        EXPECT_FALSE(gtk_window_get_modal(shown));
        EXPECT_EQ(gtk_window_get_transient_for(shown), nullptr);
        banner::WindowGeometry place = banner::CentredProgressWindow(1024, 768);
        int left = 0;
        int top = 0;
        gtk_window_get_position(shown, &left, &top);
        EXPECT_EQ(banner::WindowGeometry(left, top, gtk_widget_get_allocated_width(window.Window()),
                      gtk_widget_get_allocated_height(window.Window())),
            place);
        EXPECT_EQ(place.width, 300);
        EXPECT_EQ(place.height, 25);

        GtkProgressBar* gauge = GTK_PROGRESS_BAR(window.Gauge());
        EXPECT_EQ(gtk_progress_bar_get_fraction(gauge), 0.0);
        EXPECT_TRUE(gtk_progress_bar_get_show_text(gauge));
        EXPECT_EQ(gtk_orientable_get_orientation(GTK_ORIENTABLE(gauge)), GTK_ORIENTATION_HORIZONTAL);
        for (auto [position, fraction] :
            { std::pair { 25, 0.25 }, { 100, 1.0 }, { 130, 1.0 }, { -5, 0.0 } }) {
            window.SetPosition(position);
            EXPECT_EQ(gtk_progress_bar_get_fraction(gauge), fraction) << position;
        }

        window.Close();
        EXPECT_EQ(window.Window(), nullptr);
        // A second window starts again at 0.
        window.Show();
        EXPECT_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(window.Gauge())), 0.0);
        window.Close();
        window.SetPosition(50); // nothing to move once closed
        EXPECT_EQ(window.Gauge(), nullptr);
    }

} // namespace
} // namespace pagestow::app::testing
