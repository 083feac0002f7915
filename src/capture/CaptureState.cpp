#include "capture/CaptureState.h"

namespace pagestow::capture {
namespace {

    // Letter case is ignored for ASCII letters; other bytes (UTF-8 sequences) compare as they are.
    std::string Folded(const std::string& path)
    {
        std::string folded = path;
        for (char& c : folded) {
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        }
        return folded;
    }

} // namespace

bool SavedFileList::Contains(const std::string& path) const
{
    return m_folded.count(Folded(path)) != 0;
}

void SavedFileList::Add(const std::string& path)
{
    m_paths.push_back(path);
    m_folded.insert(Folded(path));
}

bool SavedFileList::IsDocument(const std::string& path) const
{
    return m_documents.count(Folded(path)) != 0;
}

void SavedFileList::AddDocument(const std::string& path)
{
    m_documents.insert(Folded(path));
}

} // namespace pagestow::capture
