#include "app/MainForm.h"
#include "app/Texts.h"
#include "app/tests/WindowTestSupport.h"
#include "capture/CaptureRecord.h"
#include "engine/webkit/WebKitEngine.h"
#include "mapping/FileUtils.h"

#include <gtk/gtk.h>

#include <filesystem>

namespace pagestow::app::testing {
namespace {

    namespace fs = std::filesystem;

    using SettingsTest = WindowTest;

    struct StoredCase {
        const char* name;
        std::string form;
        // What the window comes up with.
        WindowBounds bounds;
        bool maximised;
    };

    class StoredSettingsTest : public WindowTest, public ::testing::WithParamInterface<StoredCase> { };

    TEST_P(StoredSettingsTest, StartUpAppliesTheStoredGeometry)
    {
        const StoredCase& c = GetParam();
        WriteSettings("[form]\n" + c.form);
        TmainForm& form = MakeForm();
        EXPECT_TRUE(m_desktop.messages.empty());
        EXPECT_EQ(form.Maximised(), c.maximised);
        EXPECT_EQ(form.Maximised() ? form.NormalBounds() : form.Bounds(), c.bounds);
    }

    INSTANTIATE_TEST_SUITE_P(Cases, StoredSettingsTest,
        ::testing::Values(StoredCase { "Exact", "top=40\nleft=30\nwidth=800\nheight=600\nwstate=0\n",
                              { 30, 40, 800, 600 }, false },
            StoredCase { "NegativePositionsComeBackAtZero", "top=-20\nleft=-7\nwidth=700\nheight=500\n",
                { 0, 0, 700, 500 }, false },
            StoredCase { "ZeroSizeKeepsTheDesignSize", "top=5\nleft=6\nwidth=0\nheight=0\n",
                { 6, 5, 640, 480 }, false },
            StoredCase { "SmallSizeIsRaisedByTheResizeRule", "top=5\nleft=6\nwidth=300\nheight=200\n",
                { 6, 5, 640, 480 }, false },
            StoredCase {
                "SizeSmallerThanTheFrameIsRaisedToo", "width=3\nheight=1\n", { 0, 0, 640, 480 }, false },
            StoredCase { "NumbersInHexAndNonsense", "top=0x20\nleft=abc\nwidth=0X2BC\nheight=12px\n",
                { 0, 32, 700, 480 }, false },
            StoredCase { "EmptySectionReadsAsZero", "", { 0, 0, 640, 480 }, false },
            StoredCase { "Maximised", "top=40\nleft=30\nwidth=800\nheight=600\nwstate=1\n",
                { 30, 40, 800, 600 }, true }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST_F(SettingsTest, ClosingWritesTheGeometryInItsOrder)
    {
        WriteSettings(
            "[setup]\nsavedir=/nowhere\n[form]\ntop=40\nleft=30\nwidth=800\nheight=600\nwstate=0\n");
        TmainForm& form = MakeForm();
        gtk_window_resize(form.Window(), 700 - kFrameWidth, 520 - kFrameHeight);
        WaitForClientSize(700 - kFrameWidth, 520 - kFrameHeight);
        CloseForm();
        EXPECT_EQ(ReadSettings(),
            "[setup]\nsavedir=/nowhere\n[form]\ntop=40\nleft=30\nwidth=700\nheight=520\nwstate=0\n");
        // The save folder is not written at close, and a missing one was not written either.
        EXPECT_EQ(m_form->SaveDir, DocumentsFolder());
    }

    TEST_F(SettingsTest, AWindowClosedMaximisedStoresItsNormalBoundsAndOpensMaximised)
    {
        WriteSettings("[form]\ntop=40\nleft=30\nwidth=800\nheight=600\nwstate=1\n");
        MakeForm();
        ASSERT_TRUE(m_form->Maximised());
        CloseForm();
        EXPECT_EQ(ReadSettings(), "[form]\ntop=40\nleft=30\nwidth=800\nheight=600\nwstate=1\n");

        MakeForm();
        EXPECT_TRUE(m_form->Maximised());
        EXPECT_EQ(m_form->NormalBounds(), (WindowBounds { 30, 40, 800, 600 }));
    }

    TEST_F(SettingsTest, AFirstRunWrittenAtCloseComesBackAsStored)
    {
        MakeForm();
        CloseForm();
        EXPECT_EQ(ReadSettings(), "[form]\nwstate=0\ntop=131\nleft=192\nwidth=640\nheight=480\n");
        m_desktop.messages.clear();
        MakeForm();
        EXPECT_TRUE(m_desktop.messages.empty());
        EXPECT_EQ(m_form->Bounds(), (WindowBounds { 192, 131, 640, 480 }));
        // No save folder was ever chosen: the documents folder, now without a separator.
        EXPECT_EQ(m_form->SaveDir, DocumentsFolder());
    }

    TEST_F(SettingsTest, TheStoredSaveFolderIsUsedWhileItExists)
    {
        fs::path pages = m_folder->Path() / "pages";
        fs::create_directories(pages);
        const std::string settings
            = "[form]\nwidth=640\nheight=480\n[setup]\nsavedir=" + pages.string() + "\n";
        WriteSettings(settings);
        MakeForm(false);
        EXPECT_EQ(m_form->SaveDir, pages.string());
        m_form.reset();

        // Once it is gone, this run saves into the documents folder; the file keeps the old one.
        fs::remove(pages);
        MakeForm(false);
        EXPECT_EQ(m_form->SaveDir, DocumentsFolder());
        m_form.reset();
        EXPECT_EQ(ReadSettings(), settings);
    }

    TEST_F(SettingsTest, TheFirstRunGreetsCentresTheWindowAndSavesIntoTheDocumentsFolder)
    {
        m_desktop.screen = { 1024, 768 };
        TmainForm& form = MakeForm(false);
        ASSERT_EQ(m_desktop.messages.size(), 1u);
        const ScriptedDesktop::Message& message = m_desktop.messages[0];
        EXPECT_EQ(message.title, "友情提示！");
        EXPECT_EQ(message.icon, MessageIcon::Information);
        // Before the window appears.
        EXPECT_FALSE(message.ownerShown);
        EXPECT_EQ(message.text,
            "\r\n      您是第一次运行本软件，默认将保存到“我的文档”下，  \r\n\r\n"
            "如果您想保存到您认为合适的目录，请点击设置，重新设置保  \r\n\r\n存目录。\r\n\r\n\r\n"
            "                        欢迎使用“Vantrelle”\r\n\r\n"
            "                有任何问题或建议可联系QQ：0123456789\r\n");
        EXPECT_EQ(form.Bounds(), (WindowBounds { 192, 131, 640, 480 }));
        EXPECT_EQ(m_form->SaveDir, DocumentsFolder() + "/");
        // Nothing is written, so the next start greets again.
        EXPECT_FALSE(fs::exists(SettingsFile()));

        form.Show();
        ASSERT_TRUE(PumpUntil([&] { return form.ResizeCount() > 0; }));
        int left = 0;
        int top = 0;
        gtk_window_get_position(form.Window(), &left, &top);
        EXPECT_EQ(left, 192);
        EXPECT_EQ(top, 131);
    }

    TEST_F(SettingsTest, TheFirstRunPlacementFollowsTheScreen)
    {
        m_desktop.screen = { 1921, 1081 };
        TmainForm& form = MakeForm(false);
        // (1921 - 640) / 2 and (1081 - 480 - 26) / 2, truncated.
        EXPECT_EQ(form.Bounds(), (WindowBounds { 640, 287, 640, 480 }));
    }

    TEST_F(SettingsTest, SettingsPreselectsTheStoredFolderAndStoresTheChoice)
    {
        fs::path stored = m_folder->Path() / "stored";
        fs::path chosen = m_folder->Path() / "chosen";
        fs::create_directories(chosen);
        WriteSettings("[form]\nwidth=640\n[setup]\nsavedir=" + stored.string() + "\n");
        TmainForm& form = MakeForm(false);
        // The stored folder is gone, so this run saves into the documents folder; the chooser still
        // starts at the stored one.
        EXPECT_EQ(m_form->SaveDir, DocumentsFolder());
        m_desktop.folderAnswers = { chosen.string() };
        form.Button3Click();
        ASSERT_EQ(m_desktop.folderRequests.size(), 1u);
        EXPECT_EQ(m_desktop.folderRequests[0].initialFolder, stored.string());
        EXPECT_EQ(m_desktop.folderRequests[0].prompt, "设置Pagestow的目录");
        EXPECT_EQ(m_form->SaveDir, chosen.string());
        EXPECT_EQ(ReadSettings(), "[form]\nwidth=640\n[setup]\nsavedir=" + chosen.string() + "\n");

        // A cancelled chooser changes nothing.
        form.Button3Click();
        EXPECT_EQ(m_desktop.folderRequests.back().initialFolder, chosen.string());
        EXPECT_EQ(m_form->SaveDir, chosen.string());
        EXPECT_EQ(ReadSettings(), "[form]\nwidth=640\n[setup]\nsavedir=" + chosen.string() + "\n");
    }

    TEST_F(SettingsTest, OnAFirstRunSettingsPreselectsTheDocumentsFolderAndMakesTheFile)
    {
        TmainForm& form = MakeForm(false);
        m_desktop.folderAnswers = { m_folder->Path().string() };
        form.Button3Click();
        EXPECT_EQ(m_desktop.folderRequests.at(0).initialFolder, DocumentsFolder());
        EXPECT_EQ(ReadSettings(), "[setup]\nsavedir=" + m_folder->Path().string() + "\n");
    }

    TEST_F(SettingsTest, ASettingsFileThatCannotBeWrittenIsNamedAndTheWindowStillCloses)
    {
        const std::string unwritable = (m_folder->Path() / "missing-folder" / "pagestow.ini").string();
        FormOptions options;
        options.settingsFile = unwritable;
        bool closed = false;
        options.onClosed = [&] { closed = true; };
        TmainForm& form = MakeForm(true, std::move(options));
        m_desktop.messages.clear();

        m_desktop.folderAnswers = { m_folder->Path().string() };
        form.Button3Click();
        ASSERT_EQ(m_desktop.messages.size(), 1u);
        EXPECT_EQ(m_desktop.messages[0].text, "设置无法保存，无法写入设置文件：" + unwritable);
        EXPECT_EQ(m_desktop.messages[0].title, "友情提示！");
        // The choice holds for this run all the same.
        EXPECT_EQ(m_form->SaveDir, m_folder->Path().string());

        CloseForm();
        EXPECT_TRUE(closed);
        ASSERT_EQ(m_desktop.messages.size(), 2u);
        EXPECT_EQ(m_desktop.messages[1].text, "设置无法保存，无法写入设置文件：" + unwritable);
        EXPECT_FALSE(fs::exists(unwritable));
    }

    struct OfflineCopyCase {
        const char* name;
        // The settings file, or nullptr for none (a first run).
        const char* settings;
        bool on;
    };

    class OfflineCopySettingTest : public WindowTest,
                                   public ::testing::WithParamInterface<OfflineCopyCase> { };

    TEST_P(OfflineCopySettingTest, TheSetupKeyTurnsTheOfflineCopyAndTheStylesheetLoadsOn)
    {
        const OfflineCopyCase& c = GetParam();
        if (c.settings)
            WriteSettings(c.settings);
        TmainForm& form = MakeForm(false);
        EXPECT_EQ(form.OfflineCopy(), c.on);
        EXPECT_EQ(form.Engine().StylesheetLoads(), c.on);
    }

    INSTANTIATE_TEST_SUITE_P(Cases, OfflineCopySettingTest,
        ::testing::Values(OfflineCopyCase { "On", "[setup]\nofflinecopy=1\n", true },
            OfflineCopyCase { "OnWithOtherKeysAndLetterCase",
                "[form]\nwidth=700\n[SETUP]\nsavedir=/x\nOfflineCopy = 1\n", true },
            OfflineCopyCase { "Off", "[setup]\nofflinecopy=0\n", false },
            OfflineCopyCase { "OtherNumber", "[setup]\nofflinecopy=2\n", false },
            OfflineCopyCase { "NoNumber", "[setup]\nofflinecopy=yes\n", false },
            OfflineCopyCase { "InTheWrongSection", "[form]\nofflinecopy=1\n", false },
            OfflineCopyCase { "Missing", "[form]\nwidth=700\n", false },
            OfflineCopyCase { "FirstRun", nullptr, false }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST_F(SettingsTest, TheOfflineCopyKeyIsNeitherWrittenNorDroppedByTheWindow)
    {
        WriteSettings("[setup]\nofflinecopy=1\n");
        MakeForm();
        CloseForm();
        EXPECT_EQ(ReadSettings(),
            "[setup]\nofflinecopy=1\n[form]\nwstate=0\ntop=0\nleft=0\nwidth=640\nheight=480\n");
    }

} // namespace
} // namespace pagestow::app::testing
