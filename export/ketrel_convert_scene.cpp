#include "export/ketrel_convert_scene.h"
#include "export/ketrel_extended_data.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "export/ketrel_animation_conversion.h"
#include "export/ketrel_basis_conversion.h"
#include "export/ketrel_mesh_conversion.h"
#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_skeleton_conversion.h"
#include "export/ketrel_texture_conversion.h"
#include "export/ketrel_version.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_data_tree_writer.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_variant_builder.h"

namespace ketrel {
namespace {

constexpr uint32_t kDefaultTypeSection = 6;
constexpr uint32_t kDefaultObjectSection = 0;
constexpr size_t kAttachPieceSize = 4096;

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
  info->FromArtToolName = InternString(parser, parser->tool->GetArtToolName());
  int32_t major = 0, minor = 0;
  parser->tool->GetArtToolRevision(major, minor);
  info->ArtToolMajorRevision = major;
  info->ArtToolMinorRevision = minor;
  info->ArtToolPointerSize = 64;
  double unit = parser->tool->GetSystemUnitInMeters();
  info->UnitsPerMeter = unit > 0 ? float(1.0 / unit) : 1.0f;
  float right[3], up[3], back[3];
  parser->tool->GetAxisFrame(right, up, back);
  std::memcpy(info->RightVector, right, sizeof right);
  std::memcpy(info->UpVector, up, sizeof up);
  std::memcpy(info->BackVector, back, sizeof back);
  if (!AttachSceneExtendedData(parser, &info->ExtendedData)) return nullptr;
  return info;
}

exporter_info* BuildExporterInfo(SceneParser* parser) {
  auto* info = static_cast<exporter_info*>(KT_PARSER_ALLOCATE(parser, sizeof(exporter_info)));
  if (!info) return nullptr;
  MakeEmptyDataTypeObject(ExporterInfoType, info);
  info->ExporterName = InternString(parser, "Ketrel Standard Exporter, SDK version 2.11.8.0");
  info->ExporterMajorRevision = kExporterMajorRevision;
  info->ExporterMinorRevision = kExporterMinorRevision;
  info->ExporterCustomization = kExporterCustomization;
  info->ExporterBuildNumber = kExporterBuildNumber;
  return info;
}

// Reads the attach file whole into the arena. A file that cannot be opened
// is no error (ExtendedData stays as it is, and a warning says so); a read
// error is.
bool AttachFile(SceneParser* parser, const char* attachFileName) {
  std::FILE* file = std::fopen(attachFileName, "rb");
  if (!file) {
    KT_LOG_WARNING_CODE(Export, warning::AttachFileMissing, attachFileName,
                        "Attach file %s cannot be opened (%s); nothing is attached", attachFileName,
                        std::strerror(errno));
    return true;
  }
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

void PlaceSections(const SceneParser* parser, file_data_tree_writer* writer) {
  for (int32_t i = 0; i < GetStandardTypeCount(); ++i) {
    const standard_type_entry* entry = GetStandardType(i);
    uint32_t section = GetFilePlacement(parser, entry->Identifier, ~0u);
    if (section != ~0u) SetFileSectionForObjectsOfType(writer, entry->Type, section);
  }
}

}  // namespace

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
                                              GetFilePlacement(parser, 125, kDefaultTypeSection),
                                              GetFilePlacement(parser, 126, kDefaultObjectSection))
                   : nullptr;
  if (!writer) {
    KT_LOG_ERROR(Export, "Unable to begin file data tree writing");
    return false;
  }
  MakeEmptyDataTypeObject(FileInfoType, parser->info);
  file_info* info = parser->info;
  parser->writer = writer;

  // 2. Room for what the phases add. Track groups: one per animation for
  // every model and every morph source, and the animations' own.
  const int32_t trackGroups =
      graph->AnimationCount * (graph->ModelCount + graph->MorphSourceCount + 1);
  const int32_t rooms[kFileListCount] = {
      graph->TextureCount, graph->MaterialCount, graph->ModelCount,
      // Vertex data: one per mesh and one per morph target.
      CountMeshVertexDatas(parser), graph->MeshCount, graph->MeshCount, graph->ModelCount,
      trackGroups, graph->AnimationCount};
  bool ok = true;
  for (int32_t list = 0; list < kFileListCount && ok; ++list) {
    ok = ReserveFileList(parser, FileList(list), rooms[list]);
  }

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
    PlaceSections(parser, writer);
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
