#pragma once
// The conversion context of one export: what every phase reads and adds to.
//
// BeginSceneParse makes the export's arena, string table and settings tree
// over the tool's node graph; ConvertScene (ketrel_convert_scene.h) runs the
// phases; EndSceneParse releases everything. Every file object of the export
// lives in the parser's arena until EndSceneParse.

#include <cstdint>
#include <map>
#include <string>

#include "export/ketrel_progress.h"
#include "export/ketrel_tool_interface.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

struct string_table;
struct file_data_tree_writer;

// The lists of the file_info that phases add objects to.
enum class FileList : int32_t {
  Textures,
  Materials,
  Skeletons,
  VertexDatas,
  TriTopologies,
  Meshes,
  Models,
  TrackGroups,
  Animations,
};
inline constexpr int32_t kFileListCount = 9;

struct SceneParser {
  Arena* arena = nullptr;
  string_table* strings = nullptr;
  ToolInterface* tool = nullptr;       // not owned
  NodeGraph* graph = nullptr;          // handed back to the tool at the end
  SettingsItem* settings = nullptr;    // root of the settings tree
  ProgressWindow* progress = nullptr;  // may be null (silent)
  file_info* info = nullptr;           // in the arena, cleared
  // The writer ConvertScene writes the file_info with; phases place single
  // arrays into sections through it. Null outside ConvertScene.
  file_data_tree_writer* writer = nullptr;
  int32_t fitWorkers = 0;  // 0: as many as the machine has (FitWorkerCount)

  // Room made in each file_info list (FileList order); phases add with
  // AppendFileObject.
  int32_t capacity[kFileListCount] = {};
  // Extended data records shared by several items, by the host's identity of
  // the record: built once, referred to by all.
  std::map<const void*, variant> sharedExtendedData;
  // Their types by shape (member types, widths, names, nested types).
  std::map<std::string, data_type_definition*> sharedExtendedTypes;
};

// Null (after logging) when the arena, string table, graph or settings tree
// cannot be made; everything made so far is released.
SceneParser* BeginSceneParse(ToolInterface* tool);
// Accepts null.
void EndSceneParse(SceneParser* parser);
// Frees the data tree and the string table once the builder holds a copy of
// them, so that packaging the file reuses their memory. `info` becomes null.
void ReleaseSceneData(SceneParser* parser);

// Makes room for `count` objects in the file_info's `list` (none for 0).
// False (logged) when the arena is out of memory.
bool ReserveFileList(SceneParser* parser, FileList list, int32_t count);

// The section a placement combobox of the file settings chooses, or
// `fallback` for "(allow default placement)".
uint32_t GetFilePlacement(const SceneParser* parser, uint32_t comboboxId, uint32_t fallback);

// Interns `text` in the export's string table (null stays null).
const char* InternString(SceneParser* parser, const char* text);

// Adds `object` to the end of `list`; false (logged) when the room made for
// it is full, and for a null object.
bool AppendToFileList(SceneParser* parser, FileList list, void* object);

// The list each kind of object goes into, so that a phase cannot put an
// object into another kind's list.
constexpr FileList FileListOf(const texture*) { return FileList::Textures; }
constexpr FileList FileListOf(const material*) { return FileList::Materials; }
constexpr FileList FileListOf(const skeleton*) { return FileList::Skeletons; }
constexpr FileList FileListOf(const vertex_data*) { return FileList::VertexDatas; }
constexpr FileList FileListOf(const tri_topology*) { return FileList::TriTopologies; }
constexpr FileList FileListOf(const mesh*) { return FileList::Meshes; }
constexpr FileList FileListOf(const model*) { return FileList::Models; }
constexpr FileList FileListOf(const track_group*) { return FileList::TrackGroups; }
constexpr FileList FileListOf(const animation*) { return FileList::Animations; }

template <typename T>
bool AppendFileObject(SceneParser* parser, T* object) {
  return AppendToFileList(parser, FileListOf(object), object);
}

// Allocates `size` zeroed bytes from the export arena (16-byte aligned).
void* ParserAllocate(SceneParser* parser, size_t size, const char* file, int line);

}  // namespace ketrel

#define KT_PARSER_ALLOCATE(parser, size) \
  ::ketrel::ParserAllocate((parser), (size), __FILE__, __LINE__)
