// Reads a tool call's input object (from hook input or a transcript) into a ToolInput
// without decoding anything a summary does not use.
#pragma once

#include <simdjson.h>

#include "model/tool_input.h"

namespace tessel {

// The summary keys and "run_in_background" of an input object; an empty input for
// anything that is not an object. Views point into `value`'s parser.
ToolInput readToolInput(simdjson::ondemand::value value);

}  // namespace tessel
