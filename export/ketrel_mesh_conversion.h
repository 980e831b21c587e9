#pragma once
// The meshes phase of an export: every included mesh node becomes a `mesh`
// with its `vertex_data`, `tri_topology`, bone bindings, material bindings
// and morph targets.
//
// A mesh goes through three calls: ConvertMesh (reads the host mesh through
// the tool interface and feeds the mesh builder), ExtractMorphFrame once per
// morph target (at the host time the caller has set), and FinishMesh (ends
// the builder into the arena and fixes up bounds, bindings, index width and
// winding). ConvertMeshes runs the whole phase in that order.
//
// Must run after the skeletons phase (bone `Index` and `Object` are final)
// and before the models phase, which binds `MeshNode::Object` into models.
//
// Vertices are in world space at the start of the animation range (the host
// gives them so); each bone binding's box is in the bone's space (the inverse
// of its world transform at the start). Without a skin a mesh is bound to its
// own bone node (or, with "Bind meshes to nearest parent", the nearest
// included ancestor).
//
// Per-triangle bone lists ("Include topology information"): the topology's
// `BonesForTriangle` holds, per triangle in output order, the number of
// bones whose vertices touch it; `TriangleToBoneIndices` holds those bone
// binding indices, ascending within a triangle, triangle after triangle.
//
// Vertex morph curves ("Create vertex morph curves", frame by frame): the
// frames are sampled as for morph targets but kept per vertex; after the
// last frame every vertex gets one fitted curve per set (position, normal,
// each colour and texture-coordinate channel), stored as vertex annotation
// sets of the primary vertex data ("VertexMorphCurvePosition", ...) whose
// annotations are `curve2` records, one per vertex in vertex order. Such a
// mesh has no morph targets.
//
// Left out: triangle and vertex annotations from the host (it has no
// annotation channels) and host properties as `ExtendedData` (the tool
// interface has no property query).
//
// Failures: a mesh whose host data cannot be read or is too large keeps its
// name and nothing else (logged). The phase itself fails when the progress
// window is cancelled or the file's arrays or memory run out (a mesh is never
// written short of data it should have).

#include <cstdint>

#include "export/ketrel_scene_parser.h"
#include "export/ketrel_tool_interface.h"

namespace ketrel {

struct MeshConversion;

// The most frame-by-frame morph targets a mesh may have in a scene of
// `meshCount` meshes: 65536, or max(1, 262144 / meshCount - 1) when
// meshCount x 65537 exceeds 262144, so that all frames of all meshes fit in
// 262144 slots.
int32_t ComputeMorphTargetLimit(int32_t meshCount);

// The number of morph targets ConvertMesh will give the node (clamped as it
// will be), 0 for a node that is not converted with data or that makes
// vertex morph curves instead. Logs nothing.
int32_t CountMeshMorphTargets(SceneParser* parser, const MeshNode* meshNode);
// Room the phase needs in `file_info::VertexDatas`: one per converted mesh
// plus one per morph target.
int32_t CountMeshVertexDatas(SceneParser* parser);

// Converts one mesh node: allocates the `mesh`, appends it to the file and
// sets `meshNode->Object`. `*record` receives the conversion record to pass
// to ExtractMorphFrame and FinishMesh, or null when the mesh carries nothing
// but its name (reference or data excluded, or its host data unusable).
// False only when the mesh could not be added to the file (out of memory or
// no room); `*record` is then null.
bool ConvertMesh(SceneParser* parser, ModelNode* modelNode, MeshNode* meshNode,
                 MeshConversion** record);

// The frames the record wants extracted (0 for none): its morph targets, or
// the samples of its vertex morph curves; and whether they come frame by
// frame (else from the morph modifier's channels).
int32_t GetMorphTargetCount(const MeshConversion* record);
bool IsFrameByFrameMorph(const MeshConversion* record);

// Extracts morph target `target` (0 .. count - 1) at the current host time:
// frame by frame the node's mesh, else the target mesh of morph channel
// `target`. With vertex morph curves the frame is sampled instead, and the
// last frame fits the curves (on the fitting workers). A frame whose vertex, face or map channel
// counts differ from the base mesh is refused (warning; the target repeats the base mesh). False
// only when memory or the file's arrays run out.
bool ExtractMorphFrame(SceneParser* parser, MeshConversion* record, int32_t target);

// Ends the mesh and frees the record (accepts null). False only when memory
// runs out.
bool FinishMesh(SceneParser* parser, MeshConversion* record);
// Frees a record without finishing it (a cancelled export). Accepts null.
void AbortMesh(MeshConversion* record);

// The "Meshes" phase: converts every included mesh node (newest first, one
// progress item each), extracts morph targets (modifier meshes target by
// target, then all frame-by-frame frames sorted by their place in the
// animation range, moving the host time only when it changes), finishes
// every mesh and sets the sample time back to the start. False when
// cancelled or when the file's arrays or the arena run out.
bool ConvertMeshes(SceneParser* parser);

}  // namespace ketrel
