// Typed look-ups in small JSON documents held as nlohmann::json (session files, our own
// records). A member of the wrong type counts as absent.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "util/calendar.h"
#include "util/date.h"
#include "util/date_form.h"

namespace tessel::Json {

// The document in `text`, or a discarded value (is_discarded()) when it is not JSON;
// never throws.
inline nlohmann::json parse(std::string_view text) {
  return nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

// The member `key` of `object`, of any type; nothing when absent.
inline const nlohmann::json* memberAt(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

// The member `key` when it is an object.
inline const nlohmann::json* objectAt(const nlohmann::json& object, const char* key) {
  const nlohmann::json* member = memberAt(object, key);
  return member && member->is_object() ? member : nullptr;
}

inline std::optional<std::string> stringAt(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

inline std::optional<double> numberAt(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

inline std::optional<bool> boolAt(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_boolean()) return std::nullopt;
  return found->get<bool>();
}

// True when the member is there and not null: an optional member of a record may be
// either, and anything else it holds must then have the right type.
inline bool isPresent(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && !found->is_null();
}

// A date as a value of `Document` (nlohmann::json, or ordered_json where key order is part
// of the form).
template <class Document>
Document date(Date value, DateForm form) {
  if (form == DateForm::text) return Calendar::formatInternetDateTime(value, true);
  return value.referenceSeconds();
}

}  // namespace tessel::Json
