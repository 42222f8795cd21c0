// A compact JSON writer for byte forms Tessel fixes itself (the hook log line): no
// spaces, keys in the order written, "/" escaped as "\/", whole numbers without a
// fraction. Documents that are edited rather than written use nlohmann::json instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessel {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& key(std::string_view name);
  JsonWriter& string(std::string_view value);
  JsonWriter& number(double value);
  JsonWriter& integer(int64_t value);
  JsonWriter& boolean(bool value);

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

  // Appends `value` as a quoted JSON string.
  static void appendString(std::string& out, std::string_view value);
  // Appends the contents of a JSON string for `value`, without the quotes: quotation
  // marks, backslashes and control characters escaped, and "/" too when `escapeSlash`
  // (our fixed forms escape it; JavaScript's JSON.stringify does not).
  static void appendEscaped(std::string& out, std::string_view value, bool escapeSlash);
  // Appends `value` by its value alone: a whole number below 2^53 in magnitude as its
  // digits ("1", "-0" as "0"), anything else in the shortest form that reads back as
  // the same double (std::to_chars: "0.1", "1e+100", "1.5e+16"), and NaN and the
  // infinities, which JSON cannot hold, as null.
  static void appendNumber(std::string& out, double value);

 private:
  void separate();

  std::string out_;
  bool needsComma_ = false;
};

}  // namespace tessel
