#pragma once
// The conversion context of one export and the road through its phases.
//
// BeginSceneParse makes the export's arena, string table and settings tree
// over the tool's node graph; ConvertScene runs the phases in their fixed
// order (textures, materials, skeletons, meshes with morph targets, models,
// animations), converts the coordinate system, stores an attach file, places
// object types into sections and writes the data tree into a file builder;
// EndSceneParse releases everything. Every file object of the export lives in
// the parser's arena until EndSceneParse.

#include <cstdint>

#include "export/ketrel_progress.h"
#include "export/ketrel_tool_interface.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

struct string_table;
struct file_builder;
struct file_data_tree_writer;

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

  // Room in the file_info arrays; phases append with the Append* helpers below.
  int32_t textureCapacity = 0;
  int32_t materialCapacity = 0;
  int32_t skeletonCapacity = 0;
  int32_t vertexDataCapacity = 0;
  int32_t triTopologyCapacity = 0;
  int32_t meshCapacity = 0;
  int32_t modelCapacity = 0;
  int32_t trackGroupCapacity = 0;
  int32_t animationCapacity = 0;
};

// Null (after logging) when the arena, string table, graph or settings tree
// cannot be made; everything made so far is released.
SceneParser* BeginSceneParse(ToolInterface* tool);
// Accepts null.
void EndSceneParse(SceneParser* parser);
// Frees the data tree and the string table once the builder holds a copy of
// them, so that packaging the file reuses their memory. `info` becomes null.
void ReleaseSceneData(SceneParser* parser);

// Runs the phases and writes the data tree into `builder`. False when a step
// failed or the progress window was cancelled.
bool ConvertScene(SceneParser* parser, const char* attachFileName, file_builder* builder,
                  ProgressWindow* progress);

// The section a placement combobox of the file settings chooses, or
// `fallback` for "(allow default placement)".
uint32_t GetFilePlacement(const SceneParser* parser, uint32_t comboboxId, uint32_t fallback);

// Interns `text` in the export's string table (null stays null).
const char* InternString(SceneParser* parser, const char* text);

// Appends to the file_info arrays; false (logged) when the array is full.
bool AppendTexture(SceneParser* parser, texture* object);
bool AppendMaterial(SceneParser* parser, material* object);
bool AppendSkeleton(SceneParser* parser, skeleton* object);
bool AppendVertexData(SceneParser* parser, vertex_data* object);
bool AppendTriTopology(SceneParser* parser, tri_topology* object);
bool AppendMesh(SceneParser* parser, mesh* object);
bool AppendModel(SceneParser* parser, model* object);
bool AppendTrackGroup(SceneParser* parser, track_group* object);
bool AppendAnimation(SceneParser* parser, animation* object);

// Allocates `size` zeroed bytes from the export arena (16-byte aligned).
void* ParserAllocate(SceneParser* parser, size_t size, const char* file, int line);

}  // namespace ketrel

#define KT_PARSER_ALLOCATE(parser, size) \
  ::ketrel::ParserAllocate((parser), (size), __FILE__, __LINE__)
