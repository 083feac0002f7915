#include "capture/Capture.h"
#include "capture/tests/SnapshotBuilder.h"
#include "engine/EngineError.h"

#include <filesystem>
#include <fstream>

namespace pagestow::capture::testing {
namespace {
    namespace fs = std::filesystem;
    using Lines = std::vector<std::string>;

    class DocumentSaving : public CaptureTest {
    protected:
        void Save(const std::shared_ptr<engine::SnapshotDocument>& top)
        {
            EXPECT_TRUE(capture->SaveDocument(top.get(), DocumentPass::Document));
        }

        std::string Saved(const std::string& file) const
        {
            return "result: 网页文件“" + Root() + "/" + file + "”保存完成。";
        }
        std::string SavedStatus(const std::string& file) const
        {
            return "status:  网页文件“" + Root() + "/" + file + "”保存完成。";
        }
        std::string Image(const std::string& file) const { return "保存图片文件：" + Root() + "/" + file; }
    };

    TEST_F(DocumentSaving, PageWithoutFramesIsWrittenAsServedThenWalked)
    {
        CacheResource("http://www.example.com/news/a.gif", "GIF");
        DocumentBuilder page("http://www.example.com/news/today.html");
        page.Add("img", { { "src", "./a.gif" } });
        page.Serialization(std::string("<html>\0\xD6\xD0\xCE\xC4</html>", 15));
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/news/today.html"), SavedStatus("www.example.com/news/today.html"),
                "result: " + Image("www.example.com/news/a.gif"),
                "status: " + Image("www.example.com/news/a.gif") }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/news/today.html"),
            std::string("<html>\0\xD6\xD0\xCE\xC4</html>", 15));
        EXPECT_EQ(Written(), (Lines { "www.example.com/news/a.gif", "www.example.com/news/today.html" }));
        // The document's own file is not one of the walk's files.
        EXPECT_EQ(capture->SavedFiles.Paths(), Lines { Root() + "/www.example.com/news/a.gif" });
    }

    TEST_F(DocumentSaving, FileNameIsTheAddressOwnOrIndexHtm)
    {
        struct Case {
            const char* url;
            const char* file;
        } cases[] = {
            { "http://www.example.com", "www.example.com/index.htm" },
            { "http://www.example.com/", "www.example.com/index.htm" },
            { "http://www.example.com/left/", "www.example.com/left/index.htm" },
            { "http://www.example.com/cgi/list.php?id=3#top", "www.example.com/cgi/list.php" },
            { "http://www.example.com:8080/a/b/page.asp", "www.example.com/a/b/page.asp" },
            { "http://www.example.com/my docs/a.htm", "www.example.com/my_docs/a.htm" },
        };
        for (const Case& c : cases) {
            frontEnd.lines.clear();
            Save(DocumentBuilder(c.url).Build());
            EXPECT_EQ(frontEnd.lines, (Lines { Saved(c.file), SavedStatus(c.file) })) << c.url;
            EXPECT_EQ(ReadBytes(Root() + "/" + c.file), DefaultSerialization(c.url)) << c.url;
        }
    }

    TEST_F(DocumentSaving, DocumentFilesNeverLeaveTheCaptureFolder)
    {
        struct Case {
            const char* url;
            const char* file;
        } cases[] = {
            { "http://www.example.com/../../x.htm", "www.example.com/__/__/x.htm" },
            { "http://www.example.com/a/../../../etc/", "www.example.com/a/__/__/__/etc/index.htm" },
            { "http://h/..", "h/__" },
            { "http://../", "/index.htm" },
        };
        for (const Case& c : cases) {
            frontEnd.lines.clear();
            Save(DocumentBuilder(c.url).Build());
            EXPECT_EQ(frontEnd.lines, (Lines { Saved(c.file), SavedStatus(c.file) })) << c.url;
            EXPECT_EQ(ReadBytes(Root() + "/" + c.file), DefaultSerialization(c.url)) << c.url;
        }
        EXPECT_EQ(ListFiles(scratch.Path()).size(), std::size(cases));
    }

    TEST_F(DocumentSaving, FramesetSavesItselfThenEachFrameToAnyDepthInIndexOrder)
    {
        for (const char* address : { "http://www.example.com/left/menu.gif",
                 "http://www.example.com/left/inner/item.gif", "http://other.example.org/right.gif" })
            CacheResource(address, address);
        DocumentBuilder nested("http://www.example.com/left/inner/item.htm");
        nested.Add("img", { { "src", "item.gif", "http://www.example.com/left/inner/item.gif" } });
        DocumentBuilder left("http://www.example.com/left/menu.htm");
        left.Add("img", { { "src", "menu.gif", "http://www.example.com/left/menu.gif" } });
        left.Frame(nested.Build());
        DocumentBuilder right("http://other.example.org/right.htm");
        right.Add("img", { { "src", "/right.gif" } });
        right.Add("img", { { "src", "http://www.example.com/left/menu.gif" } }); // saved by the left frame
        DocumentBuilder top("http://www.example.com/frames.htm");
        top.Frameset();
        top.Frame(left.Build()).Frame(right.Build());

        Save(top.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines {
                Saved("www.example.com/frames.htm"),
                SavedStatus("www.example.com/frames.htm"),
                Saved("www.example.com/left/menu.htm"),
                SavedStatus("www.example.com/left/menu.htm"),
                "result: " + Image("www.example.com/left/menu.gif"),
                "status: " + Image("www.example.com/left/menu.gif"),
                Saved("www.example.com/left/inner/item.htm"),
                SavedStatus("www.example.com/left/inner/item.htm"),
                "result: " + Image("www.example.com/left/inner/item.gif"),
                "status: " + Image("www.example.com/left/inner/item.gif"),
                Saved("other.example.org/right.htm"),
                SavedStatus("other.example.org/right.htm"),
                "result: " + Image("other.example.org/right.gif"),
                "status: " + Image("other.example.org/right.gif"),
            }));
        EXPECT_EQ(Written(),
            (Lines { "other.example.org/right.gif", "other.example.org/right.htm",
                "www.example.com/frames.htm", "www.example.com/left/inner/item.gif",
                "www.example.com/left/inner/item.htm", "www.example.com/left/menu.gif",
                "www.example.com/left/menu.htm" }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/left/inner/item.htm"),
            DefaultSerialization("http://www.example.com/left/inner/item.htm"));
    }

    TEST_F(DocumentSaving, FramesetBackgroundIsNotHarvested)
    {
        // A frameset element is not a body element: its background is not harvested.
        CacheResource("http://www.example.com/top.gif", "TOP");
        DocumentBuilder top("http://www.example.com/frames.htm");
        top.Frameset().BodyAttributes({ { "background", "/top.gif" } });
        Save(top.Build());
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/frames.htm"), SavedStatus("www.example.com/frames.htm") }));
    }

    TEST_F(DocumentSaving, UnreachableFrameIsSkippedSilentlyAndTheNextIsSaved)
    {
        DocumentBuilder top("http://www.example.com/");
        top.Frameset()
            .Frame(nullptr)
            .Frame(DocumentBuilder("http://www.example.com/b.htm").Build())
            .Frame(nullptr);
        Save(top.Build());
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm"),
                Saved("www.example.com/b.htm"), SavedStatus("www.example.com/b.htm") }));
        // One pump before each of the three frames, one per element of the two documents, and one
        // per step.
        EXPECT_EQ(frontEnd.pumps, 3 + 2 * 3 * 2);
    }

    TEST_F(DocumentSaving, TwoFramesWithOneAddressWriteOneFileAndTwoLines)
    {
        auto frame = DocumentBuilder("http://www.example.com/same.htm").Serialization("first").Build();
        auto again = DocumentBuilder("http://www.example.com/same.htm").Serialization("second").Build();
        DocumentBuilder top("http://www.example.com/");
        top.Frameset().Frame(frame).Frame(again);
        Save(top.Build());
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm"),
                Saved("www.example.com/same.htm"), SavedStatus("www.example.com/same.htm"),
                Saved("www.example.com/same.htm"), SavedStatus("www.example.com/same.htm") }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/same.htm"), "second");
        EXPECT_EQ(Written(), (Lines { "www.example.com/index.htm", "www.example.com/same.htm" }));
    }

    TEST_F(DocumentSaving, DocumentWhoseFolderCannotBeMadeIsReportedAndTheCaptureGoesOn)
    {
        // A file where the host's folder belongs keeps the folder from being made.
        fs::create_directories(Root());
        std::ofstream(Root() + "/blocked.example.com") << "in the way";
        CacheResource("http://blocked.example.com/a.gif", "A");
        DocumentBuilder blocked("http://blocked.example.com/page.htm");
        blocked.Add("img", { { "src", "/a.gif" } });
        blocked.Frame(DocumentBuilder("http://blocked.example.com/inner.htm").Build());
        DocumentBuilder top("http://www.example.com/");
        top.Frameset().Frame(blocked.Build()).Frame(DocumentBuilder("http://www.example.com/b.htm").Build());

        Save(top.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm"),
                "message: FileCreateError: Cannot create file \"" + Root()
                    + "/blocked.example.com/page.htm\". Not a directory",
                Saved("www.example.com/b.htm"), SavedStatus("www.example.com/b.htm") }));
        EXPECT_EQ(Written(),
            (Lines { "blocked.example.com", "www.example.com/b.htm", "www.example.com/index.htm" }));
    }

    TEST_F(DocumentSaving, FailedWriteLeavesNoPartialFileAndKeepsWhatWasThere)
    {
        // The document's file name is taken by a folder, so the finished bytes cannot take it.
        fs::create_directories(Root() + "/www.example.com/index.htm/inside");
        Save(DocumentBuilder("http://www.example.com/").Build());
        ASSERT_EQ(frontEnd.lines.size(), 1u);
        EXPECT_EQ(frontEnd.lines[0].rfind("message: FileCreateError: Cannot create file \"" + Root()
                          + "/www.example.com/index.htm\". ",
                      0),
            0u)
            << frontEnd.lines[0];
        EXPECT_EQ(Written(), Lines {});
        EXPECT_TRUE(fs::is_directory(Root() + "/www.example.com/index.htm/inside"));
    }

    TEST_F(DocumentSaving, ExistingDocumentFileIsReplacedWhole)
    {
        fs::create_directories(Root() + "/www.example.com");
        std::ofstream(Root() + "/www.example.com/index.htm")
            << "an older and much longer page than the new one";
        Save(DocumentBuilder("http://www.example.com/").Serialization("new").Build());
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/index.htm"), "new");
        EXPECT_EQ(Written(), Lines { "www.example.com/index.htm" });
    }

    TEST_F(DocumentSaving, NullDocumentDoesNothingInEitherPass)
    {
        EXPECT_TRUE(capture->SaveDocument(nullptr, DocumentPass::Document));
        EXPECT_TRUE(capture->SaveDocument(nullptr, DocumentPass::FramesOnly));
        EXPECT_EQ(frontEnd.lines, Lines {});
        EXPECT_FALSE(fs::exists(capture->SaveDir));
    }

    TEST_F(DocumentSaving, FramePassSavesOnlyTheFrames)
    {
        DocumentBuilder top("http://www.example.com/");
        top.Frameset().Frame(DocumentBuilder("http://www.example.com/a.htm").Build());
        auto document = top.Build();
        EXPECT_TRUE(capture->SaveDocument(document.get(), DocumentPass::FramesOnly));
        EXPECT_EQ(
            frontEnd.lines, (Lines { Saved("www.example.com/a.htm"), SavedStatus("www.example.com/a.htm") }));
    }

    TEST(SaveDocumentToStream, AppendsTheEngineBytesOrNothingForNoDocument)
    {
        auto document = DocumentBuilder("http://h/").Serialization("<p>bytes</p>").Build();
        std::string stream = "kept:";
        EXPECT_EQ(SaveDocumentToStream(nullptr, stream), 1);
        EXPECT_EQ(stream, "kept:");
        EXPECT_EQ(SaveDocumentToStream(document.get(), stream), 0);
        EXPECT_EQ(stream, "kept:<p>bytes</p>");
    }

    TEST(GetFrameDocument, GivesTheDocumentTheFrameShowsOrNullWhenItCannotBeReached)
    {
        auto shown = DocumentBuilder("http://h/a.htm").Build();
        DocumentBuilder top("http://h/");
        top.Frame(shown).Frame(nullptr);
        auto document = top.Build();

        const engine::SnapshotDocument* frameDocument = GetFrameDocument(document->frames[0]);
        ASSERT_NE(frameDocument, nullptr);
        EXPECT_EQ(frameDocument, shown.get());
        EXPECT_EQ(frameDocument->url, "http://h/a.htm");
        EXPECT_EQ(GetFrameDocument(document->frames[1]), nullptr);
    }

} // namespace

namespace outer::inner {
    struct NestedError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    template <class T> struct TemplateError : std::logic_error {
        using std::logic_error::logic_error;
    };
} // namespace outer::inner

namespace {
    TEST(DescribeError, GivesTheTypeOwnNameWithoutNamespacesThenTheMessage)
    {
        EXPECT_EQ(DescribeError(engine::EngineError("Interface not supported")),
            "EngineError: Interface not supported");
        EXPECT_EQ(DescribeError(FileCreateError("Cannot create file \"x\". Permission denied")),
            "FileCreateError: Cannot create file \"x\". Permission denied");
        EXPECT_EQ(DescribeError(std::runtime_error("plain")), "runtime_error: plain");
        EXPECT_EQ(DescribeError(outer::inner::NestedError("deep")), "NestedError: deep");
        EXPECT_EQ(DescribeError(outer::inner::TemplateError<outer::inner::NestedError>("t")),
            "TemplateError<pagestow::capture::testing::outer::inner::NestedError>: t");
        EXPECT_EQ(DescribeError(std::make_exception_ptr(engine::EngineError("boom"))), "EngineError: boom");
        EXPECT_EQ(DescribeError(std::make_exception_ptr(42)), "int: ");
        EXPECT_EQ(DescribeError(std::exception_ptr()), "");
    }
} // namespace
} // namespace pagestow::capture::testing
