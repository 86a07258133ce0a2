#include "worker/entries_frame.h"

#include <rapidjson/reader.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "contracts/json_reader.h"
#include "contracts/json_writer.h"

namespace tw {

namespace {

// Room for a full batch up front, so that entries are not moved while the frame is read. Only a
// hint: a longer array is still read (and then refused by the frame checks).
constexpr size_t kEntriesPerFrameHint = 200;

// Where the reader stands. Only these shapes are followed; any other opening gives up.
enum class Place : uint8_t {
  Outside,     // before the frame object opens
  Frame,       // the frame object
  Entries,     // its "entries" array
  Entry,       // one entry object
  Components,  // an entry's "components" array
  Component,   // one component object
  Origin,      // the "origin" object of an entry or of a component
};

// Members of each object, as bits. Entry, component and origin keys are those the decoder
// declares; every one but "description" is required.
enum FrameKey : uint32_t { kVersion = 1, kKind = 2, kNonce = 4, kEntriesKey = 8 };
enum EntryKey : uint32_t {
  kId = 1,
  kRole = 2,
  kRoot = 4,
  kEstablishment = 8,
  kAccountId = 16,
  kDate = 32,
  kCents = 64,
  kReference = 128,
  kDescription = 256,
  kOriginKey = 512,
  kComponentsKey = 1024,
};
enum ComponentKey : uint32_t { kComponentKind = 1, kComponentCents = 2, kComponentOrigin = 4 };
enum OriginKey : uint32_t { kSourceId = 1, kFileId = 2, kSheet = 4, kRow = 8 };

constexpr uint32_t kFrameRequired = kVersion | kKind | kNonce | kEntriesKey;
constexpr uint32_t kEntryRequired = kId | kRole | kRoot | kEstablishment | kAccountId | kDate |
                                    kCents | kReference | kOriginKey | kComponentsKey;
constexpr uint32_t kComponentRequired = kComponentKind | kComponentCents | kComponentOrigin;
constexpr uint32_t kOriginRequired = kSourceId | kFileId | kSheet | kRow;

struct KeyBit {
  std::string_view name;
  uint32_t bit;
};

constexpr std::array<KeyBit, 4> kFrameKeys = {
    {{"version", kVersion}, {"kind", kKind}, {"nonce", kNonce}, {"entries", kEntriesKey}}};
constexpr std::array<KeyBit, 11> kEntryKeys = {{{"id", kId},
                                                {"role", kRole},
                                                {"root", kRoot},
                                                {"establishment", kEstablishment},
                                                {"accountId", kAccountId},
                                                {"date", kDate},
                                                {"cents", kCents},
                                                {"reference", kReference},
                                                {"description", kDescription},
                                                {"origin", kOriginKey},
                                                {"components", kComponentsKey}}};
constexpr std::array<KeyBit, 3> kComponentKeys = {
    {{"kind", kComponentKind}, {"cents", kComponentCents}, {"origin", kComponentOrigin}}};
constexpr std::array<KeyBit, 4> kOriginKeys = {
    {{"sourceId", kSourceId}, {"fileId", kFileId}, {"sheet", kSheet}, {"row", kRow}}};

// Every name is at least one byte long, so length and first byte rule out nearly every other
// name before the bytes are compared.
template <size_t N>
uint32_t bitOf(const std::array<KeyBit, N>& keys, std::string_view name) {
  for (const KeyBit& key : keys) {
    if (key.name.size() == name.size() && key.name.front() == name.front() &&
        std::memcmp(key.name.data(), name.data(), name.size()) == 0) {
      return key.bit;
    }
  }
  return 0;
}

// Follows the reader's events; any event outside the plain shape answers false, which stops the
// reading, and the line is then left to the general decoder.
class PlainFrameHandler
    : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, PlainFrameHandler> {
 public:
  explicit PlainFrameHandler(PlainEntriesFrame& frame) : frame_(frame) {}

  bool StartObject() {
    switch (place()) {
      case Place::Outside:
        return push(Place::Frame);
      case Place::Frame:
        return false;
      case Place::Entries:
        frame_.entries.emplace_back();
        return push(Place::Entry);
      case Place::Components:
        frame_.entries.back().components.emplace_back();
        return push(Place::Component);
      case Place::Entry:
        if (key_ != kOriginKey) return false;
        return push(Place::Origin);
      case Place::Component:
        if (key_ != kComponentOrigin) return false;
        return push(Place::Origin);
      case Place::Origin:
        return false;
    }
    return false;
  }

  bool EndObject(rapidjson::SizeType) {
    if (depth_ == 0) return false;  // not reached: the reader pairs every end with its start
    const Place closing = place();
    const uint32_t seen = seen_[depth_ - 1];
    --depth_;
    switch (closing) {
      case Place::Frame:
        return seen == kFrameRequired;
      case Place::Entry:
        return (seen & kEntryRequired) == kEntryRequired;
      case Place::Component:
        return seen == kComponentRequired;
      case Place::Origin:
        return seen == kOriginRequired;
      case Place::Outside:
      case Place::Entries:
      case Place::Components:
        return false;
    }
    return false;
  }

  bool StartArray() {
    if (place() == Place::Frame && key_ == kEntriesKey) return push(Place::Entries);
    if (place() == Place::Entry && key_ == kComponentsKey) return push(Place::Components);
    return false;
  }

  bool EndArray(rapidjson::SizeType) {
    if (depth_ == 0) return false;  // not reached: the reader pairs every end with its start
    --depth_;
    return true;
  }

  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (depth_ == 0) return false;  // not reached: keys come only inside objects
    const std::string_view name(text, length);
    switch (place()) {
      case Place::Frame:
        key_ = bitOf(kFrameKeys, name);
        break;
      case Place::Entry:
        key_ = bitOf(kEntryKeys, name);
        break;
      case Place::Component:
        key_ = bitOf(kComponentKeys, name);
        break;
      case Place::Origin:
        key_ = bitOf(kOriginKeys, name);
        break;
      case Place::Outside:
      case Place::Entries:
      case Place::Components:
        return false;
    }
    uint32_t& seen = seen_[depth_ - 1];
    if (key_ == 0 || (seen & key_) != 0) return false;  // undeclared or repeated
    seen |= key_;
    return true;
  }

  bool String(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view value(text, length);
    if (!isValidUtf8(value)) return false;
    switch (place()) {
      case Place::Frame:
        if (key_ == kKind) return value == "entries";
        if (key_ == kNonce) {
          frame_.nonce.assign(value);
          return true;
        }
        return false;
      case Place::Entry:
        return entryText(frame_.entries.back(), value);
      case Place::Component:
        return componentText(frame_.entries.back().components.back(), value);
      case Place::Origin:
        return originText(origin(), value);
      case Place::Outside:
      case Place::Entries:
      case Place::Components:
        return false;
    }
    return false;
  }

  bool Null() {
    if (place() == Place::Entry) {
      // Null means absent for both optional texts, which start absent.
      return key_ == kReference || key_ == kDescription;
    }
    return place() == Place::Origin && key_ == kSheet;
  }

  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view digits(text, length);
    if (place() == Place::Frame) return key_ == kVersion && digits == "1";
    if (place() != Place::Origin || key_ != kRow) return false;
    // Only a plain integer literal; fractions, exponents and signs go the general way.
    uint64_t row = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), row);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    if (row > std::numeric_limits<uint32_t>::max()) return false;
    origin().row = static_cast<uint32_t>(row);
    return true;
  }

  bool Bool(bool) { return false; }

 private:
  // Deep enough for the frame, an entry, its components and their origins.
  static constexpr size_t kMaxDepth = 6;

  Place place() const { return depth_ == 0 ? Place::Outside : places_[depth_ - 1]; }

  bool push(Place place) {
    if (depth_ == kMaxDepth) return false;
    places_[depth_] = place;
    seen_[depth_] = 0;
    ++depth_;
    return true;
  }

  // The Ref being read: the entry's own, or its last component's.
  Ref& origin() {
    Entry& entry = frame_.entries.back();
    return places_[depth_ - 2] == Place::Component ? entry.components.back().origin : entry.origin;
  }

  bool entryText(Entry& entry, std::string_view value) {
    switch (key_) {
      case kId:
        entry.id.assign(value);
        return true;
      case kRole: {
        auto role = sourceRoleFromText(value);
        if (!role) return false;
        entry.role = *role;
        return true;
      }
      case kRoot:
        entry.root.assign(value);
        return true;
      case kEstablishment:
        entry.establishment.assign(value);
        return true;
      case kAccountId:
        entry.accountId.assign(value);
        return true;
      case kDate:
        entry.date.assign(value);
        return true;
      case kCents:
        entry.cents.assign(value);
        return true;
      case kReference:
        entry.reference.emplace(value);
        return true;
      case kDescription:
        entry.description.emplace(value);
        return true;
      default:
        return false;
    }
  }

  bool componentText(EntryComponent& component, std::string_view value) {
    if (key_ == kComponentCents) {
      component.cents.assign(value);
      return true;
    }
    if (key_ != kComponentKind) return false;
    auto kind = componentKindFromText(value);
    if (!kind) return false;
    component.kind = *kind;
    return true;
  }

  bool originText(Ref& ref, std::string_view value) {
    switch (key_) {
      case kSourceId:
        ref.sourceId.assign(value);
        return true;
      case kFileId:
        ref.fileId.assign(value);
        return true;
      case kSheet:
        ref.sheet.emplace(value);
        return true;
      default:
        return false;
    }
  }

  PlainEntriesFrame& frame_;
  std::array<Place, kMaxDepth> places_{};
  std::array<uint32_t, kMaxDepth> seen_{};
  size_t depth_ = 0;
  uint32_t key_ = 0;  // bit of the member whose value comes next
};

// What came of reading a line with PlainFrameScanner.
enum class ScanEnd : uint8_t {
  Read,         // the whole line, every event accepted
  Refused,      // the handler refused an event
  Unsupported,  // the line holds something the scanner leaves to the general JSON reader
};

// A JSON scanner for the plain frames only, several times faster than the general reader on
// them: it reads the line where it stands, finds the end of a text eight bytes at a time, and
// gives up (Unsupported) on anything beyond what plain frames hold: an escape or a control
// character in a text, a number other than unsigned digits without a leading zero, true, false,
// and every syntax error. Whatever it reads to the end, or refuses, gives the handler exactly
// the events, with the same texts, that the general reader (insitu, numbers as strings) gives it
// for the same line, in the same order, so the outcome is the same; whatever it gives up on is
// read again by the general reader from the start.
template <class Handler>
class PlainFrameScanner {
 public:
  PlainFrameScanner(std::string_view line, Handler& handler)
      : at_(line.data()), end_(line.data() + line.size()), handler_(handler) {}

  ScanEnd scan() {
    skipWhitespace();
    if (ScanEnd e = value(); e != ScanEnd::Read) return e;
    skipWhitespace();
    return at_ == end_ ? ScanEnd::Read : ScanEnd::Unsupported;
  }

 private:
  static ScanEnd accepted(bool ok) { return ok ? ScanEnd::Read : ScanEnd::Refused; }

  bool atEnd() const { return at_ == end_; }

  void skipWhitespace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  // A text from its opening quote; false when it holds an escape or a control character, or does
  // not end.
  bool text(std::string_view& out) {
    const char* const start = ++at_;
    at_ += plainJsonTextLength(std::string_view(at_, static_cast<size_t>(end_ - at_)));
    if (at_ == end_ || *at_ != '"') return false;
    out = std::string_view(start, static_cast<size_t>(at_ - start));
    ++at_;
    return true;
  }

  static rapidjson::SizeType sizeOf(std::string_view text) {
    return static_cast<rapidjson::SizeType>(text.size());
  }

  ScanEnd value() {
    if (atEnd()) return ScanEnd::Unsupported;
    switch (*at_) {
      case '{':
        return object();
      case '[':
        return array();
      case '"': {
        std::string_view value;
        if (!text(value)) return ScanEnd::Unsupported;
        return accepted(handler_.String(value.data(), sizeOf(value), false));
      }
      case 'n':
        if (end_ - at_ < 4 || std::memcmp(at_, "null", 4) != 0) return ScanEnd::Unsupported;
        at_ += 4;
        return accepted(handler_.Null());
      default:
        return number();
    }
  }

  // Unsigned digits only; a leading zero only alone. What follows is the container's to judge,
  // so a fraction or an exponent ends in Unsupported there.
  ScanEnd number() {
    const char* const start = at_;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
    const auto length = static_cast<size_t>(at_ - start);
    if (length == 0 || (length > 1 && *start == '0')) return ScanEnd::Unsupported;
    if (!atEnd() && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return ScanEnd::Unsupported;
    return accepted(handler_.RawNumber(start, static_cast<rapidjson::SizeType>(length), false));
  }

  // Right after an opening bracket: whether the container closes at once with `close`.
  bool closesAtOnce(char close) {
    skipWhitespace();
    if (atEnd() || *at_ != close) return false;
    ++at_;
    return true;
  }

  // What follows a member or an element: another one after a comma, or the end of the container
  // at `close`, or neither.
  enum class Follows : uint8_t { Another, Closed, Neither };
  Follows follows(char close) {
    skipWhitespace();
    if (atEnd()) return Follows::Neither;
    if (*at_ == ',') {
      ++at_;
      skipWhitespace();
      return Follows::Another;
    }
    if (*at_ != close) return Follows::Neither;
    ++at_;
    return Follows::Closed;
  }

  ScanEnd object() {
    ++at_;
    if (!handler_.StartObject()) return ScanEnd::Refused;
    if (closesAtOnce('}')) return accepted(handler_.EndObject(0));
    for (rapidjson::SizeType members = 1;; ++members) {
      std::string_view name;
      if (atEnd() || *at_ != '"' || !text(name)) return ScanEnd::Unsupported;
      if (!handler_.Key(name.data(), sizeOf(name), false)) return ScanEnd::Refused;
      skipWhitespace();
      if (atEnd() || *at_ != ':') return ScanEnd::Unsupported;
      ++at_;
      skipWhitespace();
      if (ScanEnd e = value(); e != ScanEnd::Read) return e;
      switch (follows('}')) {
        case Follows::Another:
          continue;
        case Follows::Closed:
          return accepted(handler_.EndObject(members));
        case Follows::Neither:
          return ScanEnd::Unsupported;
      }
    }
  }

  ScanEnd array() {
    ++at_;
    if (!handler_.StartArray()) return ScanEnd::Refused;
    if (closesAtOnce(']')) return accepted(handler_.EndArray(0));
    for (rapidjson::SizeType elements = 1;; ++elements) {
      if (ScanEnd e = value(); e != ScanEnd::Read) return e;
      switch (follows(']')) {
        case Follows::Another:
          continue;
        case Follows::Closed:
          return accepted(handler_.EndArray(elements));
        case Follows::Neither:
          return ScanEnd::Unsupported;
      }
    }
  }

  const char* at_;
  const char* const end_;
  Handler& handler_;
};

// The line read by the general JSON reader into the same handler.
std::optional<PlainEntriesFrame> readWithGeneralReader(std::string_view line) {
  // As for the general reader: the reader's streams take a NUL byte for the end of input.
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) return std::nullopt;
  PlainEntriesFrame frame;
  frame.entries.reserve(kEntriesPerFrameHint);
  PlainFrameHandler handler(frame);
  // Read in place, from a copy: strings are then unescaped where they stand instead of being
  // copied byte by byte onto the reader's stack. The copy ends with the NUL the stream stops at
  // (the line holds none of its own).
  thread_local std::string text;
  text.assign(line);
  rapidjson::InsituStringStream stream(text.data());
  rapidjson::Reader reader;
  // The general reader's grammar, with two of its flags left out because the handler already
  // covers them, and both cost: encoding validation (every string goes through isValidUtf8, and a
  // key is only ever accepted when it equals one of the ASCII member names; outside strings any
  // byte above 0x7F is a syntax error either way), and iterative parsing (the handler refuses
  // any nesting deeper than kMaxDepth, so the recursive parser never goes deeper than that).
  constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
  if (reader.Parse<kFlags>(stream, handler).IsError()) return std::nullopt;
  return frame;
}

}  // namespace

std::optional<PlainEntriesFrame> readPlainEntriesFrame(std::string_view line) {
  PlainEntriesFrame frame;
  frame.entries.reserve(kEntriesPerFrameHint);
  PlainFrameHandler handler(frame);
  switch (PlainFrameScanner(line, handler).scan()) {
    case ScanEnd::Read:
      return frame;
    case ScanEnd::Refused:
      return std::nullopt;
    case ScanEnd::Unsupported:
      break;
  }
  // Read again from the start. (A line with a NUL byte always ends here: the byte is neither
  // whitespace, nor part of a token, nor allowed in a text.)
  return readWithGeneralReader(line);
}

}  // namespace tw
