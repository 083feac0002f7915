#include "engine/cookies/CookieFile.h"

#include "base/Ascii.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace pagestow::engine::cookies {
namespace {

    constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";
    constexpr std::size_t kFields = 7;

    std::vector<std::string_view> SplitTabs(std::string_view line)
    {
        std::vector<std::string_view> fields;
        while (true) {
            std::size_t tab = line.find('\t');
            fields.push_back(line.substr(0, tab));
            if (tab == std::string_view::npos)
                return fields;
            line.remove_prefix(tab + 1);
        }
    }

    bool ReadFlag(std::string_view text, bool& flag)
    {
        if (base::EqualsIgnoringAsciiCase(text, "TRUE"))
            flag = true;
        else if (base::EqualsIgnoringAsciiCase(text, "FALSE"))
            flag = false;
        else
            return false;
        return true;
    }

    bool IsBlank(std::string_view line)
    {
        for (char c : line) {
            if (c != ' ' && c != '\t')
                return false;
        }
        return true;
    }

    bool HasControl(std::string_view text)
    {
        for (unsigned char c : text) {
            if (c < 0x20 || c == 0x7f)
                return true;
        }
        return false;
    }

    // The cookie of one line, or the reason it is none (without the value in it).
    std::string ReadLine(std::string_view line, Cookie& cookie)
    {
        if (line.starts_with(kHttpOnlyPrefix)) {
            cookie.httpOnly = true;
            line.remove_prefix(kHttpOnlyPrefix.size());
        }
        std::vector<std::string_view> fields = SplitTabs(line);
        if (fields.size() != kFields)
            return "expected 7 tab-separated fields (domain, include-subdomains, path, secure, expiry, name, "
                   "value), found "
                + std::to_string(fields.size());
        std::string_view domain = fields[0];
        if (domain.starts_with('.'))
            domain.remove_prefix(1);
        if (domain.empty() || HasControl(domain) || domain.find(' ') != std::string_view::npos)
            return "the domain is empty or holds blanks";
        cookie.domain = base::LowerAscii(domain);
        if (!ReadFlag(fields[1], cookie.includeSubdomains))
            return "the include-subdomains field is neither TRUE nor FALSE";
        if (!fields[2].starts_with('/') || HasControl(fields[2]))
            return "the path does not start with /";
        cookie.path = std::string(fields[2]);
        if (!ReadFlag(fields[3], cookie.secure))
            return "the secure field is neither TRUE nor FALSE";
        std::string_view expiry = fields[4];
        auto [end, error] = std::from_chars(expiry.data(), expiry.data() + expiry.size(), cookie.expires);
        if (expiry.empty() || error != std::errc() || end != expiry.data() + expiry.size()
            || cookie.expires < 0)
            return "the expiry is not a number of seconds";
        cookie.name = std::string(fields[5]);
        cookie.value = std::string(fields[6]);
        if (std::optional<std::string> problem = CookieProblem(cookie))
            return *problem;
        return {};
    }

    std::string SystemReason(int error)
    {
        return std::strerror(error);
    }

} // namespace

std::optional<std::string> CookieProblem(const Cookie& cookie)
{
    if (cookie.name.empty())
        return "the cookie has no name";
    for (unsigned char c : cookie.name) {
        if (c <= 0x20 || c == 0x7f || c == ';' || c == '=' || c == ',')
            return "the cookie's name holds a blank, a control character, \";\", \",\" or \"=\"";
    }
    if (HasControl(cookie.value) || cookie.value.find(';') != std::string::npos)
        return "the cookie's value holds a control character or \";\"";
    return std::nullopt;
}

std::vector<Cookie> ParseCookieFile(std::string_view text, const std::string& fileName)
{
    std::vector<Cookie> cookies;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (IsBlank(line) || (line.starts_with('#') && !line.starts_with(kHttpOnlyPrefix)))
            continue;
        Cookie cookie;
        if (std::string problem = ReadLine(line, cookie); !problem.empty())
            throw CookieFileError(fileName + ":" + std::to_string(lineNumber) + ": " + problem);
        cookies.push_back(std::move(cookie));
    }
    return cookies;
}

std::vector<Cookie> ReadCookieFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw CookieFileError(path + ": cannot be read: " + SystemReason(errno));
    std::string text;
    struct stat info { };
    bool tooLarge = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
        && std::uint64_t(info.st_size) > kMaxCookieFileBytes;
    int readError = 0;
    // A file that is not a plain file (a pipe) is read up to the bound and one byte more.
    char buffer[64 * 1024];
    while (!tooLarge) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            readError = errno;
            break;
        }
        if (got == 0)
            break;
        text.append(buffer, std::size_t(got));
        tooLarge = text.size() > kMaxCookieFileBytes;
    }
    ::close(fd);
    if (tooLarge)
        throw CookieFileError(path + ": larger than 10 MB, which no cookie file is");
    if (readError)
        throw CookieFileError(path + ": cannot be read: " + SystemReason(readError));
    return ParseCookieFile(text, path);
}

std::string FormatCookieLine(const Cookie& cookie)
{
    std::string line;
    if (cookie.httpOnly)
        line += kHttpOnlyPrefix;
    if (cookie.includeSubdomains)
        line += '.';
    line += cookie.domain;
    line += cookie.includeSubdomains ? "\tTRUE\t" : "\tFALSE\t";
    line += cookie.path;
    line += cookie.secure ? "\tTRUE\t" : "\tFALSE\t";
    line += std::to_string(cookie.expires);
    line += '\t';
    line += cookie.name;
    line += '\t';
    line += cookie.value;
    return line;
}

std::string FormatCookieFile(const std::vector<Cookie>& cookies)
{
    std::string text = "# Netscape HTTP Cookie File\n"
                       "# Written by Pagestow. A session cookie has the expiry 0.\n\n";
    for (const Cookie& cookie : cookies)
        text += FormatCookieLine(cookie) + "\n";
    return text;
}

void WriteCookieFile(const std::string& path, const std::vector<Cookie>& cookies)
{
    std::filesystem::path target(path);
    std::string temporary
        = (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()).string() + "/."
        + target.filename().string() + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw CookieFileError(path + ": cannot be written: " + SystemReason(errno));
    std::string text = FormatCookieFile(cookies);
    int error = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
    std::size_t written = 0;
    while (!error && written < text.size()) {
        ssize_t put = ::write(fd, text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            error = errno;
        else
            written += std::size_t(put);
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        throw CookieFileError(path + ": cannot be written: " + SystemReason(error));
    }
}

} // namespace pagestow::engine::cookies
