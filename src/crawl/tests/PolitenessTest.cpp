#include "crawl/Politeness.h"

#include <gtest/gtest.h>

namespace pagestow::crawl {
namespace {

    using namespace std::chrono;

    TEST(ParseRetryAfter, ReadsSecondsAndDates)
    {
        // Sun, 06 Nov 1994 08:49:37 GMT
        const system_clock::time_point now = system_clock::time_point(seconds(784111777));
        const std::pair<const char*, std::optional<seconds>> cases[] = {
            { "120", seconds(120) },
            { " 0 ", seconds(0) },
            { "601", kMaxRetryAfter },
            { "99999999999999999999999", kMaxRetryAfter },
            { "Sun, 06 Nov 1994 08:51:37 GMT", seconds(120) },
            { "Sunday, 06-Nov-94 08:50:37 GMT", seconds(60) },
            { "Sun Nov  6 08:49:47 1994", seconds(10) },
            { "Sun, 06 Nov 1994 08:49:37 GMT", seconds(0) },
            { "Sat, 05 Nov 1994 08:49:37 GMT", seconds(0) },
            { "Mon, 07 Nov 1994 08:49:37 GMT", kMaxRetryAfter },
            { "-5", std::nullopt },
            { "1.5", std::nullopt },
            { "", std::nullopt },
            { "soon", std::nullopt },
            { "Sun, 31 Feb 1994 08:49:37 GMT", std::nullopt },
            { "Sun, 06 Nov 1994 25:49:37 GMT", std::nullopt },
        };
        for (const auto& [value, wait] : cases)
            EXPECT_EQ(ParseRetryAfter(value, now), wait) << value;
    }

    TEST(HostClock, SpacesThePagesOfEachHost)
    {
        const steady_clock::time_point t0 {};
        double factor = 0.0;
        HostClock clock(milliseconds(1000), true, [&] { return factor; });
        EXPECT_EQ(clock.NextStart("a", t0), t0);
        clock.Started("a", t0);
        EXPECT_EQ(clock.NextStart("a", t0), t0 + milliseconds(500));
        EXPECT_EQ(clock.NextStart("b", t0), t0);
        EXPECT_EQ(clock.NextStart("a", t0 + seconds(5)), t0 + seconds(5));
        factor = 1.0;
        clock.Started("a", t0 + seconds(5));
        EXPECT_EQ(clock.NextStart("a", t0), t0 + milliseconds(6500));

        // A host's own longer wait, and a hold after a Retry-After, count for that host only.
        HostClock steady(milliseconds(200), false);
        steady.SetHostWait("slow", seconds(3));
        steady.SetHostWait("slow", seconds(1));
        steady.Started("slow", t0);
        steady.Started("fast", t0);
        EXPECT_EQ(steady.NextStart("slow", t0), t0 + seconds(3));
        EXPECT_EQ(steady.NextStart("fast", t0), t0 + milliseconds(200));
        steady.HoldUntil("fast", t0 + seconds(60));
        steady.Started("fast", t0 + seconds(1));
        EXPECT_EQ(steady.NextStart("fast", t0 + seconds(1)), t0 + seconds(60));

        HostClock none(milliseconds(0), true);
        none.Started("a", t0);
        EXPECT_EQ(none.NextStart("a", t0), t0);
    }

    TEST(OptionValues, ReadLevelsAndSeconds)
    {
        const std::pair<const char*, std::optional<int>> levels[] = {
            { "inf", -1 },
            { "0", -1 },
            { "3", 3 },
            { "-2", std::nullopt },
            { "", std::nullopt },
            { "99999999999", std::nullopt },
        };
        for (const auto& [text, level] : levels)
            EXPECT_EQ(ParseLevel(text), level) << text;

        const std::pair<const char*, std::optional<milliseconds>> waits[] = {
            { "2", milliseconds(2000) },
            { "0.5", milliseconds(500) },
            { ".25", milliseconds(250) },
            { "1.2345", milliseconds(1234) },
            { "86400", milliseconds(86'400'000) },
            { "86401", std::nullopt },
            { "-1", std::nullopt },
            { "1.2.3", std::nullopt },
            { ".", std::nullopt },
            { "", std::nullopt },
        };
        for (const auto& [text, wait] : waits)
            EXPECT_EQ(ParseSeconds(text), wait) << text;
    }

} // namespace
} // namespace pagestow::crawl
