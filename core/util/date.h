// An instant in time: seconds since 1970-01-01T00:00:00Z as a double, the way every
// part of Tessel counts time in memory. A plain value; safe to copy between threads.
#pragma once

#include <compare>
#include <functional>

namespace tessel {

class Date {
 public:
  constexpr Date() = default;
  constexpr explicit Date(double secondsSince1970) : seconds_(secondsSince1970) {}

  // Reads the system clock; only the front end and a few documented places call it.
  static Date now();
  // 0001-01-01T00:00:00Z and 4001-01-01T00:00:00Z: "before anything" and "never".
  static constexpr Date distantPast() { return Date(-62135596800.0); }
  static constexpr Date distantFuture() { return Date(64092211200.0); }
  static constexpr Date fromMillis(double millisSince1970) {
    return Date(millisSince1970 / 1000.0);
  }
  // Our own JSON records count seconds from 2001-01-01T00:00:00Z.
  static constexpr double referenceOffset = 978307200.0;
  static constexpr Date fromReferenceSeconds(double secondsSince2001) {
    return Date(secondsSince2001 + referenceOffset);
  }

  constexpr double secondsSince1970() const { return seconds_; }
  constexpr double millisSince1970() const { return seconds_ * 1000.0; }
  constexpr double referenceSeconds() const { return seconds_ - referenceOffset; }

  constexpr Date operator+(double seconds) const { return Date(seconds_ + seconds); }
  constexpr Date operator-(double seconds) const { return Date(seconds_ - seconds); }
  constexpr double operator-(Date other) const { return seconds_ - other.seconds_; }
  constexpr Date& operator+=(double seconds) {
    seconds_ += seconds;
    return *this;
  }
  // NOLINTNEXTLINE(modernize-use-nullptr): clang-tidy misreads a defaulted <=>
  constexpr auto operator<=>(const Date&) const = default;

 private:
  double seconds_ = 0;
};

}  // namespace tessel

template <>
struct std::hash<tessel::Date> {
  size_t operator()(tessel::Date date) const noexcept {
    return std::hash<double>{}(date.secondsSince1970());
  }
};
