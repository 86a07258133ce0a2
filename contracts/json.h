// The JSON value that crosses every boundary of the system.
//
// A number keeps the form it was read in: an unsigned 64-bit integer (integer literals that fit),
// a signed 64-bit integer (negative integer literals that fit) or a 64-bit float (everything
// else, negative zero included). An object keeps its members ordered by the bytes of their names,
// a proper prefix first, whatever the order in which they were added.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tw {

class Json;
using JsonArray = std::vector<Json>;
// std::less<> on std::string compares bytes as unsigned char, a proper prefix first: exactly the
// system's text order.
using JsonObject = std::map<std::string, Json, std::less<>>;

class Json {
 public:
  enum class Type : uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };

  Json() : value_(nullptr) {}
  Json(std::nullptr_t) : value_(nullptr) {}
  Json(bool b) : value_(b) {}
  Json(uint64_t u) : value_(u) {}
  Json(unsigned u) : value_(uint64_t{u}) {}
  // A non-negative signed integer is held as unsigned, as the reader would hold its literal.
  Json(int64_t i) {
    if (i >= 0) {
      value_ = static_cast<uint64_t>(i);
    } else {
      value_ = i;
    }
  }
  Json(int i) : Json(int64_t{i}) {}
  Json(double d) : value_(d) {}
  Json(std::string s) : value_(std::move(s)) {}
  Json(std::string_view s) : value_(std::string(s)) {}
  Json(const char* s) : value_(std::string(s)) {}
  Json(JsonArray a) : value_(std::move(a)) {}
  Json(JsonObject o) : value_(std::move(o)) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isNumber() const {
    return type() == Type::Unsigned || type() == Type::Signed || type() == Type::Float;
  }
  bool isUnsigned() const { return type() == Type::Unsigned; }
  bool isSigned() const { return type() == Type::Signed; }
  bool isFloat() const { return type() == Type::Float; }
  bool isString() const { return type() == Type::String; }
  bool isArray() const { return type() == Type::Array; }
  bool isObject() const { return type() == Type::Object; }

  bool asBool() const { return std::get<bool>(value_); }
  uint64_t asUnsigned() const { return std::get<uint64_t>(value_); }
  int64_t asSigned() const { return std::get<int64_t>(value_); }
  double asFloat() const { return std::get<double>(value_); }
  const std::string& asString() const { return std::get<std::string>(value_); }
  std::string& asString() { return std::get<std::string>(value_); }
  const JsonArray& asArray() const { return std::get<JsonArray>(value_); }
  JsonArray& asArray() { return std::get<JsonArray>(value_); }
  const JsonObject& asObject() const { return std::get<JsonObject>(value_); }
  JsonObject& asObject() { return std::get<JsonObject>(value_); }

  // The member named `name` of an object, or nullptr when absent or when this is not an object.
  const Json* find(std::string_view name) const;

  friend bool operator==(const Json& a, const Json& b) { return a.value_ == b.value_; }

 private:
  std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string, JsonArray, JsonObject>
      value_;
};

// Builds an object from name/value pairs; a later pair with an existing name is ignored.
JsonObject makeObject(std::initializer_list<std::pair<std::string_view, Json>> members);

}  // namespace tw
