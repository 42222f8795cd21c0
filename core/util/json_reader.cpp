#include "util/json_reader.h"

namespace tessel::Json {

simdjson::padded_string_view padded(std::string_view bytes, std::string& scratch) {
  scratch.reserve(bytes.size() + simdjson::SIMDJSON_PADDING);
  scratch.assign(bytes);
  return simdjson::padded_string_view(scratch.data(), scratch.size(), scratch.capacity());
}

simdjson::padded_string_view padInPlace(std::string& buffer) {
  buffer.reserve(buffer.size() + simdjson::SIMDJSON_PADDING);
  return simdjson::padded_string_view(buffer.data(), buffer.size(), buffer.capacity());
}

bool isNull(simdjson::ondemand::value& value) {
  bool null = false;
  return value.is_null().get(null) == simdjson::SUCCESS && null;
}

bool atEnd(simdjson::ondemand::document& document) {
  return document.current_location().error() == simdjson::OUT_OF_BOUNDS;
}

bool isValid(simdjson::ondemand::value value) {
  simdjson::ondemand::json_type type;
  if (value.type().get(type) != simdjson::SUCCESS) return false;
  switch (type) {
    case simdjson::ondemand::json_type::object: {
      simdjson::ondemand::object object;
      if (value.get_object().get(object) != simdjson::SUCCESS) return false;
      return forEachMember(object, [](std::string_view, simdjson::ondemand::value member) {
        return isValid(member);
      });
    }
    case simdjson::ondemand::json_type::array: {
      simdjson::ondemand::array array;
      if (value.get_array().get(array) != simdjson::SUCCESS) return false;
      for (auto element : array) {
        simdjson::ondemand::value item;
        if (element.get(item) != simdjson::SUCCESS || !isValid(item)) return false;
      }
      return true;
    }
    case simdjson::ondemand::json_type::string: {
      std::string_view text;
      return value.get_string().get(text) == simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::number: {
      simdjson::ondemand::number number;
      return value.get_number().get(number) == simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::boolean: {
      bool flag = false;
      return value.get_bool().get(flag) == simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::null:
      return isNull(value);
  }
  return false;
}

bool take(simdjson::ondemand::value value, std::optional<std::string_view>& into) {
  if (isNull(value)) return true;
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) return false;
  into = text;
  return true;
}

bool take(simdjson::ondemand::value value, std::optional<int64_t>& into) {
  if (isNull(value)) return true;
  int64_t number = 0;
  if (value.get_int64().get(number) != simdjson::SUCCESS) return false;
  into = number;
  return true;
}

bool take(simdjson::ondemand::value value, std::optional<double>& into) {
  if (isNull(value)) return true;
  double number = 0;
  if (value.get_double().get(number) != simdjson::SUCCESS) return false;
  into = number;
  return true;
}

bool take(simdjson::ondemand::value value, std::optional<bool>& into) {
  if (isNull(value)) return true;
  bool flag = false;
  if (value.get_bool().get(flag) != simdjson::SUCCESS) return false;
  into = flag;
  return true;
}

}  // namespace tessel::Json
