#pragma once
// The per-mesh conversion record and the vertex layouts shared by the mesh
// conversion sources (building, morph targets, finishing). Not part of the
// exporter's interface.

#include <cstdint>

#include "export/ketrel_mesh_access.h"
#include "export/ketrel_mesh_conversion.h"
#include "rt/ketrel_mesh_builder.h"

namespace ketrel {

// The "Morph Targets" choices.
inline constexpr uint32_t kMorphNone = 239;
inline constexpr uint32_t kMorphModifier = 240;
inline constexpr uint32_t kMorphFrameByFrame = 241;

// The curve settings of one vertex morph curve set ("Position", "Normal",
// "Color", "Texture coordinate").
struct CurveSetOptions {
  int32_t Degree = 1;
  float Tolerance = 0.01f;
  float Jump = 0.2f;
  float Crease = 0.2f;
};

// Vertex morph curve sets in their order: position, normal, then every
// colour channel, then every texture-coordinate channel.
enum MorphCurveKind : int32_t { kCurvePosition, kCurveNormal, kCurveColor, kCurveTexCoord };

// Settings read once per mesh.
struct MeshOptions {
  bool DisableMerging = false;
  bool FullPath = false;
  bool PreserveBones = false;
  bool BindNearest = false;
  bool Truncate16 = false;
  bool Clockwise = false;
  bool DoubleTwoSided = false;
  uint32_t NormalFormat = 0;
  uint32_t ColorFormat = 0;
  bool AllowWeighting = false;
  int32_t BonesPerVertex = 1;
  uint32_t WeightFormat = 0;
  bool AlwaysSkinned = false;
  bool AllowCoords = false;
  int32_t CoordsPerVertex = 0;
  bool InsertDummyCoords = false;
  int32_t ElementsPerCoord = 2;
  bool FlipU = false;
  bool FlipV = false;
  bool AllowColors = false;
  int32_t ColorsPerVertex = 0;
  bool InsertDummyColors = false;
  bool ColorHeuristic = false;
  int32_t ElementsPerColor = 3;
  bool ToolTangents = false;
  int32_t TangentUVSet = 0;
  bool Tangents = false;
  bool Binormals = false;
  bool Cross = false;
  float TangentTolerance = 75;  // degrees
  bool PerBoneTriangles = false;
  bool TopologyInfo = false;
  uint32_t MorphMode = kMorphNone;
  bool SetTotalFrames = false;
  float FrameCount = 0;
  bool RelativeToBones = false;
  bool MorphCurves = false;
  bool QuantizedCurves = true;
  bool QuantizeOnMiss = true;
  bool AggressiveCurves = false;
  CurveSetOptions Curves[4];  // by MorphCurveKind
  bool Deltas = false;
  bool FilterZeroDeltas = false;
};

MeshOptions ReadMeshOptions(const SettingsItem* settings);

enum class VertexPart : uint8_t {
  Position,
  BoneWeights,
  BoneIndices,
  Normal,
  Tangent,
  Binormal,
  Cross,
  Color,
  TexCoord
};

struct VertexMember {
  VertexPart Part;
  int32_t Channel;  // colour or texture-coordinate channel
  uint32_t Type;
  int32_t Width;
  int32_t Offset;
  bool PackedDec3N;
};

// A vertex type in the arena with its component names and how to fill it.
struct VertexLayout {
  data_type_definition* Type = nullptr;
  const char** Names = nullptr;
  VertexMember* Members = nullptr;
  int32_t MemberCount = 0;
  int32_t Size = 0;
};

// Stores `values` (count floats) into a member, converting by its type;
// missing elements are 0.
void StoreVertexFloats(const VertexMember& member, uint8_t* vertex, const float* values,
                       int32_t count);
// Reads up to `count` floats of a member; missing ones are 0.
void LoadVertexFloats(const VertexMember& member, const uint8_t* vertex, float* values,
                      int32_t count);
// Floats a member holds (3 for a packed DEC3N vector).
int32_t VertexMemberFloats(const VertexMember& member);
// The first member of that part (and channel), or null.
const VertexMember* FindVertexMember(const VertexLayout& layout, VertexPart part,
                                     int32_t channel = 0);

// The bones of one vertex that count: every index with a positive weight,
// or the only one. Returns how many were written into `bones` (at most
// `capacity`); 0 when the layout has no bone members and `fallback` is
// negative, else `fallback` alone for a layout without bone indices.
int32_t VertexInfluences(const VertexLayout& layout, const uint8_t* vertex, int32_t* bones,
                         int32_t capacity, int32_t fallback);

// A 4x4 matrix in the row-vector layout of the file's transforms.
struct RowMatrix {
  float m[4][4];
};

// One vertex morph curve set while its frames are sampled: the samples of
// each vertex lie together (frame after frame, Dimension floats each).
struct MorphCurveSet {
  const char* Name = nullptr;  // interned
  MorphCurveKind Kind = kCurvePosition;
  int32_t Channel = 0;       // colour or texture-coordinate channel
  int32_t Member = -1;       // the matching member of the morph layout
  int32_t Dimension = 3;     // floats per sample
  float* Samples = nullptr;  // library block: vertices x frames x Dimension
};

struct MeshConversion {
  MeshNode* Node = nullptr;
  mesh* Object = nullptr;
  const char* Name = nullptr;  // for messages (interned)
  MeshOptions Options;

  int32_t SkinBones = 0;  // 0: no skin
  int32_t BindingCount = 0;
  RowMatrix* BindingTransforms = nullptr;  // library block, BindingCount
  BoneNode** BindingBones = nullptr;       // library block, BindingCount
  MaterialNode* Material = nullptr;

  mesh_builder* Builder = nullptr;  // null when the data could not be built
  int32_t VertexCount = 0;
  int32_t FaceCount = 0;
  int32_t MaterialCount = 1;
  int32_t MapChannelCount = 0;
  int32_t ColorChannels = 0;
  int32_t TexChannels = 0;
  bool Weighted = false;
  bool Deformable = false;
  uint32_t VertexSection = 0;
  uint32_t IndexSection = 0;
  VertexLayout Layout;
  VertexLayout MorphLayout;

  // Frames to extract: the morph targets, or the samples of the vertex
  // morph curves.
  int32_t MorphCount = 0;
  bool Mismatch = false;
  // "Create vertex morph curves" (frame by frame): per-frame samples instead
  // of morph targets, fitted after the last frame into vertex annotation sets.
  bool MorphCurves = false;
  int32_t CurveVertexCount = 0;
  float CurveTimeStep = 0;
  int32_t CurveSetCount = 0;
  MorphCurveSet* CurveSets = nullptr;             // library block
  vertex_annotation_set* FittedCurves = nullptr;  // arena, CurveSetCount, once fitted
  // Relative to bones: per skin bone, binding transform times the bone's
  // world matrix at the current frame.
  RowMatrix* FrameBoneMatrices = nullptr;
};

// Builds the vertex type (with bone members when `weighted`), its names and
// layout in the arena. `morph` leaves bone members out and, with deltas,
// stores members that cannot hold signed differences as Real32.
bool BuildVertexLayout(SceneParser* parser, const MeshOptions& options, int32_t skinBones,
                       bool weighted, int32_t colorChannels, int32_t texChannels,
                       MeshAccess* access, bool morph, VertexLayout& layout);

// Bounds of every bone binding, per-bone triangle arrays and per-triangle
// bone lists (see FinishMesh). False when memory ran out.
bool BuildMeshBounds(SceneParser* parser, MeshConversion* record, const vertex_data* data,
                     tri_topology* topology);

// Floats a morph vertex may hold per member (4 each, 3 for DEC3N).
inline constexpr int32_t kMorphMemberFloats = 4;
using MorphMemberValues = float[kMorphMemberFloats];

// The values of every morph layout member of built vertex `v` in the frame
// read through `access` (4 floats per member; from the base mesh where the
// frame says nothing or is not `usable`), before any quantizing or deltas.
void SampleMorphVertex(MeshConversion* r, MeshAccess* access, int32_t v, bool usable, bool relative,
                       MorphMemberValues* values);

// Vertex morph curves (ketrel_mesh_morph_curves.cpp). Begin makes the
// sample buffers once the builder holds the base mesh; Sample stores one
// frame; Fit turns the samples into the curve sets in the arena (after the
// last frame) and frees them. False when memory runs out (Fit logs it, the
// callers of Begin and Sample do).
bool BeginMorphCurves(SceneParser* parser, MeshConversion* r);
bool SampleMorphCurveFrame(MeshConversion* r, MeshAccess* access, int32_t frame, bool usable,
                           bool relative);
bool FitMorphCurves(SceneParser* parser, MeshConversion* r);
// Frees the sample buffers (accepts a record without them).
void FreeMorphCurveSamples(MeshConversion* r);

// The section of a vertex or index array.
void PlaceObject(SceneParser* parser, const void* object, uint32_t section);

}  // namespace ketrel
