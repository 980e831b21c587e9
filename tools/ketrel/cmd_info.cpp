// `ketrel info`: the file's opening and sections as stored, what it holds,
// and a verdict; gathered once into JSON, printed as text or as that JSON.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_standard_types.h"
#include "rt/ketrel_texture_builder.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tools/ketrel/cmd_inspect.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

// Ordered: the JSON lists the facts in the order the text does.
using json = nlohmann::ordered_json;

const char* CompressionName(uint32_t type) {
  switch (type) {
    case kNoCompression:
      return "none";
    case kLorpa0Compression:
      return "Lorpa0";
    case kLorpa1Compression:
      return "Lorpa1";
    case kTessikCompression:
      return "Tessik";
    case kTessik2Compression:
      return "Tessik2";
    default:
      return "unknown";
  }
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%08llx", static_cast<unsigned long long>(value));
  return text;
}

// ---- Gathering: every fact `info` reports, into one JSON object ------------------

json Reference(const file_reference& reference) {
  return {{"section", reference.SectionIndex}, {"offset", reference.Offset}};
}

json Section(uint32_t index, const file_section_header& s) {
  return {{"index", index},
          {"name", GetStandardSectionName(index)},
          {"compression", s.Compression},
          {"compressionName", CompressionName(s.Compression)},
          {"dataSize", s.DataSize},
          {"dataOffset", s.DataOffset},
          {"expandedDataSize", s.ExpandedDataSize},
          {"alignment", s.Alignment},
          {"first16BitOffset", s.First16BitOffset},
          {"first8BitOffset", s.First8BitOffset},
          {"fixupCount", s.FixupCount},
          {"fixupOffset", s.FixupOffset},
          {"marshallingCount", s.MarshallingCount},
          {"marshallingOffset", s.MarshallingOffset},
          {"damaged", false}};
}

// Takes the member by value: a packed record's member may be misaligned for
// a reference.
template <typename T>
T Get(T member) {
  return member;
}

const char* Text(const char* name) { return name ? name : "(unnamed)"; }

// The mesh's vertex morph curve sets ("Position", "Normal"), the vertices
// they cover and their span (the latest end of any of the curves); null for
// a mesh without them.
json MorphCurves(const vertex_data* vertices) {
  constexpr char kPrefix[] = "VertexMorphCurve";
  const int32_t count = vertices ? Get(vertices->VertexAnnotationSetCount) : 0;
  const vertex_annotation_set* sets = vertices ? Get(vertices->VertexAnnotationSets) : nullptr;
  json names = json::array();
  int32_t curveCount = 0;
  float span = 0.0f;
  for (int32_t s = 0; s < count && sets; ++s) {
    const char* name = Get(sets[s].Name);
    const variant_array curves = Get(sets[s].VertexAnnotations);
    if (!name || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0 || !curves.Type ||
        !DataTypesAreEqualWithNames(curves.Type, Curve2Type)) {
      continue;
    }
    names.push_back(name + sizeof kPrefix - 1);
    curveCount = curves.Count;
    for (int32_t v = 0; v < curves.Count && curves.Items; ++v) {
      curve2 curve;
      std::memcpy(&curve, static_cast<const curve2*>(curves.Items) + v, sizeof curve);
      if (GetCurveFormat(&curve) < 0) continue;
      const int32_t knots = GetCurveKnotCount(&curve);
      float last = 0.0f;
      if (knots > 1 && !CurveIsKeyframed(&curve) &&
          ExtractCurveKnotsControls(&curve, knots - 1, 1, &last, nullptr, nullptr) && last > span) {
        span = last;
      }
    }
  }
  if (names.empty()) return nullptr;
  return {{"sets", names}, {"vertices", curveCount}, {"seconds", span}};
}

json Textures(const file_info* info) {
  json list = json::array();
  texture** textures = Get(info->Textures);
  for (int32_t i = 0; i < Get(info->TextureCount) && textures; ++i) {
    const texture* t = textures[i];
    if (!t) continue;
    const texture_image* images = Get(t->Images);
    const int32_t imageCount = images ? Get(t->ImageCount) : 0;
    int32_t levels = 0;
    int64_t bytes = 0;
    for (int32_t k = 0; k < imageCount; ++k) {
      const texture_mip_level* mips = Get(images[k].MIPLevels);
      const int32_t mipCount = mips ? Get(images[k].MIPLevelCount) : 0;
      levels += mipCount;
      for (int32_t l = 0; l < mipCount; ++l) bytes += Get(mips[l].PixelByteCount);
    }
    const int32_t encoding = Get(t->Encoding);
    std::string format = TextureEncodingName(encoding);
    if (encoding == kTextureEncodingS3TC)
      format += std::string(", ") + S3TCSubFormatName(Get(t->SubFormat));
    if (encoding == kTextureEncodingRaw) {
      const pixel_layout layout = Get(t->Layout);
      format += ", " + std::to_string(layout.BytesPerPixel) + " bytes per pixel";
    }
    list.push_back({{"file", Text(Get(t->FromFileName))},
                    {"width", Get(t->Width)},
                    {"height", Get(t->Height)},
                    {"format", format},
                    {"images", imageCount},
                    {"mipLevels", levels},
                    {"pixelBytes", bytes}});
  }
  return list;
}

json Materials(const file_info* info) {
  json list = json::array();
  material** materials = Get(info->Materials);
  for (int32_t i = 0; i < Get(info->MaterialCount) && materials; ++i) {
    const material* m = materials[i];
    if (!m) continue;
    json maps = json::array();
    const material_map* slots = Get(m->Maps);
    for (int32_t k = 0; slots && k < Get(m->MapCount); ++k) {
      const material* target = Get(slots[k].Map);
      maps.push_back({{"usage", Text(Get(slots[k].Usage))},
                      {"map", target ? json(Text(Get(target->Name))) : json(nullptr)}});
    }
    const texture* t = Get(m->Texture);
    list.push_back({{"name", Text(Get(m->Name))},
                    {"maps", maps},
                    {"texture", t ? json(Text(Get(t->FromFileName))) : json(nullptr)}});
  }
  return list;
}

json Meshes(const file_info* info) {
  json list = json::array();
  mesh** meshes = Get(info->Meshes);
  for (int32_t i = 0; i < Get(info->MeshCount) && meshes; ++i) {
    const mesh* m = meshes[i];
    if (!m) continue;
    // A mesh stored by reference only carries its name and bindings.
    json entry = {{"name", Text(Get(m->Name))}};
    const vertex_data* vertices = Get(m->PrimaryVertexData);
    const tri_topology* topology = Get(m->PrimaryTopology);
    if (vertices) entry["vertices"] = Get(vertices->Vertices).Count;
    if (topology) {
      entry["triangles"] = (Get(topology->IndexCount) + Get(topology->Index16Count)) / 3;
      entry["indexBits"] = Get(topology->Index16Count) > 0 ? 16 : 32;
    }
    entry["boneBindings"] = Get(m->BoneBindingCount);
    entry["morphTargets"] = Get(m->MorphTargetCount);
    entry["morphCurves"] = MorphCurves(vertices);
    list.push_back(entry);
  }
  return list;
}

json Animations(const file_info* info) {
  json list = json::array();
  animation** animations = Get(info->Animations);
  for (int32_t i = 0; i < Get(info->AnimationCount) && animations; ++i) {
    const animation* a = animations[i];
    if (!a) continue;
    // Each group by name, and the bytes its curves take.
    json groups = json::array();
    int64_t bytes = 0;
    for (int32_t g = 0; g < Get(a->TrackGroupCount); ++g) {
      const track_group* group = Get(a->TrackGroups)[g];
      if (!group) continue;
      groups.push_back(Text(Get(group->Name)));
      for (int32_t t = 0; t < Get(group->TransformTrackCount); ++t) {
        const transform_track& track = group->TransformTracks[t];
        bytes += GetCurveByteSize(&track.PositionCurve) +
                 GetCurveByteSize(&track.OrientationCurve) +
                 GetCurveByteSize(&track.ScaleShearCurve);
      }
      for (int32_t t = 0; t < Get(group->VectorTrackCount); ++t)
        bytes += GetCurveByteSize(&group->VectorTracks[t].ValueCurve);
    }
    list.push_back({{"name", Text(Get(a->Name))},
                    {"duration", Get(a->Duration)},
                    {"timeStep", Get(a->TimeStep)},
                    {"trackGroupCount", Get(a->TrackGroupCount)},
                    {"trackGroups", groups},
                    {"curveBytes", bytes}});
  }
  return list;
}

// What a file of the standard root type holds: the objects a technical
// artist looks for. Null for files of another root type.
json Contents(const ketrel_file* file) {
  if (!file->RootObject || !DataTypesAreEqualWithNames(file->RootType, FileInfoType)) {
    return nullptr;
  }
  const auto* info = static_cast<const file_info*>(file->RootObject);
  json skeletons = json::array();
  skeleton** list = Get(info->Skeletons);
  for (int32_t i = 0; i < Get(info->SkeletonCount) && list; ++i) {
    if (const skeleton* s = list[i])
      skeletons.push_back({{"name", Text(Get(s->Name))}, {"bones", Get(s->BoneCount)}});
  }
  return {{"textures", Textures(info)},
          {"materials", Materials(info)},
          {"skeletons", skeletons},
          {"meshes", Meshes(info)},
          {"animations", Animations(info)}};
}

// Fills `facts`; false when the file is not whole and valid.
bool GatherInfo(const void* bytes, size_t size, json& facts) {
  file_image image;
  if (!OpenFileImage(bytes, size, &image)) {
    facts["valid"] = false;
    facts["result"] = "not a valid KT2 file";
    return false;
  }
  const file_header& h = image.Header;
  facts["magic"] = {image.MagicValue[0], image.MagicValue[1], image.MagicValue[2],
                    image.MagicValue[3]};
  facts["platform"] = GetPlatformName(image.Platform.Platform);
  facts["olderMagic"] = bool(image.OlderMagic);
  facts["headerSize"] = image.HeaderSize;
  facts["headerFormat"] = image.HeaderFormat;
  facts["version"] = h.Version;
  facts["totalSize"] = h.TotalSize;
  const uint32_t crc = ComputeFileImageCrc(&image);
  const bool crcMatches = crc == h.CRC;
  facts["crc"] = h.CRC;
  facts["crcMatches"] = crcMatches;
  facts["computedCrc"] = crc;
  facts["sectionArrayOffset"] = h.SectionArrayOffset;
  facts["sectionArrayCount"] = h.SectionArrayCount;
  facts["rootType"] = Reference(h.RootObjectTypeDefinition);
  facts["rootObject"] = Reference(h.RootObject);
  facts["typeTag"] = h.TypeTag;
  facts["extraTags"] = {h.ExtraTags[0], h.ExtraTags[1], h.ExtraTags[2], h.ExtraTags[3]};
  bool sectionsOk = true;
  json sections = json::array();
  for (uint32_t i = 0; i < image.SectionCount; ++i) {
    sections.push_back(Section(i, image.Sections[i].Header));
    if (!LoadFileImageSection(&image, i)) {
      sections.back()["damaged"] = true;
      sectionsOk = false;
    }
  }
  facts["sections"] = sections;
  CloseFileImage(&image);
  bool graphOk = false;
  facts["contents"] = nullptr;
  if (crcMatches && sectionsOk) {
    ketrel_file* file = ReadEntireFileFromMemory(bytes, size);
    graphOk = file != nullptr;
    if (file) facts["contents"] = Contents(file);
    FreeFile(file);
  }
  facts["valid"] = graphOk;
  facts["result"] = !crcMatches   ? "invalid: the CRC does not match"
                    : !sectionsOk ? "invalid: a section is damaged"
                    : !graphOk    ? "invalid: the object graph is damaged"
                                  : "valid";
  return graphOk;
}

// ---- The text form -------------------------------------------------------------

std::string ReferenceText(const json& reference) {
  return "section " + reference["section"].dump() + ", offset " + reference["offset"].dump();
}

std::string Str(const json& value) { return value.get<std::string>(); }

void PrintSection(std::ostream& out, const json& s) {
  out << "Section " << s["index"] << " \"" << Str(s["name"]) << "\"\n"
      << "  Compression        " << s["compression"] << " (" << Str(s["compressionName"]) << ")\n"
      << "  Data               " << s["dataSize"] << " bytes at " << s["dataOffset"] << "\n"
      << "  ExpandedDataSize   " << s["expandedDataSize"] << "\n"
      << "  Alignment          " << s["alignment"] << "\n"
      << "  First16BitOffset   " << s["first16BitOffset"] << "\n"
      << "  First8BitOffset    " << s["first8BitOffset"] << "\n"
      << "  Fixups             " << s["fixupCount"] << " at " << s["fixupOffset"] << "\n"
      << "  Marshallings       " << s["marshallingCount"] << " at " << s["marshallingOffset"]
      << "\n";
  if (s["damaged"].get<bool>()) out << "  DAMAGED (see the messages above)\n";
}

void PrintContents(std::ostream& out, const json& contents) {
  out << "Contents\n";
  out << "  Textures         " << contents["textures"].size() << "\n";
  for (const json& t : contents["textures"]) {
    char line[200];
    if (t["images"].get<int>() == 0) {
      std::snprintf(line, sizeof line, ": %d x %d, no pixels (stored by reference only)\n",
                    t["width"].get<int>(), t["height"].get<int>());
    } else {
      const int levels = t["mipLevels"].get<int>();
      std::snprintf(line, sizeof line, ": %d x %d, %s, %d mip level%s, %lld bytes\n",
                    t["width"].get<int>(), t["height"].get<int>(), Str(t["format"]).c_str(), levels,
                    levels == 1 ? "" : "s", t["pixelBytes"].get<long long>());
    }
    out << "    " << Str(t["file"]) << line;
  }
  out << "  Materials        " << contents["materials"].size() << "\n";
  for (const json& m : contents["materials"]) {
    out << "    " << Str(m["name"]) << ":";
    bool first = true;
    for (const json& map : m["maps"]) {
      out << (first ? " " : ", ") << Str(map["usage"]) << " -> "
          << (map["map"].is_null() ? "(none)" : Str(map["map"]));
      first = false;
    }
    if (first) out << " no maps";
    if (!m["texture"].is_null()) out << "; texture " << Str(m["texture"]);
    out << "\n";
  }
  out << "  Skeletons        " << contents["skeletons"].size() << "\n";
  for (const json& s : contents["skeletons"])
    out << "    " << Str(s["name"]) << ": " << s["bones"] << " bones\n";
  out << "  Meshes           " << contents["meshes"].size() << "\n";
  for (const json& m : contents["meshes"]) {
    out << "    " << Str(m["name"]) << ": ";
    if (m.contains("vertices")) out << m["vertices"] << " vertices, ";
    if (m.contains("triangles"))
      out << m["triangles"] << " triangles (" << m["indexBits"] << "-bit indices), ";
    if (!m.contains("vertices") && !m.contains("triangles")) out << "no data, ";
    out << m["boneBindings"] << " bone bindings, " << m["morphTargets"] << " morph targets\n";
    if (const json& curves = m["morphCurves"]; !curves.is_null()) {
      std::string names;
      for (const json& name : curves["sets"]) names += (names.empty() ? "" : ", ") + Str(name);
      char line[96];
      std::snprintf(line, sizeof line, " (%d vertices, %.3f s)\n", curves["vertices"].get<int>(),
                    curves["seconds"].get<double>());
      out << "      morph curves: " << names << line;
    }
  }
  out << "  Animations       " << contents["animations"].size() << "\n";
  for (const json& a : contents["animations"]) {
    char line[160];
    std::snprintf(line, sizeof line, ": %.3f s, time step %.4f s, %d track groups",
                  a["duration"].get<double>(), a["timeStep"].get<double>(),
                  a["trackGroupCount"].get<int>());
    out << "    " << Str(a["name"]) << line;
    std::string groups;
    for (const json& name : a["trackGroups"]) groups += (groups.empty() ? "" : ", ") + Str(name);
    if (!groups.empty()) out << " (" << groups << ")";
    out << ", " << a["curveBytes"] << " bytes of curves\n";
  }
}

void PrintInfoText(std::ostream& out, const json& facts) {
  out << "File               " << Str(facts["file"]) << " (" << facts["bytes"] << " bytes)\n";
  if (!facts.contains("magic")) {
    out << "Result             not a valid KT2 file (see the messages above)\n";
    return;
  }
  const json& magic = facts["magic"];
  out << "Magic              " << Hex(magic[0]) << " " << Hex(magic[1]) << " " << Hex(magic[2])
      << " " << Hex(magic[3]) << "\n"
      << "Platform           " << Str(facts["platform"])
      << (facts["olderMagic"].get<bool>() ? " (older magic value)" : "") << "\n"
      << "HeaderSize         " << facts["headerSize"] << "\n"
      << "HeaderFormat       " << facts["headerFormat"] << "\n"
      << "Version            " << facts["version"] << "\n"
      << "TotalSize          " << facts["totalSize"] << "\n"
      << "CRC                " << Hex(facts["crc"])
      << (facts["crcMatches"].get<bool>()
              ? " (matches)"
              : " (MISMATCH: the contents give " + Hex(facts["computedCrc"]) + ")")
      << "\n"
      << "SectionArrayOffset " << facts["sectionArrayOffset"] << "\n"
      << "SectionArrayCount  " << facts["sectionArrayCount"] << "\n"
      << "RootType           " << ReferenceText(facts["rootType"]) << "\n"
      << "RootObject         " << ReferenceText(facts["rootObject"]) << "\n"
      << "TypeTag            " << Hex(facts["typeTag"]) << "\n";
  const json& tags = facts["extraTags"];
  out << "ExtraTags          " << Hex(tags[0]) << " " << Hex(tags[1]) << " " << Hex(tags[2]) << " "
      << Hex(tags[3]) << "\n";
  for (const json& section : facts["sections"]) PrintSection(out, section);
  if (!facts["contents"].is_null()) PrintContents(out, facts["contents"]);
  out << "Result             " << Str(facts["result"]) << "\n";
}

}  // namespace

int RunInfo(const InfoOptions& options, std::ostream& out) {
  void* raw = nullptr;
  size_t size = 0;
  if (!ReadFileBytes(options.File.c_str(), &raw, &size)) {
    std::cerr << "ketrel info: cannot read " << options.File << "\n";
    return kExitFailed;
  }
  std::unique_ptr<void, void (*)(void*)> bytes(raw, FreeBlock);
  json facts = {{"file", options.File}, {"bytes", size}};
  const bool valid = GatherInfo(bytes.get(), size, facts);
  if (options.Json) {
    out << facts.dump(2) << "\n";
  } else {
    PrintInfoText(out, facts);
  }
  return valid ? kExitOk : kExitFailed;
}

void AddInfoCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command =
      app.add_subcommand("info", "Show a KT2 file's header and sections and check its CRC");
  command->add_option("file", options->File, "The KT2 file")->required();
  command->add_flag("--json", options->Json, "Print the same facts as one JSON object");
  command->callback([options, &exitCode] { exitCode = RunInfo(*options, std::cout); });
}

}  // namespace ketrel::cli
