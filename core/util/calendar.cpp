#include "util/calendar.h"

#include <locale.h>
#include <time.h>

#include <cmath>
#include <cstdint>

namespace tessel::Calendar {
namespace {

locale_t posixLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

// Reads exactly `width` ASCII digits at `pos`.
bool digits(std::string_view text, size_t& pos, size_t width, int& value) {
  if (pos + width > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += width;
  return true;
}

bool literal(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// The UTC offset of the machine's zone at instant `t`.
long offsetAt(time_t t) {
  tm local{};
  return localtime_r(&t, &local) != nullptr ? local.tm_gmtoff : 0;
}

// Wall-clock fields of the machine's zone to an instant. mktime would do, but glibc's
// re-reads the zone file on every call, which a listing of thousands of start times
// pays for thousands of times; localtime_r reads it once per process.
std::optional<Date> localToUtc(const tm& fields) {
  const double wall = utcSeconds(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                                 fields.tm_hour, fields.tm_min, fields.tm_sec);
  const auto asUtc = static_cast<time_t>(wall);
  // Two steps settle on the offset in force at the answer, also across a change.
  const time_t first = asUtc - offsetAt(asUtc);
  return Date(static_cast<double>(asUtc - offsetAt(first)));
}

}  // namespace

double utcSeconds(int year, int month, int day, int hour, int minute, double second) {
  const int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return static_cast<double>(days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60) + second;
}

std::string formatLocal(Date date, const char* strftimeFormat) {
  const auto seconds = static_cast<time_t>(std::floor(date.secondsSince1970()));
  tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return {};
  char buffer[128];
  const size_t size = strftime_l(buffer, sizeof buffer, strftimeFormat, &local, posixLocale());
  return std::string(buffer, size);
}

std::string localDay(Date date) { return formatLocal(date, "%Y-%m-%d"); }

LocalTime localTime(Date date) {
  const auto whole = static_cast<time_t>(std::floor(date.secondsSince1970()));
  tm parts{};
  localtime_r(&whole, &parts);
  const double civilDay =
      utcSeconds(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, 0, 0, 0) / 86400;
  return {static_cast<int64_t>(civilDay), parts.tm_hour, (parts.tm_wday + 6) % 7};
}

// mktime carries the day of the month over into months and years.
Date localMidnight(int64_t day) {
  tm parts{};
  parts.tm_year = 70;
  parts.tm_mday = static_cast<int>(1 + day);
  parts.tm_isdst = -1;
  return Date(static_cast<double>(mktime(&parts)));
}

namespace {

// Digits of the fraction past `keptDigits` are read but add nothing.
std::optional<Date> parseDateTime(std::string_view text, bool fractionalSeconds,
                                  size_t keptDigits) {
  size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(text, pos, 4, year) || !literal(text, pos, '-') || !digits(text, pos, 2, month) ||
      !literal(text, pos, '-') || !digits(text, pos, 2, day) || !literal(text, pos, 'T') ||
      !digits(text, pos, 2, hour) || !literal(text, pos, ':') || !digits(text, pos, 2, minute) ||
      !literal(text, pos, ':') || !digits(text, pos, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  double fraction = 0;
  const bool hasFraction = pos < text.size() && text[pos] == '.';
  if (hasFraction != fractionalSeconds) return std::nullopt;
  if (hasFraction) {
    ++pos;
    double scale = 0.1;
    const size_t first = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (pos - first < keptDigits) fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == first) return std::nullopt;
  }
  int offsetSeconds = 0;
  if (literal(text, pos, 'Z')) {
    offsetSeconds = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    int offsetHours = 0, offsetMinutes = 0;
    if (!digits(text, pos, 2, offsetHours)) return std::nullopt;
    literal(text, pos, ':');
    if (!digits(text, pos, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
      return std::nullopt;
    }
    offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  return Date(utcSeconds(year, month, day, hour, minute, second + fraction) - offsetSeconds);
}

}  // namespace

std::optional<Date> parseInternetDateTime(std::string_view text, bool fractionalSeconds) {
  return parseDateTime(text, fractionalSeconds, std::string_view::npos);
}

std::optional<Date> rfc3339(std::string_view text) {
  if (auto date = parseDateTime(text, true, 3)) return date;
  return parseDateTime(text, false, 0);
}

std::optional<Date> parseInternetDateTime(std::string_view text) {
  if (auto date = parseInternetDateTime(text, true)) return date;
  return parseInternetDateTime(text, false);
}

std::string formatInternetDateTime(Date date, bool fractionalSeconds) {
  const double total = date.secondsSince1970();
  auto seconds = static_cast<time_t>(std::floor(total));
  auto millis = static_cast<int>(std::lround((total - std::floor(total)) * 1000));
  if (millis == 1000) {
    ++seconds;
    millis = 0;
  }
  tm utc{};
  if (gmtime_r(&seconds, &utc) == nullptr) return {};
  // By hand rather than with strftime, whose "%Y" drops the leading zeros of early years
  // (the distant past is year 1).
  char buffer[64];
  int size = snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  if (fractionalSeconds) {
    size += snprintf(buffer + size, sizeof buffer - static_cast<size_t>(size), ".%03d", millis);
  }
  std::string text(buffer, static_cast<size_t>(size));
  text += 'Z';
  return text;
}

std::optional<Date> parseFixed(std::string_view text, const char* strptimeFormat) {
  const std::string copy(text);
  tm fields{};
  fields.tm_isdst = -1;
  const char* end = strptime_l(copy.c_str(), strptimeFormat, &fields, posixLocale());
  if (end == nullptr || *end != '\0') return std::nullopt;
  if (std::string_view(strptimeFormat).find("%z") != std::string_view::npos) {
    const double seconds = utcSeconds(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                                      fields.tm_hour, fields.tm_min, fields.tm_sec);
    return Date(seconds - static_cast<double>(fields.tm_gmtoff));
  }
  return localToUtc(fields);
}

}  // namespace tessel::Calendar
