#include "capture/tests/SnapshotBuilder.h"

#include "engine/EngineCache.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pagestow::capture::testing {
namespace fs = std::filesystem;

DocumentBuilder::DocumentBuilder(std::string url)
    : m_document(std::make_shared<engine::SnapshotDocument>())
{
    m_document->url = std::move(url);
    m_document->characterSet = "UTF-8";
    m_document->serialization = DefaultSerialization(m_document->url);
    m_document->elements = { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
}

int DocumentBuilder::Add(std::string tag, std::vector<engine::SnapshotAttribute> attributes, int parent)
{
    m_document->elements.push_back({ std::move(tag), std::move(attributes), parent });
    return int(m_document->elements.size()) - 1;
}

int DocumentBuilder::Comment(int parent)
{
    return Add("!", {}, parent);
}

DocumentBuilder& DocumentBuilder::BodyAttributes(std::vector<engine::SnapshotAttribute> attributes)
{
    m_document->elements[kBody].attributes = std::move(attributes);
    return *this;
}

DocumentBuilder& DocumentBuilder::Frameset()
{
    m_document->elements[kBody].tagName = "FRAMESET";
    return *this;
}

DocumentBuilder& DocumentBuilder::Frame(std::shared_ptr<const engine::SnapshotDocument> document)
{
    m_document->frames.push_back({ std::move(document) });
    return *this;
}

DocumentBuilder& DocumentBuilder::Serialization(std::string bytes)
{
    m_document->serialization = std::move(bytes);
    return *this;
}

std::shared_ptr<engine::SnapshotDocument> DocumentBuilder::Build() const
{
    auto document = std::make_shared<engine::SnapshotDocument>(*m_document);
    document->body = engine::FindBodyElement(*document);
    return document;
}

std::string DefaultSerialization(const std::string& url)
{
    return "<html><!-- " + url + " --></html>\n";
}

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "pagestow-capture-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a scratch folder");
    m_path = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code error;
    // Folders made read-only by a test must be writable again to be removed.
    for (fs::recursive_directory_iterator it(m_path, error), end; !error && it != end; it.increment(error))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(m_path, error);
}

std::string ReadBytes(const fs::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

std::vector<std::string> ListFiles(const fs::path& folder)
{
    std::vector<std::string> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file())
            files.push_back(fs::relative(it->path(), folder).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

    engine::EngineCache& Cache()
    {
        // The scratch root outlives the cache made in it: statics end in the reverse order of their
        // making.
        static ScratchFolder root;
        static engine::EngineCache cache(root.Path() / "cache");
        return cache;
    }

} // namespace

const engine::EngineCache& TestCache()
{
    return Cache();
}

void CacheResource(const std::string& address, const std::string& bytes)
{
    Cache().Store({ address }, bytes);
}

void ClearCache()
{
    Cache().Clear();
}

} // namespace pagestow::capture::testing
