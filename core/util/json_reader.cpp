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

}  // namespace tessel::Json
