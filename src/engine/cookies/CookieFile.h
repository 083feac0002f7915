#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::cookies {

// One cookie as the Netscape cookie file holds it (the file wget, curl and browser extensions write).
struct Cookie {
    // The host or domain, in lower case and without a leading dot.
    std::string domain;
    // Sent to the domain's subdomains too (a domain cookie); false for a host-only cookie.
    bool includeSubdomains = false;
    std::string path = "/";
    // Sent over https only.
    bool secure = false;
    // Not shown to the page's scripts (a line that starts with "#HttpOnly_").
    bool httpOnly = false;
    // Seconds since 1970 when it expires; 0 for a session cookie, which lives as long as the run.
    std::int64_t expires = 0;
    std::string name;
    // Never printed: no message, log or result line names a cookie's value.
    std::string value;
    bool operator==(const Cookie&) const = default;
};

// A cookie file that cannot be read or written; the message names the file (and the line) but
// never a cookie's value: "cookies.txt:3: expected 7 tab-separated fields, found 5".
class CookieFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A cookie file larger than this is refused: no real session holds so many cookies.
inline constexpr std::uint64_t kMaxCookieFileBytes = 10 << 20;

// Reads the cookies in the text of a cookie file named fileName (for the messages). Blank lines and
// lines starting with "#" are comments, except "#HttpOnly_" lines, which are HttpOnly cookies. A
// line that is no cookie raises CookieFileError with its line number.
std::vector<Cookie> ParseCookieFile(std::string_view text, const std::string& fileName);

// Reads a cookie file; CookieFileError when it cannot be read, is too large or holds a bad line.
std::vector<Cookie> ReadCookieFile(const std::string& path);

// The cookies as the text of a cookie file: a comment header, then one line a cookie.
std::string FormatCookieFile(const std::vector<Cookie>& cookies);

// One cookie as a line of the file, without the line end.
std::string FormatCookieLine(const Cookie& cookie);

// Writes the cookies to path readable by its owner only (0600), through a temporary file beside it
// that replaces it whole; CookieFileError naming the file and the system's reason when it cannot.
void WriteCookieFile(const std::string& path, const std::vector<Cookie>& cookies);

// Whether a name or value may stand in a Cookie header (no controls, no ";", a name also without
// "=" and blanks); the reason it may not, or nullopt.
std::optional<std::string> CookieProblem(const Cookie& cookie);

} // namespace pagestow::engine::cookies
