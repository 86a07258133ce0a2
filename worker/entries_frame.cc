#include "worker/entries_frame.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

#include "contracts/entry_contract.h"
#include "contracts/formats.h"
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

// The members of the frame object; those of an entry, a component and an origin are the entry
// contract's (contracts/entry_contract.h), which also says which of them are required.
enum class FrameMember : uint8_t { Version, Kind, Nonce, Entries };
constexpr std::array<MemberName<FrameMember>, 4> kFrameMembers = {{
    {"version", FrameMember::Version},
    {"kind", FrameMember::Kind},
    {"nonce", FrameMember::Nonce},
    {"entries", FrameMember::Entries},
}};
constexpr uint32_t kFrameRequired = (memberBit(FrameMember::Entries) << 1) - 1;

// The member of `table` called `name`, as its number; nullopt for an undeclared name. Every name
// is at least one byte long, so length and first byte rule out nearly every other name before
// the bytes are compared.
template <class Member, size_t N>
std::optional<uint8_t> memberNumber(const std::array<MemberName<Member>, N>& table,
                                    std::string_view name) {
  for (const MemberName<Member>& entry : table) {
    if (entry.name.size() == name.size() && entry.name.front() == name.front() &&
        std::memcmp(entry.name.data(), name.data(), name.size()) == 0) {
      return static_cast<uint8_t>(entry.member);
    }
  }
  return std::nullopt;
}

// The row a number literal holds, when the safe integer rule and the row's bound accept it;
// nullopt otherwise. REQUIRES: `literal` follows the JSON number grammar.
//
// The forms hosts write are worked out exactly here: an integer literal, and a fraction or an
// exponent whose value is a whole number (941.0, 9.41e2, 94100e-2, -0, 0.0). Every other literal
// (a negative one, one whose exact value has a fraction yet may round to a whole float, digits
// beyond what a 64-bit integer holds) is converted as the general reader converts it and judged
// by the same rule.
std::optional<uint32_t> rowValue(std::string_view literal) {
  constexpr uint64_t kMaxRow = std::numeric_limits<uint32_t>::max();
  constexpr int64_t kMaxZeroExponent = 308;
  if (literal.size() < 10 && literal.find_first_not_of("0123456789") == std::string_view::npos) {
    uint32_t row = 0;  // nine digits at most: no overflow
    for (const char c : literal) row = row * 10 + static_cast<uint32_t>(c - '0');
    return row;
  }
  const char* p = literal.data();
  const char* const end = p + literal.size();
  const bool negative = *p == '-';
  if (negative) ++p;
  // The digits before and after the point as one integer, `scale` of them after the point.
  uint64_t mantissa = 0;
  int64_t scale = 0;
  bool exact = true;  // false once the mantissa no longer fits
  bool pastPoint = false;
  for (; p != end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      pastPoint = true;
      continue;
    }
    const auto digit = static_cast<uint64_t>(*p - '0');
    if (mantissa > (std::numeric_limits<uint64_t>::max() - 9) / 10) {
      exact = false;
      break;
    }
    mantissa = mantissa * 10 + digit;
    scale += pastPoint ? 1 : 0;
  }
  int64_t exponent = 0;
  if (exact && p != end) {
    ++p;
    const bool exponentNegative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p != end; ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), 1000000);
    if (exponentNegative) exponent = -exponent;
  }
  // Every zero, negative or not, but one whose exponent passes 308 plus its digits after the
  // point: the general reader refuses that literal as too large, zero or not.
  if (exact && mantissa == 0) {
    if (exponent > kMaxZeroExponent + scale) return std::nullopt;
    return 0;
  }
  if (exact && !negative) {
    // mantissa * 10^(exponent - scale), whole when the trailing zeros cover the scale.
    int64_t power = exponent - scale;
    while (power < 0 && mantissa % 10 == 0) {
      mantissa /= 10;
      ++power;
    }
    if (power >= 0) {
      for (; power > 0 && mantissa <= kMaxRow; --power) mantissa *= 10;
      if (mantissa > kMaxRow) return std::nullopt;
      return static_cast<uint32_t>(mantissa);
    }
  }
  auto number = readJsonNumber(literal);
  if (!number) return std::nullopt;
  auto value = safeIntegerValue(number.value());
  if (!value || value.value() > kMaxRow) return std::nullopt;
  return static_cast<uint32_t>(value.value());
}

// Follows the scanner's events; any event outside the shape of an entries frame answers false,
// which stops the reading, and the line is then left to the general decoder.
class PlainFrameHandler {
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
        if (!keyIs(EntryMember::Origin)) return false;
        return push(Place::Origin);
      case Place::Component:
        if (!keyIs(ComponentMember::Origin)) return false;
        return push(Place::Origin);
      case Place::Origin:
        return false;
    }
    return false;
  }

  bool EndObject() {
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
        return seen == kRefRequired;
      case Place::Outside:
      case Place::Entries:
      case Place::Components:
        return false;
    }
    return false;
  }

  bool StartArray() {
    if (place() == Place::Frame && keyIs(FrameMember::Entries)) return push(Place::Entries);
    if (place() == Place::Entry && keyIs(EntryMember::Components)) return push(Place::Components);
    return false;
  }

  bool EndArray() {
    if (depth_ == 0) return false;  // not reached: the reader pairs every end with its start
    --depth_;
    return true;
  }

  bool Key(std::string_view name) {
    if (depth_ == 0) return false;  // not reached: keys come only inside objects
    std::optional<uint8_t> key;
    switch (place()) {
      case Place::Frame:
        key = memberNumber(kFrameMembers, name);
        break;
      case Place::Entry:
        key = memberNumber(kEntryMembers, name);
        break;
      case Place::Component:
        key = memberNumber(kComponentMembers, name);
        break;
      case Place::Origin:
        key = memberNumber(kRefMembers, name);
        break;
      case Place::Outside:
      case Place::Entries:
      case Place::Components:
        return false;
    }
    if (!key) return false;  // undeclared
    key_ = *key;
    const uint32_t bit = uint32_t{1} << key_;
    uint32_t& seen = seen_[depth_ - 1];
    if ((seen & bit) != 0) return false;  // repeated
    seen |= bit;
    return true;
  }

  // `nonAscii` false: no byte of `value` is above 0x7F, so it is UTF-8 as it stands.
  bool String(std::string_view value, bool nonAscii) {
    if (nonAscii && !isValidUtf8(value)) return false;
    switch (place()) {
      case Place::Frame:
        if (keyIs(FrameMember::Kind)) return value == "entries";
        if (keyIs(FrameMember::Nonce)) {
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
      return keyIs(EntryMember::Reference) || keyIs(EntryMember::Description);
    }
    return place() == Place::Origin && keyIs(RefMember::Sheet);
  }

  // `literal` follows the JSON number grammar.
  bool Number(std::string_view literal) {
    if (place() == Place::Frame) return keyIs(FrameMember::Version) && literal == "1";
    if (place() != Place::Origin || !keyIs(RefMember::Row)) return false;
    const std::optional<uint32_t> row = rowValue(literal);
    if (!row) return false;
    origin().row = *row;
    return true;
  }

  bool Bool(bool) { return false; }

 private:
  // Deep enough for the frame, an entry, its components and their origins.
  static constexpr size_t kMaxDepth = 6;

  Place place() const { return depth_ == 0 ? Place::Outside : places_[depth_ - 1]; }

  // Whether the value that comes next is that of `member` (of the object at hand).
  template <class Member>
  bool keyIs(Member member) const {
    return key_ == static_cast<uint8_t>(member);
  }

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
    switch (static_cast<EntryMember>(key_)) {
      case EntryMember::Id:
        entry.id.assign(value);
        return true;
      case EntryMember::Role: {
        auto role = sourceRoleFromText(value);
        if (!role) return false;
        entry.role = *role;
        return true;
      }
      case EntryMember::Root:
        entry.root.assign(value);
        return true;
      case EntryMember::Establishment:
        entry.establishment.assign(value);
        return true;
      case EntryMember::AccountId:
        entry.accountId.assign(value);
        return true;
      case EntryMember::Date:
        entry.date.assign(value);
        return true;
      case EntryMember::Cents:
        entry.cents.assign(value);
        return true;
      case EntryMember::Reference:
        entry.reference.emplace(value);
        return true;
      case EntryMember::Description:
        entry.description.emplace(value);
        return true;
      case EntryMember::Origin:
      case EntryMember::Components:
        return false;
    }
    return false;
  }

  bool componentText(EntryComponent& component, std::string_view value) {
    if (keyIs(ComponentMember::Cents)) {
      component.cents.assign(value);
      return true;
    }
    if (!keyIs(ComponentMember::Kind)) return false;
    auto kind = componentKindFromText(value);
    if (!kind) return false;
    component.kind = *kind;
    return true;
  }

  bool originText(Ref& ref, std::string_view value) {
    switch (static_cast<RefMember>(key_)) {
      case RefMember::SourceId:
        ref.sourceId.assign(value);
        return true;
      case RefMember::FileId:
        ref.fileId.assign(value);
        return true;
      case RefMember::Sheet:
        ref.sheet.emplace(value);
        return true;
      case RefMember::Row:
        return false;
    }
    return false;
  }

  PlainEntriesFrame& frame_;
  std::array<Place, kMaxDepth> places_{};
  std::array<uint32_t, kMaxDepth> seen_{};
  size_t depth_ = 0;
  uint8_t key_ = 0;  // number of the member whose value comes next, in its object's table
};

// A JSON scanner for the entries frames, several times faster than the general reader on them:
// it reads the line where it stands (a text is copied only when it holds an escape), finds the
// end of a text eight bytes at a time, and gives the handler the events of the value, texts
// unescaped, numbers as their literals. It takes the whole JSON grammar the general reader
// takes (every number form, every escape, any whitespace); it stops at the first syntax error,
// at what the general reader also refuses (a lone surrogate escape, a raw control byte in a
// text), and at the first event the handler refuses. A line it reads to the end, the general
// reader reads into the same values.
template <class Handler>
class FrameScanner {
 public:
  FrameScanner(std::string_view line, Handler& handler)
      : at_(line.data()), end_(line.data() + line.size()), handler_(handler) {}

  // Whether the whole line was read, every event accepted.
  bool scan() {
    skipWhitespace();
    if (!value()) return false;
    skipWhitespace();
    return at_ == end_;
  }

 private:
  bool atEnd() const { return at_ == end_; }

  void skipWhitespace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Four hexadecimal digits after "\u"; false when they are not.
  bool codeUnit(uint32_t& unit) {
    if (end_ - at_ < 4) return false;
    unit = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = hexDigit(at_[k]);
      if (digit < 0) return false;
      unit = (unit << 4) | static_cast<uint32_t>(digit);
    }
    at_ += 4;
    return true;
  }

  static void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  // One escape, right after its backslash, appended to `out` as the bytes it stands for. A
  // high surrogate must be followed by an escaped low one; a low one alone is refused.
  bool escape(std::string& out) {
    if (atEnd()) return false;
    const char c = *at_++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out.push_back(c);
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    uint32_t code = 0;
    if (!codeUnit(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low = 0;
      if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
      at_ += 2;
      if (!codeUnit(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, code);
    return true;
  }

  // A text from its opening quote, unescaped. `out` views the line, or `unescaped_` when the
  // text holds an escape; false when the text breaks the grammar or does not end.
  // `nonAscii` tells whether the text may hold a byte above 0x7F.
  bool text(std::string_view& out, bool& nonAscii) {
    const char* const start = ++at_;
    at_ += plainJsonTextLength(std::string_view(at_, static_cast<size_t>(end_ - at_)), nonAscii);
    if (atEnd()) return false;
    if (*at_ != '"') {
      nonAscii = true;
      return escapedText(start, out);
    }
    out = std::string_view(start, static_cast<size_t>(at_ - start));
    ++at_;
    return true;
  }

  // The rest of a text from its first backslash or control byte; `start` is its first byte.
  [[gnu::noinline]] bool escapedText(const char* start, std::string_view& out) {
    unescaped_.assign(start, at_);
    while (*at_ == '\\') {
      ++at_;
      if (!escape(unescaped_)) return false;
      const char* const run = at_;
      at_ += plainJsonTextLength(std::string_view(at_, static_cast<size_t>(end_ - at_)));
      unescaped_.append(run, at_);
      if (atEnd()) return false;
    }
    if (*at_ != '"') return false;  // a raw control byte
    ++at_;
    out = unescaped_;
    return true;
  }

  bool digits() {
    const char* const start = at_;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
    return at_ != start;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number() {
    const char* const start = at_;
    if (*at_ == '-') ++at_;
    if (atEnd()) return false;
    if (*at_ == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    if (!atEnd() && *at_ == '.') {
      ++at_;
      if (!digits()) return false;
    }
    if (!atEnd() && (*at_ == 'e' || *at_ == 'E')) {
      ++at_;
      if (!atEnd() && (*at_ == '+' || *at_ == '-')) ++at_;
      if (!digits()) return false;
    }
    return handler_.Number(std::string_view(start, static_cast<size_t>(at_ - start)));
  }

  bool literal(std::string_view word) {
    if (static_cast<size_t>(end_ - at_) < word.size() ||
        std::memcmp(at_, word.data(), word.size()) != 0) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  bool value() {
    if (atEnd()) return false;
    switch (*at_) {
      case '{':
        return object();
      case '[':
        return array();
      case '"': {
        std::string_view value;
        bool nonAscii = false;
        return text(value, nonAscii) && handler_.String(value, nonAscii);
      }
      case 'n':
        return literal("null") && handler_.Null();
      case 't':
        return literal("true") && handler_.Bool(true);
      case 'f':
        return literal("false") && handler_.Bool(false);
      default:
        return number();
    }
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

  bool object() {
    ++at_;
    if (!handler_.StartObject()) return false;
    if (closesAtOnce('}')) return handler_.EndObject();
    for (;;) {
      std::string_view name;
      bool nonAscii = false;
      if (atEnd() || *at_ != '"' || !text(name, nonAscii)) return false;
      // A name is only ever accepted when it equals an ASCII member name, so it needs no UTF-8
      // check of its own.
      if (!handler_.Key(name)) return false;
      skipWhitespace();
      if (atEnd() || *at_ != ':') return false;
      ++at_;
      skipWhitespace();
      if (!value()) return false;
      switch (follows('}')) {
        case Follows::Another:
          continue;
        case Follows::Closed:
          return handler_.EndObject();
        case Follows::Neither:
          return false;
      }
    }
  }

  bool array() {
    ++at_;
    if (!handler_.StartArray()) return false;
    if (closesAtOnce(']')) return handler_.EndArray();
    for (;;) {
      if (!value()) return false;
      switch (follows(']')) {
        case Follows::Another:
          continue;
        case Follows::Closed:
          return handler_.EndArray();
        case Follows::Neither:
          return false;
      }
    }
  }

  const char* at_;
  const char* const end_;
  Handler& handler_;
  std::string unescaped_;
};

}  // namespace

std::optional<PlainEntriesFrame> readPlainEntriesFrame(std::string_view line) {
  PlainEntriesFrame frame;
  frame.entries.reserve(kEntriesPerFrameHint);
  PlainFrameHandler handler(frame);
  if (!FrameScanner(line, handler).scan()) return std::nullopt;
  return frame;
}

}  // namespace tw
