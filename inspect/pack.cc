#include <ostream>

#include "inspect/commands.h"

namespace tw::inspect {

int runPack(std::span<const std::string_view>, Streams streams) {
  streams.err << "tallywarden-inspect: pack is not built yet\n";
  return kExitCannotRun;
}

}  // namespace tw::inspect
