#include "export/ketrel_tool_properties.h"

#include <utility>

namespace ketrel {

ToolValue& ToolRecord::Add(const std::string& name, ToolValueType type) {
  ToolValue& value = Members.emplace_back();
  value.Name = name;
  value.Type = type;
  return value;
}

void ToolRecord::AddInt8(const std::string& name, int32_t value) {
  Add(name, ToolValueType::Int8).Int = value;
}

void ToolRecord::AddInt32(const std::string& name, int64_t value) {
  Add(name, ToolValueType::Int32).Int = value;
}

void ToolRecord::AddUInt32(const std::string& name, uint32_t value) {
  Add(name, ToolValueType::UInt32).Int = value;
}

void ToolRecord::AddReal32(const std::string& name, float value) {
  Add(name, ToolValueType::Real32).Reals = {value};
}

void ToolRecord::AddReals(const std::string& name, const float* values, int32_t count) {
  Add(name, ToolValueType::Real32Array).Reals.assign(values, values + count);
}

void ToolRecord::AddString(const std::string& name, const std::string& text) {
  Add(name, ToolValueType::String).Text = text;
}

void ToolRecord::AddRecord(const std::string& name, std::shared_ptr<const ToolRecord> record) {
  Add(name, ToolValueType::Record).Record = std::move(record);
}

}  // namespace ketrel
