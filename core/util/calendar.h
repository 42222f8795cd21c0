// Calendar work in one place: local day names, ISO 8601 internet date-times and fixed
// formats in the POSIX locale. Stateless and safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/date.h"

namespace tessel::Calendar {

// `date` in the machine's current time zone, formatted with strftime in the POSIX
// locale ("%Y-%m-%d" for a day name such as 2025-03-07).
std::string formatLocal(Date date, const char* strftimeFormat);
// "yyyy-MM-dd" of the local calendar day that holds `date`.
std::string localDay(Date date);

// Where `date` falls in the machine's current time zone.
struct LocalTime {
  int64_t day = 0;  // the local calendar day, as days since 1970-01-01
  int hour = 0;
  int weekday = 0;  // Monday 0
};
LocalTime localTime(Date date);
// The local midnight that starts `day` (days since 1970-01-01), summer time settled.
Date localMidnight(int64_t day);

// "2025-03-07T10:00:00Z" or "2025-03-07T11:00:00+01:00". With `fractionalSeconds`
// the seconds must carry a fraction ("10:00:00.123Z"); without, they must not.
std::optional<Date> parseInternetDateTime(std::string_view text, bool fractionalSeconds);
// Either form: first with a fraction, then without.
std::optional<Date> parseInternetDateTime(std::string_view text);
// RFC 3339 with or without a fraction of any length ("2026-12-05T17:49:12.771403918Z"),
// the fraction cut to milliseconds.
std::optional<Date> rfc3339(std::string_view text);
// UTC with "Z"; with `fractionalSeconds`, three fraction digits.
std::string formatInternetDateTime(Date date, bool fractionalSeconds);

// Parses the whole of `text` with strptime in the POSIX locale. A format with "%z"
// takes the offset from the text; any other is read in the machine's current time zone.
std::optional<Date> parseFixed(std::string_view text, const char* strptimeFormat);

// Seconds since the Unix epoch of a proleptic Gregorian UTC date and time; no range checks.
double utcSeconds(int year, int month, int day, int hour, int minute, double second);

}  // namespace tessel::Calendar
