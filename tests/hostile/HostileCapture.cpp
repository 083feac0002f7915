#include "hostile/HostileCapture.h"

#include "capture/Capture.h"
#include "cli/EngineTable.h"
#include "engine/EngineCache.h"
#include "engine/static/StaticEngine.h"

#include <cstdlib>

namespace pagestow::hostile {
namespace {

    // The engine caches the captures read live below a scratch folder of this test program: chosen
    // before each engine makes its cache.
    void UseTestCacheRoot()
    {
        static testing::TemporaryFolder root;
        setenv("PAGESTOW_CACHE_DIR", root.Path().c_str(), 1);
    }

    // An engine gets this long past the load time-out to report its page.
    constexpr std::chrono::seconds kCompletionGrace { 30 };

} // namespace

std::ostream& operator<<(std::ostream& out, EngineKind kind)
{
    return out << (kind == EngineKind::Static     ? "static"
                   : kind == EngineKind::Chromium ? "chromium"
                                                  : "webkit");
}

std::string EngineName(const ::testing::TestParamInfo<EngineKind>& info)
{
    return info.param == EngineKind::Static  ? "Static"
        : info.param == EngineKind::Chromium ? "Chromium"
                                             : "WebKit";
}

bool EngineAvailable(EngineKind kind)
{
    if (kind == EngineKind::Static)
        return true;
    std::string why;
    return cli::FindEngine(kind == EngineKind::Chromium ? "chromium" : "webkit")->available(why);
}

CaptureHarness::CaptureHarness(EngineKind kind, engine::StaticEngineOptions options)
    : m_saveDir(m_scratch.Path().string() + "/pages/")
{
    UseTestCacheRoot();
    if (kind == EngineKind::Static) {
        options.cache = nullptr;
        m_engine = engine::CreateStaticEngine(options);
    } else {
        m_engine = cli::FindEngine(kind == EngineKind::Chromium ? "chromium" : "webkit")->create();
    }
    if (!m_engine)
        throw std::runtime_error("no such engine here");
    m_engine->SetDocumentCompleteHandler(
        [this](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
            if (completion == engine::PageEngine::Completion::TopLevel && !m_frontEnd.CaptureRunning())
                m_completed = true;
        });
}

CaptureHarness::~CaptureHarness()
{
    m_engine->SetDocumentCompleteHandler(nullptr);
    m_engine.reset();
}

CaptureResult CaptureHarness::Capture(const std::string& address, std::chrono::milliseconds loadTimeout)
{
    CaptureResult result;
    m_completed = false;
    m_engine->SetLoadTimeout(loadTimeout);
    m_engine->Navigate(address);
    auto giveUp = std::chrono::steady_clock::now() + loadTimeout + kCompletionGrace;
    while (!m_completed && std::chrono::steady_clock::now() < giveUp)
        m_engine->ProcessEvents(std::chrono::milliseconds(50));
    result.completed = m_completed;
    if (!result.completed)
        return result;

    capture::CaptureSettings settings;
    settings.saveDir = m_saveDir;
    settings.cache = &m_engine->Cache();
    settings.offlineCopy = m_offlineCopy;
    settings.singleFile = m_singleFile;
    settings.scriptsRan = m_scriptsRan;
    settings.interrupted = &interrupted;
    m_frontEnd.saveDir = m_saveDir;
    m_frontEnd.captureFolder.clear();
    m_frontEnd.lines.clear();
    m_lastResult = {};
    m_lastResult = capture::CapturePage(m_engine->Document().get(), settings, m_frontEnd);
    result.accepted = m_lastResult.accepted;
    result.lines = m_frontEnd.lines;
    return result;
}

std::string CaptureHarness::Root() const
{
    return m_frontEnd.saveDir + m_frontEnd.captureFolder;
}

std::vector<std::string> CaptureHarness::Written() const
{
    return testing::ListFiles(Root());
}

std::vector<std::string> CaptureHarness::Expand(const std::vector<std::string>& lines) const
{
    std::vector<std::string> expanded;
    for (std::string line : lines) {
        for (size_t at; (at = line.find("{R}")) != std::string::npos;)
            line.replace(at, 3, Root());
        expanded.push_back(std::move(line));
    }
    return expanded;
}

std::vector<std::string> DocumentLines(const std::string& file)
{
    return { "result: 网页文件“" + file + "”保存完成。", "status:  网页文件“" + file + "”保存完成。" };
}

std::vector<std::string> ResourceLines(const std::string& reportText, const std::string& file)
{
    return { "result: " + reportText + file, "status: " + reportText + file };
}

::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected, first difference at offset " << at;
}

::testing::AssertionResult SameLines(
    const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    auto failure = ::testing::AssertionFailure();
    failure << actual.size() << " lines where " << expected.size() << " were expected; line " << at
            << " is\n  " << (at < actual.size() ? actual[at] : "(none)") << "\nwhere\n  "
            << (at < expected.size() ? expected[at] : "(none)") << "\nwas expected. Lines:";
    for (const std::string& line : actual)
        failure << "\n    " << line;
    return failure;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> joined;
    for (const auto& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

} // namespace pagestow::hostile
