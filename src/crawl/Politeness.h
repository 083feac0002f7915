#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pagestow::crawl {

// The longest wait a Retry-After header is granted.
inline constexpr std::chrono::seconds kMaxRetryAfter { 600 };

// The seconds a Retry-After value (delta-seconds or an HTTP-date) asks to wait from now, at most
// kMaxRetryAfter.
std::optional<std::chrono::seconds> ParseRetryAfter(
    std::string_view value, std::chrono::system_clock::time_point now);

// When the next page of each host may start: a wait after the previous one started (wget --wait),
// times a factor between 0.5 and 1.5 with randomWait (wget --random-wait).
class HostClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // random gives numbers in [0, 1); the default is a generator of the clock's own.
    HostClock(std::chrono::milliseconds wait, bool randomWait, std::function<double()> random = {});

    // The earliest time a page of host may start, given now.
    TimePoint NextStart(const std::string& host, TimePoint now) const;
    // A page of host started at now.
    void Started(const std::string& host, TimePoint now);
    // Whether the pages of host wait for each other (--wait, a Crawl-delay).
    bool Paces(const std::string& host) const;
    // The host asks for a longer wait of its own (robots.txt Crawl-delay); a shorter one changes nothing.
    void SetHostWait(const std::string& host, std::chrono::milliseconds wait);
    // No page of host starts before until (a Retry-After answer).
    void HoldUntil(const std::string& host, TimePoint until);

private:
    struct HostState {
        TimePoint next {};
        std::chrono::milliseconds wait { -1 }; // negative: the clock's wait
    };

    std::chrono::milliseconds m_wait;
    bool m_randomWait;
    std::function<double()> m_random;
    std::unordered_map<std::string, HostState> m_hosts;
};

// A --level value: a count, or "inf" (and 0, as wget reads it) for no bound (-1).
std::optional<int> ParseLevel(std::string_view text);

// A --wait value in decimal seconds ("2", "0.5"), at most a day.
std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text);

} // namespace pagestow::crawl
