// Basis conversion of meshes: vertices by member name, vertex morph curves,
// morph targets, triangle winding and the neighbour map, bone boxes.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_half.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_mesh_builder.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_transform_internal.h"

namespace ketrel {
namespace {

using matrix3 = float[3][3];

float RowLength(const float* row) {
  return std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
}

float Determinant(const matrix3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// The maps of the four direction members: normals by the inverse
// transpose, tangents and binormals by L, their cross product by det(L)
// times the inverse transpose.
enum direction_map { MapLinear, MapNormal, MapCross };

void DirectionMatrix(const basis_conversion& c, direction_map map, matrix3& out) {
  const float sign = map == MapCross && Determinant(c.Linear) < 0.0f ? -1.0f : 1.0f;
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t k = 0; k < 3; ++k)
      out[r][k] = map == MapLinear ? c.Linear[r][k] : sign * c.InverseLinear[k][r];
}

// Each row scaled to unit length (a row shorter than 1e-5 becomes zero):
// a curve's directions cannot be renormalised one value at a time, so
// their map loses its scale instead.
void NormalizeRows(matrix3& m) {
  for (int32_t r = 0; r < 3; ++r) {
    const float length = RowLength(m[r]);
    for (int32_t k = 0; k < 3; ++k) m[r][k] = length < 1e-5f ? 0.0f : m[r][k] / length;
  }
}

// A vertex member as three floats.
enum member_encoding { NotConverted, Float3, Half3, PackedDec3N };

struct vertex_member {
  const char* Name;
  member_encoding Encoding = NotConverted;
  int32_t Offset = 0;
  matrix3 Map = {};
  bool Point = false;
};

member_encoding EncodingOf(const data_type_definition* member) {
  const int32_t width = GetMemberArrayWidth(member);
  if (member->Type == Real32Member && width >= 3) return Float3;
  if (member->Type == Real16Member && width >= 3) return Half3;
  if (member->Type == UInt32Member && width == 1) return PackedDec3N;
  return NotConverted;
}

void Load(const vertex_member& m, const uint8_t* vertex, float v[3]) {
  const uint8_t* at = vertex + m.Offset;
  if (m.Encoding == Float3) {
    std::memcpy(v, at, 3 * sizeof(float));
  } else if (m.Encoding == Half3) {
    uint16_t h[3];
    std::memcpy(h, at, sizeof h);
    for (int32_t k = 0; k < 3; ++k) v[k] = HalfToFloat(h[k]);
  } else {
    uint32_t packed;
    std::memcpy(&packed, at, sizeof packed);
    UnpackDec3N(packed, v);
  }
}

void Store(const vertex_member& m, uint8_t* vertex, const float v[3]) {
  uint8_t* at = vertex + m.Offset;
  if (m.Encoding == Float3) {
    std::memcpy(at, v, 3 * sizeof(float));
  } else if (m.Encoding == Half3) {
    const uint16_t h[3] = {FloatToHalf(v[0]), FloatToHalf(v[1]), FloatToHalf(v[2])};
    std::memcpy(at, h, sizeof h);
  } else {
    const uint32_t packed = PackDec3N(v[0], v[1], v[2]);
    std::memcpy(at, &packed, sizeof packed);
  }
}

// Converts one vertex data object (primary or a morph target's).
void ConvertVertexData(vertex_data* data, const basis_conversion& c, bool renormalize, bool deltas,
                       conversion_walk& state) {
  if (!data || data->Vertices.Count <= 0) return;
  if (!TransformVertices(data->Vertices.Count, data->Vertices.Type, data->Vertices.Items, c,
                         renormalize, deltas))
    state.Ok = false;
}

// The vertex morph curves of a primary vertex data, by set name.
void ConvertMorphCurves(vertex_data* data, const char* meshName, conversion_walk& state) {
  const basis_conversion& c = state.Conversion;
  const bool renormalize = (c.Flags & BasisRenormalize) != 0;
  for (int32_t s = 0; data->VertexAnnotationSets && s < data->VertexAnnotationSetCount; ++s) {
    vertex_annotation_set& set = data->VertexAnnotationSets[s];
    const char* name = set.Name ? set.Name : "";
    basis_curve_kind kind = basis_curve_kind::Direction;
    matrix3 map;
    if (std::strcmp(name, "VertexMorphCurvePosition") == 0) {
      kind = basis_curve_kind::Point;
      std::memcpy(map, c.Linear, sizeof map);
    } else if (std::strcmp(name, "VertexMorphCurveNormal") == 0) {
      DirectionMatrix(c, MapNormal, map);
    } else if (std::strcmp(name, "VertexMorphCurveTangentBinormalCross") == 0) {
      DirectionMatrix(c, MapCross, map);
    } else if (std::strcmp(name, "VertexMorphCurveTangent") == 0 ||
               std::strcmp(name, "VertexMorphCurveBinormal") == 0) {
      DirectionMatrix(c, MapLinear, map);
    } else {
      continue;  // colours and texture coordinates carry no coordinates
    }
    if (kind == basis_curve_kind::Direction && renormalize) NormalizeRows(map);
    variant_array annotations = set.VertexAnnotations;
    if (!annotations.Items || annotations.Count <= 0) continue;
    if (!DataTypesAreEqualWithNames(annotations.Type, Curve2Type)) {
      KT_LOG_WARNING(Basis, "Mesh %s: annotation set %s does not hold curves - not converted",
                     meshName, name);
      continue;
    }
    auto* curves = static_cast<curve2*>(annotations.Items);
    char label[160];
    for (int32_t v = 0; v < annotations.Count; ++v) {
      std::snprintf(label, sizeof label, "%s %s[%d]", meshName, name, v);
      curve2 curve = curves[v];
      TransformCurveOnce(curve, kind, c.Affine, &map[0][0], state, label);
      curves[v] = curve;
    }
  }
}

// A mirror turns every triangle inside out: corners 0 and 2 swap, so side
// 0 (corner 0 to 1) becomes the old side 1 reversed and side 1 the old
// side 0; side 2 stays. Neighbour entries (4 x triangle + side) follow.
void ReverseWinding(tri_topology* t) {
  for (int32_t i = 0; t->Indices && i + 2 < t->IndexCount; i += 3) {
    const int32_t a = t->Indices[i];
    t->Indices[i] = t->Indices[i + 2];
    t->Indices[i + 2] = a;
  }
  for (int32_t i = 0; t->Indices16 && i + 2 < t->Index16Count; i += 3) {
    const int16_t a = t->Indices16[i];
    t->Indices16[i] = t->Indices16[i + 2];
    t->Indices16[i + 2] = a;
  }
  int32_t* map = t->SideToNeighborMap;
  if (!map) return;
  for (int32_t i = 0; i + 2 < t->SideToNeighborCount; i += 3) {
    const int32_t a = map[i];
    map[i] = map[i + 1];
    map[i + 1] = a;
  }
  for (int32_t i = 0; i < t->SideToNeighborCount; ++i) {
    const int32_t side = map[i] & 3;
    if (map[i] >= 0 && side < 2) map[i] = (map[i] & ~3) | (1 - side);
  }
}

// Boxes are in bone space: L alone, then the corners' bounds.
void ConvertBox(bone_binding& b, const basis_conversion& c) {
  float low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
  const float lo[3] = {b.OBBMin[0], b.OBBMin[1], b.OBBMin[2]};
  const float hi[3] = {b.OBBMax[0], b.OBBMax[1], b.OBBMax[2]};
  for (int32_t corner = 0; corner < 8; ++corner) {
    const float p[3] = {corner & 1 ? hi[0] : lo[0], corner & 2 ? hi[1] : lo[1],
                        corner & 4 ? hi[2] : lo[2]};
    for (int32_t r = 0; r < 3; ++r) {
      const float q = c.Linear[r][0] * p[0] + c.Linear[r][1] * p[1] + c.Linear[r][2] * p[2];
      low[r] = std::fmin(low[r], q);
      high[r] = std::fmax(high[r], q);
    }
  }
  std::memcpy(b.OBBMin, low, sizeof low);
  std::memcpy(b.OBBMax, high, sizeof high);
}

}  // namespace

bool TransformVertices(int32_t count, const data_type_definition* vertexType, void* vertices,
                       const basis_conversion& c, bool renormalize, bool deltas) {
  if (!KT_CHECK_PARAMETER(Basis, count >= 0 && vertexType && (vertices || count == 0)))
    return false;
  const int32_t stride = GetTotalObjectSize(vertexType);
  if (!KT_CHECK_PARAMETER(Basis, stride > 0 || count == 0)) return false;
  vertex_member members[5] = {
      {"Position"}, {"Normal"}, {"Tangent"}, {"Binormal"}, {"TangentBinormalCross"}};
  const direction_map maps[5] = {MapLinear, MapNormal, MapLinear, MapLinear, MapCross};
  bool nonUniform = false;
  for (int32_t m = 0; m < 5; ++m) {
    vertex_member& member = members[m];
    found_member found;
    if (!FindMatchingMember(vertexType, 0, member.Name, &found)) continue;
    member.Encoding = EncodingOf(found.Member);
    member.Offset = found.Offset;
    member.Point = m == 0;
    if (member.Encoding == NotConverted) {
      KT_LOG_WARNING(Basis,
                     "Vertex member %s is stored in a way basis conversion cannot read - "
                     "left unconverted",
                     member.Name);
      continue;
    }
    DirectionMatrix(c, maps[m], member.Map);
    if (deltas && !member.Point) {
      // A direction's change turns with the directions but keeps its size.
      const float s =
          (RowLength(member.Map[0]) + RowLength(member.Map[1]) + RowLength(member.Map[2])) / 3.0f;
      for (int32_t r = 0; r < 3; ++r) {
        if (std::fabs(1.0f - RowLength(member.Map[r]) / s) > 0.001f) nonUniform = true;
        for (int32_t k = 0; k < 3; ++k) member.Map[r][k] = s > 0.0f ? member.Map[r][k] / s : 0.0f;
      }
    }
  }
  if (nonUniform)
    KT_LOG_WARNING(Basis, "It appears that the scale in TransformVertices is non-uniform\n");
  if (deltas && renormalize)
    KT_LOG_WARNING(Basis, "Really unlikely that you want to renormalize morph deltas.\n");
  auto* bytes = static_cast<uint8_t*>(vertices);
  for (int32_t v = 0; v < count; ++v) {
    uint8_t* vertex = bytes + size_t(v) * size_t(stride);
    for (const vertex_member& m : members) {
      if (m.Encoding == NotConverted) continue;
      float in[3], out[3];
      Load(m, vertex, in);
      for (int32_t r = 0; r < 3; ++r) {
        out[r] = m.Map[r][0] * in[0] + m.Map[r][1] * in[1] + m.Map[r][2] * in[2];
        if (m.Point && !deltas) out[r] += c.Affine[r];
      }
      if (!m.Point && (renormalize || m.Encoding == PackedDec3N)) {
        const float length = RowLength(out);
        for (float& x : out) x = length < 1e-5f ? 0.0f : x / length;
      }
      Store(m, vertex, out);
    }
  }
  return true;
}

void TransformMeshOnce(mesh* m, conversion_walk& state) {
  auto first = [&](const void* object) { return FirstMeeting(state, object); };
  if (!first(m)) return;
  const basis_conversion& c = state.Conversion;
  const bool renormalize = (c.Flags & BasisRenormalize) != 0;
  const char* name = m->Name ? m->Name : "(unnamed)";
  vertex_data* primary = m->PrimaryVertexData;
  if (first(primary)) {
    ConvertVertexData(primary, c, renormalize, false, state);
    ConvertMorphCurves(primary, name, state);
  }
  for (int32_t i = 0; m->MorphTargets && i < m->MorphTargetCount; ++i) {
    const morph_target& target = m->MorphTargets[i];
    if (!first(target.VertexData)) continue;
    const bool deltas = target.DataIsDeltas != 0;
    ConvertVertexData(target.VertexData, c, deltas ? false : renormalize, deltas, state);
  }
  if ((c.Flags & BasisReverseWinding) != 0 && Determinant(c.Linear) < 0.0f &&
      first(m->PrimaryTopology))
    ReverseWinding(m->PrimaryTopology);
  for (int32_t i = 0; m->BoneBindings && i < m->BoneBindingCount; ++i)
    ConvertBox(m->BoneBindings[i], c);
}

}  // namespace ketrel
