// The two engines that serialise a page from its DOM write the same bytes for the same page: the
// doctype, top-level comments and the root element with nothing added between them, in the page's
// own character set. Skipped unless both engines can run here.

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "cli/EngineTable.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

namespace pagestow::conformance {
namespace {

    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;

    class SilentFrontEnd : public capture::FrontEnd {
    public:
        void AddResultLine(const std::string&) override { }
        void SetStatusText(const std::string&) override { }
        void AddLogLine(const std::string&) override { }
        void PumpMessages() override { }
        void ShowMessage(const std::string&) override { }
    };

    // The saved bytes of the document at address, as the named engine writes it; "" with a failure
    // noted when the engine could not load or save it.
    std::string SavedDocument(
        const std::string& engineName, const std::string& address, const std::string& file)
    {
        auto engine = cli::FindEngine(engineName)->create();
        bool complete = false;
        engine->SetDocumentCompleteHandler(
            [&](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
                complete = complete || completion == engine::PageEngine::Completion::TopLevel;
            });
        engine->Navigate(address);
        for (int round = 0; round < 2400 && !complete; ++round)
            engine->ProcessEvents(std::chrono::milliseconds(50));
        EXPECT_TRUE(complete) << engineName << " did not complete " << address;
        TemporaryFolder folder;
        SilentFrontEnd frontEnd;
        capture::CaptureSettings settings;
        settings.saveDir = folder.Path().string() + "/";
        settings.cache = &engine->Cache();
        engine->Cache().Clear();
        capture::CaptureResult result = capture::CapturePage(engine->Document().get(), settings, frontEnd);
        EXPECT_TRUE(result.accepted) << engineName;
        std::string bytes = ReadFileBytes(folder.Path() / result.captureFolder / file);
        engine->SetDocumentCompleteHandler(nullptr);
        return bytes;
    }

    struct DocumentCase {
        const char* name;
        std::string body;
        std::string contentType;
    };

    class DomDocumentBytes : public ::testing::TestWithParam<DocumentCase> {
    protected:
        void SetUp() override
        {
            for (const char* name : { "chromium", "webkit" }) {
                std::string why;
                const cli::EngineEntry* entry = cli::FindEngine(name);
                if (!entry || !entry->available(why))
                    GTEST_SKIP() << name << ": " << why;
            }
        }
    };

    TEST_P(DomDocumentBytes, AreTheSameFromBothEngines)
    {
        TestServer server;
        server.Serve("/page.htm", GetParam().body, GetParam().contentType);
        std::string fromChromium = SavedDocument("chromium", server.Url("/page.htm"), "127.0.0.1/page.htm");
        std::string fromWebKit = SavedDocument("webkit", server.Url("/page.htm"), "127.0.0.1/page.htm");
        EXPECT_FALSE(fromWebKit.empty());
        EXPECT_EQ(fromWebKit, fromChromium);
    }

    INSTANTIATE_TEST_SUITE_P(Pages, DomDocumentBytes,
        ::testing::Values(DocumentCase { "DoctypeAndComments",
                              "<!DOCTYPE html>\n<!-- before "
                              "-->\n<html><head><title>t</title></head><body><p>x</p></body></html>\n"
                              "<!-- after -->\n",
                              "text/html" },
            DocumentCase { "LegacyDoctype",
                "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" "
                "\"http://www.w3.org/TR/html4/loose.dtd\">\n<html><body background=\"b.gif\">x</body></html>",
                "text/html" },
            DocumentCase { "NoDoctype", "<p>bare", "text/html" },
            DocumentCase { "GbkPage",
                "<!DOCTYPE html><html><head><meta "
                "charset=\"gbk\"></head><body>\xD6\xD0\xCE\xC4</body></html>",
                "text/html; charset=gbk" },
            DocumentCase { "GbkPageWithCharactersOutsideTheSet",
                "<!DOCTYPE html><html><head><meta charset=\"gbk\"></head><body><p "
                "title=\"&#xAC00;\">\xD6\xD0&#xAC00;&#x1F600;</p></body></html>",
                "text/html; charset=gbk" },
            DocumentCase { "Big5PageWithCharactersOutsideTheSet",
                "<!DOCTYPE html><html><head><meta charset=\"big5\"></head><body><p "
                "title=\"&#xAC00;\">\xA4\xA4&#xAC00;&#x1F600;</p></body></html>",
                "text/html; charset=big5" }),
        [](const auto& page) { return std::string(page.param.name); });

} // namespace
} // namespace pagestow::conformance
