#pragma once

#include "capture/SaveSequence.h"

#include <string>
#include <string_view>

// The window's own texts. Blanks inside them are part of the text.

namespace pagestow::app {

inline constexpr std::string_view kAppTitle = "Pagestow - Vantrelle";
inline constexpr std::string_view kNoticeTitle = "友情提示！";
// The number people reach the maker under, shown at the end of the first-run message and the help; the
// same obviously made-up number as the default banner's.
inline constexpr std::string_view kContactNumber = "0123456789";

// Captions.
inline constexpr std::string_view kAddressCaption = "网址";
inline constexpr std::string_view kSaveCaption = "保  存";
inline constexpr std::string_view kSettingsCaption = "设  置";
inline constexpr std::string_view kHelpCaption = "帮  助";
inline constexpr std::string_view kParseWindowCaption = "解析窗口";
inline constexpr std::string_view kBrowseWindowCaption = "浏览窗口";
inline constexpr std::string_view kButton4Caption = "Button4";
inline constexpr std::string_view kResultListHint = "双击打开保存的目录！";
inline constexpr std::string_view kLogInitialText = "HSM";

// Capture control: the texts of Save and of the document-complete handler are the capture's own.
using capture::kBlankPage;
using capture::kDownloadDoneLine;
using capture::kDownloadDoneStatus;
using capture::kEnterAddressMessage;
using capture::kEnterAddressStatus;
using capture::kOpenFolderLine;
using capture::kPageRejectedMessage;
using capture::kParseDoneLine;
using capture::kParseDoneStatus;
using capture::kSaveToLine;
using capture::kStartDownloadLine;
using capture::kStartDownloadStatus;
using capture::kStartParseLine;
using capture::kStartParseStatus;

// Settings.
inline constexpr std::string_view kChooseFolderPrompt = "设置Pagestow的目录";
inline constexpr std::string_view kSettingsNotWrittenMessage = "设置无法保存，无法写入设置文件：";

// The message of the first run: eleven lines, each ended by CR LF.
std::string FirstRunMessage();

// The help window.
inline constexpr std::string_view kHelpWindowCaption = "使用帮助...";
// The three lines appended first: an empty line, the title line, an empty line.
inline constexpr std::string_view kHelpTitleLine = "                                  使     用    帮    助";
// The body appended in one piece, its lines joined by CR LF.
std::string HelpBody();

} // namespace pagestow::app
