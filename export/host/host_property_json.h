#pragma once
// Typed host property values from JSON (a glTF file's extras) and the
// bounds every imported value is kept within: nesting deeper than
// kMaxPropertyDepth becomes the JSON text of that part, text longer than
// kMaxPropertyText is cut (at a character boundary), each with a warning
// that names the owner. A scene document reader can use the same.

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "export/host/host_properties.h"

namespace ketrel::host {

inline constexpr int kMaxPropertyDepth = 32;
inline constexpr size_t kMaxPropertyText = 64 * 1024;

// Integers become Int (beyond int64: Real), other numbers Real, strings
// Text, booleans Bool, arrays List, objects Object. `owner` and `path` name
// the value in warnings ("node Crate", "extras.tags"). Null has no typed
// value: nullopt, with a warning.
std::optional<PropertyValue> PropertyValueFromJson(const nlohmann::json& value,
                                                   const std::string& owner,
                                                   const std::string& path, int depth = 1);

// An object's members as properties (a null member is left out, warned).
std::vector<Property> PropertiesFromJson(const nlohmann::json& object, const std::string& owner,
                                         const std::string& path, int depth = 1);

// Text cut to kMaxPropertyText bytes without splitting a UTF-8 character,
// warned; shorter text as it is.
std::string BoundedPropertyText(std::string text, const std::string& owner,
                                const std::string& path);

}  // namespace ketrel::host
