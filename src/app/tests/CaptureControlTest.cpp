#include "app/MainForm.h"
#include "app/Texts.h"
#include "app/tests/WindowTestSupport.h"
#include "capture/Capture.h"
#include "engine/EngineError.h"
#include "engine/webkit/WebKitEngine.h"
#include "support/Gzip.h"
#include "support/TestServer.h"

#include <gtk/gtk.h>

#include <filesystem>

namespace pagestow::app::testing {
namespace {

    using pagestow::testing::ListFiles;
    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TestServer;
    namespace fs = std::filesystem;

    // A real 1 x 1 GIF, with a tag after its trailer that tells the pictures apart.
    std::string Gif(const std::string& tag)
    {
        static const std::string picture(
            "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01"
            "\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
            43);
        return picture + tag;
    }

    class CaptureControlTest : public WindowTest {
    protected:
        void SetUp() override
        {
            WindowTest::SetUp();
            if (IsSkipped())
                return;
            m_saveDir = m_folder->Path() / "pages";
            fs::create_directories(m_saveDir);
            WriteSettings("[form]\ntop=0\nleft=0\nwidth=640\nheight=480\nwstate=0\n[setup]\nsavedir="
                + m_saveDir.string() + "\n");
        }

        // Types the address, clicks Save and waits until the window is idle again.
        void Save(const std::string& address)
        {
            m_form->SetAddressText(address);
            gtk_button_clicked(GTK_BUTTON(m_form->Control("Button1")));
            ASSERT_TRUE(PumpUntil([this] { return m_form->CapturePending() == 0; }));
        }

        bool Enabled(const char* name) const { return gtk_widget_get_sensitive(m_form->Control(name)); }

        // The capture folder of the last capture, below the save folder.
        fs::path CaptureDir() const { return m_saveDir / m_form->CaptureFolder; }

        fs::path m_saveDir;
    };

    TEST_F(CaptureControlTest, AnAddressOfBlanksOnlyAsksForAnAddressAndNavigatesNothing)
    {
        TmainForm& form = MakeForm();
        form.SetAddressText(" \t  ");
        gtk_button_clicked(GTK_BUTTON(form.Control("Button1")));
        EXPECT_EQ(form.StatusText(), " 请输入网址...");
        ASSERT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_EQ(m_desktop.messages[0],
            (ScriptedDesktop::Message {
                "友情提示！", "请输入要保存的网址...", MessageIcon::Information, true }));
        EXPECT_EQ(form.CapturePending(), 0);
        EXPECT_TRUE(form.ResultLines().empty());
        EXPECT_TRUE(Enabled("Button1"));
        EXPECT_EQ(form.ActivePage(), 2);
    }

    TEST_F(CaptureControlTest, SaveCapturesThePageItsFramesAndWhatItsScriptsAdded)
    {
        TestServer first("127.0.0.1");
        TestServer second("127.0.0.2");
        first.Serve("/news/index.htm",
            "<html><head><link rel=\"stylesheet\" href=\"style.css\"></head><body>"
            "<img src=\"logo.gif\"><iframe src=\""
                + second.Url("/ad/frame.htm")
                + "\"></iframe><script>window.addEventListener('load', function () {"
                  " var i = document.createElement('img'); i.src = 'late.gif'; document.body.appendChild(i); "
                  "});"
                  "</script></body></html>");
        first.Serve("/news/style.css", "p { color: red }", "text/css");
        first.Serve("/news/logo.gif", Gif("logo"), "image/gif");
        first.Serve("/news/late.gif", Gif("late"), "image/gif");
        second.Serve("/ad/frame.htm", "<html><body><img src=\"ad.gif\"></body></html>");
        second.Serve("/ad/ad.gif", Gif("ad"), "image/gif");

        TmainForm& form = MakeForm();
        // The start-up page has completed by now without starting anything.
        ASSERT_TRUE(PumpUntil([&] { return form.Engine().Document() != nullptr; }));
        EXPECT_TRUE(form.ResultLines().empty());

        const std::string address = "  " + first.Url("/news/index.htm") + " ";
        form.SetAddressText(address);
        gtk_button_clicked(GTK_BUTTON(form.Control("Button1")));
        // While the page loads: the controls are off, the list shows where it goes, the user watches it.
        EXPECT_EQ(form.CapturePending(), -1);
        EXPECT_FALSE(Enabled("inurlEdit"));
        EXPECT_FALSE(Enabled("Button1"));
        EXPECT_FALSE(Enabled("Button2"));
        EXPECT_TRUE(Enabled("Button3"));
        EXPECT_TRUE(Enabled("RB3"));
        EXPECT_EQ(form.ResultLines(),
            (std::vector<std::string> { "保存到：" + m_saveDir.string(), "开始下载页面..." }));
        EXPECT_EQ(form.StatusText(), " 开始下载页面...");
        EXPECT_EQ(form.ActivePage(), 0);
        EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(form.Control("RB1"))));

        ASSERT_TRUE(PumpUntil([&] { return form.CapturePending() == 0; }));
        EXPECT_TRUE(m_desktop.messages.empty());
        EXPECT_EQ(form.AddressText(), address);
        EXPECT_TRUE(Enabled("inurlEdit"));
        EXPECT_TRUE(Enabled("Button1"));
        EXPECT_TRUE(Enabled("Button2"));
        EXPECT_EQ(form.StatusText(), " 页面解析完成。");

        const std::string capture = m_saveDir.string() + "/" + form.CaptureFolder;
        const std::string top = capture + "/127.0.0.1/news/";
        const std::string frame = capture + "/127.0.0.2/ad/";
        std::vector<std::string> lines = form.ResultLines();
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
            (std::vector<std::string> {
                "保存到：" + m_saveDir.string(), "开始下载页面...", "页面下载完成。", "开始解析页面..." }));
        EXPECT_EQ(lines[4], "网页文件“" + top + "index.htm”保存完成。");
        EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string> { "页面解析完成。", "双击打开保存的目录！" }));
        auto listed = [&](const std::string& path) {
            for (const std::string& line : lines) {
                if (line.find(path) != std::string::npos)
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(listed(top + "style.css"));
        EXPECT_TRUE(listed(top + "late.gif"));
        EXPECT_TRUE(listed(frame + "frame.htm"));

        EXPECT_EQ(ListFiles(CaptureDir()),
            (std::vector<std::string> { "127.0.0.1/news/index.htm", "127.0.0.1/news/late.gif",
                "127.0.0.1/news/logo.gif", "127.0.0.1/news/style.css", "127.0.0.2/ad/ad.gif",
                "127.0.0.2/ad/frame.htm" }));
        EXPECT_EQ(ReadFileBytes(CaptureDir() / "127.0.0.1/news/late.gif"), Gif("late"));
        EXPECT_EQ(ReadFileBytes(CaptureDir() / "127.0.0.2/ad/ad.gif"), Gif("ad"));
        EXPECT_EQ(ReadFileBytes(CaptureDir() / "127.0.0.2/ad/frame.htm"),
            "<html><head></head><body><img src=\"ad.gif\"></body></html>");
        // The saved page is the document as it stands, with the image its script added.
        EXPECT_NE(ReadFileBytes(CaptureDir() / "127.0.0.1/news/index.htm").find("<img src=\"late.gif\">"),
            std::string::npos);

        // A double-click on the list opens the capture's folder.
        form.PLVDblClick();
        EXPECT_EQ(m_desktop.openedFolders, (std::vector<std::string> { capture + "/" }));
    }

    // With warc=1 each capture also holds its archive: what the load Save started exchanged, not what
    // was browsed before it.
    TEST_F(CaptureControlTest, WithTheArchiveKeyACaptureWritesTheExchangesOfItsLoad)
    {
        TestServer server("127.0.0.1");
        server.Serve("/before.htm", "<html><body><img src=\"seen.gif\"></body></html>");
        server.Serve("/seen.gif", Gif("seen"), "image/gif");
        server.Serve(
            "/page.htm", "<html><head><title>Kept</title></head><body><img src=\"logo.gif\"></body></html>");
        server.Serve("/logo.gif", Gif("logo"), "image/gif");
        WriteSettings("[form]\ntop=0\nleft=0\nwidth=640\nheight=480\nwstate=0\n[setup]\nsavedir="
            + m_saveDir.string() + "\nwarc=1\n");
        TmainForm& form = MakeForm();
        ASSERT_TRUE(PumpUntil([&] { return form.Engine().Document() != nullptr; }));
        form.Engine().Navigate(server.Url("/before.htm"));
        ASSERT_TRUE(PumpUntil([&] { return server.RequestCount("/seen.gif") > 0; }));
        Save(server.Url("/page.htm"));
        EXPECT_TRUE(m_desktop.messages.empty());

        std::string warc = ReadFileBytes(CaptureDir() / "capture.warc.gz");
        ASSERT_FALSE(warc.empty());
        std::string records = pagestow::testing::Gunzip(warc);
        EXPECT_NE(records.find("WARC-Target-URI: " + server.Url("/page.htm")), std::string::npos);
        EXPECT_NE(records.find("WARC-Target-URI: " + server.Url("/logo.gif")), std::string::npos);
        EXPECT_NE(
            records.find("WARC-Target-URI: urn:pagestow:dom:" + server.Url("/page.htm")), std::string::npos);
        EXPECT_EQ(records.find(server.Url("/seen.gif")), std::string::npos);
    }

    // With screenshot=1 each capture also holds a PNG of the page the view shows, beside its file.
    TEST_F(CaptureControlTest, WithTheScreenshotKeyACaptureWritesThePictureBesideThePage)
    {
        TestServer server("127.0.0.1");
        server.Serve("/page.htm",
            "<html><body style=\"margin: 0; background: #ff0000\">"
            "<div style=\"height: 2000px\"></div></body></html>");
        WriteSettings("[form]\ntop=0\nleft=0\nwidth=640\nheight=480\nwstate=0\n[setup]\nsavedir="
            + m_saveDir.string() + "\nscreenshot=1\n");
        TmainForm& form = MakeForm();
        Save(server.Url("/page.htm"));
        EXPECT_TRUE(m_desktop.messages.empty());
        const fs::path picture = CaptureDir() / "127.0.0.1/page.png";
        ASSERT_FALSE(form.ResultLines().empty());
        EXPECT_EQ(form.ResultLines().back(), "页面截图：" + picture.string());
        // A PNG as tall as the page.
        std::string png = ReadFileBytes(picture);
        ASSERT_GE(png.size(), 24u);
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
        EXPECT_EQ(png.substr(20, 4), std::string("\0\0\x07\xd0", 4));
    }

    TEST_F(CaptureControlTest, APageThatCannotBeReachedIsRejectedAndTheWindowReturnsToIdle)
    {
        TmainForm& form = MakeForm();
        Save("http://127.0.0.1:" + std::to_string(pagestow::testing::RefusedPort()) + "/");
        ASSERT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_EQ(m_desktop.messages[0].title, "友情提示！");
        EXPECT_EQ(m_desktop.messages[0].text, " 网页不存在，或是网址不符合标准，停止下载。");
        EXPECT_EQ(m_desktop.messages[0].icon, MessageIcon::Information);
        EXPECT_TRUE(Enabled("Button1"));
        EXPECT_TRUE(Enabled("inurlEdit"));
        EXPECT_TRUE(form.CaptureFolder.empty());
        // Nothing was captured, so a double-click opens nothing, though the list has lines.
        EXPECT_FALSE(form.ResultLines().empty());
        form.PLVDblClick();
        EXPECT_TRUE(m_desktop.openedFolders.empty());
    }

    TEST_F(CaptureControlTest, CompletionsWhileIdleOrOfFramesOrOfTheBlankPageStartNothing)
    {
        TmainForm& form = MakeForm();
        using Completion = engine::PageEngine::Completion;
        auto idle = engine::MakeBlankDocument("http://127.0.0.1/idle.htm");
        form.REWDocumentComplete(*idle, Completion::TopLevel);
        EXPECT_TRUE(form.ResultLines().empty());

        // Pending: a frame's completion and the blank page's leave the flag set.
        form.SetAddressText("http://127.0.0.1:1/");
        gtk_button_clicked(GTK_BUTTON(form.Control("Button1")));
        form.REWDocumentComplete(*engine::MakeBlankDocument("http://127.0.0.1/frame.htm"), Completion::Frame);
        form.REWDocumentComplete(*engine::MakeBlankDocument("about:blank"), Completion::TopLevel);
        EXPECT_EQ(form.CapturePending(), -1);
        EXPECT_EQ(form.ResultLines().size(), 2u);
        ASSERT_TRUE(PumpUntil([&] { return form.CapturePending() == 0; }));
    }

    // An engine whose document has no body: the capture driver fails with an engine error that it
    // does not catch itself.
    class BrokenDocumentEngine : public engine::webkit::WebKitEngine {
    public:
        BrokenDocumentEngine()
            : WebKitEngine(engine::webkit::ViewHost::Embedded)
        {
        }
        std::shared_ptr<const engine::SnapshotDocument> Document() const override
        {
            auto document = WebKitEngine::Document();
            if (!document)
                return document;
            auto bodiless = std::make_shared<engine::SnapshotDocument>(*document);
            bodiless->body = -1;
            return bodiless;
        }
    };

    TEST_F(CaptureControlTest, AnErrorThatEscapesTheCaptureIsShownAndTheWindowReturnsToIdle)
    {
        TestServer server;
        server.Serve("/page.htm", "<html><body>x</body></html>");
        FormOptions options;
        options.makeEngine = [] { return std::make_unique<BrokenDocumentEngine>(); };
        TmainForm& form = MakeForm(true, std::move(options));
        Save(server.Url("/page.htm"));
        ASSERT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_EQ(m_desktop.messages[0].title, "Pagestow - Vantrelle");
        EXPECT_EQ(m_desktop.messages[0].text,
            capture::DescribeError(engine::EngineError("The document has no body element")));
        EXPECT_EQ(m_desktop.messages[0].icon, MessageIcon::None);
        EXPECT_FALSE(form.Capturing());
        EXPECT_TRUE(Enabled("Button1"));
        EXPECT_TRUE(Enabled("Button2"));
        EXPECT_TRUE(Enabled("inurlEdit"));
        // The next capture starts normally.
        Save(server.Url("/page.htm"));
        EXPECT_EQ(form.CapturePending(), 0);
    }

    // A form that acts in the middle of its capture, when the walk lets the window's events through.
    class MidCaptureForm : public TmainForm {
    public:
        using TmainForm::TmainForm;
        std::function<void()> duringCapture;
        bool acted = false;

        void AddResultLine(const std::string& message) override
        {
            TmainForm::AddResultLine(message);
            if (message == kStartParseLine && duringCapture) {
                g_idle_add(
                    [](gpointer data) -> gboolean {
                        auto* form = static_cast<MidCaptureForm*>(data);
                        if (form->Capturing()) {
                            form->acted = true;
                            form->duringCapture();
                        }
                        return G_SOURCE_REMOVE;
                    },
                    this);
            }
        }
    };

    class MidCaptureTest : public CaptureControlTest {
    protected:
        MidCaptureForm& MakeMidCaptureForm()
        {
            FormOptions options;
            options.settingsFile = SettingsFile();
            auto form = std::make_unique<MidCaptureForm>(m_desktop, std::move(options));
            MidCaptureForm& raw = *form;
            m_form = std::move(form);
            raw.Show();
            EXPECT_TRUE(PumpUntil([&] { return raw.ResizeCount() > 0; }));
            return raw;
        }

        void ServePageWithImages(TestServer& server)
        {
            std::string body = "<html><body>";
            for (int i = 0; i < 5; ++i) {
                body += "<img src=\"p" + std::to_string(i) + ".gif\">";
                server.Serve("/p" + std::to_string(i) + ".gif", Gif(std::to_string(i)), "image/gif");
            }
            server.Serve("/page.htm", body + "</body></html>");
        }
    };

    TEST_F(MidCaptureTest, ACompletionDuringARunningCaptureIsIgnored)
    {
        TestServer server;
        ServePageWithImages(server);
        MidCaptureForm& form = MakeMidCaptureForm();
        form.duringCapture = [&] {
            form.REWDocumentComplete(*engine::MakeBlankDocument(server.Url("/other.htm")),
                engine::PageEngine::Completion::TopLevel);
        };
        Save(server.Url("/page.htm"));
        EXPECT_TRUE(form.acted);
        std::vector<std::string> lines = form.ResultLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "页面下载完成。"), 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "页面解析完成。"), 1);
        EXPECT_EQ(ListFiles(m_saveDir).size(), 6u);
    }

    TEST_F(MidCaptureTest, AFolderChosenDuringACaptureTakesEffectWhenItEnds)
    {
        TestServer server;
        ServePageWithImages(server);
        MidCaptureForm& form = MakeMidCaptureForm();
        const fs::path chosen = m_folder->Path() / "elsewhere";
        fs::create_directories(chosen);
        m_desktop.folderAnswers.push_back(chosen.string());
        form.duringCapture = [&] { form.Button3Click(); };
        Save(server.Url("/page.htm"));
        EXPECT_TRUE(form.acted);
        // Every file of the capture is below the folder it started with.
        EXPECT_EQ(ListFiles(m_saveDir).size(), 6u);
        EXPECT_TRUE(ListFiles(chosen).empty());
        EXPECT_EQ(form.SaveDir, chosen.string());
        EXPECT_NE(ReadSettings().find("savedir=" + chosen.string() + "\n"), std::string::npos);
        // The list still opens the folder that capture wrote.
        form.PLVDblClick();
        EXPECT_EQ(m_desktop.openedFolders,
            (std::vector<std::string> { m_saveDir.string() + "/" + form.CaptureFolder + "/" }));
    }

    TEST_F(MidCaptureTest, ClosingDuringACaptureClosesWhenItEnds)
    {
        TestServer server;
        ServePageWithImages(server);
        MidCaptureForm& form = MakeMidCaptureForm();
        bool stillOpenDuringCapture = false;
        form.duringCapture = [&] {
            form.Close();
            PumpPending();
            stillOpenDuringCapture = !form.Closed();
        };
        form.SetAddressText(server.Url("/page.htm"));
        gtk_button_clicked(GTK_BUTTON(form.Control("Button1")));
        ASSERT_TRUE(PumpUntil([&] { return form.Closed(); }));
        EXPECT_TRUE(stillOpenDuringCapture);
        EXPECT_EQ(form.ResultLines().back(), "双击打开保存的目录！");
        EXPECT_EQ(ListFiles(m_saveDir).size(), 6u);
        EXPECT_NE(ReadSettings().find("wstate=0"), std::string::npos);
    }

} // namespace
} // namespace pagestow::app::testing
