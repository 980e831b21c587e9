#include "export/ketrel_extended_data.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "export/ketrel_settings_read.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_variant_builder.h"

namespace ketrel {
namespace {

// Records nest no deeper than this: a host that hands over more (a cycle
// through shared records, a pathological file) gets the rest as text.
constexpr int kMostDepth = 32;

// `text` with every byte that does not belong to a valid UTF-8 sequence
// replaced by '?'; `changed` tells whether any was.
std::string ValidUtf8(const std::string& text, bool& changed) {
  std::string out;
  out.reserve(text.size());
  changed = false;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = length > 0 && i + length <= n && !(length == 2 && c < 0xC2);
    for (size_t k = 1; ok && k < length; ++k) ok = (s[i + k] & 0xC0) == 0x80;
    // Overlong three- and four-byte forms, surrogates and values past U+10FFFF.
    if (ok && length == 3) ok = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
    if (ok && length == 4)
      ok = !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90) && c <= 0xF4;
    if (ok) {
      out.append(text, i, length);
      i += length;
    } else {
      out.push_back('?');
      changed = true;
      ++i;
    }
  }
  return out;
}

struct Builder {
  SceneParser* parser;
  const char* item;

  void Warn(uint32_t code, const std::string& member, const char* what) const {
    KT_LOG_WARNING_CODE(Export, code, item, "%s: host property \"%s\" %s", item, member.c_str(),
                        what);
  }

  // Ends `builder` into the arena.
  bool End(variant_builder* builder, variant* out) const {
    void* typeMemory = KT_PARSER_ALLOCATE(parser, size_t(GetResultingVariantTypeSize(builder)));
    void* objectMemory = KT_PARSER_ALLOCATE(parser, size_t(GetResultingVariantObjectSize(builder)));
    if (!EndVariant(builder, typeMemory, objectMemory, &out->Type, &out->Object)) return false;
    // Items of one kind have records of one shape: they share one type, so
    // the file holds each shape once however many bones carry it. Nested
    // types are shared already, so their addresses identify them.
    std::string key;
    for (const data_type_definition* m = out->Type; m->Type != EndMember; ++m) {
      key.append(reinterpret_cast<const char*>(&m->Type), sizeof m->Type);
      key.append(reinterpret_cast<const char*>(&m->ArrayWidth), sizeof m->ArrayWidth);
      key.append(reinterpret_cast<const char*>(&m->ReferenceType), sizeof m->ReferenceType);
      key.append(m->Name ? m->Name : "");
      key.push_back('\0');
    }
    auto [it, added] = parser->sharedExtendedTypes.emplace(std::move(key), out->Type);
    if (!added) out->Type = it->second;
    return true;
  }

  bool Record(const ToolRecord& record, int depth, variant* out) {
    if (record.Identity) {
      auto it = parser->sharedExtendedData.find(record.Identity);
      if (it != parser->sharedExtendedData.end()) {
        *out = it->second;
        return true;
      }
    }
    variant_builder* builder = BeginVariant(parser->strings);
    if (!builder) return false;
    std::set<std::string> names;
    for (size_t i = 0; i < record.Members.size(); ++i) {
      if (!Member(builder, record.Members[i], int32_t(i), depth, names)) {
        AbortVariant(builder);
        return false;
      }
    }
    if (!End(builder, out)) return false;
    if (record.Identity) parser->sharedExtendedData[record.Identity] = *out;
    return true;
  }

  // The member's name as the file gets it: valid UTF-8, unique in its record.
  std::string NameOf(const ToolValue& value, int32_t index, std::set<std::string>& names) const {
    bool changed = false;
    std::string name = value.Name.empty() ? "UnnamedParam_" + std::to_string(index)
                                          : ValidUtf8(value.Name, changed);
    if (changed) Warn(warning::HostPropertyRenamed, name, "has a name that is not UTF-8 text");
    if (!names.insert(name).second) {
      std::string unique;
      for (int k = 2; !names.insert(unique = name + "_" + std::to_string(k)).second; ++k) {
      }
      Warn(warning::HostPropertyRenamed, name,
           ("repeats a name in its record; written as \"" + unique + "\"").c_str());
      name = unique;
    }
    return name;
  }

  std::string ValidText(const std::string& text, const std::string& member) const {
    bool changed = false;
    std::string valid = ValidUtf8(text, changed);
    if (changed) Warn(warning::HostPropertyRenamed, member, "holds text that is not UTF-8");
    return valid;
  }

  // The interned copy, for values held outside a member (array elements).
  const char* Text(const std::string& text, const std::string& member) const {
    return MapString(parser->strings, ValidText(text, member).c_str());
  }

  // The member interns its text itself.
  bool AddText(variant_builder* builder, const std::string& name, const std::string& text) const {
    return AddStringMember(builder, name.c_str(), ValidText(text, name).c_str());
  }

  bool Member(variant_builder* builder, const ToolValue& value, int32_t index, int depth,
              std::set<std::string>& names) {
    const std::string name = NameOf(value, index, names);
    const char* n = name.c_str();
    switch (value.Type) {
      case ToolValueType::Int8:
        return AddInt8Member(builder, n, int8_t(std::clamp<int64_t>(value.Int, -128, 127)));
      case ToolValueType::Int32:
      case ToolValueType::UInt32: {
        const bool isSigned = value.Type == ToolValueType::Int32;
        const bool fits = isSigned ? value.Int >= INT32_MIN && value.Int <= INT32_MAX
                                   : value.Int >= 0 && value.Int <= int64_t(UINT32_MAX);
        if (!fits) {
          Warn(warning::HostPropertyAsText, name,
               "is a whole number out of range; written as text");
          return AddText(builder, name, std::to_string(value.Int));
        }
        return isSigned ? AddInt32Member(builder, n, int32_t(value.Int))
                        : AddUInt32Member(builder, n, uint32_t(value.Int));
      }
      case ToolValueType::Real32:
      case ToolValueType::Real32Array: {
        for (float v : value.Reals)
          if (!std::isfinite(v)) {
            Warn(warning::HostPropertyNotFinite, name, "is not a finite number; written as it is");
            break;
          }
        if (value.Type == ToolValueType::Real32)
          return AddReal32Member(builder, n, value.Reals.empty() ? 0.0f : value.Reals[0]);
        if (value.Reals.empty())
          return AddReferenceToArrayMember(builder, n, Real32Type, 0, nullptr);
        return AddReal32ArrayMember(builder, n, int32_t(value.Reals.size()), value.Reals.data());
      }
      case ToolValueType::UInt8Array:
        if (value.Bytes.empty())
          return AddReferenceToArrayMember(builder, n, UInt8Type, 0, nullptr);
        return AddUInt8ArrayMember(builder, n, int32_t(value.Bytes.size()), value.Bytes.data());
      case ToolValueType::String:
        return AddText(builder, name, value.Text);
      case ToolValueType::Record: {
        if (depth >= kMostDepth) {
          Warn(warning::HostPropertyAsText, name,
               "nests too deep; its innermost records are left out");
          return AddText(builder, name, "(nested too deep)");
        }
        variant nested{};
        if (!Record(value.Record ? *value.Record : ToolRecord{}, depth + 1, &nested)) return false;
        return AddReferenceMember(builder, n, nested.Type, nested.Object);
      }
      case ToolValueType::RecordArray:
        return RecordArray(builder, value, name, depth);
      case ToolValueType::StringArray:
        return Strings(builder, value, name);
      case ToolValueType::Int32List:
        return List(builder, n, Int32Type, value.Ints.data(), value.Ints.size(), sizeof(int32_t));
      case ToolValueType::Real32List:
        return List(builder, n, Real32Type, value.Reals.data(), value.Reals.size(), sizeof(float));
      case ToolValueType::MaterialMap:
        return MaterialMap(builder, n, value);
    }
    return AddText(builder, name, "");
  }

  bool List(variant_builder* builder, const char* name, data_type_definition* type,
            const void* values, size_t count, size_t size) const {
    void* copy = count ? KT_PARSER_ALLOCATE(parser, count * size) : nullptr;
    if (count && !copy) return false;
    if (count) std::memcpy(copy, values, count * size);
    return AddReferenceToArrayMember(builder, name, type, int32_t(count), copy);
  }

  // Materials are built before any item asks for its properties, so the
  // exported material of a host material is known here.
  bool MaterialMap(variant_builder* builder, const char* name, const ToolValue& value) const {
    if (!value.Handle) return AddReferenceMember(builder, name, MaterialMapType, nullptr);
    auto* map = static_cast<material_map*>(KT_PARSER_ALLOCATE(parser, sizeof(material_map)));
    if (!map) return false;
    MakeEmptyDataTypeObject(MaterialMapType, map);
    map->Usage = Text(value.Text, name);
    for (MaterialNode* node : GraphMaterials(parser->graph))
      if (node->HostMaterial == value.Handle) map->Map = static_cast<material*>(node->Object);
    return AddReferenceMember(builder, name, MaterialMapType, map);
  }

  bool Strings(variant_builder* builder, const ToolValue& value, const std::string& name) const {
    const size_t count = value.Texts.size();
    auto** texts =
        count ? static_cast<const char**>(KT_PARSER_ALLOCATE(parser, count * sizeof(char*)))
              : nullptr;
    if (count && !texts) return false;
    for (size_t i = 0; i < count; ++i)
      if (!(texts[i] = Text(value.Texts[i], name))) return false;
    return AddReferenceToArrayMember(builder, name.c_str(), StringType, int32_t(count), texts);
  }

  // Records of one shape become one array; records that differ cannot share
  // the array's one type and go in as text.
  bool RecordArray(variant_builder* builder, const ToolValue& value, const std::string& name,
                   int depth) {
    const size_t count = value.Records.size();
    std::vector<variant> elements(count);
    for (size_t i = 0; i < count; ++i) {
      if (!value.Records[i]) return false;
      if (depth >= kMostDepth) {
        Warn(warning::HostPropertyAsText, name,
             "nests too deep; its innermost records are left out");
        return AddText(builder, name, "(nested too deep)");
      }
      if (!Record(*value.Records[i], depth + 1, &elements[i])) return false;
      if (i > 0 && !SameShape(elements[0].Type, elements[i].Type)) {
        Warn(warning::HostPropertyAsText, name,
             "is an array of records of different shapes; written as text");
        return AddText(builder, name, DescribeRecords(value));
      }
    }
    if (count == 0) {
      // Still typed: an empty record stands for the records there are none of.
      variant none{};
      return Record(ToolRecord{}, depth + 1, &none) &&
             AddReferenceToArrayMember(builder, name.c_str(), none.Type, 0, nullptr);
    }
    const int32_t size = GetTotalObjectSize(elements[0].Type);
    auto* array = static_cast<unsigned char*>(KT_PARSER_ALLOCATE(parser, count * size_t(size) + 1));
    if (!array) return false;
    for (size_t i = 0; i < count; ++i)
      std::memcpy(array + i * size_t(size), elements[i].Object, size_t(size));
    return AddReferenceToArrayMember(builder, name.c_str(), elements[0].Type, int32_t(count),
                                     array);
  }

  static bool SameShape(const data_type_definition* a, const data_type_definition* b) {
    if (a == b) return true;
    if (!a || !b) return false;
    for (;; ++a, ++b) {
      if (a->Type != b->Type || a->ArrayWidth != b->ArrayWidth) return false;
      if (a->Type == EndMember) return true;
      if ((a->Name == nullptr) != (b->Name == nullptr) ||
          (a->Name && std::strcmp(a->Name, b->Name) != 0))
        return false;
      if (!SameShape(a->ReferenceType, b->ReferenceType)) return false;
    }
  }

  // Text standing for records that cannot be an array: each as
  // {name: value, ...} of its plain members.
  static std::string DescribeRecords(const ToolValue& value) {
    std::string text = "[";
    for (size_t i = 0; i < value.Records.size(); ++i) {
      text += i ? ", {" : "{";
      const auto& members = value.Records[i]->Members;
      for (size_t k = 0; k < members.size(); ++k) {
        const ToolValue& m = members[k];
        text += (k ? ", " : "") + m.Name + ": ";
        if (m.Type == ToolValueType::String) {
          // Quoted, with the text's own quotes and backslashes escaped.
          text += '"';
          for (char c : m.Text) {
            if (c == '"' || c == '\\') text += '\\';
            text += c;
          }
          text += '"';
        } else if (m.Type == ToolValueType::Real32 && !m.Reals.empty())
          text += std::to_string(m.Reals[0]);
        else if (m.Type == ToolValueType::Int32 || m.Type == ToolValueType::UInt32 ||
                 m.Type == ToolValueType::Int8)
          text += std::to_string(m.Int);
        else
          text += "...";
      }
      text += "}";
    }
    return text + "]";
  }
};

ToolPropertyScope ScopeOf(const SettingsItem* settings) {
  return WantsOnlyUserAttributes(settings) ? ToolPropertyScope::UserOnly : ToolPropertyScope::All;
}

}  // namespace

bool BuildExtendedData(SceneParser* parser, const ToolRecord& record, const char* item,
                       variant* out) {
  // `out` is usually a member of a packed file record, and may sit at any
  // address: it is written in one copy.
  variant built{};
  bool ok = true;
  if (!record.Members.empty()) {
    Builder builder{parser, item ? item : "(unnamed)"};
    ok = builder.Record(record, 0, &built);
  }
  std::memcpy(static_cast<void*>(out), &built, sizeof built);
  return ok;
}

bool AttachBoneExtendedData(SceneParser* parser, BoneNode* node, variant* out) {
  if (!WantsArtToolData(node->Settings)) return true;
  ToolRecord record;
  if (!parser->tool->GetBoneProperties(node, ScopeOf(node->Settings), record)) return true;
  return BuildExtendedData(parser, record, parser->tool->GetBoneName(node), out);
}

bool AttachMeshExtendedData(SceneParser* parser, MeshNode* node, variant* out) {
  if (!WantsArtToolData(node->Settings)) return true;
  ToolRecord record;
  if (!parser->tool->GetMeshProperties(node, ScopeOf(node->Settings), record)) return true;
  return BuildExtendedData(parser, record, parser->tool->GetMeshName(node, false), out);
}

bool AttachMaterialExtendedData(SceneParser* parser, MaterialNode* node, variant* out) {
  if (!WantsArtToolData(node->Settings)) return true;
  ToolRecord record;
  if (!parser->tool->GetMaterialProperties(node, ScopeOf(node->Settings), record)) return true;
  return BuildExtendedData(parser, record, parser->tool->GetMaterialName(node), out);
}

bool AttachSceneExtendedData(SceneParser* parser, variant* out) {
  const SettingsItem* file = FindChildItem(parser->settings, "File");
  if (!WantsArtToolData(file)) return true;
  ToolRecord record;
  if (!parser->tool->GetSceneProperties(ScopeOf(file), record)) return true;
  return BuildExtendedData(parser, record, parser->tool->GetSceneFileName(), out);
}

}  // namespace ketrel
