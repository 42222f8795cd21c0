#include "model/tool_input_reader.h"

#include "util/json_reader.h"

namespace tessel {

ToolInput readToolInput(simdjson::ondemand::value value) {
  ToolInput input;
  simdjson::ondemand::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return input;
  // A member that breaks off ends the reading; what was read so far stands.
  Json::forEachMember(object, [&](std::string_view key, simdjson::ondemand::value member) {
    if (key == "run_in_background") {
      bool flag = false;
      input.runInBackground = member.get_bool().get(flag) == simdjson::SUCCESS && flag;
    } else if (ToolInput::isSummaryKey(key)) {
      std::string_view text;
      if (member.get_string().get(text) == simdjson::SUCCESS) input.set(key, text);
    }
    return true;
  });
  return input;
}

}  // namespace tessel
