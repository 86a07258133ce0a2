#include "contracts/record_text.h"

#include <cstring>

#include "contracts/json_writer.h"

namespace tw {

namespace {

// Appends `,"name":` (or `"name":` for the first member); names need no escaping.
// Member names are short constants, written with one append rather than four.
constexpr size_t kLongestShortName = 24;

void appendName(std::string& out, std::string_view name, bool first = false) {
  if (name.size() > kLongestShortName) {
    if (!first) out.push_back(',');
    out.push_back('"');
    out.append(name);
    out.append("\":");
    return;
  }
  char text[kLongestShortName + 4];
  size_t length = 0;
  if (!first) text[length++] = ',';
  text[length++] = '"';
  std::memcpy(text + length, name.data(), name.size());
  length += name.size();
  text[length++] = '"';
  text[length++] = ':';
  out.append(text, length);
}

void appendOptionalText(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    appendJsonString(out, *text);
  } else {
    out.append("null");
  }
}

}  // namespace

void appendRecordJson(std::string& out, const Ref& ref) {
  out.push_back('{');
  appendName(out, "fileId", true);
  appendJsonString(out, ref.fileId);
  appendName(out, "row");
  appendUnsigned(out, ref.row);
  appendName(out, "sheet");
  appendOptionalText(out, ref.sheet);
  appendName(out, "sourceId");
  appendJsonString(out, ref.sourceId);
  out.push_back('}');
}

void appendRecordJson(std::string& out, const Evidence& evidence) {
  out.push_back('{');
  appendName(out, "origins", true);
  out.push_back('[');
  for (size_t i = 0; i < evidence.origins.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendRecordJson(out, evidence.origins[i]);
  }
  out.push_back(']');
  appendName(out, "reasonCodes");
  out.push_back('[');
  for (size_t i = 0; i < evidence.reasonCodes.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendJsonString(out, toText(evidence.reasonCodes[i]));
  }
  out.push_back(']');
  appendName(out, "ruleId");
  appendJsonString(out, evidence.ruleId);
  out.push_back('}');
}

void appendRecordJson(std::string& out, const Allocation& allocation) {
  out.push_back('{');
  appendName(out, "cents", true);
  appendJsonString(out, allocation.cents);
  appendName(out, "evidence");
  appendRecordJson(out, allocation.evidence);
  appendName(out, "leftId");
  appendJsonString(out, allocation.leftId);
  appendName(out, "rightId");
  appendJsonString(out, allocation.rightId);
  appendName(out, "stage");
  appendJsonString(out, toText(allocation.stage));
  out.push_back('}');
}

void appendCanonicalResult(std::string& out, const ReconciliationResult& result, size_t drainBytes,
                           const std::function<void(std::string&)>& drain) {
  auto maybeDrain = [&] {
    if (out.size() >= drainBytes) drain(out);
  };
  out.push_back('{');
  appendName(out, "allocations", true);
  out.push_back('[');
  for (size_t i = 0; i < result.allocations.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendRecordJson(out, result.allocations[i]);
    maybeDrain();
  }
  out.push_back(']');
  appendName(out, "pendingIds");
  out.push_back('[');
  for (size_t i = 0; i < result.pendingIds.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendJsonString(out, result.pendingIds[i]);
    maybeDrain();
  }
  out.push_back(']');
  appendName(out, "residuals");
  out.push_back('{');
  bool first = true;
  for (const auto& [id, cents] : result.residuals) {
    if (!first) out.push_back(',');
    first = false;
    appendJsonString(out, id);
    out.push_back(':');
    appendJsonString(out, cents);
    maybeDrain();
  }
  out.push_back('}');
  appendName(out, "revision");
  appendUnsigned(out, result.revision);
  appendName(out, "runId");
  appendJsonString(out, result.runId);
  out.push_back('}');
}

}  // namespace tw
