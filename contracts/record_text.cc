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

namespace {

// The evidence's text, its origins given by `originAt(i)` for i below `originCount`.
template <class OriginAt>
void appendEvidenceJson(std::string& out, size_t originCount, OriginAt&& originAt,
                        std::span<const ReasonCode> reasonCodes, std::string_view ruleId) {
  out.push_back('{');
  appendName(out, "origins", true);
  out.push_back('[');
  for (size_t i = 0; i < originCount; ++i) {
    if (i > 0) out.push_back(',');
    appendRecordJson(out, originAt(i));
  }
  out.push_back(']');
  appendName(out, "reasonCodes");
  out.push_back('[');
  for (size_t i = 0; i < reasonCodes.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendJsonString(out, toText(reasonCodes[i]));
  }
  out.push_back(']');
  appendName(out, "ruleId");
  appendJsonString(out, ruleId);
  out.push_back('}');
}

template <class OriginAt>
void appendAllocationJson(std::string& out, AllocationStage stage, std::string_view leftId,
                          std::string_view rightId, std::string_view cents, size_t originCount,
                          OriginAt&& originAt, std::span<const ReasonCode> reasonCodes,
                          std::string_view ruleId) {
  out.push_back('{');
  appendName(out, "cents", true);
  appendJsonString(out, cents);
  appendName(out, "evidence");
  appendEvidenceJson(out, originCount, originAt, reasonCodes, ruleId);
  appendName(out, "leftId");
  appendJsonString(out, leftId);
  appendName(out, "rightId");
  appendJsonString(out, rightId);
  appendName(out, "stage");
  appendJsonString(out, toText(stage));
  out.push_back('}');
}

}  // namespace

void appendRecordJson(std::string& out, const Evidence& evidence) {
  appendEvidenceJson(
      out, evidence.origins.size(),
      [&evidence](size_t i) -> const Ref& { return evidence.origins[i]; }, evidence.reasonCodes,
      evidence.ruleId);
}

void appendRecordJson(std::string& out, const Allocation& allocation) {
  const Evidence& evidence = allocation.evidence;
  appendAllocationJson(
      out, allocation.stage, allocation.leftId, allocation.rightId, allocation.cents,
      evidence.origins.size(), [&evidence](size_t i) -> const Ref& { return evidence.origins[i]; },
      evidence.reasonCodes, evidence.ruleId);
}

void appendAllocationJson(std::string& out, const AllocationParts& allocation) {
  appendAllocationJson(
      out, allocation.stage, allocation.leftId, allocation.rightId, allocation.cents,
      allocation.origins.size(),
      [&allocation](size_t i) -> const Ref& { return *allocation.origins[i]; },
      allocation.reasonCodes, allocation.ruleId);
}

CanonicalResultWriter::CanonicalResultWriter(std::string& out) : out_(out) {
  out_.push_back('{');
  appendName(out_, "allocations", true);
  out_.push_back('[');
}

// Closes the lists before `part` and opens the ones up to it, each as the canonical text does
// whether it holds items or not.
void CanonicalResultWriter::enter(Part part) {
  if (part < part_) inOrder_ = false;
  while (part_ < part) {
    switch (part_) {
      case Part::Allocations:
        out_.push_back(']');
        appendName(out_, "pendingIds");
        out_.push_back('[');
        break;
      case Part::PendingIds:
        out_.push_back(']');
        appendName(out_, "residuals");
        out_.push_back('{');
        break;
      case Part::Residuals:
        out_.push_back('}');
        break;
      case Part::Done:
        break;
    }
    part_ = static_cast<Part>(static_cast<uint8_t>(part_) + 1);
    partEmpty_ = true;
  }
}

std::string& CanonicalResultWriter::next(Part part) {
  enter(part);
  if (part_ == Part::Done) inOrder_ = false;
  if (!partEmpty_) out_.push_back(',');
  partEmpty_ = false;
  return out_;
}

void CanonicalResultWriter::finish(uint64_t revision, std::string_view runId) {
  if (part_ == Part::Done) inOrder_ = false;
  enter(Part::Done);
  appendName(out_, "revision");
  appendUnsigned(out_, revision);
  appendName(out_, "runId");
  appendJsonString(out_, runId);
  out_.push_back('}');
}

void appendCanonicalResult(std::string& out, const ReconciliationResult& result, size_t drainBytes,
                           const std::function<void(std::string&)>& drain) {
  auto maybeDrain = [&] {
    if (out.size() >= drainBytes) drain(out);
  };
  CanonicalResultWriter writer(out);
  for (const Allocation& allocation : result.allocations) {
    appendRecordJson(writer.nextAllocation(), allocation);
    maybeDrain();
  }
  for (const std::string& id : result.pendingIds) {
    appendJsonString(writer.nextPendingId(), id);
    maybeDrain();
  }
  for (const auto& [id, cents] : result.residuals) {
    std::string& text = writer.nextResidual();
    appendJsonString(text, id);
    text.push_back(':');
    appendJsonString(text, cents);
    maybeDrain();
  }
  writer.finish(result.revision, result.runId);
}

}  // namespace tw
