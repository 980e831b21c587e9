#include "export/host/host_property_json.h"

#include <limits>

#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

constexpr int kMaxTextDepth = 1000;

bool NestsDeeper(const nlohmann::json& value, int levels) {
  if (!value.is_structured()) return false;
  if (levels == 0) return true;
  for (const auto& item : value) {
    if (NestsDeeper(item, levels - 1)) return true;
  }
  return false;
}

}  // namespace

std::string BoundedPropertyText(std::string text, const std::string& owner,
                                const std::string& path) {
  if (text.size() <= kMaxPropertyText) return text;
  size_t cut = kMaxPropertyText;
  // Back off continuation bytes (10xxxxxx) so no character is split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, owner.c_str(),
                      "%s of %s is %zu bytes long; only its first %zu are kept", path.c_str(),
                      owner.c_str(), text.size(), cut);
  text.resize(cut);
  return text;
}

std::vector<Property> PropertiesFromJson(const nlohmann::json& object, const std::string& owner,
                                         const std::string& path, int depth) {
  std::vector<Property> properties;
  if (!object.is_object()) return properties;
  for (const auto& [key, member] : object.items()) {
    std::optional<PropertyValue> value =
        PropertyValueFromJson(member, owner, path + "." + key, depth);
    if (!value) continue;
    Property p;
    p.Name = BoundedPropertyText(key, owner, path + " member name");
    p.Value = std::move(*value);
    properties.push_back(std::move(p));
  }
  return properties;
}

std::optional<PropertyValue> PropertyValueFromJson(const nlohmann::json& value,
                                                   const std::string& owner,
                                                   const std::string& path, int depth) {
  PropertyValue out;
  switch (value.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
      KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, owner.c_str(),
                          "%s of %s is null, which has no typed value; it is left out",
                          path.c_str(), owner.c_str());
      return std::nullopt;
    case nlohmann::json::value_t::boolean:
      out.Type = PropertyValue::Kind::Bool;
      out.Int = value.get<bool>() ? 1 : 0;
      return out;
    case nlohmann::json::value_t::number_integer:
      out.Type = PropertyValue::Kind::Int;
      out.Int = value.get<int64_t>();
      return out;
    case nlohmann::json::value_t::number_unsigned: {
      const uint64_t number = value.get<uint64_t>();
      if (number <= uint64_t(std::numeric_limits<int64_t>::max())) {
        out.Type = PropertyValue::Kind::Int;
        out.Int = int64_t(number);
      } else {
        out.Type = PropertyValue::Kind::Real;
        out.Real = double(number);
      }
      return out;
    }
    case nlohmann::json::value_t::number_float:
      out.Type = PropertyValue::Kind::Real;
      out.Real = value.get<double>();
      return out;
    case nlohmann::json::value_t::string:
      out.Type = PropertyValue::Kind::Text;
      out.Text = BoundedPropertyText(value.get<std::string>(), owner, path);
      return out;
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object:
      break;
  }
  if (depth > kMaxPropertyDepth) {
    KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, owner.c_str(),
                        "%s of %s nests deeper than %d levels; that part is kept as its JSON text",
                        path.c_str(), owner.c_str(), kMaxPropertyDepth);
    out.Type = PropertyValue::Kind::Text;
    // The text is made by recursion: a part nested past all reason is not spelled out.
    if (NestsDeeper(value, kMaxTextDepth)) {
      out.Text = "(nested more than " + std::to_string(kMaxTextDepth) + " levels deep)";
    } else {
      out.Text = BoundedPropertyText(
          value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), owner, path);
    }
    return out;
  }
  if (value.is_object()) {
    out.Type = PropertyValue::Kind::Object;
    out.Members = PropertiesFromJson(value, owner, path, depth + 1);
    return out;
  }
  out.Type = PropertyValue::Kind::List;
  if (value.is_binary()) {
    for (uint8_t byte : value.get_binary()) {
      PropertyValue item;
      item.Int = byte;
      out.Items.push_back(item);
    }
    return out;
  }
  for (size_t i = 0; i < value.size(); ++i) {
    std::optional<PropertyValue> item =
        PropertyValueFromJson(value[i], owner, path + "[" + std::to_string(i) + "]", depth + 1);
    if (item) out.Items.push_back(std::move(*item));
  }
  return out;
}

}  // namespace ketrel::host
