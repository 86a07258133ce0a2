// The companion's one wording of why the strict JSON reader refused a text.
#pragma once

#include <string>

#include "contracts/json_reader.h"

namespace tw::tool {

// What is wrong with the text, as the rest of a sentence whose subject names it ("the line",
// "MANIFEST", "ENTRIES line 3"): "is not one JSON value (...)".
[[nodiscard]] std::string jsonReadProblem(JsonReadError error);

}  // namespace tw::tool
