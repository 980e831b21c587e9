#include "rt/ketrel_standard_types.h"

#include <cstring>

#include "rt/ketrel_log.h"

namespace ketrel {

namespace {

using type_table::End;
using type_table::M;

}  // namespace

data_type_definition EmptyType[] = {End()};

data_type_definition StringType[] = {M(StringMember, "String"), End()};
data_type_definition Int16Type[] = {M(Int16Member, "Int16"), End()};
data_type_definition Int32Type[] = {M(Int32Member, "Int32"), End()};
data_type_definition UInt8Type[] = {M(UInt8Member, "UInt8"), End()};
data_type_definition UInt16Type[] = {M(UInt16Member, "UInt16"), End()};
data_type_definition UInt32Type[] = {M(UInt32Member, "UInt32"), End()};
data_type_definition Real32Type[] = {M(Real32Member, "Real32"), End()};
data_type_definition Real32x3Type[] = {M(Real32Member, "Real32", nullptr, 3), End()};
data_type_definition Real32x4Type[] = {M(Real32Member, "Real32", nullptr, 4), End()};
data_type_definition TransformType[] = {M(TransformMember, "Transform"), End()};
data_type_definition Matrix4x4Type[] = {M(Real32Member, "Matrix4x4", nullptr, 16), End()};
data_type_definition VariantType[] = {M(VariantReferenceMember, "Variant"), End()};

data_type_definition FileInfoType[] = {M(ReferenceMember, "ArtToolInfo", ArtToolInfoType),
                                       M(ReferenceMember, "ExporterInfo", ExporterInfoType),
                                       M(StringMember, "FromFileName"),
                                       M(ArrayOfReferencesMember, "Textures", TextureType),
                                       M(ArrayOfReferencesMember, "Materials", MaterialType),
                                       M(ArrayOfReferencesMember, "Skeletons", SkeletonType),
                                       M(ArrayOfReferencesMember, "VertexDatas", VertexDataType),
                                       M(ArrayOfReferencesMember, "TriTopologies", TriTopologyType),
                                       M(ArrayOfReferencesMember, "Meshes", MeshType),
                                       M(ArrayOfReferencesMember, "Models", ModelType),
                                       M(ArrayOfReferencesMember, "TrackGroups", TrackGroupType),
                                       M(ArrayOfReferencesMember, "Animations", AnimationType),
                                       M(VariantReferenceMember, "ExtendedData"),
                                       End()};

data_type_definition ArtToolInfoType[] = {M(StringMember, "FromArtToolName"),
                                          M(Int32Member, "ArtToolMajorRevision"),
                                          M(Int32Member, "ArtToolMinorRevision"),
                                          M(Int32Member, "ArtToolPointerSize"),
                                          M(Real32Member, "UnitsPerMeter"),
                                          M(Real32Member, "Origin", nullptr, 3),
                                          M(Real32Member, "RightVector", nullptr, 3),
                                          M(Real32Member, "UpVector", nullptr, 3),
                                          M(Real32Member, "BackVector", nullptr, 3),
                                          M(VariantReferenceMember, "ExtendedData"),
                                          End()};

data_type_definition ExporterInfoType[] = {M(StringMember, "ExporterName"),
                                           M(Int32Member, "ExporterMajorRevision"),
                                           M(Int32Member, "ExporterMinorRevision"),
                                           M(Int32Member, "ExporterCustomization"),
                                           M(Int32Member, "ExporterBuildNumber"),
                                           M(VariantReferenceMember, "ExtendedData"),
                                           End()};

data_type_definition TextureType[] = {M(StringMember, "FromFileName"),
                                      M(Int32Member, "TextureType"),
                                      M(Int32Member, "Width"),
                                      M(Int32Member, "Height"),
                                      M(Int32Member, "Encoding"),
                                      M(Int32Member, "SubFormat"),
                                      M(InlineMember, "Layout", PixelLayoutType),
                                      M(ReferenceToArrayMember, "Images", TextureImageType),
                                      M(VariantReferenceMember, "ExtendedData"),
                                      End()};

data_type_definition PixelLayoutType[] = {M(Int32Member, "BytesPerPixel"),
                                          M(Int32Member, "ShiftForComponent", nullptr, 4),
                                          M(Int32Member, "BitsForComponent", nullptr, 4), End()};

data_type_definition TextureImageType[] = {
    M(ReferenceToArrayMember, "MIPLevels", TextureMIPLevelType), End()};

data_type_definition TextureMIPLevelType[] = {
    M(Int32Member, "Stride"), M(ReferenceToArrayMember, "PixelBytes", UInt8Type), End()};

data_type_definition MaterialType[] = {
    M(StringMember, "Name"), M(ReferenceToArrayMember, "Maps", MaterialMapType),
    M(ReferenceMember, "Texture", TextureType), M(VariantReferenceMember, "ExtendedData"), End()};

data_type_definition MaterialMapType[] = {M(StringMember, "Usage"),
                                          M(ReferenceMember, "Map", MaterialType), End()};

data_type_definition SkeletonType[] = {
    M(StringMember, "Name"), M(ReferenceToArrayMember, "Bones", BoneType),
    M(Int32Member, "LODType"), M(VariantReferenceMember, "ExtendedData"), End()};

data_type_definition BoneType[] = {M(StringMember, "Name"),
                                   M(Int32Member, "ParentIndex"),
                                   M(TransformMember, "Transform"),
                                   M(Real32Member, "InverseWorldTransform", nullptr, 16),
                                   M(Real32Member, "LODError"),
                                   M(VariantReferenceMember, "ExtendedData"),
                                   End()};

data_type_definition VertexDataType[] = {
    M(ReferenceToVariantArrayMember, "Vertices"),
    M(ReferenceToArrayMember, "VertexComponentNames", StringType),
    M(ReferenceToArrayMember, "VertexAnnotationSets", VertexAnnotationSetType), End()};

data_type_definition VertexAnnotationSetType[] = {
    M(StringMember, "Name"), M(ReferenceToVariantArrayMember, "VertexAnnotations"),
    M(Int32Member, "IndicesMapFromVertexToAnnotation"),
    M(ReferenceToArrayMember, "VertexAnnotationIndices", Int32Type), End()};

data_type_definition TriTopologyType[] = {
    M(ReferenceToArrayMember, "Groups", TriMaterialGroupType),
    M(ReferenceToArrayMember, "Indices", Int32Type),
    M(ReferenceToArrayMember, "Indices16", Int16Type),
    M(ReferenceToArrayMember, "VertexToVertexMap", Int32Type),
    M(ReferenceToArrayMember, "VertexToTriangleMap", Int32Type),
    M(ReferenceToArrayMember, "SideToNeighborMap", Int32Type),
    M(ReferenceToArrayMember, "PolygonIndexStarts", Int32Type),
    M(ReferenceToArrayMember, "PolygonIndices", Int32Type),
    M(ReferenceToArrayMember, "BonesForTriangle", Int32Type),
    M(ReferenceToArrayMember, "TriangleToBoneIndices", Int32Type),
    M(ReferenceToArrayMember, "TriAnnotationSets", TriAnnotationSetType),
    End()};

data_type_definition TriMaterialGroupType[] = {
    M(Int32Member, "MaterialIndex"), M(Int32Member, "TriFirst"), M(Int32Member, "TriCount"), End()};

data_type_definition TriAnnotationSetType[] = {
    M(StringMember, "Name"), M(ReferenceToVariantArrayMember, "TriAnnotations"),
    M(Int32Member, "IndicesMapFromTriToAnnotation"),
    M(ReferenceToArrayMember, "TriAnnotationIndices", Int32Type), End()};

data_type_definition MeshType[] = {
    M(StringMember, "Name"),
    M(ReferenceMember, "PrimaryVertexData", VertexDataType),
    M(ReferenceToArrayMember, "MorphTargets", MorphTargetType),
    M(ReferenceMember, "PrimaryTopology", TriTopologyType),
    M(ReferenceToArrayMember, "MaterialBindings", MaterialBindingType),
    M(ReferenceToArrayMember, "BoneBindings", BoneBindingType),
    M(VariantReferenceMember, "ExtendedData"),
    End()};

data_type_definition MorphTargetType[] = {M(StringMember, "ScalarName"),
                                          M(ReferenceMember, "VertexData", VertexDataType),
                                          M(Int32Member, "DataIsDeltas"), End()};

data_type_definition MaterialBindingType[] = {M(ReferenceMember, "Material", MaterialType), End()};

data_type_definition BoneBindingType[] = {
    M(StringMember, "BoneName"), M(Real32Member, "OBBMin", nullptr, 3),
    M(Real32Member, "OBBMax", nullptr, 3), M(ReferenceToArrayMember, "TriangleIndices", Int32Type),
    End()};

data_type_definition ModelType[] = {M(StringMember, "Name"),
                                    M(ReferenceMember, "Skeleton", SkeletonType),
                                    M(TransformMember, "InitialPlacement"),
                                    M(ReferenceToArrayMember, "MeshBindings", ModelMeshBindingType),
                                    M(VariantReferenceMember, "ExtendedData"),
                                    End()};

data_type_definition ModelMeshBindingType[] = {M(ReferenceMember, "Mesh", MeshType), End()};

data_type_definition AnimationType[] = {M(StringMember, "Name"),
                                        M(Real32Member, "Duration"),
                                        M(Real32Member, "TimeStep"),
                                        M(Real32Member, "Oversampling"),
                                        M(ArrayOfReferencesMember, "TrackGroups", TrackGroupType),
                                        M(Int32Member, "DefaultLoopCount"),
                                        M(Int32Member, "Flags"),
                                        M(VariantReferenceMember, "ExtendedData"),
                                        End()};

data_type_definition TrackGroupType[] = {
    M(StringMember, "Name"),
    M(ReferenceToArrayMember, "VectorTracks", VectorTrackType),
    M(ReferenceToArrayMember, "TransformTracks", TransformTrackType),
    M(ReferenceToArrayMember, "TransformLODErrors", Real32Type),
    M(ReferenceToArrayMember, "TextTracks", TextTrackType),
    M(TransformMember, "InitialPlacement"),
    M(Int32Member, "AccumulationFlags"),
    M(Real32Member, "LoopTranslation", nullptr, 3),
    M(ReferenceMember, "PeriodicLoop", PeriodicLoopType),
    M(VariantReferenceMember, "ExtendedData"),
    End()};

data_type_definition PeriodicLoopType[] = {M(Real32Member, "Radius"),
                                           M(Real32Member, "dAngle"),
                                           M(Real32Member, "dZ"),
                                           M(Real32Member, "BasisX", nullptr, 3),
                                           M(Real32Member, "BasisY", nullptr, 3),
                                           M(Real32Member, "Axis", nullptr, 3),
                                           End()};

data_type_definition VectorTrackType[] = {M(StringMember, "Name"), M(UInt32Member, "TrackKey"),
                                          M(Int32Member, "Dimension"),
                                          M(InlineMember, "ValueCurve", Curve2Type), End()};

data_type_definition TransformTrackType[] = {M(StringMember, "Name"),
                                             M(Int32Member, "Flags"),
                                             M(InlineMember, "OrientationCurve", Curve2Type),
                                             M(InlineMember, "PositionCurve", Curve2Type),
                                             M(InlineMember, "ScaleShearCurve", Curve2Type),
                                             End()};

data_type_definition Curve2Type[] = {M(VariantReferenceMember, "CurveData"), End()};

data_type_definition TextTrackType[] = {
    M(StringMember, "Name"), M(ReferenceToArrayMember, "Entries", TextTrackEntryType), End()};

data_type_definition TextTrackEntryType[] = {M(Real32Member, "TimeStamp"), M(StringMember, "Text"),
                                             End()};

namespace {

const standard_type_entry kStandardTypes[] = {
    {0x10001, "animation", AnimationType},
    {0x10002, "art_tool_info", ArtToolInfoType},
    {0x10003, "curve2", Curve2Type},
    {0x10004, "exporter_info", ExporterInfoType},
    {0x10005, "material_map", MaterialMapType},
    {0x10006, "material", MaterialType},
    {0x10007, "bone_binding", BoneBindingType},
    {0x10008, "material_binding", MaterialBindingType},
    {0x10009, "morph_target", MorphTargetType},
    {0x1000A, "mesh", MeshType},
    {0x1000B, "model_mesh_binding", ModelMeshBindingType},
    {0x1000C, "model", ModelType},
    {0x1000D, "periodic_loop", PeriodicLoopType},
    {0x1000E, "pixel_layout", PixelLayoutType},
    {0x10011, "bone", BoneType},
    {0x10012, "skeleton", SkeletonType},
    {0x10013, "strings", StringType},
    {0x10014, "texture_mip_level", TextureMIPLevelType},
    {0x10015, "texture_image", TextureImageType},
    {0x10016, "texture", TextureType},
    {0x10017, "vector_track", VectorTrackType},
    {0x10018, "transform_track", TransformTrackType},
    {0x10019, "text_track_entry", TextTrackEntryType},
    {0x1001A, "text_track", TextTrackType},
    {0x1001B, "track_group", TrackGroupType},
    {0x1001C, "tri_material_group", TriMaterialGroupType},
    {0x1001D, "tri_annotation_set", TriAnnotationSetType},
    {0x1001E, "tri_topology", TriTopologyType},
    {0x1001F, "vertex_annotation_set", VertexAnnotationSetType},
    {0x10020, "vertex_data", VertexDataType},
};

constexpr int32_t kStandardTypeCount =
    static_cast<int32_t>(sizeof(kStandardTypes) / sizeof(kStandardTypes[0]));
static_assert(kStandardTypeCount == 30, "the registry holds 30 standard types");

}  // namespace

int32_t GetStandardTypeCount() { return kStandardTypeCount; }

const standard_type_entry* GetStandardType(int32_t index) {
  if (!KT_CHECK_PARAMETER(TypedData, index >= 0 && index < kStandardTypeCount)) return nullptr;
  return &kStandardTypes[index];
}

const standard_type_entry* FindStandardTypeByIdentifier(uint32_t identifier) {
  for (const standard_type_entry& entry : kStandardTypes) {
    if (entry.Identifier == identifier) return &entry;
  }
  return nullptr;
}

const standard_type_entry* FindStandardTypeByName(const char* name) {
  if (name == nullptr) return nullptr;
  for (const standard_type_entry& entry : kStandardTypes) {
    if (std::strcmp(entry.Name, name) == 0) return &entry;
  }
  return nullptr;
}

}  // namespace ketrel
