// The browse view's session: its cookies live in a cookie file of the user's own, so that a login in
// the view outlasts the window (as the browser control the window was first built on kept them);
// keepsession=0 in the settings file's [setup] section keeps them in memory only.

#include "app/IniFile.h"
#include "app/MainForm.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pagestow::app {

std::string SessionCookieFile(const std::string& dataHome)
{
    // The folder and the file are the user's alone: the file holds what logs the user in.
    std::string folder = dataHome + (dataHome.ends_with('/') ? "" : "/") + "pagestow";
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0 || ::chmod(folder.c_str(), 0700) != 0)
        return {};
    std::string file = folder + "/cookies.txt";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return {};
    bool ownerOnly = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ownerOnly ? file : std::string();
}

std::string TmainForm::SessionFile() const
{
    IniFile settings(SettingsFile());
    if (settings.ReadInteger("setup", "keepsession", 1) == 0)
        return {};
    return SessionCookieFile(g_get_user_data_dir());
}

} // namespace pagestow::app
