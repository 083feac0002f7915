#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::crawl {

// The part of a robots.txt that is read; the rest of a larger file is ignored.
inline constexpr std::size_t kMaxRobotsBytes = 512 * 1024;
// Rules kept for one crawler; further lines of its groups are ignored.
inline constexpr std::size_t kMaxRobotsRules = 20000;
// A path pattern longer than this (after its escapes are normalised) is ignored.
inline constexpr std::size_t kMaxRobotsPattern = 2000;

// The rules of one site's robots.txt that apply to one crawler.
class RobotsRules {
public:
    // Everything allowed (no robots.txt, 4xx).
    static RobotsRules AllowAll();
    // Everything disallowed but /robots.txt itself (5xx, unreachable).
    static RobotsRules DisallowAll();
    // The rules of a robots.txt body for the crawler whose User-Agent header is userAgent.
    static RobotsRules Parse(std::string_view body, std::string_view userAgent);

    // Whether a path and query ("/a/b?c=1", "" read as "/") may be fetched.
    bool Allows(std::string_view pathAndQuery) const;
    // The Crawl-delay of the chosen group in seconds, when it gives one.
    std::optional<double> CrawlDelay() const { return m_crawlDelay; }

private:
    struct Rule {
        std::string pattern; // escapes normalised, runs of "*" as one
        bool allow = false;
    };

    std::vector<Rule> m_rules;
    std::optional<double> m_crawlDelay;
};

// The rules for a fetch of robots.txt that ended with an HTTP status (0: no answer) and a body.
RobotsRules RulesForAnswer(long status, std::string_view body, std::string_view userAgent);

// The path and query of an absolute address as RobotsRules::Allows takes it ("/" when unreadable).
std::string RobotsPath(std::string_view address);

// The product names a User-Agent header gives, lower case, parenthesised comments left out.
std::vector<std::string> ProductNames(std::string_view userAgent);

} // namespace pagestow::crawl
