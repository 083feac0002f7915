#include "archive/FileOutput.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace pagestow::archive {

std::string SystemError(std::string_view what, const std::filesystem::path& path)
{
    int error = errno;
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

FileOutput::FileOutput(int fd, std::filesystem::path path)
    : m_fd(fd)
    , m_path(std::move(path))
{
}

FileOutput::~FileOutput()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void FileOutput::FailWithErrno(std::string_view what)
{
    if (m_error.empty())
        m_error = SystemError(what, m_path);
}

void FileOutput::Fail(std::string message)
{
    if (m_error.empty())
        m_error = std::move(message);
}

bool FileOutput::Write(std::string_view bytes)
{
    if (Failed() || m_fd < 0)
        return false;
    while (!bytes.empty()) {
        ssize_t written = ::write(m_fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            FailWithErrno("cannot write");
            return false;
        }
        bytes.remove_prefix(std::size_t(written));
        m_offset += std::uint64_t(written);
    }
    return true;
}

bool FileOutput::WriteAt(std::uint64_t offset, std::string_view bytes)
{
    if (Failed() || m_fd < 0)
        return false;
    while (!bytes.empty()) {
        ssize_t written = ::pwrite(m_fd, bytes.data(), bytes.size(), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            FailWithErrno("cannot write");
            return false;
        }
        bytes.remove_prefix(std::size_t(written));
        offset += std::uint64_t(written);
    }
    return true;
}

bool FileOutput::Close()
{
    if (m_fd < 0)
        return !Failed();
    // A device such as /dev/full or a pipe cannot be synced; that is no failure of the data written.
    if (!Failed() && ::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        FailWithErrno("cannot write");
    if (::close(m_fd) != 0 && errno != EINTR)
        FailWithErrno("cannot write");
    m_fd = -1;
    return !Failed();
}

} // namespace pagestow::archive
