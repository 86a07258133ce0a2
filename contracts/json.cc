#include "contracts/json.h"

namespace tw {

const Json* Json::find(std::string_view name) const {
  if (!isObject()) return nullptr;
  const JsonObject& object = asObject();
  auto it = object.find(name);
  return it == object.end() ? nullptr : &it->second;
}

JsonObject makeObject(std::initializer_list<std::pair<std::string_view, Json>> members) {
  JsonObject object;
  for (const auto& [name, value] : members) object.emplace(std::string(name), value);
  return object;
}

}  // namespace tw
