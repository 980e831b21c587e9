// `ketrel dump`: the object graph of a file, printed through the file's own
// type definitions. The reader has already checked the whole graph, so the
// walk follows pointers freely; it still reads every value bytewise (file
// layouts are packed) and bounds its depth.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_object_ops.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tools/ketrel/cmd_inspect.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

constexpr size_t kAbbreviateAbove = 16;
constexpr size_t kAbbreviatedShown = 8;
constexpr int kMaxDepth = 200;

enum class NodeKind { Number, Text, Null, Object, Array, Reference, Note };

struct DumpNode {
  std::string Name;  // member name, or empty for array elements
  std::string Type;  // member type as printed, e.g. "Real32Member[3]"
  NodeKind Kind = NodeKind::Null;
  std::string Value;  // number or text
  int Id = 0;         // objects: their number; references: the number referred to
  size_t More = 0;    // elements left out of an abbreviated array
  std::vector<DumpNode> Children;
  // A variant's own type, member by member (name, member type): the JSON
  // dump carries it as "$type" beside the value, which says what it holds.
  std::vector<std::pair<std::string, std::string>> VariantType;
};

template <typename T>
T Read(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

std::string FormatReal(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.9g", value);
  return text;
}

std::string MemberTypeText(const data_type_definition* member) {
  const member_type_info* info = GetMemberTypeInfo(member->Type);
  std::string text = info != nullptr ? info->Name : "unknown";
  if (member->ArrayWidth > 1) text += "[" + std::to_string(member->ArrayWidth) + "]";
  return text;
}

class Walker {
 public:
  explicit Walker(bool all) : all_(all) {}

  DumpNode Object(const data_type_definition* type, const unsigned char* object, int depth) {
    DumpNode node;
    node.Kind = NodeKind::Null;
    if (type == nullptr || object == nullptr) return node;
    auto found = ids_.find(object);
    if (found != ids_.end()) {
      node.Kind = NodeKind::Reference;
      node.Id = found->second;
      return node;
    }
    node.Kind = NodeKind::Object;
    node.Id = ++lastId_;
    ids_[object] = node.Id;
    Members(type, object, depth + 1, &node);
    return node;
  }

  DumpNode Member(const data_type_definition* m, const unsigned char* at, int depth) {
    DumpNode node;
    node.Name = m->Name != nullptr ? m->Name : "";
    node.Type = MemberTypeText(m);
    if (depth > kMaxDepth) {
      node.Kind = NodeKind::Note;
      node.Value = "(nested too deeply to print)";
      return node;
    }
    const int32_t width = GetMemberArrayWidth(m);
    switch (m->Type) {
      case InlineMember:
        if (width == 1) return Named(node, Inline(m->ReferenceType, at, depth));
        node.Kind = NodeKind::Array;
        for (int32_t e = 0; e < width; ++e) {
          node.Children.push_back(Inline(m->ReferenceType, at + e * GetMemberUnitSize(m), depth));
        }
        return node;
      case ReferenceMember:
        return Named(node, Object(m->ReferenceType, Read<const unsigned char*>(at), depth));
      case ReferenceToArrayMember:
        return Named(node, Elements(m->ReferenceType, Read<int32_t>(at),
                                    Read<const unsigned char*>(at + 4), depth));
      case ArrayOfReferencesMember: {
        int32_t count = Read<int32_t>(at);
        auto* entries = Read<const unsigned char*>(at + 4);
        node.Kind = entries != nullptr ? NodeKind::Array : NodeKind::Null;
        for (int32_t i = 0; entries != nullptr && i < count; ++i) {
          if (Shown(i, count, &node)) {
            node.Children.push_back(
                Object(m->ReferenceType, Read<const unsigned char*>(entries + 8 * i), depth));
          }
        }
        return node;
      }
      case VariantReferenceMember: {
        auto* type = Read<const data_type_definition*>(at);
        return Variant(type, Named(node, Object(type, Read<const unsigned char*>(at + 8), depth)));
      }
      case ReferenceToVariantArrayMember: {
        auto* type = Read<const data_type_definition*>(at);
        return Variant(type, Named(node, Elements(type, Read<int32_t>(at + 8),
                                                  Read<const unsigned char*>(at + 12), depth)));
      }
      case StringMember: {
        auto* text = Read<const char*>(at);
        node.Kind = text != nullptr ? NodeKind::Text : NodeKind::Null;
        if (text != nullptr) node.Value = text;
        return node;
      }
      case TransformMember:
        if (width == 1) return Named(node, Transform(at));
        node.Kind = NodeKind::Array;
        for (int32_t e = 0; e < width; ++e) node.Children.push_back(Transform(at + 68 * e));
        return node;
      case EmptyReferenceMember:
      case RemovedSwitchableMember:
      case EndMember:
        return node;
      default:
        if (width == 1) return Named(node, Scalar(m->Type, at));
        node.Kind = NodeKind::Array;
        for (int32_t e = 0; e < width; ++e) {
          if (Shown(e, width, &node)) {
            node.Children.push_back(Scalar(m->Type, at + e * GetMemberUnitSize(m)));
          }
        }
        return node;
    }
  }

 private:
  static DumpNode Named(const DumpNode& member, DumpNode value) {
    value.Name = member.Name;
    value.Type = member.Type;
    return value;
  }

  static DumpNode Variant(const data_type_definition* type, DumpNode value) {
    if (type == nullptr || value.Kind == NodeKind::Null) return value;
    for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
      value.VariantType.emplace_back(m->Name != nullptr ? m->Name : "", MemberTypeText(m));
    }
    return value;
  }

  // Abbreviates long arrays unless --all: the first elements and a count.
  bool Shown(int32_t index, int32_t count, DumpNode* array) const {
    if (all_ || size_t(count) <= kAbbreviateAbove || size_t(index) < kAbbreviatedShown) {
      return true;
    }
    array->More = size_t(count) - kAbbreviatedShown;
    return false;
  }

  void Members(const data_type_definition* type, const unsigned char* at, int depth,
               DumpNode* node) {
    for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
      node->Children.push_back(Member(m, at, depth));
      at += GetMemberTypeSize(m);
    }
  }

  DumpNode Inline(const data_type_definition* type, const unsigned char* at, int depth) {
    DumpNode node;
    node.Kind = NodeKind::Object;
    Members(type, at, depth + 1, &node);
    return node;
  }

  // An array block: shared as a whole (by its address), its elements inline.
  DumpNode Elements(const data_type_definition* type, int32_t count, const unsigned char* items,
                    int depth) {
    DumpNode node;
    if (type == nullptr || items == nullptr) return node;
    auto found = ids_.find(items);
    if (found != ids_.end()) {
      node.Kind = NodeKind::Reference;
      node.Id = found->second;
      return node;
    }
    node.Kind = NodeKind::Array;
    node.Id = ++lastId_;
    ids_[items] = node.Id;
    const int32_t size = GetTotalObjectSize(type);
    // Element types of one scalar member print as plain values.
    const bool plain =
        type[0].Type != EndMember && type[1].Type == EndMember && type[0].Type >= TransformMember;
    for (int32_t i = 0; i < count; ++i) {
      if (!Shown(i, count, &node)) continue;
      if (plain) {
        DumpNode value = Member(type, items + i * size, depth + 1);
        value.Name.clear();
        value.Type.clear();
        node.Children.push_back(value);
      } else {
        node.Children.push_back(Inline(type, items + i * size, depth));
      }
    }
    return node;
  }

  static DumpNode Number(std::string value) {
    DumpNode node;
    node.Kind = NodeKind::Number;
    node.Value = std::move(value);
    return node;
  }

  // Reals as reals; integers and normalised values as the integers stored.
  static DumpNode Scalar(uint32_t type, const unsigned char* at) {
    const member_type_traits* traits = GetMemberTypeTraits(type);
    if (!traits) return DumpNode{};
    switch (traits->Scalar) {
      case member_scalar::Real32:
      case member_scalar::Real16:
        return Number(FormatReal(LoadMemberReal(type, at)));
      case member_scalar::Integer:
      case member_scalar::Normalised:
        return Number(std::to_string(LoadMemberStored(type, at)));
      default:
        return DumpNode{};
    }
  }

  static DumpNode Transform(const unsigned char* at) {
    DumpNode node;
    node.Kind = NodeKind::Object;
    DumpNode flags = Number(std::to_string(Read<uint32_t>(at)));
    flags.Name = "Flags";
    node.Children.push_back(flags);
    const char* names[3] = {"Position", "Orientation", "ScaleShear"};
    const int counts[3] = {3, 4, 9};
    const unsigned char* value = at + 4;
    for (int part = 0; part < 3; ++part) {
      DumpNode array;
      array.Name = names[part];
      array.Kind = NodeKind::Array;
      for (int i = 0; i < counts[part]; ++i, value += 4) {
        array.Children.push_back(Number(FormatReal(Read<float>(value))));
      }
      node.Children.push_back(array);
    }
    return node;
  }

  bool all_;
  int lastId_ = 0;
  std::unordered_map<const void*, int> ids_;
};

// ---- Printing ------------------------------------------------------------------

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += char(ch);
    } else if (ch < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", ch);
      out += escape;
    } else {
      out += char(ch);
    }
  }
  return out + "\"";
}

void PrintText(std::ostream& out, const DumpNode& node, int indent) {
  std::string pad(size_t(indent) * 2, ' ');
  out << pad;
  if (!node.Name.empty()) out << node.Name;
  if (!node.Type.empty()) out << " (" << node.Type << ")";
  if (!node.Name.empty() || !node.Type.empty()) out << ": ";
  switch (node.Kind) {
    case NodeKind::Number:
      out << node.Value << "\n";
      return;
    case NodeKind::Text:
      out << Quoted(node.Value) << "\n";
      return;
    case NodeKind::Note:
      out << node.Value << "\n";
      return;
    case NodeKind::Null:
      out << "null\n";
      return;
    case NodeKind::Reference:
      out << "-> #" << node.Id << " (printed above)\n";
      return;
    case NodeKind::Object:
    case NodeKind::Array: {
      const bool array = node.Kind == NodeKind::Array;
      bool plain = array && !node.Children.empty();
      for (const DumpNode& child : node.Children) plain = plain && child.Kind == NodeKind::Number;
      if (plain) {
        // Runs of numbers (vectors, matrices, index arrays) read best on one line.
        if (node.Id != 0) out << "#" << node.Id << " ";
        out << "[";
        for (size_t i = 0; i < node.Children.size(); ++i) {
          out << (i ? ", " : "") << node.Children[i].Value;
        }
        if (node.More > 0) out << ", ... " << node.More << " more (use --all to see them)";
        out << "]\n";
        return;
      }
      if (node.Id != 0) out << "#" << node.Id << " ";
      if (array) out << node.Children.size() + node.More << " element(s) ";
      out << (array ? "[\n" : "{\n");
      for (const DumpNode& child : node.Children) PrintText(out, child, indent + 1);
      if (node.More > 0) {
        out << pad << "  ... " << node.More << " more (use --all to see them)\n";
      }
      out << pad << (array ? "]\n" : "}\n");
      return;
    }
  }
}

void PrintJsonValue(std::ostream& out, const DumpNode& node, int indent);

// A variant as {"$type": {member: member type, ...}, "$value": value}.
void PrintJson(std::ostream& out, const DumpNode& node, int indent) {
  if (node.VariantType.empty()) return PrintJsonValue(out, node, indent);
  out << "{\"$type\": {";
  for (size_t i = 0; i < node.VariantType.size(); ++i) {
    out << (i ? ", " : "") << Quoted(node.VariantType[i].first) << ": "
        << Quoted(node.VariantType[i].second);
  }
  out << "}, \"$value\": ";
  PrintJsonValue(out, node, indent);
  out << "}";
}

void PrintJsonValue(std::ostream& out, const DumpNode& node, int indent) {
  std::string pad(size_t(indent) * 2, ' ');
  switch (node.Kind) {
    case NodeKind::Number:
      out << node.Value;
      return;
    case NodeKind::Text:
    case NodeKind::Note:
      out << Quoted(node.Value);
      return;
    case NodeKind::Null:
      out << "null";
      return;
    case NodeKind::Reference:
      out << "{\"$ref\": " << node.Id << "}";
      return;
    case NodeKind::Array: {
      // A shared array block carries its number in a wrapper object.
      if (node.Id != 0) out << "{\"$id\": " << node.Id << ", \"$items\": ";
      out << "[";
      for (size_t i = 0; i < node.Children.size(); ++i) {
        out << (i ? ", " : "");
        PrintJson(out, node.Children[i], indent + 1);
      }
      out << "]";
      if (node.Id != 0) out << "}";
      return;
    }
    case NodeKind::Object: {
      out << "{";
      bool first = true;
      if (node.Id != 0) {
        out << "\n" << pad << "  \"$id\": " << node.Id;
        first = false;
      }
      for (const DumpNode& child : node.Children) {
        out << (first ? "\n" : ",\n") << pad << "  " << Quoted(child.Name) << ": ";
        PrintJson(out, child, indent + 1);
        first = false;
      }
      out << (first ? "}" : "\n" + pad + "}");
      return;
    }
  }
}

// ---- Paths ---------------------------------------------------------------------

struct PathStep {
  std::string Name;
  long Index = -1;
};

bool ParsePath(const std::string& path, std::vector<PathStep>* steps) {
  std::stringstream stream(path);
  std::string part;
  while (std::getline(stream, part, '.')) {
    PathStep step;
    size_t bracket = part.find('[');
    step.Name = part.substr(0, bracket);
    if (bracket != std::string::npos) {
      if (part.back() != ']') return false;
      std::string digits = part.substr(bracket + 1, part.size() - bracket - 2);
      if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
          digits.size() > 9) {
        return false;
      }
      step.Index = std::stol(digits);
    }
    if (step.Name.empty()) return false;
    steps->push_back(step);
  }
  return !steps->empty();
}

// Follows the path from the root; fills `result` with what it names.
bool FollowPath(Walker* walker, const data_type_definition* type, const unsigned char* object,
                const std::vector<PathStep>& steps, DumpNode* result, std::string* error) {
  for (size_t s = 0; s < steps.size(); ++s) {
    const PathStep& step = steps[s];
    const bool last = s + 1 == steps.size();
    found_member found{};
    if (type == nullptr || object == nullptr ||
        !FindMatchingMember(type, 0, step.Name.c_str(), &found)) {
      *error = "no member named \"" + step.Name + "\"";
      return false;
    }
    const data_type_definition* m = found.Member;
    const unsigned char* at = object + found.Offset;
    if (step.Index < 0) {
      if (last) {
        *result = walker->Member(m, at, 0);
        return true;
      }
      if (m->Type == ReferenceMember) {
        type = m->ReferenceType;
        object = Read<const unsigned char*>(at);
      } else if (m->Type == VariantReferenceMember) {
        type = Read<const data_type_definition*>(at);
        object = Read<const unsigned char*>(at + 8);
      } else if (m->Type == InlineMember) {
        type = m->ReferenceType;
        object = at;
      } else {
        *error = "\"" + step.Name + "\" has no members";
        return false;
      }
      continue;
    }
    long count = 0;
    const data_type_definition* elementType = m->ReferenceType;
    const unsigned char* element = nullptr;
    switch (m->Type) {
      case ReferenceToArrayMember:
      case ArrayOfReferencesMember:
        count = Read<int32_t>(at);
        element = Read<const unsigned char*>(at + 4);
        break;
      case ReferenceToVariantArrayMember:
        elementType = Read<const data_type_definition*>(at);
        count = Read<int32_t>(at + 8);
        element = Read<const unsigned char*>(at + 12);
        break;
      case InlineMember:
        count = GetMemberArrayWidth(m);
        element = at;
        break;
      default:
        *error = "\"" + step.Name + "\" is not an array";
        return false;
    }
    if (element == nullptr || step.Index >= count) {
      *error = "\"" + step.Name + "\" has " + std::to_string(count) + " element(s)";
      return false;
    }
    if (m->Type == ArrayOfReferencesMember) {
      element = Read<const unsigned char*>(element + 8 * step.Index);
    } else {
      element += step.Index *
                 (m->Type == InlineMember ? GetMemberUnitSize(m) : GetTotalObjectSize(elementType));
    }
    type = elementType;
    object = element;
    if (last) {
      *result = walker->Object(type, object, 0);
      result->Name = step.Name + "[" + std::to_string(step.Index) + "]";
      return true;
    }
  }
  return false;
}

}  // namespace

int RunDump(const DumpOptions& options, std::ostream& out) {
  std::unique_ptr<ketrel_file, void (*)(ketrel_file*)> file(ReadEntireFile(options.File.c_str()),
                                                            FreeFile);
  if (file == nullptr) {
    std::cerr << "ketrel dump: " << options.File << " is not a readable KT2 file\n";
    return kExitFailed;
  }
  // JSON never abbreviates: an array holds its elements and nothing else.
  Walker walker(options.All || options.Json);
  DumpNode root;
  if (options.Path.empty()) {
    root = walker.Object(file->RootType, static_cast<const unsigned char*>(file->RootObject), 0);
    root.Name = "root";
  } else {
    std::vector<PathStep> steps;
    std::string error = "malformed path";
    if (!ParsePath(options.Path, &steps) ||
        !FollowPath(&walker, file->RootType, static_cast<const unsigned char*>(file->RootObject),
                    steps, &root, &error)) {
      std::cerr << "ketrel dump: " << options.Path << ": " << error << "\n";
      return kExitFailed;
    }
  }
  if (options.Json) {
    PrintJson(out, root, 0);
    out << "\n";
  } else {
    PrintText(out, root, 0);
  }
  return kExitOk;
}

void AddDumpCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<DumpOptions>();
  CLI::App* command = app.add_subcommand(
      "dump", "Print a KT2 file's objects through the file's own type definitions");
  command->add_option("file", options->File, "The KT2 file")->required();
  command->add_flag("--json", options->Json, "Print JSON instead of text");
  command->add_flag("--all", options->All, "Print long arrays in full");
  command->add_option("--path", options->Path,
                      "Print only what this path names, e.g. Models[0].Skeleton");
  command->callback([options, &exitCode] { exitCode = RunDump(*options, std::cout); });
}

}  // namespace ketrel::cli
