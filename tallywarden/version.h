// The version of this build of the tool and its engine; `plan` writes it as a run manifest's
// engineVersion when the template sets none.
#pragma once

#include <string_view>

namespace tw::tool {

inline constexpr std::string_view kToolVersion = "2.0.0";

}  // namespace tw::tool
