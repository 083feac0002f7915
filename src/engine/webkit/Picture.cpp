// Pictures of the page the view shows: a snapshot of the full document as a PNG, or the page printed
// to a PDF file, each written under a temporary name and renamed once whole.

#include "engine/webkit/EngineImpl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cairo.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

namespace pagestow::engine::webkit {
namespace {

    // Drawing a tall page or printing it takes WebKit a few seconds on a busy machine.
    constexpr std::chrono::seconds kPictureTimeout { 30 };

    // Runs the main loop until done() or the bound; whether done() came.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound)
    {
        bool expired = false;
        guint timer = AddTimeout(
            bound,
            [](gpointer data) -> gboolean {
                *static_cast<bool*>(data) = true;
                return G_SOURCE_REMOVE;
            },
            &expired);
        while (!done() && !expired)
            g_main_context_iteration(nullptr, TRUE);
        if (!expired)
            g_source_remove(timer);
        return done();
    }

    // A temporary file beside path, made and closed; "" with error set when it cannot be made.
    std::string TemporaryBeside(const std::string& path, std::string& error)
    {
        std::string temporary = path + ".XXXXXX";
        int fd = mkstemp(temporary.data());
        if (fd < 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return {};
        }
        fchmod(fd, 0644);
        close(fd);
        return temporary;
    }

    bool Publish(const std::string& temporary, const std::string& path, std::string& error)
    {
        if (rename(temporary.c_str(), path.c_str()) == 0)
            return true;
        error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }

    // What an asynchronous call leaves for the caller; shared with its callback, which may come after
    // the caller has given up.
    struct SnapshotWait {
        bool done = false;
        cairo_surface_t* surface = nullptr;
        std::string error;
        ~SnapshotWait()
        {
            if (surface)
                cairo_surface_destroy(surface);
        }
    };

    void OnSnapshot(GObject* view, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<std::shared_ptr<SnapshotWait>> wait(
            static_cast<std::shared_ptr<SnapshotWait>*>(data));
        GError* error = nullptr;
        (*wait)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, &error);
        if (error) {
            (*wait)->error = error->message;
            g_error_free(error);
        }
        (*wait)->done = true;
    }

    // The snapshot cut to kPictureHeightLimit rows from the top, when it is taller.
    cairo_surface_t* Bounded(cairo_surface_t* surface)
    {
        int width = cairo_image_surface_get_width(surface);
        int height = cairo_image_surface_get_height(surface);
        if (height <= PageEngine::kPictureHeightLimit && width <= PageEngine::kPictureHeightLimit)
            return cairo_surface_reference(surface);
        cairo_surface_t* cut = cairo_image_surface_create(CAIRO_FORMAT_ARGB32,
            std::min(width, PageEngine::kPictureHeightLimit),
            std::min(height, PageEngine::kPictureHeightLimit));
        cairo_t* cr = cairo_create(cut);
        cairo_set_source_surface(cr, surface, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        return cut;
    }

    cairo_status_t WriteToFile(void* closure, const unsigned char* data, unsigned int length)
    {
        return std::fwrite(data, 1, length, static_cast<FILE*>(closure)) == length ? CAIRO_STATUS_SUCCESS
                                                                                   : CAIRO_STATUS_WRITE_ERROR;
    }

    struct PrintWait {
        bool done = false;
        std::string error;
    };

    bool StartsWithPdf(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        char head[5] = {};
        file.read(head, sizeof head);
        return file.gcount() == 5 && std::memcmp(head, "%PDF-", 5) == 0;
    }

} // namespace

bool WebKitEngine::SavePicture(Picture kind, const std::string& path, std::string& error)
{
    std::shared_ptr<const SnapshotDocument> page = Document();
    if (m_impl->m_state != LoadState::Done || !page || page->origin == DocumentOrigin::Failed) {
        error = "no page is loaded to draw";
        return false;
    }
    std::string temporary = TemporaryBeside(path, error);
    if (temporary.empty())
        return false;

    if (kind == Picture::Screenshot) {
        auto wait = std::make_shared<SnapshotWait>();
        GCancellable* cancellable = g_cancellable_new();
        webkit_web_view_get_snapshot(m_impl->m_view, WEBKIT_SNAPSHOT_REGION_FULL_DOCUMENT,
            WEBKIT_SNAPSHOT_OPTIONS_NONE, cancellable, OnSnapshot, new std::shared_ptr<SnapshotWait>(wait));
        if (!PumpUntil([&] { return wait->done; }, kPictureTimeout)) {
            g_cancellable_cancel(cancellable);
            wait->error = "WebKit did not draw the page in time";
        }
        g_object_unref(cancellable);
        if (!wait->surface || cairo_surface_status(wait->surface) != CAIRO_STATUS_SUCCESS
            || cairo_surface_get_type(wait->surface) != CAIRO_SURFACE_TYPE_IMAGE) {
            unlink(temporary.c_str());
            error = "WebKit could not draw the page" + (wait->error.empty() ? "" : ": " + wait->error);
            return false;
        }
        cairo_surface_t* picture = Bounded(wait->surface);
        FILE* file = std::fopen(temporary.c_str(), "wb");
        cairo_status_t status
            = file ? cairo_surface_write_to_png_stream(picture, WriteToFile, file) : CAIRO_STATUS_WRITE_ERROR;
        cairo_surface_destroy(picture);
        if (file && std::fclose(file) != 0)
            status = CAIRO_STATUS_WRITE_ERROR;
        if (status != CAIRO_STATUS_SUCCESS) {
            unlink(temporary.c_str());
            error = "cannot write " + path + ": " + cairo_status_to_string(status);
            return false;
        }
        return Publish(temporary, path, error);
    }

    // Printed by GTK's print-to-file backend, on the default paper of the locale.
    char* uri = g_filename_to_uri(temporary.c_str(), nullptr, nullptr);
    GtkPrintSettings* settings = gtk_print_settings_new();
    gtk_print_settings_set_printer(settings, "Print to File");
    gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, uri);
    gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT, "pdf");
    g_free(uri);
    WebKitPrintOperation* operation = webkit_print_operation_new(m_impl->m_view);
    webkit_print_operation_set_print_settings(operation, settings);
    g_object_unref(settings);
    auto wait = std::make_shared<PrintWait>();
    // The handlers hold the wait's state for as long as the operation may still call them.
    g_signal_connect_data(
        operation, "failed", G_CALLBACK(+[](WebKitPrintOperation*, GError* failure, gpointer data) {
            (*static_cast<std::shared_ptr<PrintWait>*>(data))->error = failure ? failure->message : "failed";
        }),
        new std::shared_ptr<PrintWait>(wait),
        [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<PrintWait>*>(data); },
        GConnectFlags(0));
    g_signal_connect_data(
        operation, "finished", G_CALLBACK(+[](WebKitPrintOperation*, gpointer data) {
            (*static_cast<std::shared_ptr<PrintWait>*>(data))->done = true;
        }),
        new std::shared_ptr<PrintWait>(wait),
        [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<PrintWait>*>(data); },
        GConnectFlags(0));
    webkit_print_operation_print(operation);
    bool finished = PumpUntil([&] { return wait->done; }, kPictureTimeout);
    g_object_unref(operation);
    if (!finished || !wait->error.empty() || !StartsWithPdf(temporary)) {
        unlink(temporary.c_str());
        error = !finished         ? "WebKit did not print the page in time"
            : wait->error.empty() ? "WebKit printed no PDF"
                                  : "WebKit could not print the page: " + wait->error;
        return false;
    }
    return Publish(temporary, path, error);
}

} // namespace pagestow::engine::webkit
