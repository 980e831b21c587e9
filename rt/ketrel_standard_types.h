#pragma once
// The file's schema: the standard object types as data type definitions, the
// registry of the 30 standard types (their identifiers key the per-type
// section settings), the single-member element types, and native packed
// records that match the definitions byte for byte in this build's 64-bit
// little-endian memory layout, so the exporter can fill objects directly.
//
// Native layout of reference-like members (no padding anywhere):
//   ReferenceMember               T* X;
//   ReferenceToArrayMember        int32_t XCount; T* X;
//   ArrayOfReferencesMember       int32_t XCount; T** X;
//   VariantReferenceMember        variant X;            (type, object)
//   ReferenceToVariantArrayMember variant_array X;      (type, count, items)
//   StringMember                  const char* X;
//
// The definitions are mutable arrays because the data tree writer normalises
// end records in place; nobody else may change them.

#include <cstdint>

#include "rt/ketrel_data_types.h"

namespace ketrel {

static_assert(sizeof(void*) == 8, "native records assume 8-byte pointers");

// ---- Definitions ---------------------------------------------------------

extern data_type_definition EmptyType[];  // a lone EndMember

// Element types (each member is named after its type).
extern data_type_definition StringType[];  // the registry's `strings`
extern data_type_definition Int16Type[];
extern data_type_definition Int32Type[];
extern data_type_definition UInt8Type[];
extern data_type_definition UInt16Type[];
extern data_type_definition UInt32Type[];
extern data_type_definition Real32Type[];
extern data_type_definition Real32x3Type[];
extern data_type_definition Real32x4Type[];
extern data_type_definition TransformType[];
extern data_type_definition Matrix4x4Type[];
extern data_type_definition VariantType[];

// Object types.
extern data_type_definition FileInfoType[];
extern data_type_definition ArtToolInfoType[];
extern data_type_definition ExporterInfoType[];
extern data_type_definition TextureType[];
extern data_type_definition PixelLayoutType[];
extern data_type_definition TextureImageType[];
extern data_type_definition TextureMIPLevelType[];
extern data_type_definition MaterialType[];
extern data_type_definition MaterialMapType[];
extern data_type_definition SkeletonType[];
extern data_type_definition BoneType[];
extern data_type_definition VertexDataType[];
extern data_type_definition VertexAnnotationSetType[];
extern data_type_definition TriTopologyType[];
extern data_type_definition TriMaterialGroupType[];
extern data_type_definition TriAnnotationSetType[];
extern data_type_definition MeshType[];
extern data_type_definition MorphTargetType[];
extern data_type_definition MaterialBindingType[];
extern data_type_definition BoneBindingType[];
extern data_type_definition ModelType[];
extern data_type_definition ModelMeshBindingType[];
extern data_type_definition AnimationType[];
extern data_type_definition TrackGroupType[];
extern data_type_definition PeriodicLoopType[];
extern data_type_definition VectorTrackType[];
extern data_type_definition TransformTrackType[];
extern data_type_definition Curve2Type[];
extern data_type_definition TextTrackType[];
extern data_type_definition TextTrackEntryType[];

// ---- Registry --------------------------------------------------------------

struct standard_type_entry {
  uint32_t Identifier;  // 0x10001.. (0x1000F and 0x10010 do not occur)
  const char* Name;     // e.g. "track_group"
  data_type_definition* Type;
};

// 30.
int32_t GetStandardTypeCount();
// Row `index` (0..29) in registry order, or null (parameter check).
const standard_type_entry* GetStandardType(int32_t index);
// Lookups; null when absent (no log).
const standard_type_entry* FindStandardTypeByIdentifier(uint32_t identifier);
const standard_type_entry* FindStandardTypeByName(const char* name);

// ---- Native records --------------------------------------------------------

#pragma pack(push, 1)

struct variant {
  data_type_definition* Type;
  void* Object;
};

struct variant_array {
  data_type_definition* Type;
  int32_t Count;
  void* Items;
};

struct art_tool_info;
struct exporter_info;
struct texture;
struct material;
struct skeleton;
struct vertex_data;
struct tri_topology;
struct mesh;
struct model;
struct track_group;
struct animation;

struct file_info {
  art_tool_info* ArtToolInfo;
  exporter_info* ExporterInfo;
  const char* FromFileName;
  int32_t TextureCount;
  texture** Textures;
  int32_t MaterialCount;
  material** Materials;
  int32_t SkeletonCount;
  skeleton** Skeletons;
  int32_t VertexDataCount;
  vertex_data** VertexDatas;
  int32_t TriTopologyCount;
  tri_topology** TriTopologies;
  int32_t MeshCount;
  mesh** Meshes;
  int32_t ModelCount;
  model** Models;
  int32_t TrackGroupCount;
  track_group** TrackGroups;
  int32_t AnimationCount;
  animation** Animations;
  variant ExtendedData;
};

struct art_tool_info {
  const char* FromArtToolName;
  int32_t ArtToolMajorRevision;
  int32_t ArtToolMinorRevision;
  int32_t ArtToolPointerSize;
  float UnitsPerMeter;
  float Origin[3];
  float RightVector[3];
  float UpVector[3];
  float BackVector[3];
  variant ExtendedData;
};

struct exporter_info {
  const char* ExporterName;
  int32_t ExporterMajorRevision;
  int32_t ExporterMinorRevision;
  int32_t ExporterCustomization;
  int32_t ExporterBuildNumber;
  variant ExtendedData;
};

struct pixel_layout {
  int32_t BytesPerPixel;
  int32_t ShiftForComponent[4];
  int32_t BitsForComponent[4];
};

struct texture_mip_level {
  int32_t Stride;
  int32_t PixelByteCount;
  uint8_t* PixelBytes;
};

struct texture_image {
  int32_t MIPLevelCount;
  texture_mip_level* MIPLevels;
};

struct texture {
  const char* FromFileName;
  int32_t TextureType;
  int32_t Width;
  int32_t Height;
  int32_t Encoding;
  int32_t SubFormat;
  pixel_layout Layout;
  int32_t ImageCount;
  texture_image* Images;
  variant ExtendedData;
};

struct material_map {
  const char* Usage;
  material* Map;
};

struct material {
  const char* Name;
  int32_t MapCount;
  material_map* Maps;
  texture* Texture;
  variant ExtendedData;
};

struct bone {
  const char* Name;
  int32_t ParentIndex;
  transform Transform;
  float InverseWorldTransform[4][4];
  float LODError;
  variant ExtendedData;
};

struct skeleton {
  const char* Name;
  int32_t BoneCount;
  bone* Bones;
  int32_t LODType;
  variant ExtendedData;
};

struct vertex_annotation_set {
  const char* Name;
  variant_array VertexAnnotations;
  int32_t IndicesMapFromVertexToAnnotation;
  int32_t VertexAnnotationIndexCount;
  int32_t* VertexAnnotationIndices;
};

struct vertex_data {
  variant_array Vertices;  // the vertex type travels with the array
  int32_t VertexComponentNameCount;
  const char** VertexComponentNames;
  int32_t VertexAnnotationSetCount;
  vertex_annotation_set* VertexAnnotationSets;
};

struct tri_material_group {
  int32_t MaterialIndex;
  int32_t TriFirst;
  int32_t TriCount;
};

struct tri_annotation_set {
  const char* Name;
  variant_array TriAnnotations;
  int32_t IndicesMapFromTriToAnnotation;
  int32_t TriAnnotationIndexCount;
  int32_t* TriAnnotationIndices;
};

struct tri_topology {
  int32_t GroupCount;
  tri_material_group* Groups;
  int32_t IndexCount;
  int32_t* Indices;
  int32_t Index16Count;
  int16_t* Indices16;
  int32_t VertexToVertexCount;
  int32_t* VertexToVertexMap;
  int32_t VertexToTriangleCount;
  int32_t* VertexToTriangleMap;
  int32_t SideToNeighborCount;
  int32_t* SideToNeighborMap;
  int32_t PolygonIndexStartCount;
  int32_t* PolygonIndexStarts;
  int32_t PolygonIndexCount;
  int32_t* PolygonIndices;
  int32_t BonesForTriangleCount;
  int32_t* BonesForTriangle;
  int32_t TriangleToBoneCount;
  int32_t* TriangleToBoneIndices;
  int32_t TriAnnotationSetCount;
  tri_annotation_set* TriAnnotationSets;
};

struct morph_target {
  const char* ScalarName;
  vertex_data* VertexData;
  int32_t DataIsDeltas;
};

struct material_binding {
  material* Material;
};

struct bone_binding {
  const char* BoneName;
  float OBBMin[3];
  float OBBMax[3];
  int32_t TriangleCount;
  int32_t* TriangleIndices;
};

struct mesh {
  const char* Name;
  vertex_data* PrimaryVertexData;
  int32_t MorphTargetCount;
  morph_target* MorphTargets;
  tri_topology* PrimaryTopology;
  int32_t MaterialBindingCount;
  material_binding* MaterialBindings;
  int32_t BoneBindingCount;
  bone_binding* BoneBindings;
  variant ExtendedData;
};

struct model_mesh_binding {
  mesh* Mesh;
};

struct model {
  const char* Name;
  skeleton* Skeleton;
  transform InitialPlacement;
  int32_t MeshBindingCount;
  model_mesh_binding* MeshBindings;
  variant ExtendedData;
};

// Every animated quantity: the curve's format type and its data.
struct curve2 {
  variant CurveData;
};

struct periodic_loop {
  float Radius;
  float dAngle;
  float dZ;
  float BasisX[3];
  float BasisY[3];
  float Axis[3];
};

struct vector_track {
  const char* Name;
  uint32_t TrackKey;
  int32_t Dimension;
  curve2 ValueCurve;
};

struct transform_track {
  const char* Name;
  int32_t Flags;
  curve2 OrientationCurve;
  curve2 PositionCurve;
  curve2 ScaleShearCurve;
};

struct text_track_entry {
  float TimeStamp;
  const char* Text;
};

struct text_track {
  const char* Name;
  int32_t EntryCount;
  text_track_entry* Entries;
};

struct track_group {
  const char* Name;
  int32_t VectorTrackCount;
  vector_track* VectorTracks;
  int32_t TransformTrackCount;
  transform_track* TransformTracks;
  int32_t TransformLODErrorCount;
  float* TransformLODErrors;
  int32_t TextTrackCount;
  text_track* TextTracks;
  transform InitialPlacement;
  int32_t AccumulationFlags;
  float LoopTranslation[3];
  periodic_loop* PeriodicLoop;
  variant ExtendedData;
};

struct animation {
  const char* Name;
  float Duration;
  float TimeStep;
  float Oversampling;
  int32_t TrackGroupCount;
  track_group** TrackGroups;
  int32_t DefaultLoopCount;
  int32_t Flags;
  variant ExtendedData;
};

#pragma pack(pop)

// Sizes the definitions give with 8-byte pointers; the tests check that the
// definitions agree (and give the 32-bit sizes).
static_assert(sizeof(variant) == 16);
static_assert(sizeof(variant_array) == 20);
static_assert(sizeof(file_info) == 148);
static_assert(sizeof(art_tool_info) == 88);
static_assert(sizeof(exporter_info) == 40);
static_assert(sizeof(texture) == 92);
static_assert(sizeof(pixel_layout) == 36);
static_assert(sizeof(texture_image) == 12);
static_assert(sizeof(texture_mip_level) == 16);
static_assert(sizeof(material) == 44);
static_assert(sizeof(material_map) == 16);
static_assert(sizeof(skeleton) == 40);
static_assert(sizeof(bone) == 164);
static_assert(sizeof(vertex_data) == 44);
static_assert(sizeof(vertex_annotation_set) == 44);
static_assert(sizeof(tri_topology) == 132);
static_assert(sizeof(tri_material_group) == 12);
static_assert(sizeof(tri_annotation_set) == 44);
static_assert(sizeof(mesh) == 76);
static_assert(sizeof(morph_target) == 20);
static_assert(sizeof(material_binding) == 8);
static_assert(sizeof(bone_binding) == 44);
static_assert(sizeof(model) == 112);
static_assert(sizeof(model_mesh_binding) == 8);
static_assert(sizeof(animation) == 56);
static_assert(sizeof(track_group) == 164);
static_assert(sizeof(periodic_loop) == 48);
static_assert(sizeof(vector_track) == 32);
static_assert(sizeof(transform_track) == 60);
static_assert(sizeof(curve2) == 16);
static_assert(sizeof(text_track) == 20);
static_assert(sizeof(text_track_entry) == 12);

}  // namespace ketrel
