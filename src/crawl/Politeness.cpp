#include "crawl/Politeness.h"

#include "base/Ascii.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <random>

namespace pagestow::crawl {
namespace {

    using namespace std::chrono;

    constexpr std::array<std::string_view, 12> kMonths
        = { "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec" };

    bool IsDigit(char c)
    {
        return c >= '0' && c <= '9';
    }

    // A run of digits at the front of text, taken off it; nullopt when there is none or it is long.
    std::optional<int> TakeNumber(std::string_view& text, std::size_t maxDigits)
    {
        std::size_t end = 0;
        int value = 0;
        while (end < text.size() && IsDigit(text[end]) && end < maxDigits)
            value = value * 10 + (text[end++] - '0');
        if (end == 0 || (end < text.size() && IsDigit(text[end])))
            return std::nullopt;
        text.remove_prefix(end);
        return value;
    }

    bool Take(std::string_view& text, char c)
    {
        if (text.empty() || text.front() != c)
            return false;
        text.remove_prefix(1);
        return true;
    }

    void SkipSpaces(std::string_view& text)
    {
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
    }

    std::optional<int> TakeMonth(std::string_view& text)
    {
        for (std::size_t i = 0; i < kMonths.size(); ++i) {
            if (base::StartsWithIgnoringAsciiCase(text, kMonths[i])) {
                text.remove_prefix(3);
                return int(i) + 1;
            }
        }
        return std::nullopt;
    }

    // "hh:mm:ss" as seconds of the day.
    std::optional<int> TakeTime(std::string_view& text)
    {
        auto hours = TakeNumber(text, 2);
        if (!hours || !Take(text, ':'))
            return std::nullopt;
        auto minutes = TakeNumber(text, 2);
        if (!minutes || !Take(text, ':'))
            return std::nullopt;
        auto seconds = TakeNumber(text, 2);
        if (!seconds || *hours > 23 || *minutes > 59 || *seconds > 60)
            return std::nullopt;
        return *hours * 3600 + *minutes * 60 + *seconds;
    }

    // The three forms of an HTTP-date: "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT"
    // and "Sun Nov  6 08:49:37 1994". The day name is not checked against the date.
    std::optional<system_clock::time_point> ParseHttpDate(std::string_view text)
    {
        std::size_t nameEnd = 0;
        while (nameEnd < text.size() && ((text[nameEnd] | 0x20) >= 'a' && (text[nameEnd] | 0x20) <= 'z'))
            ++nameEnd;
        if (nameEnd < 3)
            return std::nullopt;
        text.remove_prefix(nameEnd);
        std::optional<int> day, month, year, time;
        if (Take(text, ',')) {
            SkipSpaces(text);
            day = TakeNumber(text, 2);
            char separator = !text.empty() && text.front() == '-' ? '-' : ' ';
            if (!day || !Take(text, separator) || !(month = TakeMonth(text)) || !Take(text, separator))
                return std::nullopt;
            std::string_view digits = text;
            year = TakeNumber(text, 4);
            if (year && digits.size() - text.size() == 2)
                *year += *year < 70 ? 2000 : 1900;
            else if (year && digits.size() - text.size() != 4)
                return std::nullopt;
            if (!year || !Take(text, ' ') || !(time = TakeTime(text)))
                return std::nullopt;
            SkipSpaces(text);
            if (!base::EqualsIgnoringAsciiCase(text, "GMT"))
                return std::nullopt;
        } else {
            SkipSpaces(text);
            if (!(month = TakeMonth(text)))
                return std::nullopt;
            SkipSpaces(text);
            if (!(day = TakeNumber(text, 2)) || !Take(text, ' ') || !(time = TakeTime(text))
                || !Take(text, ' '))
                return std::nullopt;
            std::string_view digits = text;
            year = TakeNumber(text, 4);
            if (!year || digits.size() - text.size() != 4 || !text.empty())
                return std::nullopt;
        }
        year_month_day date { std::chrono::year { *year }, std::chrono::month(unsigned(*month)),
            std::chrono::day(unsigned(*day)) };
        if (!date.ok())
            return std::nullopt;
        return system_clock::time_point(sys_days(date)) + seconds(*time);
    }

} // namespace

std::optional<seconds> ParseRetryAfter(std::string_view value, system_clock::time_point now)
{
    value = base::TrimHtmlSpace(value);
    if (value.empty())
        return std::nullopt;
    if (std::all_of(value.begin(), value.end(), IsDigit)) {
        // A number too long to read is still a wait longer than any granted.
        std::string_view digits = value.substr(std::min(value.find_first_not_of('0'), value.size()));
        if (digits.size() > 9)
            return kMaxRetryAfter;
        long long wait = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), wait);
        return std::min(seconds(wait), kMaxRetryAfter);
    }
    auto date = ParseHttpDate(value);
    if (!date)
        return std::nullopt;
    if (*date <= now)
        return seconds(0);
    return std::min(ceil<seconds>(*date - now), kMaxRetryAfter);
}

HostClock::HostClock(milliseconds wait, bool randomWait, std::function<double()> random)
    : m_wait(std::max(wait, milliseconds(0)))
    , m_randomWait(randomWait)
    , m_random(std::move(random))
{
    if (!m_random) {
        auto engine = std::make_shared<std::mt19937_64>(std::random_device {}());
        m_random = [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
    }
}

HostClock::TimePoint HostClock::NextStart(const std::string& host, TimePoint now) const
{
    auto found = m_hosts.find(host);
    if (found == m_hosts.end())
        return now;
    return std::max(now, found->second.next);
}

void HostClock::Started(const std::string& host, TimePoint now)
{
    HostState& state = m_hosts[host];
    milliseconds wait = std::max(m_wait, state.wait);
    if (m_randomWait && wait > milliseconds(0)) {
        double factor = 0.5 + std::clamp(m_random(), 0.0, 1.0);
        wait = milliseconds(std::llround(double(wait.count()) * factor));
    }
    state.next = std::max(state.next, now + wait);
}

bool HostClock::Paces(const std::string& host) const
{
    auto found = m_hosts.find(host);
    return std::max(m_wait, found == m_hosts.end() ? milliseconds(-1) : found->second.wait) > milliseconds(0);
}

void HostClock::SetHostWait(const std::string& host, milliseconds wait)
{
    HostState& state = m_hosts[host];
    state.wait = std::max(state.wait, wait);
}

void HostClock::HoldUntil(const std::string& host, TimePoint until)
{
    HostState& state = m_hosts[host];
    state.next = std::max(state.next, until);
}

std::optional<int> ParseLevel(std::string_view text)
{
    if (base::EqualsIgnoringAsciiCase(text, "inf") || base::EqualsIgnoringAsciiCase(text, "infinite"))
        return -1;
    int level = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), level);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || level < 0)
        return std::nullopt;
    return level == 0 ? -1 : level;
}

std::optional<milliseconds> ParseSeconds(std::string_view text)
{
    std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    auto allDigits = [](std::string_view part) { return std::all_of(part.begin(), part.end(), IsDigit); };
    if ((whole.empty() && fraction.empty()) || !allDigits(whole) || !allDigits(fraction) || whole.size() > 6)
        return std::nullopt;
    long long count = 0;
    for (char c : whole)
        count = count * 10 + (c - '0');
    count *= 1000;
    // Beyond milliseconds the digits are dropped.
    long long scale = 100;
    for (std::size_t i = 0; i < fraction.size() && scale > 0; ++i, scale /= 10)
        count += (fraction[i] - '0') * scale;
    if (count > 24LL * 3600 * 1000)
        return std::nullopt;
    return milliseconds(count);
}

} // namespace pagestow::crawl
