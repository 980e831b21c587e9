#pragma once
// Items' extended data: the host properties the tool interface hands over as
// records (ketrel_tool_properties.h) become variants in the export's arena,
// hung off the item's `ExtendedData`.
//
// Each item asks through its own settings: "Include art tool specific data"
// (none at all when off) and "Only User Attributes" (the host's user-made
// part only). A record several items share (same identity) is built once and
// referred to by all. What the file cannot carry as given is written another
// way, never dropped in silence: a member name that repeats or is not valid
// UTF-8 is renamed, a number out of range is written as text, an array whose
// records differ in shape is written as text, each with a warning naming the
// item.

#include "export/ketrel_scene_parser.h"
#include "export/ketrel_tool_properties.h"

namespace ketrel {

// Each is true unless the export must stop (out of memory); an item without
// properties, or whose settings do not ask for them, keeps a null variant.
bool AttachBoneExtendedData(SceneParser* parser, BoneNode* node, variant* out);
bool AttachMeshExtendedData(SceneParser* parser, MeshNode* node, variant* out);
bool AttachMaterialExtendedData(SceneParser* parser, MaterialNode* node, variant* out);
// The document's properties, for the art tool info, asked by the file settings.
bool AttachSceneExtendedData(SceneParser* parser, variant* out);

// One record into a variant; `item` names the owner in warnings. An empty
// record leaves `out` null.
bool BuildExtendedData(SceneParser* parser, const ToolRecord& record, const char* item,
                       variant* out);

}  // namespace ketrel
