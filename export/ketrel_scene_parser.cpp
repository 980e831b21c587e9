#include "export/ketrel_scene_parser.h"

#include <cstddef>
#include <cstring>

#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_string_table.h"

namespace ketrel {
namespace {

// Where each list lives in the file_info: its count and its pointer array.
// The record is packed, so both are read and written through their bytes.
struct FileListPlace {
  size_t countOffset;
  size_t arrayOffset;
  const char* what;
};
constexpr FileListPlace kFileLists[kFileListCount] = {
    {offsetof(file_info, TextureCount), offsetof(file_info, Textures), "texture"},
    {offsetof(file_info, MaterialCount), offsetof(file_info, Materials), "material"},
    {offsetof(file_info, SkeletonCount), offsetof(file_info, Skeletons), "skeleton"},
    {offsetof(file_info, VertexDataCount), offsetof(file_info, VertexDatas), "vertex data"},
    {offsetof(file_info, TriTopologyCount), offsetof(file_info, TriTopologies), "topology"},
    {offsetof(file_info, MeshCount), offsetof(file_info, Meshes), "mesh"},
    {offsetof(file_info, ModelCount), offsetof(file_info, Models), "model"},
    {offsetof(file_info, TrackGroupCount), offsetof(file_info, TrackGroups), "track group"},
    {offsetof(file_info, AnimationCount), offsetof(file_info, Animations), "animation"},
};

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

bool ReserveFileList(SceneParser* parser, FileList list, int32_t count) {
  if (!parser || !parser->info) return false;
  const FileListPlace& place = kFileLists[int32_t(list)];
  void* array = nullptr;
  if (count > 0) {
    array = KT_PARSER_ALLOCATE(parser, sizeof(void*) * size_t(count));
    if (!array) return false;
  }
  auto* bytes = reinterpret_cast<unsigned char*>(parser->info);
  std::memcpy(bytes + place.arrayOffset, &array, sizeof array);
  parser->capacity[int32_t(list)] = array ? count : 0;
  return true;
}

bool AppendToFileList(SceneParser* parser, FileList list, void* object) {
  if (!parser || !parser->info || !object) return false;
  const FileListPlace& place = kFileLists[int32_t(list)];
  auto* bytes = reinterpret_cast<unsigned char*>(parser->info);
  int32_t count = 0;
  unsigned char* array = nullptr;
  std::memcpy(&count, bytes + place.countOffset, sizeof count);
  std::memcpy(&array, bytes + place.arrayOffset, sizeof array);
  const int32_t capacity = parser->capacity[int32_t(list)];
  if (count < 0 || count >= capacity || !array) {
    KT_LOG_ERROR(Export, "No room left for another %s (%d of %d)", place.what, count, capacity);
    return false;
  }
  std::memcpy(array + sizeof(void*) * size_t(count), &object, sizeof object);
  ++count;
  std::memcpy(bytes + place.countOffset, &count, sizeof count);
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

}  // namespace ketrel
