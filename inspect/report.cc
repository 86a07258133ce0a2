#include <ostream>

#include "inspect/commands.h"

namespace tw::inspect {

int runReport(std::span<const std::string_view>, Streams streams) {
  streams.err << "tallywarden-inspect: report is not built yet\n";
  return kExitCannotRun;
}

}  // namespace tw::inspect
