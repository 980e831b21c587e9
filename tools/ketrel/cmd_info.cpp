// `ketrel info`: the file's opening and sections as stored, what it holds,
// and a verdict.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

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

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", value);
  return text;
}

std::string Reference(const file_reference& reference) {
  return "section " + std::to_string(reference.SectionIndex) + ", offset " +
         std::to_string(reference.Offset);
}

void PrintSection(std::ostream& out, uint32_t index, const file_section_header& s) {
  out << "Section " << index << " \"" << GetStandardSectionName(index) << "\"\n"
      << "  Compression        " << s.Compression << " (" << CompressionName(s.Compression) << ")\n"
      << "  Data               " << s.DataSize << " bytes at " << s.DataOffset << "\n"
      << "  ExpandedDataSize   " << s.ExpandedDataSize << "\n"
      << "  Alignment          " << s.Alignment << "\n"
      << "  First16BitOffset   " << s.First16BitOffset << "\n"
      << "  First8BitOffset    " << s.First8BitOffset << "\n"
      << "  Fixups             " << s.FixupCount << " at " << s.FixupOffset << "\n"
      << "  Marshallings       " << s.MarshallingCount << " at " << s.MarshallingOffset << "\n";
}

// Takes the member by value: a packed record's member may be misaligned for
// a reference.
template <typename T>
T Get(T member) {
  return member;
}

const char* Text(const char* name) { return name ? name : "(unnamed)"; }

// The mesh's vertex morph curve sets, as "morph curves: Position, Normal (12
// vertices, 1.000 s)"; nothing for a mesh without them. The span is the
// latest end of any of the curves.
void PrintMorphCurves(std::ostream& out, const vertex_data* vertices) {
  constexpr char kPrefix[] = "VertexMorphCurve";
  const int32_t count = vertices ? Get(vertices->VertexAnnotationSetCount) : 0;
  const vertex_annotation_set* sets = vertices ? Get(vertices->VertexAnnotationSets) : nullptr;
  std::string names;
  int32_t curveCount = 0;
  float span = 0.0f;
  for (int32_t s = 0; s < count && sets; ++s) {
    const char* name = Get(sets[s].Name);
    const variant_array curves = Get(sets[s].VertexAnnotations);
    if (!name || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0 || !curves.Type ||
        !DataTypesAreEqualWithNames(curves.Type, Curve2Type)) {
      continue;
    }
    names += (names.empty() ? "" : ", ") + std::string(name + sizeof kPrefix - 1);
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
  if (names.empty()) return;
  char line[96];
  std::snprintf(line, sizeof line, " (%d vertices, %.3f s)\n", int(curveCount), double(span));
  out << "      morph curves: " << names << line;
}

// One line per texture: its file, size, encoding, levels and pixel bytes.
void PrintTextures(std::ostream& out, const file_info* info) {
  const int32_t count = Get(info->TextureCount);
  texture** list = Get(info->Textures);
  out << "  Textures         " << count << "\n";
  for (int32_t i = 0; i < count && list; ++i) {
    const texture* t = list[i];
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
    char line[200];
    if (imageCount == 0) {
      std::snprintf(line, sizeof line, ": %d x %d, no pixels (stored by reference only)\n",
                    int(Get(t->Width)), int(Get(t->Height)));
    } else {
      std::snprintf(line, sizeof line, ": %d x %d, %s, %d mip level%s, %lld bytes\n",
                    int(Get(t->Width)), int(Get(t->Height)), format.c_str(), int(levels),
                    levels == 1 ? "" : "s", static_cast<long long>(bytes));
    }
    out << "    " << Text(Get(t->FromFileName)) << line;
  }
}

// One line per material: its maps (slot -> material) and its texture.
void PrintMaterials(std::ostream& out, const file_info* info) {
  const int32_t count = Get(info->MaterialCount);
  material** list = Get(info->Materials);
  out << "  Materials        " << count << "\n";
  for (int32_t i = 0; i < count && list; ++i) {
    const material* m = list[i];
    if (!m) continue;
    out << "    " << Text(Get(m->Name)) << ":";
    const material_map* maps = Get(m->Maps);
    const int32_t mapCount = maps ? Get(m->MapCount) : 0;
    for (int32_t k = 0; k < mapCount; ++k) {
      const material* target = Get(maps[k].Map);
      out << (k ? ", " : " ") << Text(Get(maps[k].Usage)) << " -> "
          << (target ? Text(Get(target->Name)) : "(none)");
    }
    if (mapCount == 0) out << " no maps";
    if (const texture* t = Get(m->Texture)) out << "; texture " << Text(Get(t->FromFileName));
    out << "\n";
  }
}

// What a file of the standard root type holds, one line per object a
// technical artist looks for.
void PrintContents(std::ostream& out, const ketrel_file* file) {
  if (!file->RootObject || !DataTypesAreEqualWithNames(file->RootType, FileInfoType)) return;
  const auto* info = static_cast<const file_info*>(file->RootObject);
  out << "Contents\n";
  PrintTextures(out, info);
  PrintMaterials(out, info);
  int32_t skeletons = Get(info->SkeletonCount);
  skeleton** skeletonList = Get(info->Skeletons);
  out << "  Skeletons        " << skeletons << "\n";
  for (int32_t i = 0; i < skeletons; ++i) {
    const skeleton* s = skeletonList[i];
    if (s) out << "    " << Text(Get(s->Name)) << ": " << Get(s->BoneCount) << " bones\n";
  }
  int32_t meshes = Get(info->MeshCount);
  mesh** meshList = Get(info->Meshes);
  out << "  Meshes           " << meshes << "\n";
  for (int32_t i = 0; i < meshes; ++i) {
    const mesh* m = meshList[i];
    if (!m) continue;
    out << "    " << Text(Get(m->Name)) << ": ";
    const vertex_data* vertices = Get(m->PrimaryVertexData);
    const tri_topology* topology = Get(m->PrimaryTopology);
    if (vertices) {
      variant_array array = Get(vertices->Vertices);
      out << array.Count << " vertices, ";
    }
    if (topology) {
      int32_t indices = Get(topology->IndexCount) + Get(topology->Index16Count);
      out << indices / 3 << " triangles (" << (Get(topology->Index16Count) > 0 ? "16" : "32")
          << "-bit indices), ";
    }
    // A mesh stored by reference only carries its name and bindings.
    if (!vertices && !topology) out << "no data, ";
    out << Get(m->BoneBindingCount) << " bone bindings, " << Get(m->MorphTargetCount)
        << " morph targets\n";
    PrintMorphCurves(out, vertices);
  }
  int32_t animations = Get(info->AnimationCount);
  animation** animationList = Get(info->Animations);
  out << "  Animations       " << animations << "\n";
  for (int32_t i = 0; i < animations; ++i) {
    const animation* a = animationList[i];
    if (!a) continue;
    char line[160];
    std::snprintf(line, sizeof line, ": %.3f s, time step %.4f s, %d track groups",
                  double(Get(a->Duration)), double(Get(a->TimeStep)), int(Get(a->TrackGroupCount)));
    out << "    " << Text(Get(a->Name)) << line;
    // Each group by name, and the bytes its curves take.
    std::string groups;
    int64_t bytes = 0;
    for (int32_t g = 0; g < Get(a->TrackGroupCount); ++g) {
      const track_group* group = Get(a->TrackGroups)[g];
      if (!group) continue;
      groups += std::string(groups.empty() ? "" : ", ") + Text(Get(group->Name));
      for (int32_t t = 0; t < Get(group->TransformTrackCount); ++t) {
        const transform_track& track = group->TransformTracks[t];
        bytes += GetCurveByteSize(&track.PositionCurve) +
                 GetCurveByteSize(&track.OrientationCurve) +
                 GetCurveByteSize(&track.ScaleShearCurve);
      }
      for (int32_t t = 0; t < Get(group->VectorTrackCount); ++t)
        bytes += GetCurveByteSize(&group->VectorTracks[t].ValueCurve);
    }
    if (!groups.empty()) out << " (" << groups << ")";
    out << ", " << bytes << " bytes of curves\n";
  }
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
  out << "File               " << options.File << " (" << size << " bytes)\n";
  file_image image;
  if (!OpenFileImage(bytes.get(), size, &image)) {
    out << "Result             not a valid KT2 file (see the messages above)\n";
    return kExitFailed;
  }
  const file_header& h = image.Header;
  out << "Magic              " << Hex(image.MagicValue[0]) << " " << Hex(image.MagicValue[1]) << " "
      << Hex(image.MagicValue[2]) << " " << Hex(image.MagicValue[3]) << "\n"
      << "Platform           " << GetPlatformName(image.Platform.Platform)
      << (image.OlderMagic ? " (older magic value)" : "") << "\n"
      << "HeaderSize         " << image.HeaderSize << "\n"
      << "HeaderFormat       " << image.HeaderFormat << "\n"
      << "Version            " << h.Version << "\n"
      << "TotalSize          " << h.TotalSize << "\n";
  uint32_t crc = ComputeFileImageCrc(&image);
  bool crcMatches = crc == h.CRC;
  out << "CRC                " << Hex(h.CRC)
      << (crcMatches ? " (matches)" : " (MISMATCH: the contents give " + Hex(crc) + ")") << "\n"
      << "SectionArrayOffset " << h.SectionArrayOffset << "\n"
      << "SectionArrayCount  " << h.SectionArrayCount << "\n"
      << "RootType           " << Reference(h.RootObjectTypeDefinition) << "\n"
      << "RootObject         " << Reference(h.RootObject) << "\n"
      << "TypeTag            " << Hex(h.TypeTag) << "\n"
      << "ExtraTags          " << Hex(h.ExtraTags[0]) << " " << Hex(h.ExtraTags[1]) << " "
      << Hex(h.ExtraTags[2]) << " " << Hex(h.ExtraTags[3]) << "\n";
  bool sectionsOk = true;
  for (uint32_t i = 0; i < image.SectionCount; ++i) {
    PrintSection(out, i, image.Sections[i].Header);
    if (!LoadFileImageSection(&image, i)) {
      out << "  DAMAGED (see the messages above)\n";
      sectionsOk = false;
    }
  }
  CloseFileImage(&image);
  bool graphOk = false;
  if (crcMatches && sectionsOk) {
    ketrel_file* file = ReadEntireFileFromMemory(bytes.get(), size);
    graphOk = file != nullptr;
    if (file) PrintContents(out, file);
    FreeFile(file);
  }
  const char* verdict = !crcMatches   ? "invalid: the CRC does not match"
                        : !sectionsOk ? "invalid: a section is damaged"
                        : !graphOk    ? "invalid: the object graph is damaged"
                                      : "valid";
  out << "Result             " << verdict << "\n";
  return graphOk ? kExitOk : kExitFailed;
}

void AddInfoCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command =
      app.add_subcommand("info", "Show a KT2 file's header and sections and check its CRC");
  command->add_option("file", options->File, "The KT2 file")->required();
  command->callback([options, &exitCode] { exitCode = RunInfo(*options, std::cout); });
}

}  // namespace ketrel::cli
