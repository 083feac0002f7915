#include "app/MainForm.h"
#include "app/tests/WindowTestSupport.h"
#include "engine/webkit/WebKitEngine.h"
#include "support/TestServer.h"

#include <glib.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <webkit2/webkit2.h>

#include <filesystem>

namespace pagestow::app::testing {
namespace {

    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TestServer;
    namespace fs = std::filesystem;

    mode_t ModeOf(const std::string& path)
    {
        struct stat info { };
        return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
    }

    // A person logs in in the browse view (a form that posts and gets a cookie), presses Save, and
    // after a restart of the window presses Save again: both times the page is the logged-in one.
    TEST_F(WindowTest, LoginInTheBrowseViewOutlastsTheWindowWhenTheSessionIsKept)
    {
        TestServer server;
        server.Handle("/login", [](const httplib::Request& request, httplib::Response& response) {
            if (request.method != "POST") {
                response.set_content("<form method=post action=/login><input name=user value=me>"
                                     "<button>in</button></form>",
                    "text/html");
                return;
            }
            response.set_header(
                "Set-Cookie", "sid=" + request.get_param_value("user") + "-42; Max-Age=3600; Path=/");
            response.set_redirect("/account.htm", 303);
        });
        server.Handle("/account.htm", [](const httplib::Request& request, httplib::Response& response) {
            bool in = request.get_header_value("Cookie").find("sid=me-42") != std::string::npos;
            response.status = in ? 200 : 403;
            response.set_content(in ? "<p>welcome me</p>" : "<p>login required</p>", "text/html");
        });
        fs::path saveDir = m_folder->Path() / "pages";
        fs::create_directories(saveDir);
        WriteSettings("[form]\ntop=0\nleft=0\nwidth=640\nheight=480\nwstate=0\n[setup]\nsavedir="
            + saveDir.string() + "\n");
        auto saveAccount = [&](TmainForm& form) {
            form.SetAddressText(server.Url("/account.htm"));
            gtk_button_clicked(GTK_BUTTON(form.Control("Button1")));
            EXPECT_TRUE(PumpUntil([&] { return form.CapturePending() == 0; }));
            return ReadFileBytes(saveDir / form.CaptureFolder / "127.0.0.1/account.htm");
        };

        {
            TmainForm& form = MakeForm();
            ASSERT_TRUE(PumpUntil([&] { return form.Engine().Document() != nullptr; }));
            auto* view = WEBKIT_WEB_VIEW(form.Engine().View());
            webkit_web_view_load_uri(view, server.Url("/login").c_str());
            ASSERT_TRUE(PumpUntil(
                [&] { return !webkit_web_view_is_loading(view) && server.RequestCount("/login") == 1; }));
            webkit_web_view_evaluate_javascript(view, "document.querySelector('button').click()", -1, nullptr,
                nullptr, nullptr, nullptr, nullptr);
            ASSERT_TRUE(PumpUntil([&] {
                return server.RequestCount("/account.htm") == 1 && !webkit_web_view_is_loading(view);
            }));
            EXPECT_EQ(saveAccount(form), "<html><head></head><body><p>welcome me</p></body></html>");
        }
        // The window closes and a new one starts with the same settings and data folder.
        m_form.reset();
        PumpPending();
        std::string cookieFile = std::string(g_get_user_data_dir()) + "/pagestow/cookies.txt";
        EXPECT_EQ(ModeOf(fs::path(cookieFile).parent_path().string()), 0700u);
        EXPECT_EQ(ModeOf(cookieFile), 0600u);
        EXPECT_NE(ReadFileBytes(cookieFile).find("\tsid\tme-42"), std::string::npos);
        TmainForm& again = MakeForm();
        ASSERT_TRUE(PumpUntil([&] { return again.Engine().Document() != nullptr; }));
        EXPECT_EQ(saveAccount(again), "<html><head></head><body><p>welcome me</p></body></html>");
    }

} // namespace
} // namespace pagestow::app::testing
