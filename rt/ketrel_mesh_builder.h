#pragma once
// The mesh builder turns a host mesh (positions, plus triangles whose corners
// carry their own normals, tangent frames and channels such as colours and
// texture coordinates) into a `vertex_data` and a `tri_topology`:
//   - corners at one position whose attributes agree within tolerances share
//     one vertex; the vertices of one position form a ring;
//   - per-position bone weights keep the K heaviest bones, renormalised so
//     that quantised weights sum exactly to one;
//   - triangles are grouped by material; neighbour, vertex and polygon maps
//     are derived;
//   - tangent frames can be generated from the first texture coordinates.
//
// Use: BeginMesh -> per position SetPosition/AddWeight/PushVertex -> per
// triangle the Set* corner calls, SetMaterial, PushTriangle, and EndPolygon
// between host polygons -> optionally GenerateTangentSpace -> measure with
// GetResulting*Size -> EndMesh into caller-owned memory -> FreeMeshBuilder
// (or EndMeshAndFree for both).
//
// Vertex numbering: vertex v < P is the slot of position v; vertices P and
// above are extra vertices made for corners that differ from every vertex of
// their position.
//
// Every operation accepts a null builder and does nothing. Bad arguments log
// "Parameter check failed. (Verbose logging disabled)" and change nothing.
// The builder allocates through the library allocator; if memory runs out
// while building, the error is logged and EndMesh later refuses.

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

struct mesh_builder;

// Most materials, positions or triangles a builder takes; keeps every index
// and byte count of the result inside int32.
inline constexpr int32_t MeshBuilderMaxCount = 1 << 28;
// Extra channels (members other than position, weights, indices, normal and
// the tangent frame) a vertex type may have.
inline constexpr int32_t MeshBuilderMaxChannels = 256;
// Corners of one polygon whose vertices the polygon maps record.
inline constexpr int32_t MeshBuilderMaxPolygonCorners = 128;

// Starts a mesh of `positionCount` positions (P) and `materialCount`
// materials (a mesh without materials uses the one material 0).
// `triangleCount` only sizes the first allocation; any number of triangles
// may be pushed. `boneCount` bones (B) may be weighted.
//
// `vertexType` must stay valid until the builder is freed. Its members are
// plain numbers (no references, strings, transforms or inline members);
// "Position", "Normal", "Tangent", "Binormal", "TangentBinormalCross",
// "BoneWeights" and "BoneIndices" (names matched ignoring case) are filled
// from positions, weights and corners; every other member is a channel of up
// to 4 values, numbered in member order. A "Normal" (or tangent frame member)
// that is one `UInt32Member` holds a packed DEC3N vector.
//
// Null (logged) on bad arguments, on a "BoneWeights" member whose type
// cannot hold normalised weights, on "BoneIndices" too narrow to number B
// bones, or when memory runs out (nothing is left allocated).
mesh_builder* BeginMesh(int32_t positionCount, int32_t triangleCount, int32_t materialCount,
                        int32_t boneCount, const data_type_definition* vertexType);
// Frees the builder and everything it holds. Accepts null.
void FreeMeshBuilder(mesh_builder* builder);

// Tangent frames whose tangents (or binormals) have a cosine not above this
// stay apart when frames are generated and smoothed. Default 0.25. Must lie
// in [-1, 1].
void SetTangentMergeTolerance(mesh_builder* builder, float cosine);
// Every corner after the first at a position gets its own vertex.
void DisableVertexMerging(mesh_builder* builder);

// ---- Positions -------------------------------------------------------------

void SetPosition(mesh_builder* builder, float x, float y, float z);
// Adds `weight` (finite, not negative) to bone `bone` (0 .. B-1) of the
// current position; repeated bones add up.
void AddWeight(mesh_builder* builder, int32_t bone, float weight);
// Writes the current position and its kept bone weights into the next
// position's vertex, then clears position and weights. At most P pushes.
void PushVertex(mesh_builder* builder);

// ---- Corners and triangles -------------------------------------------------

// `corner` is 0, 1 or 2. Position indices lie in 0 .. P-1.
void SetCornerPositionIndex(mesh_builder* builder, int32_t corner, int32_t positionIndex);
// The corner's place within its host polygon (not negative); places below
// 128 are recorded in the polygon maps.
void SetCornerPolygonIndex(mesh_builder* builder, int32_t corner, int32_t polygonIndex);
void SetCornerNormal(mesh_builder* builder, int32_t corner, float x, float y, float z);
void SetCornerTangent(mesh_builder* builder, int32_t corner, float x, float y, float z);
void SetCornerBinormal(mesh_builder* builder, int32_t corner, float x, float y, float z);
void SetCornerTangentBinormalCross(mesh_builder* builder, int32_t corner, float x, float y,
                                   float z);
// Sets channel `channel` (0 .. channel count - 1) to `count` (0..4) values;
// the rest of its 4 values are 0.
void SetCornerChannel(mesh_builder* builder, int32_t corner, int32_t channel, const float* values,
                      int32_t count);
// Channels of the vertex type (members beyond the fixed ones), in order.
int32_t GetChannelCount(const mesh_builder* builder);

// Material of the next triangle (0 .. M-1; reset to 0 by every push).
void SetMaterial(mesh_builder* builder, int32_t materialIndex);
// A caller value stored with the next triangles (kept across pushes).
void SetTriangleValue(mesh_builder* builder, int32_t value);
// Welds the three corners into vertices and stores the triangle. False
// (logged) when a corner has no position index or memory runs out; the
// corner records are cleared either way.
bool PushTriangle(mesh_builder* builder);
// Records the current polygon's vertex list (places 0 .. largest seen; unset
// places are -1) and clears it. Call once per host polygon.
void EndPolygon(mesh_builder* builder);

// Generates `Tangent`, `Binormal` and `TangentBinormalCross` for every vertex
// from positions, normals and the first "TextureCoordinates" channel; may
// split vertices whose triangles disagree (mirrored texture islands). Call
// after all triangles. If memory runs out, logs and writes the default
// frame; returns false then.
bool GenerateTangentSpace(mesh_builder* builder);

// ---- Queries -----------------------------------------------------------------

int32_t GetVertexCount(const mesh_builder* builder);
int32_t GetTriangleCount(const mesh_builder* builder);
// The vertex's data in the vertex type; null for an index out of range. Valid
// until the next push or GenerateTangentSpace.
const void* GetVertex(const mesh_builder* builder, int32_t vertex);
// The triangle value and polygon place of the corner that created the
// vertex. False (outputs -1) for a vertex no corner wrote.
bool GetVertexSourceValues(const mesh_builder* builder, int32_t vertex, int32_t* triangleValue,
                           int32_t* polygonIndex);
// The position slot (< P) of a vertex; -1 for an index out of range.
int32_t GetPositionOfVertex(const mesh_builder* builder, int32_t vertex);

// Names for `VertexComponentNames`, one per member of the vertex type (else a
// parameter check failure). The texts are copied.
bool SetVertexComponentNames(mesh_builder* builder, int32_t count, const char* const* names);

// ---- Result --------------------------------------------------------------------

// Bytes EndMesh needs for the vertex data block and the topology block (16-
// byte aligned memory). 0 for a null builder.
size_t GetResultingVertexDataSize(const mesh_builder* builder);
size_t GetResultingTopologySize(const mesh_builder* builder);
// Lays out the `vertex_data` (vertices, a copy of the vertex type, component
// names) in `vertexMemory` and the `tri_topology` (groups, indices,
// vertex/triangle/neighbour/polygon maps) in `topologyMemory`; both blocks
// must have the measured sizes. On failure both outputs are null. The builder
// is not freed.
bool EndMesh(mesh_builder* builder, void* vertexMemory, vertex_data** vertexData,
             void* topologyMemory, tri_topology** topology);
// After a successful EndMesh: the output number of the triangle pushed as
// `pushedTriangle` (0, 1, ... in push order), for data kept per pushed
// triangle (annotations). -1 before EndMesh or for a number out of range.
int32_t GetEndedTriangleNumber(const mesh_builder* builder, int32_t pushedTriangle);
// EndMesh, then FreeMeshBuilder whatever the outcome.
bool EndMeshAndFree(mesh_builder* builder, void* vertexMemory, vertex_data** vertexData,
                    void* topologyMemory, tri_topology** topology);

// ---- Vertex data operations --------------------------------------------------

// Makes one vertex's quantised weights (the `member`'s elements at `data`)
// sum exactly to one: 127, 255, 32767 or 65535 for BinormalInt8,
// NormalUInt8, BinormalInt16 and NormalUInt16. A shortfall adds 1 to each
// weight in order (skipping full ones) until the sum matches; an excess
// takes 1 from each non-zero weight from the last backwards. Real32 and
// Real16 weights are left alone; other types log
// "EnsureExactOneNorm called on unsupported type %d\n" and return false.
bool EnsureExactOneNorm(const data_type_definition* member, void* data);

// Copies `count` indices of 1, 2 or 4 bytes into indices of 1, 2 or 4 bytes
// (narrowing keeps the low bytes). Unknown widths log "Illegal value for
// FromBytesPerIndex (%d)" or "Illegal value for ToBytesPerIndex (%d)" and
// convert nothing. `from` and `to` may be the same memory (in-place
// narrowing or widening of an array large enough for the result).
bool ConvertIndices(int32_t count, int32_t fromBytesPerIndex, const void* from,
                    int32_t toBytesPerIndex, void* to);

// DEC3N: three signed 10-bit normalised components (x in bits 0-9, y in
// 10-19, z in 20-29), each clamped to [-1, 1] and scaled by 511.
uint32_t PackDec3N(float x, float y, float z);
void UnpackDec3N(uint32_t packed, float out[3]);

}  // namespace ketrel
