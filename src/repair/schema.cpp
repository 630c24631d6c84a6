#include "repair/schema.hpp"

#include <string_view>
#include <utility>
#include <vector>

namespace velvin {

namespace {

bool matches_type(const JsonValue& value, std::string_view type_name) {
  const JsonKind k = value.kind();
  if (type_name == "int") return k == JsonKind::Int || k == JsonKind::UInt;
  if (type_name == "float") return k == JsonKind::Int || k == JsonKind::UInt || k == JsonKind::Float;
  if (type_name == "str") return k == JsonKind::String;
  if (type_name == "bool") return k == JsonKind::Bool;
  if (type_name == "null") return k == JsonKind::Null;
  if (type_name == "array") return k == JsonKind::Array;
  if (type_name == "object") return k == JsonKind::Object;
  return true;  // an unknown type name accepts anything
}

double required_half(const JsonValue& value, const JsonValue& schema) {
  const JsonValue* required = schema.find("required_keys");
  std::size_t listed = 0, present = 0;
  if (required != nullptr && required->is_array()) {
    for (const JsonValue& name : required->as_array()) {
      if (!name.is_string()) continue;
      ++listed;
      if (value.find(name.as_string()) != nullptr) ++present;
    }
  }
  if (listed == 0) return 0.5;
  return 0.5 * static_cast<double>(present) / static_cast<double>(listed);
}

double types_half(const JsonValue& value, const JsonValue& schema) {
  const JsonValue* types = schema.find("types");
  std::size_t listed = 0, matched = 0;
  if (types != nullptr && types->is_object()) {
    for (const JsonMember& pair : types->as_object()) {
      if (!pair.value.is_string()) continue;
      ++listed;
      const JsonValue* member = value.find(pair.key);
      if (member != nullptr && matches_type(*member, pair.value.as_string())) ++matched;
    }
  }
  if (listed == 0) return 0.5;
  return 0.5 * static_cast<double>(matched) / static_cast<double>(listed);
}

}  // namespace

std::optional<double> schema_match_score(const JsonValue& value,
                                         const std::optional<JsonValue>& schema) {
  if (!schema) return std::nullopt;
  if (!value.is_object()) return 0.0;
  if (!schema->is_object()) return 1.0;
  return types_half(value, *schema) + required_half(value, *schema);
}

}  // namespace velvin
