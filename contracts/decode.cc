// checkEntryAgainstManifest: records built in memory answer to the same contract as records
// received, so both go through their JSON form and decoder again before the window rule.
#include "contracts/decode.h"

namespace tw {

Status<ContractError> checkEntryAgainstManifest(const Entry& entry, const RunManifest& manifest) {
  auto decodedEntry = decodeEntry(toJsonValue(entry));
  if (!decodedEntry) return fail(decodedEntry.error());
  auto decodedManifest = decodeRunManifest(toJsonValue(manifest));
  if (!decodedManifest) return fail(decodedManifest.error());
  const std::optional<RunWindow>& window = decodedManifest->window;
  if (!window) return Status<ContractError>::success();
  const Entry& checked = decodedEntry.value();
  // Only bank lines are bound to the window; valid date texts order as the calendar does.
  if (checked.role == SourceRole::Bank &&
      (checked.date < window->from || checked.date > window->to)) {
    return fail(ContractError::OutsideWindow);
  }
  return Status<ContractError>::success();
}

}  // namespace tw
