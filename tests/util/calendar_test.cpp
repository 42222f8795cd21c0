#include "util/calendar.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "support/time_zone.h"
#include "support/transcript_format.h"

namespace tessel {
namespace {

using test::ScopedTimeZone;

const Date march7at10utc(Calendar::utcSeconds(2025, 3, 7, 10, 0, 0));

TEST(Calendar, LocalDayFollowsTheMachineTimeZone) {
  {
    ScopedTimeZone zone("UTC");
    EXPECT_EQ(Calendar::localDay(march7at10utc), "2025-03-07");
    EXPECT_EQ(Calendar::formatLocal(march7at10utc, "%Y-%m-%d-%H%M%S"), "2025-03-07-100000");
  }
  {
    // 10:00 UTC is already the next day in Kiritimati (UTC+14) but not in Honolulu.
    ScopedTimeZone zone("Pacific/Kiritimati");
    EXPECT_EQ(Calendar::localDay(march7at10utc), "2025-03-08");
  }
  {
    ScopedTimeZone zone("Pacific/Honolulu");
    EXPECT_EQ(Calendar::localDay(march7at10utc - 11 * 3600), "2025-03-06");
  }
}

TEST(Calendar, InternetDateTimesWithAndWithoutFractions) {
  using Calendar::parseInternetDateTime;
  EXPECT_EQ(parseInternetDateTime("2025-03-07T10:00:00Z", false), march7at10utc);
  EXPECT_EQ(parseInternetDateTime("2025-03-07T11:30:00+01:30", false), march7at10utc);
  EXPECT_EQ(parseInternetDateTime("2025-03-07T05:00:00-0500", false), march7at10utc);
  EXPECT_EQ(parseInternetDateTime("2025-03-07T10:00:00.250Z", true), march7at10utc + 0.25);

  // Each form rejects the other, and the combined parser takes both.
  EXPECT_EQ(parseInternetDateTime("2025-03-07T10:00:00.250Z", false), std::nullopt);
  EXPECT_EQ(parseInternetDateTime("2025-03-07T10:00:00Z", true), std::nullopt);
  EXPECT_EQ(parseInternetDateTime("2025-03-07T10:00:00.5Z"), march7at10utc + 0.5);
  EXPECT_EQ(parseInternetDateTime("2025-03-07T10:00:00Z"), march7at10utc);

  for (const char* bad :
       {"2025-03-07", "2025-03-07T10:00:00", "2025-02-30T10:00:00Z", "2025-03-07 10:00:00Z",
        "2025-03-07T10:00:00Zjunk", "2025-13-01T00:00:00Z", "2025-03-07T10:00:00.Z", ""}) {
    EXPECT_EQ(parseInternetDateTime(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(parseInternetDateTime("2024-02-29T00:00:00Z"),
            Date(Calendar::utcSeconds(2024, 2, 29, 0, 0, 0)));
}

TEST(Calendar, Rfc3339CutsFractionsToMilliseconds) {
  using Calendar::rfc3339;
  const auto at = [](double second) {
    return Date(Calendar::utcSeconds(2026, 12, 5, 17, 49, second));
  };
  // Nine digits (Docker, Codex's session index) are cut, not rounded and not kept.
  EXPECT_NEAR(rfc3339("2026-12-05T17:49:12.771903918Z")->secondsSince1970(),
              at(12.771).secondsSince1970(), 1e-6);
  EXPECT_EQ(rfc3339("2026-12-05T18:49:12.25+01:00"), at(12.25));
  EXPECT_EQ(rfc3339("2026-12-05T12:49:12.000123-05:00"), at(12));
  EXPECT_EQ(rfc3339("2026-12-05T17:49:12Z"), at(12));
  EXPECT_EQ(rfc3339("0001-01-01T00:00:00Z"), Date::distantPast());
  EXPECT_FALSE(rfc3339("2026-12-05 17:49:12Z"));
  EXPECT_FALSE(rfc3339("2026-12-05T17:49:12.77"));
}

TEST(Calendar, FormatsInternetDateTimesInUtc) {
  EXPECT_EQ(Calendar::formatInternetDateTime(march7at10utc, false), "2025-03-07T10:00:00Z");
  EXPECT_EQ(Calendar::formatInternetDateTime(march7at10utc + 0.9996, true),
            "2025-03-07T10:00:01.000Z");
  EXPECT_EQ(Calendar::formatInternetDateTime(Date(0), true), "1970-01-01T00:00:00.000Z");
}

// Two independent ways to the same text: the C library's calendar, and the civil-date
// arithmetic that the tests' and the benchmarks' transcript lines are stamped with.
TEST(Calendar, InternetFormAgreesWithTheTranscriptLinesStamps) {
  const auto transcriptStamp = [](int64_t millis) {
    std::string text;
    TranscriptFormat::appendTimestamp(text, millis);
    return text;
  };
  EXPECT_EQ(transcriptStamp(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(transcriptStamp(951782400000), "2000-02-29T00:00:00.000Z");
  EXPECT_EQ(transcriptStamp(4107542400000), "2100-03-01T00:00:00.000Z");
  // A day and a bit at a time over four centuries, so that each hour, minute, second and
  // millisecond value comes round, with 1900 and 2100 (no leap days) and 2000 (one).
  constexpr int64_t step = 86400000 + 3600000 + 60000 + 1000 + 7;
  for (int64_t millis = -2208988800000; millis < 10413792000000; millis += step) {
    ASSERT_EQ(transcriptStamp(millis),
              Calendar::formatInternetDateTime(Date::fromMillis(static_cast<double>(millis)), true))
        << millis;
  }
}

TEST(Calendar, FixedFormatsInThePosixLocale) {
  ScopedTimeZone zone("Europe/Berlin");
  // A process start time as ps prints it (local time), and Docker's creation time.
  EXPECT_EQ(Calendar::parseFixed("Fri Mar 7 11:00:00 2025", "%a %b %d %H:%M:%S %Y"), march7at10utc);
  EXPECT_EQ(Calendar::parseFixed("2025-03-07 12:00:00 +0200", "%Y-%m-%d %H:%M:%S %z"),
            march7at10utc);
  EXPECT_EQ(Calendar::parseFixed("Fri Mar 7 11:00:00 2025 extra", "%a %b %d %H:%M:%S %Y"),
            std::nullopt);
  EXPECT_EQ(Calendar::parseFixed("Fre Mär 7 11:00:00 2025", "%a %b %d %H:%M:%S %Y"), std::nullopt);
}

}  // namespace
}  // namespace tessel
