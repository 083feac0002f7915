#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pagestow::archive {

// A file being written: every write checked, the first failure kept as a message naming the file and
// the system's reason, and nothing written after it.
class FileOutput {
public:
    // Takes fd (open for writing) and the name to report.
    FileOutput(int fd, std::filesystem::path path);
    ~FileOutput();
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    bool Write(std::string_view bytes);
    // Writes bytes at offset without moving the end (to fill in a header written before).
    bool WriteAt(std::uint64_t offset, std::string_view bytes);
    // fsync and close; false when that or any write before failed.
    bool Close();
    // Records a failure of the caller's own (a source that cannot be read) as the first error.
    void Fail(std::string message);

    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }
    std::uint64_t Offset() const { return m_offset; }

private:
    void FailWithErrno(std::string_view what);
    int m_fd;
    std::filesystem::path m_path;
    std::uint64_t m_offset = 0;
    std::string m_error;
};

// "what path: reason" for the errno of the last call.
std::string SystemError(std::string_view what, const std::filesystem::path& path);

} // namespace pagestow::archive
