#pragma once

// Owners for the C handles the project holds: each is released on every way out, exactly once.
//
//   base::Owned<CURL, curl_easy_cleanup> easy(curl_easy_init());
//   base::GObjectPtr<WebKitWebView> view(...);   // g_object_unref
//   base::GCharPtr text(g_strdup(...));          // g_free
//   base::UniqueFd fd(::open(...));              // close
//   base::Iconv converter("UTF-8", "GBK");       // iconv_close

#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

namespace pagestow::base {

// Calls Free on a non-null pointer.
template <auto Free> struct FreeWith {
    template <typename T> void operator()(T* pointer) const
    {
        if (pointer)
            Free(pointer);
    }
};

template <typename T, auto Free> using Owned = std::unique_ptr<T, FreeWith<Free>>;

// Owns a file descriptor and closes it on every way out.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : m_fd(other.Release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Closes now; the errno of a failed close (a write-back error), or 0.
    int Close()
    {
        const int fd = Release();
        if (fd < 0)
            return 0;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd = -1;
};

// Owns one iconv conversion; Valid() is false when the pair of sets is unknown.
class Iconv {
public:
    Iconv(const char* to, const char* from)
        : m_handle(::iconv_open(to, from))
    {
    }
    ~Iconv()
    {
        if (Valid())
            ::iconv_close(m_handle);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool Valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_handle; }

private:
    iconv_t m_handle;
};

} // namespace pagestow::base
