#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace pagestow::testing {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The whole content of a file ("" when it cannot be read).
std::string ReadFileBytes(const std::filesystem::path& file);
// Writes bytes to file, creating its folders.
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);
// Every regular file below folder, as paths relative to it with "/", sorted.
std::vector<std::string> ListFiles(const std::filesystem::path& folder);

} // namespace pagestow::testing
