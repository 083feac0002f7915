#pragma once

#include "app/Desktop.h"
#include "app/MainForm.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pagestow::app::testing {

// A desktop whose message boxes and folder chooser the test answers, with a screen of the test's size.
class ScriptedDesktop : public Desktop {
public:
    struct Message {
        std::string title;
        std::string text;
        MessageIcon icon = MessageIcon::None;
        bool ownerShown = false;
        bool operator==(const Message&) const = default;
    };
    struct FolderRequest {
        std::string initialFolder;
        std::string prompt;
    };

    void ShowMessage(
        GtkWindow* owner, const std::string& title, const std::string& text, MessageIcon icon) override;
    std::string BrowseForFolder(
        GtkWindow* owner, const std::string& initialFolder, const std::string& prompt) override;
    ScreenSize PrimaryScreenSize() override { return screen; }
    void OpenFolder(GtkWindow*, const std::string& path) override { openedFolders.push_back(path); }
    void OpenUri(GtkWindow*, const std::string& uri) override { openedUris.push_back(uri); }

    ScreenSize screen { 1024, 768 };
    std::vector<Message> messages;
    // The folder chooser's answers in turn ("" cancels); cancelled when none is left.
    std::deque<std::string> folderAnswers;
    std::vector<FolderRequest> folderRequests;
    std::vector<std::string> openedFolders;
    std::vector<std::string> openedUris;
};

// Runs the main loop until done() holds; false when it did not within the guard time (a broken
// load fails instead of hanging the suite).
bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds guard = std::chrono::seconds(90));
// Runs what is pending now.
void PumpPending();

// Delivers one key press and its release to window as the display would; time tells presses apart.
void PressKey(GtkWindow* window, unsigned keyval, unsigned modifiers, unsigned time);

// The nearest ancestor of widget that is a named control ("mainForm" for the window).
std::string ParentControlName(GtkWidget* widget);
// The widget's place relative to its parent control.
Placement PlacementInParent(GtkWidget* widget);

// The fixture of every window test: skips without a display, keeps HOME and the caches in a
// temporary folder, and makes forms with a settings file of their own.
class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // A settings file in the test's folder; written when content is given.
    std::string SettingsFile() const;
    void WriteSettings(const std::string& content) const;
    std::string ReadSettings() const;

    // Makes the form (FormCreate runs), optionally showing it and waiting until its first resize has
    // been handled.
    TmainForm& MakeForm(bool show = true, FormOptions options = {});
    // Shows the form and waits until the window has the given client size and it is laid out.
    void WaitForClientSize(int width, int height);
    // Closes the form and waits until the window is gone.
    void CloseForm();
    // Gives the shown form the keyboard (without a window manager nobody else does) and waits until
    // it has it.
    void ActivateForm();

    static std::string DocumentsFolder();

    ScriptedDesktop m_desktop;
    std::unique_ptr<pagestow::testing::TemporaryFolder> m_folder;
    std::unique_ptr<TmainForm> m_form;
};

} // namespace pagestow::app::testing
