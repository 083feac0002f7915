#include "app/Texts.h"

#include <initializer_list>

namespace pagestow::app {
namespace {

    std::string Joined(std::initializer_list<std::string> lines, bool endEachLine)
    {
        std::string text;
        bool first = true;
        for (const std::string& line : lines) {
            if (!first && !endEachLine)
                text += "\r\n";
            text += line;
            if (endEachLine)
                text += "\r\n";
            first = false;
        }
        return text;
    }

} // namespace

std::string FirstRunMessage()
{
    return Joined(
        {
            "",
            "      您是第一次运行本软件，默认将保存到“我的文档”下，  ",
            "",
            "如果您想保存到您认为合适的目录，请点击设置，重新设置保  ",
            "",
            "存目录。",
            "",
            "",
            "                        欢迎使用“Vantrelle”",
            "",
            std::string(16, ' ') + "有任何问题或建议可联系QQ：" + std::string(kContactNumber),
        },
        true);
}

std::string HelpBody()
{
    return Joined(
        {
            "保存网页：",
            "      "
            "在网址输入框输入要保存的网址，点保存按钮，本软件会将确认的网址内全部资源保存到您设置的目录下。",
            "",
            "设置保存目录：",
            "      请点击设置，重新设置保存目录。",
            "",
            "解析窗口：",
            "      可查看网页下载时的解析和文件保存过程。",
            "",
            "浏览窗口：",
            "      一个IE简易浏览器，可查看当前下载的页面。",
            "",
            "      "
            "本软件可保存全部网页文件包括CSS、JS、FLASH等，完全解析下载其中包含的网页、图片等各种资源，便于学"
            "习网页"
            "高手们的编写技巧。",
            "",
            std::string(15, ' ') + "有任何问题或建议可联系QQ：" + std::string(kContactNumber),
        },
        false);
}

} // namespace pagestow::app
