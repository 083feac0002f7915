#pragma once

#include <string>

typedef struct _GtkWidget GtkWidget;

namespace pagestow::app {

// The text the help memo shows, its lines separated by "\n".
std::string HelpText();

// The help window while it is open (it is built anew for each opening), or null.
GtkWidget* OpenHelpWindow();
// Its memo (a text view), and the text the memo shows.
GtkWidget* HelpMemo(GtkWidget* helpWindow);
std::string HelpWindowText(GtkWidget* helpWindow);

// Builds the help window, shows it modally and returns when the user has closed it; the window is
// destroyed then.
void RunHelpWindow();

} // namespace pagestow::app
