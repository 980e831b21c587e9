#include "export/ketrel_scene_parser.h"

#include <cstdio>
#include <cstring>

#include "export/ketrel_animation_conversion.h"
#include "export/ketrel_basis_conversion.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_mesh_conversion.h"
#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_skeleton_conversion.h"
#include "export/ketrel_texture_conversion.h"
#include "export/ketrel_version.h"
#include "rt/ketrel_data_tree_writer.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_string_table.h"
#include "rt/ketrel_variant_builder.h"

namespace ketrel {
namespace {

constexpr uint32_t kDefaultTypeSection = 6;
constexpr uint32_t kDefaultObjectSection = 0;
constexpr size_t kAttachPieceSize = 4096;

// File records are packed, so their members are only ever read and written
// by value, never bound to references.
bool CanAppend(int32_t count, const void* array, int32_t capacity, const void* object,
               const char* what) {
  if (!object) return false;
  if (count < 0 || count >= capacity || !array) {
    KT_LOG_ERROR(Export, "No room left for another %s (%d of %d)", what, count, capacity);
    return false;
  }
  return true;
}

template <typename T>
T** NewPointerArray(SceneParser* parser, int32_t count, int32_t& capacity, bool& ok) {
  capacity = 0;
  if (!ok || count <= 0) return nullptr;
  auto** array = static_cast<T**>(KT_PARSER_ALLOCATE(parser, sizeof(T*) * size_t(count)));
  ok = array != nullptr;
  if (ok) capacity = count;
  return array;
}

// A section chosen by a placement combobox, or `fallback` for "(allow
// default placement)" or anything out of range.
uint32_t PlacementSection(const SettingsItem* file, uint32_t comboboxId, uint32_t fallback) {
  uint32_t choice = GetSettingChoice(file, comboboxId);
  if (choice >= setting::SectionPlacementBase &&
      choice < setting::SectionPlacementBase + kStandardSectionCount) {
    return choice - setting::SectionPlacementBase;
  }
  return fallback;
}

bool Continue(const SceneParser* parser) { return ProgressShouldContinue(parser->progress); }

// The steps the progress bar counts (textures, models twice, materials,
// meshes, three for packaging, one per animation node).
int32_t CountProgressSteps(const NodeGraph* graph) {
  return graph->TextureCount + 2 * graph->ModelCount + graph->MaterialCount + graph->MeshCount + 3 +
         graph->AnimationCount;
}

art_tool_info* BuildArtToolInfo(SceneParser* parser) {
  auto* info = static_cast<art_tool_info*>(KT_PARSER_ALLOCATE(parser, sizeof(art_tool_info)));
  if (!info) return nullptr;
  MakeEmptyDataTypeObject(ArtToolInfoType, info);
  info->FromArtToolName = InternString(parser, "3D Studio MAX");
  info->ArtToolMajorRevision = 20;
  info->ArtToolMinorRevision = 0;
  info->ArtToolPointerSize = 64;
  double unit = parser->tool->GetSystemUnitInMeters();
  info->UnitsPerMeter = unit > 0 ? float(1.0 / unit) : 1.0f;
  const float right[3] = {1, 0, 0}, up[3] = {0, 0, 1}, back[3] = {0, -1, 0};
  std::memcpy(info->RightVector, right, sizeof right);
  std::memcpy(info->UpVector, up, sizeof up);
  std::memcpy(info->BackVector, back, sizeof back);
  return info;
}

exporter_info* BuildExporterInfo(SceneParser* parser) {
  auto* info = static_cast<exporter_info*>(KT_PARSER_ALLOCATE(parser, sizeof(exporter_info)));
  if (!info) return nullptr;
  MakeEmptyDataTypeObject(ExporterInfoType, info);
  info->ExporterName = InternString(parser, "Ketrel Standard Exporter, SDK version 2.11.8.0");
  info->ExporterMajorRevision = 2;
  info->ExporterMinorRevision = 11;
  info->ExporterCustomization = 0;
  info->ExporterBuildNumber = 8;
  return info;
}

// Reads the attach file whole into the arena. A file that cannot be opened
// is no error (ExtendedData stays as it is); a read error is.
bool AttachFile(SceneParser* parser, const char* attachFileName) {
  std::FILE* file = std::fopen(attachFileName, "rb");
  if (!file) return true;
  // The length is found by reading, so pipes and special files work too.
  size_t length = 0;
  bool readError = false;
  char piece[kAttachPieceSize];
  for (;;) {
    size_t got = std::fread(piece, 1, sizeof piece, file);
    length += got;
    if (got < sizeof piece) {
      readError = std::ferror(file) != 0;
      break;
    }
  }
  unsigned char* contents = nullptr;
  if (!readError && length > 0x7fffffffu) {
    KT_LOG_ERROR(Export, "Attach file %s is too large (%llu bytes)", attachFileName,
                 static_cast<unsigned long long>(length));
    std::fclose(file);
    return false;
  }
  if (!readError) {
    contents = static_cast<unsigned char*>(KT_PARSER_ALLOCATE(parser, length ? length : 1));
    std::rewind(file);
    readError = !contents || std::fread(contents, 1, length, file) != length;
  }
  std::fclose(file);
  if (readError) {
    KT_LOG_ERROR(Export, "Unable to read attach file %s", attachFileName);
    return false;
  }

  variant_builder* builder = BeginVariant(parser->strings);
  if (!builder) return false;
  bool ok = AddStringMember(builder, "Filename", attachFileName);
  ok = ok &&
       AddReferenceToArrayMember(builder, "FileContents", UInt8Type, int32_t(length), contents);
  if (!ok) {
    AbortVariant(builder);
    return false;
  }
  void* typeMemory = KT_PARSER_ALLOCATE(parser, size_t(GetResultingVariantTypeSize(builder)));
  void* objectMemory = KT_PARSER_ALLOCATE(parser, size_t(GetResultingVariantObjectSize(builder)));
  data_type_definition* type = nullptr;
  void* object = nullptr;
  if (!EndVariant(builder, typeMemory, objectMemory, &type, &object)) return false;
  parser->info->ExtendedData.Type = type;
  parser->info->ExtendedData.Object = object;
  return true;
}

void PlaceSections(SceneParser* parser, file_data_tree_writer* writer, const SettingsItem* file) {
  for (int32_t i = 0; i < GetStandardTypeCount(); ++i) {
    const standard_type_entry* entry = GetStandardType(i);
    uint32_t section = PlacementSection(file, entry->Identifier, ~0u);
    if (section != ~0u) SetFileSectionForObjectsOfType(writer, entry->Type, section);
  }
  (void)parser;
}

}  // namespace

uint32_t GetFilePlacement(const SceneParser* parser, uint32_t comboboxId, uint32_t fallback) {
  const SettingsItem* file =
      parser && parser->settings ? FindChildItem(parser->settings, "File") : nullptr;
  return PlacementSection(file, comboboxId, fallback);
}

const char* InternString(SceneParser* parser, const char* text) {
  if (!parser || !text) return nullptr;
  return MapString(parser->strings, text);
}

void* ParserAllocate(SceneParser* parser, size_t size, const char* file, int line) {
  if (!parser) return nullptr;
  return ArenaAllocate(parser->arena, size, 16, file, line);
}

bool AppendTexture(SceneParser* p, texture* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->TextureCount, p->info->Textures, p->textureCapacity, o, "texture")) {
    return false;
  }
  p->info->Textures[p->info->TextureCount] = o;
  p->info->TextureCount = p->info->TextureCount + 1;
  return true;
}
bool AppendMaterial(SceneParser* p, material* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->MaterialCount, p->info->Materials, p->materialCapacity, o, "material")) {
    return false;
  }
  p->info->Materials[p->info->MaterialCount] = o;
  p->info->MaterialCount = p->info->MaterialCount + 1;
  return true;
}
bool AppendSkeleton(SceneParser* p, skeleton* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->SkeletonCount, p->info->Skeletons, p->skeletonCapacity, o, "skeleton")) {
    return false;
  }
  p->info->Skeletons[p->info->SkeletonCount] = o;
  p->info->SkeletonCount = p->info->SkeletonCount + 1;
  return true;
}
bool AppendVertexData(SceneParser* p, vertex_data* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->VertexDataCount, p->info->VertexDatas, p->vertexDataCapacity, o,
                 "vertex data")) {
    return false;
  }
  p->info->VertexDatas[p->info->VertexDataCount] = o;
  p->info->VertexDataCount = p->info->VertexDataCount + 1;
  return true;
}
bool AppendTriTopology(SceneParser* p, tri_topology* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->TriTopologyCount, p->info->TriTopologies, p->triTopologyCapacity, o,
                 "topology")) {
    return false;
  }
  p->info->TriTopologies[p->info->TriTopologyCount] = o;
  p->info->TriTopologyCount = p->info->TriTopologyCount + 1;
  return true;
}
bool AppendMesh(SceneParser* p, mesh* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->MeshCount, p->info->Meshes, p->meshCapacity, o, "mesh")) {
    return false;
  }
  p->info->Meshes[p->info->MeshCount] = o;
  p->info->MeshCount = p->info->MeshCount + 1;
  return true;
}
bool AppendModel(SceneParser* p, model* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->ModelCount, p->info->Models, p->modelCapacity, o, "model")) {
    return false;
  }
  p->info->Models[p->info->ModelCount] = o;
  p->info->ModelCount = p->info->ModelCount + 1;
  return true;
}
bool AppendTrackGroup(SceneParser* p, track_group* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->TrackGroupCount, p->info->TrackGroups, p->trackGroupCapacity, o,
                 "track group")) {
    return false;
  }
  p->info->TrackGroups[p->info->TrackGroupCount] = o;
  p->info->TrackGroupCount = p->info->TrackGroupCount + 1;
  return true;
}
bool AppendAnimation(SceneParser* p, animation* o) {
  if (!p || !p->info ||
      !CanAppend(p->info->AnimationCount, p->info->Animations, p->animationCapacity, o,
                 "animation")) {
    return false;
  }
  p->info->Animations[p->info->AnimationCount] = o;
  p->info->AnimationCount = p->info->AnimationCount + 1;
  return true;
}

SceneParser* BeginSceneParse(ToolInterface* tool) {
  if (!KT_CHECK_PARAMETER(Export, tool != nullptr)) return nullptr;
  Arena* arena = NewArena(256 * 1024);
  string_table* strings = arena ? NewArenaStringTable(ArenaAllocator(arena)) : nullptr;
  NodeGraph* graph = strings ? tool->GetNodeGraph() : nullptr;
  if (!arena || !strings || !graph) {
    KT_LOG_ERROR(Export, "Unable to create arena, string table builder and scene graph");
    if (graph) tool->ReleaseNodeGraph(graph);
    FreeStringTable(strings);
    FreeArena(arena);
    return nullptr;
  }
  auto* parser = static_cast<SceneParser*>(KT_ALLOCATE(sizeof(SceneParser)));
  SettingsItem* settings = parser ? BuildSettingsHierarchy(*tool, graph) : nullptr;
  if (!settings) {
    KT_LOG_ERROR(Export, "Unable to create arena, string table builder and scene graph");
    FreeBlock(parser);
    tool->ReleaseNodeGraph(graph);
    FreeStringTable(strings);
    FreeArena(arena);
    return nullptr;
  }
  new (parser) SceneParser;
  parser->arena = arena;
  parser->strings = strings;
  parser->tool = tool;
  parser->graph = graph;
  parser->settings = settings;
  return parser;
}

void ReleaseSceneData(SceneParser* parser) {
  if (!parser) return;
  FreeStringTable(parser->strings);
  FreeArena(parser->arena);
  parser->strings = nullptr;
  parser->arena = nullptr;
  parser->info = nullptr;
}

void EndSceneParse(SceneParser* parser) {
  if (!parser) return;
  // Graph nodes point at settings items: release the graph first.
  parser->tool->ReleaseNodeGraph(parser->graph);
  DestroySettingsItem(parser->settings);
  ReleaseSceneData(parser);
  parser->~SceneParser();
  FreeBlock(parser);
}

bool ConvertScene(SceneParser* parser, const char* attachFileName, file_builder* builder,
                  ProgressWindow* progress) {
  if (!KT_CHECK_PARAMETER(Export, parser && builder)) return false;
  parser->progress = progress;
  NodeGraph* graph = parser->graph;
  const SettingsItem* file = FindChildItem(parser->settings, "File");

  // 1. The writer and a cleared file_info.
  parser->info = static_cast<file_info*>(KT_PARSER_ALLOCATE(parser, sizeof(file_info)));
  file_data_tree_writer* writer =
      parser->info ? BeginFileDataTreeWriting(FileInfoType, parser->info,
                                              PlacementSection(file, 125, kDefaultTypeSection),
                                              PlacementSection(file, 126, kDefaultObjectSection))
                   : nullptr;
  if (!writer) {
    KT_LOG_ERROR(Export, "Unable to begin file data tree writing");
    return false;
  }
  MakeEmptyDataTypeObject(FileInfoType, parser->info);
  file_info* info = parser->info;
  parser->writer = writer;

  // 2. Room for what the phases add. Track groups: one per animation for
  // every model and every morph source.
  int32_t trackGroups = graph->AnimationCount * (graph->ModelCount + graph->MorphSourceCount);
  bool ok = true;
  info->Textures =
      NewPointerArray<texture>(parser, graph->TextureCount, parser->textureCapacity, ok);
  info->Materials =
      NewPointerArray<material>(parser, graph->MaterialCount, parser->materialCapacity, ok);
  info->Skeletons =
      NewPointerArray<skeleton>(parser, graph->ModelCount, parser->skeletonCapacity, ok);
  info->Models = NewPointerArray<model>(parser, graph->ModelCount, parser->modelCapacity, ok);
  info->Meshes = NewPointerArray<mesh>(parser, graph->MeshCount, parser->meshCapacity, ok);
  // Vertex data: one per mesh and one per morph target.
  info->VertexDatas = NewPointerArray<vertex_data>(parser, CountMeshVertexDatas(parser),
                                                   parser->vertexDataCapacity, ok);
  info->TriTopologies =
      NewPointerArray<tri_topology>(parser, graph->MeshCount, parser->triTopologyCapacity, ok);
  info->TrackGroups = NewPointerArray<track_group>(parser, trackGroups + graph->AnimationCount,
                                                   parser->trackGroupCapacity, ok);
  info->Animations =
      NewPointerArray<animation>(parser, graph->AnimationCount, parser->animationCapacity, ok);

  // 3-4. Art tool and exporter information.
  art_tool_info* artTool = ok ? BuildArtToolInfo(parser) : nullptr;
  exporter_info* exporter = nullptr;
  ok = ok && artTool;
  if (ok && GetSettingBool(file, setting::IncludeExporterInfo)) {
    exporter = BuildExporterInfo(parser);
    ok = exporter != nullptr;
  }
  if (ok) info->FromFileName = InternString(parser, parser->tool->GetSceneFileName());

  // 5. Progress and time.
  SetProgressStepTotal(progress, CountProgressSteps(graph));
  parser->tool->SetSampleTimeToStart();

  // 6. The phases, in their fixed order.
  if (ok) {
    ProgressStage(progress, "Textures");
    ok = ConvertTextures(parser);
  }
  if (ok) {
    ProgressStage(progress, "Materials");
    ok = CreateMaterials(parser) && FillMaterials(parser);
  }
  if (ok) {
    ProgressStage(progress, "Skeletons");
    ok = ConvertSkeletons(parser);
  }
  if (ok) {
    ProgressStage(progress, "Meshes");
    ok = ConvertMeshes(parser);
  }
  if (ok) {
    ProgressStage(progress, "Models");
    ok = ConvertModels(parser);
  }
  if (ok) {
    ProgressStage(progress, "Animations");
    ok = ConvertAnimations(parser);
  }
  ok = ok && Continue(parser);

  // 7. The coordinate system and units the settings ask for.
  ok = ok && ConvertCoordinateSystem(parser, file, artTool);

  // 8. Which records the root keeps.
  if (ok) {
    info->ArtToolInfo = GetSettingBool(file, setting::IncludeArtToolData) ? artTool : nullptr;
    info->ExporterInfo = exporter;
  }

  // 9. Attach.
  if (ok && attachFileName && *attachFileName) ok = AttachFile(parser, attachFileName);

  // 10-11. Sections and flags.
  if (ok) {
    PlaceSections(parser, writer, file);
    SetFileDataTreeFlags(writer,
                         GetSettingBool(file, setting::IncludeTypeTable) ? 0u : ExcludeTypeTree);
  }

  // 12. Write unless cancelled.
  if (ok && Continue(parser)) {
    ProgressStage(progress, "I/O");
    ProgressItem(progress, "Writing file");
    ok = WriteDataTreeToFileBuilder(writer, builder);
  } else {
    ok = false;
  }
  EndFileDataTreeWriting(writer);
  parser->writer = nullptr;
  return ok;
}

}  // namespace ketrel
