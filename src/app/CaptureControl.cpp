// Starting and finishing a capture from the window, the view selectors, opening the capture folder,
// and the capture's progress outputs.

#include "app/MainForm.h"
#include "app/Texts.h"
#include "base/GLibOwned.h"
#include "capture/Capture.h"
#include "capture/PageArchive.h"
#include "capture/SaveSequence.h"
#include "engine/EngineCache.h"
#include "engine/webkit/WebKitEngine.h"
#include "mapping/AddressRecord.h"

#include <gtk/gtk.h>

#include <filesystem>
#include <optional>

namespace pagestow::app {
namespace {

    // Enough rounds to let every pending event through, few enough that a source that is always
    // ready cannot hold a capture up.
    constexpr int kPumpRounds = 100;
    constexpr int kColumnAllowance = 26;

} // namespace

void TmainForm::Notice(std::string_view text)
{
    m_desktop.ShowMessage(Window(), std::string(kNoticeTitle), std::string(text), MessageIcon::Information);
}

void TmainForm::SetCaptureControlsEnabled(bool enabled)
{
    for (const char* name : { "inurlEdit", "Button1", "Button2" }) {
        if (GtkWidget* widget = Control(name))
            gtk_widget_set_sensitive(widget, enabled);
    }
}

void TmainForm::Button1Click()
{
    // 1. Read the address from the box (which keeps its text as typed); refuse an empty one.
    auto notice = [this](std::string_view text) { Notice(text); };
    std::optional<std::string> address = capture::SaveAddress(AddressText(), notice, *this);
    if (!address)
        return;
    // 2. Mark the capture pending and disable Save and the address box; Settings and the view
    //    selectors stay enabled.
    m_capturePending = -1;
    SetCaptureControlsEnabled(false);
    // 3. Empty the result list and fit its column to the list.
    gtk_list_store_clear(GTK_LIST_STORE(m_resultStore.get()));
    gtk_tree_view_column_set_fixed_width(
        GTK_TREE_VIEW_COLUMN(m_resultColumn), std::max(1, LayoutOf("PLV").width - kColumnAllowance));
    // 4. Report the start in the status bar and the log.
    capture::ReportSaveStarted(SaveDir, *this);
    // 5. Load the address in the browse view as a browser does, then show the result list.
    SelectPage(2);
    CheckRadio("RB3");
    StartRecordingExchanges();
    m_engine->Navigate(*address);
    SelectPage(0);
    CheckRadio("RB1");
}

void TmainForm::REWDocumentComplete(
    const engine::SnapshotDocument& document, engine::PageEngine::Completion completion)
{
    // 1. Only the top-level document counts, and only while a capture is pending.
    if (!m_engine || completion != engine::PageEngine::Completion::TopLevel || m_capturePending == 0)
        return;
    // A completion that arrives while a capture runs (the walk lets the window's events through) is
    // left alone: the window shows one capture at a time.
    if (m_capturing || CaptureRunning())
        return;
    // 2. The blank page never finishes a capture; the flag stays set.
    if (!capture::FinishesCapture(document.url))
        return;
    // 3. Run the capture on the engine's page; an error that escapes the driver is reported, and the
    //    window still returns to idle.
    m_capturing = true;
    capture::CaptureSettings settings;
    settings.saveDir = SaveDir;
    settings.offlineCopy = m_offlineCopy;
    settings.mhtml = m_mhtml;
    settings.singleFile = m_singleFile;
    // The view's page is what its scripts built.
    settings.scriptsRan = true;
    settings.cache = &m_engine->Cache();
    std::shared_ptr<const engine::SnapshotDocument> page = m_engine->Document();
    const std::string folderBefore = CaptureFolder;
    capture::CaptureOutcome outcome = capture::RunCapture(page.get(), settings, *this);
    WriteCaptureArchive(outcome, page.get());
    m_capturing = false;
    if (!CaptureFolder.empty() && CaptureFolder != folderBefore)
        m_lastCaptureFolder = SaveDir + CaptureFolder + "/";
    if (!m_deferredSaveDir.empty()) {
        SaveDir = m_deferredSaveDir;
        m_deferredSaveDir.clear();
    }
    // 4. Report how the capture ended.
    capture::ReportCaptureEnd(
        outcome, [this](std::string_view text) { Notice(text); }, *this);
    WriteCaptureScreenshot(outcome);
    // 5. Back to idle: nothing pending, Save enabled again.
    m_capturePending = 0;
    SetCaptureControlsEnabled(true);
    if (m_closeRequested) {
        m_closeRequested = false;
        Close();
    }
}

void TmainForm::StartRecordingExchanges()
{
    // Only the load a Save starts is recorded: browsing records nothing.
    if (m_engine)
        m_engine->SetExchangeLog(nullptr);
    m_exchangeLog.reset();
    if (!m_warc || !m_engine)
        return;
    m_exchangeLog = std::make_unique<archive::ExchangeLog>(m_engine->Cache().Folder() / "exchanges");
    m_engine->SetExchangeLog(m_exchangeLog.get());
}

void TmainForm::WriteCaptureScreenshot(const capture::CaptureOutcome& outcome)
{
    const std::string page = outcome.capture.PageFile();
    if (!m_screenshot || outcome.result != capture::CaptureOutcome::Result::Accepted || page.empty())
        return;
    // index.htm gives index.png, as pagestow-cli --screenshot names it; a page saved as .png, or a
    // file of that name already there, gets the extension added instead.
    std::filesystem::path picture(page);
    picture.replace_extension(".png");
    std::error_code error;
    if (picture == std::filesystem::path(page) || std::filesystem::exists(picture, error))
        picture = page + ".png";
    std::string problem;
    if (m_engine->SavePicture(engine::PageEngine::Picture::Screenshot, picture.string(), problem))
        AddResultLine("页面截图：" + picture.string());
    else
        Notice("页面截图没有保存：" + problem);
}

void TmainForm::WriteCaptureArchive(
    const capture::CaptureOutcome& outcome, const engine::SnapshotDocument* page)
{
    if (!m_exchangeLog)
        return;
    if (outcome.result == capture::CaptureOutcome::Result::Accepted
        && !outcome.capture.CapturePath().empty()) {
        archive::WarcInfo info;
        info.software = std::string("pagestow ") + PAGESTOW_VERSION;
        info.fields = { { "engine", "webkit" }, { "offline-copy", m_offlineCopy ? "yes" : "no" } };
        std::string problem = capture::WritePageArchive(
            outcome.capture.CapturePath() + "/capture.warc.gz", info, *m_engine, page);
        if (!problem.empty())
            Notice(problem);
    }
    m_engine->SetExchangeLog(nullptr);
    m_exchangeLog.reset();
}

void TmainForm::RB1Click()
{
    SelectPage(0);
}

void TmainForm::RB3Click()
{
    SelectPage(2);
}

void TmainForm::PLVDblClick()
{
    // 1. Nothing to open while the list is empty or no capture folder was made.
    GtkTreeIter first;
    if (!gtk_tree_model_get_iter_first(GTK_TREE_MODEL(m_resultStore.get()), &first) || CaptureFolder.empty())
        return;
    // 2. Open the folder of the capture that is running, or else of the last one: a save folder
    //    chosen since then does not move it.
    std::string path
        = m_capturing || m_lastCaptureFolder.empty() ? SaveDir + CaptureFolder + "/" : m_lastCaptureFolder;
    m_desktop.OpenFolder(Window(), path);
}

void TmainForm::GGImClick()
{
    if (auto link = banner::GGImClick(*m_banner))
        m_desktop.OpenUri(m_closed ? nullptr : Window(), *link);
}

void TmainForm::Button4Click()
{
    if (!m_fetcher)
        return;
    // A message box with no title of its own and no icon.
    if (auto text = banner::Button4Click(*m_fetcher))
        m_desktop.ShowMessage(m_closed ? nullptr : Window(), "", *text, MessageIcon::None);
}

std::vector<std::string> TmainForm::ResultLines() const
{
    std::vector<std::string> lines;
    GtkTreeModel* model = GTK_TREE_MODEL(m_resultStore.get());
    GtkTreeIter iter;
    for (bool more = gtk_tree_model_get_iter_first(model, &iter); more;
         more = gtk_tree_model_iter_next(model, &iter)) {
        gchar* text = nullptr;
        gtk_tree_model_get(model, &iter, 0, &text, -1);
        base::GCharPtr owned(text);
        lines.push_back(text ? text : "");
    }
    return lines;
}

std::string TmainForm::StatusText() const
{
    return m_closed ? "" : gtk_label_get_text(GTK_LABEL(m_statusLabel));
}

std::string TmainForm::LogText() const
{
    if (m_closed)
        return {};
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_logView));
    GtkTextIter start;
    GtkTextIter end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    base::GCharPtr text(gtk_text_buffer_get_text(buffer, &start, &end, FALSE));
    return text.get();
}

std::string TmainForm::AddressText() const
{
    return m_closed ? "" : gtk_entry_get_text(GTK_ENTRY(Control("inurlEdit")));
}

void TmainForm::SetAddressText(const std::string& text)
{
    gtk_entry_set_text(GTK_ENTRY(Control("inurlEdit")), text.c_str());
}

int TmainForm::ResultColumnWidth() const
{
    return gtk_tree_view_column_get_fixed_width(GTK_TREE_VIEW_COLUMN(m_resultColumn));
}

void TmainForm::AddResultLine(const std::string& message)
{
    if (m_closed)
        return;
    GtkTreeIter iter;
    gtk_list_store_append(GTK_LIST_STORE(m_resultStore.get()), &iter);
    gtk_list_store_set(GTK_LIST_STORE(m_resultStore.get()), &iter, 0, message.c_str(), -1);
    GtkTreePath* path = gtk_tree_model_get_path(GTK_TREE_MODEL(m_resultStore.get()), &iter);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(m_resultView), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

void TmainForm::SetStatusText(const std::string& message)
{
    if (!m_closed)
        gtk_label_set_text(GTK_LABEL(m_statusLabel), message.c_str());
}

void TmainForm::AddLogLine(const std::string& message)
{
    if (m_closed)
        return;
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_logView));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    std::string line = gtk_text_buffer_get_char_count(buffer) > 0 ? "\n" + message : message;
    gtk_text_buffer_insert(buffer, &end, line.c_str(), -1);
}

void TmainForm::PumpMessages()
{
    // A window closed during a capture is out of sight; nothing it could show is worth waiting for.
    if (m_closeRequested)
        return;
    for (int round = 0; round < kPumpRounds && g_main_context_iteration(nullptr, FALSE); ++round) { }
}

void TmainForm::CaptureFolderClaimed(const std::string& saveDir, const std::string& captureFolder)
{
    // The list opens this folder from now on, while the capture runs too.
    SaveDir = saveDir;
    CaptureFolder = captureFolder;
}

void TmainForm::ShowMessage(const std::string& message)
{
    // Nobody is left to read it once the window has been closed.
    if (m_closeRequested)
        return;
    // The standard message dialog: the program's title, no icon.
    m_desktop.ShowMessage(m_closed ? nullptr : Window(), std::string(kAppTitle), message, MessageIcon::None);
}

} // namespace pagestow::app
