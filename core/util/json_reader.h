// Helpers for reading other programs' JSON with simdjson. Callers use the error-code
// API only: nothing here throws.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::Json {

// `bytes` copied into `scratch` with the padding simdjson reads past the end; the view
// lives as long as `scratch` is not changed.
simdjson::padded_string_view padded(std::string_view bytes, std::string& scratch);
// Makes room for the padding after `buffer`'s current bytes.
simdjson::padded_string_view padInPlace(std::string& buffer);

// True when `value` is JSON null; false for anything else, including an error.
bool isNull(simdjson::ondemand::value& value);
// True when nothing but white space follows what has been consumed of `document`:
// input with trailing bytes is not one JSON value.
bool atEnd(simdjson::ondemand::document& document);

// Reads `value` through to its end, every nested member and element included: true when
// it is valid JSON. Members a reader skips are otherwise passed over on their structure
// alone, so `tru` or `01` there would go unnoticed.
bool isValid(simdjson::ondemand::value value);

// Visits the members of `object` in order, calling `visit(key, value)` with the key
// unescaped. False when the JSON breaks off or `visit` answers false; members whose
// values `visit` does not read are skipped without being decoded.
template <class Visit>
bool forEachMember(simdjson::ondemand::object& object, Visit&& visit) {
  for (auto field : object) {
    std::string_view key;
    simdjson::ondemand::value value;
    if (field.unescaped_key().get(key) != simdjson::SUCCESS ||
        field.value().get(value) != simdjson::SUCCESS || !visit(key, value)) {
      return false;
    }
  }
  return true;
}

// Typed reads of one member into an optional: null leaves it empty; a value of another
// type answers false, which fails the line.
bool take(simdjson::ondemand::value value, std::optional<std::string_view>& into);
bool take(simdjson::ondemand::value value, std::optional<int64_t>& into);
bool take(simdjson::ondemand::value value, std::optional<double>& into);
bool take(simdjson::ondemand::value value, std::optional<bool>& into);

// Calls `visit(key, value)` for each member of an object value; null counts as an
// object without members. False when the value is something else or breaks off.
template <class Visit>
bool readObject(simdjson::ondemand::value value, Visit&& visit) {
  if (isNull(value)) return true;
  simdjson::ondemand::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return false;
  return forEachMember(object, visit);
}

}  // namespace tessel::Json
