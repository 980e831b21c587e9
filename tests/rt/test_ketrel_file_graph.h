#pragma once
// Test support for the file tests: a rich object graph that holds every
// standard type (shared objects, a material <-> material_map cycle, strings,
// variants, a mixed-marshalling vertex type, a type with Extra words), a small
// writer that puts any typed graph into a file builder through its block and
// fix-up calls, and a member-by-member comparison of two graphs.
#include <cstdint>
#include <string>
#include <vector>

#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel::test {

// The graph lives in the object; its root is a file_info.
class RichGraph {
 public:
  RichGraph();
  RichGraph(const RichGraph&) = delete;
  RichGraph& operator=(const RichGraph&) = delete;
  file_info* Root() { return &info_; }

 private:
  file_info info_{};
  art_tool_info artTool_{};
  exporter_info exporter_{};
  texture texture_{};
  texture_image image_{};
  texture_mip_level mips_[2]{};
  uint8_t pixels0_[24]{};  // longer than the dump shows by default
  uint8_t pixels1_[4]{};
  texture* textures_[1]{};
  material materials_[2]{};
  material_map mapsA_[1]{};
  material_map mapsB_[1]{};
  material* materialList_[2]{};
  bone bones_[3]{};
  skeleton skeleton_{};
  skeleton* skeletons_[1]{};
  unsigned char vertices_[4 * 28]{};
  const char* componentNames_[2]{};
  int32_t annotationValues_[2]{};
  int32_t annotationIndices_[4]{};
  vertex_annotation_set vertexAnnotations_[1]{};
  vertex_data vertexData_{};
  vertex_data* vertexDatas_[1]{};
  tri_material_group groups_[1]{};
  int32_t indices_[6]{};
  int16_t indices16_[6]{};
  int32_t neighbors_[6]{};
  tri_annotation_set triAnnotations_[1]{};
  int32_t triAnnotationValues_[2]{};
  int32_t triAnnotationIndices_[2]{};
  tri_topology topology_{};
  tri_topology* topologies_[1]{};
  morph_target morphs_[1]{};
  material_binding materialBindings_[2]{};
  int32_t boneTriangles_[2]{};
  bone_binding boneBindings_[1]{};
  mesh mesh_{};
  mesh* meshes_[1]{};
  model_mesh_binding meshBindings_[1]{};
  model model_{};
  model* models_[1]{};
  float controls_[8]{};
  unsigned char curveData_[3][16]{};
  vector_track vectorTracks_[1]{};
  transform_track transformTracks_[1]{};
  float lodErrors_[2]{};
  text_track_entry entries_[2]{};
  text_track textTracks_[1]{};
  periodic_loop loop_{};
  track_group trackGroup_{};
  track_group* trackGroups_[1]{};
  track_group* animationGroups_[2]{};
  animation animation_{};
  animation* animations_[1]{};
  unsigned char extended_[20]{};
};

// The variant types the graph uses (a mixed vertex type, a curve format, an
// extended-data type whose members carry Extra words).
extern data_type_definition TestVertexType[];
extern data_type_definition TestCurveType[];
extern data_type_definition TestExtendedType[];

// Writes `root` of `rootType` and everything it reaches into the builder:
// types and objects to section 0, vertex arrays to section 1, index arrays to
// section 2, pixel bytes to section 5 (sections missing from the builder fall
// back to 0). Each object, array, string and type is written once.
void WriteGraph(file_builder* builder, data_type_definition* rootType, const void* root);

// Builds the rich graph's file for `platform` (compression per section as
// given, else none) and returns its bytes; empty on failure.
std::vector<unsigned char> BuildRichFile(file_platform platform,
                                         const uint32_t* compression = nullptr);

// Compares two graphs member by member through their own types (names,
// member types, widths, Extra words and values; cycles cut). Returns "" when
// equal, else the path of the first difference.
std::string CompareGraphs(const data_type_definition* typeA, const void* a,
                          const data_type_definition* typeB, const void* b);

}  // namespace ketrel::test
