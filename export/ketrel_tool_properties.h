#pragma once
// Host properties as the tool interface hands them over: a record of named,
// typed values in the order they go into the file. The core turns a record
// into the extended data of a bone, mesh, material or the art tool info
// (ketrel_extended_data.h); a host only describes what it has, so a new host
// (another modelling tool, an add-on) fills these records and nothing else.
//
// A record that several items share (a custom attribute on two nodes) carries
// the same non-null `Identity` each time it is handed over: the export builds
// it once and every owner refers to that one copy.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ketrel {

enum class ToolValueType : int32_t {
  Int8,         // Int
  Int32,        // Int (booleans as 0 or 1)
  UInt32,       // Int
  Real32,       // Reals[0]
  Real32Array,  // Reals (a point, colour or matrix)
  UInt8Array,   // Bytes (fixed-width padding such as "Unused")
  String,       // Text
  Record,       // Record: a reference to a nested record
  RecordArray,  // Records: a reference-to-array of records of one shape
  StringArray,  // Texts: a reference-to-array of strings
  Int32List,    // Ints: a reference-to-array of Int32
  Real32List,   // Reals: a reference-to-array of Real32
  MaterialMap,  // Handle: a reference to a material map whose usage is Text
                // and whose material is the exported one of host material
                // Handle (none when null or not exported)
};

struct ToolRecord;

struct ToolValue {
  std::string Name;
  ToolValueType Type = ToolValueType::Int32;
  int64_t Int = 0;
  std::vector<float> Reals;
  std::vector<uint8_t> Bytes;
  std::string Text;
  std::vector<std::string> Texts;
  std::vector<int32_t> Ints;
  std::shared_ptr<const ToolRecord> Record;
  std::vector<std::shared_ptr<const ToolRecord>> Records;
  const void* Handle = nullptr;
};

struct ToolRecord {
  // Non-null for a record that several items may share; equal identities are
  // one record in the file.
  const void* Identity = nullptr;
  std::vector<ToolValue> Members;

  // Adders in file order; each returns the added member.
  ToolValue& Add(const std::string& name, ToolValueType type);
  void AddInt8(const std::string& name, int32_t value);
  void AddInt32(const std::string& name, int64_t value);
  void AddUInt32(const std::string& name, uint32_t value);
  void AddReal32(const std::string& name, float value);
  void AddReals(const std::string& name, const float* values, int32_t count);
  void AddString(const std::string& name, const std::string& text);
  void AddRecord(const std::string& name, std::shared_ptr<const ToolRecord> record);
};

// Which item's properties are asked for, and how much of them.
enum class ToolPropertyScope : int32_t {
  All,       // everything the host keeps
  UserOnly,  // custom attributes and the user-defined property text only
};

}  // namespace ketrel
