#include "tallywarden/json_problem.h"

namespace tw::tool {

std::string jsonReadProblem(JsonReadError error) {
  switch (error) {
    case JsonReadError::Syntax:
      return "is not one JSON value (a syntax error, something after the value, or an empty "
             "line)";
    case JsonReadError::InvalidText:
      return "holds a string that is not valid UTF-8, holds a raw control character, or an "
             "escape that is not a Unicode scalar value";
    case JsonReadError::DuplicateMember:
      return "repeats a member name in one object";
    case JsonReadError::NonFiniteNumber:
      return "holds a number too large for a 64-bit float";
    case JsonReadError::TooDeep:
      return "nests more than " + std::to_string(kMaxJsonDepth) + " arrays or objects";
  }
  return "is not strict JSON";
}

}  // namespace tw::tool
