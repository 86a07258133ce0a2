#include <ostream>

#include "inspect/commands.h"

namespace tw::inspect {

int runCheck(std::span<const std::string_view>, Streams streams) {
  streams.err << "tallywarden-inspect: check is not built yet\n";
  return kExitCannotRun;
}

}  // namespace tw::inspect
