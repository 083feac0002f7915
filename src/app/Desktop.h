#pragma once

#include <string>

typedef struct _GtkWindow GtkWindow;

namespace pagestow::app {

enum class MessageIcon { Information, None };

// The themed icon a notice shows for MessageIcon::Information.
inline constexpr const char* kInformationIconName = "dialog-information";

struct ScreenSize {
    int width = 0;
    int height = 0;
};

// What the window asks of the desktop around it: message boxes, the folder chooser, the screen's
// size, the file manager and the default handler of an address. The real one is GtkDesktop; tests answer
// through one of their own.
class Desktop {
public:
    virtual ~Desktop() = default;
    // A modal message box with an OK button; returns when the user has closed it.
    virtual void ShowMessage(
        GtkWindow* owner, const std::string& title, const std::string& text, MessageIcon icon)
        = 0;
    // The folder the user chose, or "" when the chooser was cancelled or the choice has no local path.
    virtual std::string BrowseForFolder(
        GtkWindow* owner, const std::string& initialFolder, const std::string& prompt)
        = 0;
    // The full size of the primary screen in pixels.
    virtual ScreenSize PrimaryScreenSize() = 0;
    // Opens a folder with the desktop's file manager; the outcome is not reported.
    virtual void OpenFolder(GtkWindow* owner, const std::string& path) = 0;
    // Opens an address (a web address, a file: address) with the desktop's default handler; the
    // outcome is not reported.
    virtual void OpenUri(GtkWindow* owner, const std::string& uri) = 0;
};

// The desktop through GTK dialogs and GIO.
class GtkDesktop : public Desktop {
public:
    void ShowMessage(
        GtkWindow* owner, const std::string& title, const std::string& text, MessageIcon icon) override;
    std::string BrowseForFolder(
        GtkWindow* owner, const std::string& initialFolder, const std::string& prompt) override;
    ScreenSize PrimaryScreenSize() override;
    void OpenFolder(GtkWindow* owner, const std::string& path) override;
    void OpenUri(GtkWindow* owner, const std::string& uri) override;
};

// The file: address that opens path with the desktop's default handler ("" for a path GLib cannot
// turn into one, such as a relative path).
std::string FolderUri(const std::string& path);

} // namespace pagestow::app
