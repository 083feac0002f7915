// The settings file: where it lives, applied at start-up, written at close, and the save folder
// chosen with Settings.

#include "app/IniFile.h"
#include "app/MainForm.h"
#include "app/Texts.h"
#include "capture/CaptureRecord.h"
#include "engine/webkit/WebKitEngine.h"
#include "mapping/FileUtils.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace pagestow::app {
namespace {

    constexpr int kDocumentsFolder = 5;
    constexpr std::string_view kFormSection = "form";
    constexpr std::string_view kSetupSection = "setup";

    // The folder below the user's configuration folder that holds the settings of an installed program.
    constexpr std::string_view kConfigFolderName = "pagestow";

    bool FolderExists(const std::string& path)
    {
        std::error_code error;
        return !path.empty() && std::filesystem::is_directory(path, error);
    }

    // The running program's own file name.
    std::string ProgramName()
    {
        std::error_code error;
        return std::filesystem::read_symlink("/proc/self/exe", error).filename().string();
    }

} // namespace

std::string SettingsFileName(std::string_view programName)
{
    return std::string(programName.substr(0, programName.find('.'))) + ".ini";
}

std::string SettingsFilePath(
    std::string_view exeDirectory, std::string_view programName, std::string_view configHome)
{
    // A program kept in a folder of its own (a build tree, a portable copy) keeps its settings beside
    // it, as it always has; an installed one cannot write there, so each user gets a file of their own.
    const std::string name = SettingsFileName(programName);
    const std::string beside = std::string(exeDirectory) + name;
    std::error_code error;
    if (std::filesystem::exists(beside, error)
        || (!exeDirectory.empty() && ::access(std::string(exeDirectory).c_str(), W_OK | X_OK) == 0))
        return beside;
    std::string folder = std::string(configHome);
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    folder += kConfigFolderName;
    // A folder that cannot be made shows when the file is written: that write names the file.
    g_mkdir_with_parents(folder.c_str(), 0700);
    return folder + "/" + name;
}

std::string TmainForm::SettingsFile() const
{
    if (!m_options.settingsFile.empty())
        return m_options.settingsFile;
    return SettingsFilePath(mapping::GetExeDirectory(), ProgramName(), g_get_user_config_dir());
}

void TmainForm::ApplySettings()
{
    // 1. Without a settings file this is a first run.
    IniFile settings(SettingsFile());
    if (!settings.Exists()) {
        FirstRun();
        return;
    }
    // 2. Restore the position; a window closed at a negative position comes back at 0.
    int top = settings.ReadInteger(kFormSection, "top");
    int left = settings.ReadInteger(kFormSection, "left");
    SetPosition(left > 0 ? left : 0, top > 0 ? top : 0);
    // 3. Restore the size; 0 or less keeps the design size, a size below it is raised by the resize
    //    rule.
    int width = settings.ReadInteger(kFormSection, "width");
    int height = settings.ReadInteger(kFormSection, "height");
    // A window never has less than one pixel of client area, whatever the file says.
    SetClientSize(width > 0 ? std::max(1, width - kFrameWidth) : m_clientWidth,
        height > 0 ? std::max(1, height - kFrameHeight) : m_clientHeight);
    // 4. Maximise after the bounds, so that restoring the window returns to them.
    if (settings.ReadInteger(kFormSection, "wstate") == 1) {
        m_normalBounds = Bounds();
        gtk_window_maximize(GTK_WINDOW(m_window));
        m_maximised = true;
    }
    // 5. Take the save folder; one that no longer exists falls back to the documents folder for
    //    this run only.
    std::string saveDir = settings.ReadString(kSetupSection, "savedir");
    if (saveDir.empty() || !FolderExists(saveDir))
        saveDir = mapping::GetSpecialFolderPath(kDocumentsFolder);
    SaveDir = saveDir;
    // The offline copy has no control of its own: the file turns it on for every capture of the run.
    // Nor has the MHTML file, which needs what stylesheets load as the copy does.
    m_mhtml = settings.ReadInteger(kSetupSection, "mhtml") == 1;
    ApplyOfflineCopy(settings.ReadInteger(kSetupSection, "offlinecopy") == 1);
    // Nor has the single file of the page.
    m_singleFile = settings.ReadInteger(kSetupSection, "singlefile") == 1;
    if (m_singleFile)
        m_engine->SetStylesheetLoads(true);
    // Nor has the archive of each capture.
    m_warc = settings.ReadInteger(kSetupSection, "warc") == 1;
    // Nor has the screenshot beside each saved page.
    m_screenshot = settings.ReadInteger(kSetupSection, "screenshot") == 1;
}

void TmainForm::ApplyOfflineCopy(bool on)
{
    m_offlineCopy = on;
    // The copy needs what the stylesheets load, so the engine is asked to load it too.
    m_engine->SetStylesheetLoads(on || m_mhtml);
}

void TmainForm::FirstRun()
{
    // 1. Centre the window a little above the middle of the primary screen, at the design size. It
    //    gets its place first, so that the greeting can stand over it.
    ScreenSize screen = m_desktop.PrimaryScreenSize();
    SetPosition((screen.width - kDesignWidth) / 2, (screen.height - kDesignHeight - 26) / 2);
    SetClientSize(kDesignWidth - kFrameWidth, kDesignHeight - kFrameHeight);
    // 2. Greet the user before the window appears.
    m_desktop.ShowMessage(Window(), std::string(kNoticeTitle), FirstRunMessage(), MessageIcon::Information);
    // 3. Save into the documents folder, without the offline copy.
    SaveDir = mapping::GetSpecialFolderPath(kDocumentsFolder) + "/";
    ApplyOfflineCopy(false);
}

bool TmainForm::FormClose()
{
    IniFile settings(SettingsFile());
    try {
        // 1. Write whether the window is maximised; the bounds written are always the normal ones.
        if (m_maximised) {
            settings.WriteInteger(kFormSection, "wstate", 1);
            gtk_window_unmaximize(GTK_WINDOW(m_window));
        } else {
            settings.WriteInteger(kFormSection, "wstate", 0);
        }
        // 2. Write the normal bounds.
        WindowBounds bounds = m_maximised ? m_normalBounds : Bounds();
        settings.WriteInteger(kFormSection, "top", bounds.top);
        settings.WriteInteger(kFormSection, "left", bounds.left);
        settings.WriteInteger(kFormSection, "width", bounds.width);
        settings.WriteInteger(kFormSection, "height", bounds.height);
    } catch (const IniFileError&) {
        // The window closes all the same; the user learns which file could not be written.
        Notice(std::string(kSettingsNotWrittenMessage) + settings.Path());
        return false;
    }
    return true;
}

void TmainForm::Button3Click()
{
    // 1. Preselect the folder the file names, not the save folder in use.
    IniFile settings(SettingsFile());
    std::string initial = settings.ReadString(kSetupSection, "savedir");
    if (initial.empty())
        initial = mapping::GetSpecialFolderPath(kDocumentsFolder);
    // 2. Let the user choose a folder.
    std::string chosen = m_desktop.BrowseForFolder(Window(), initial, std::string(kChooseFolderPrompt));
    // 3. A cancelled chooser changes nothing; otherwise the folder is used and written.
    if (chosen.empty())
        return;
    // A running capture keeps writing below the folder it started with.
    if (m_capturing)
        m_deferredSaveDir = chosen;
    else
        SaveDir = chosen;
    try {
        settings.WriteString(kSetupSection, "savedir", chosen);
    } catch (const IniFileError&) {
        Notice(std::string(kSettingsNotWrittenMessage) + settings.Path());
    }
}

} // namespace pagestow::app
