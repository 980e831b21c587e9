// Basis conversion of a whole file: the walk over its objects, transforms,
// skeletons, models and track groups. Meshes are in
// ketrel_transform_mesh.cpp, curves in ketrel_transform_curves.cpp.
#include "rt/ketrel_transform_file.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_pointer_hash.h"
#include "rt/ketrel_transform.h"
#include "rt/ketrel_transform_internal.h"

namespace ketrel {
namespace {

void Apply3(const float m[3][3], const float in[3], float out[3]) {
  const float x = in[0], y = in[1], z = in[2];
  for (int32_t r = 0; r < 3; ++r) out[r] = m[r][0] * x + m[r][1] * y + m[r][2] * z;
}

// Bone i's InverseWorldTransform maps world points to bone space in the
// row-vector layout: bone = W3^T world + t, with W3 its upper 3x3. In the
// new basis that map is L (W3^T) L^-1 applied to L^-1 (world - A), then L t.
void TransformInverseWorld(float m[4][4], const basis_conversion& c) {
  float linearPart[3][3], turned[3][3], result[3][3];
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t k = 0; k < 3; ++k) linearPart[r][k] = m[k][r];  // W3^T
  Multiply3(&c.Linear[0][0], &linearPart[0][0], &turned[0][0]);
  Multiply3(&turned[0][0], &c.InverseLinear[0][0], &result[0][0]);
  float t[3], shift[3];
  Apply3(c.Linear, m[3], t);
  Apply3(result, c.Affine, shift);
  for (int32_t r = 0; r < 3; ++r) {
    for (int32_t k = 0; k < 3; ++k) m[k][r] = result[r][k];
    m[3][r] = t[r] - shift[r];
  }
}

// Distances (LOD errors) scale with L's mean row length.
float DistanceScale(const basis_conversion& c) {
  float sum = 0.0f;
  for (int32_t r = 0; r < 3; ++r)
    sum += std::sqrt(c.Linear[r][0] * c.Linear[r][0] + c.Linear[r][1] * c.Linear[r][1] +
                     c.Linear[r][2] * c.Linear[r][2]);
  return sum / 3.0f;
}

float Determinant(const float m[3][3]) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

void TransformSkeleton(skeleton* s, const basis_conversion& c) {
  const float scale = DistanceScale(c);
  for (int32_t i = 0; s->Bones && i < s->BoneCount; ++i) {
    bone& b = s->Bones[i];
    transform t = b.Transform;
    TransformTransform(t, c, false);
    b.Transform = t;
    float inverseWorld[4][4];
    std::memcpy(inverseWorld, b.InverseWorldTransform, sizeof inverseWorld);
    TransformInverseWorld(inverseWorld, c);
    std::memcpy(b.InverseWorldTransform, inverseWorld, sizeof inverseWorld);
    b.LODError = b.LODError * scale;
  }
}

// Axial vectors turn by det(L) L: a mirror turns a loop's rotation the
// other way about the mirrored axis, so the axis flips and its advance
// with it; the circle's basis maps like any vector.
void TransformPeriodicLoop(periodic_loop& loop, const basis_conversion& c) {
  const float sign = Determinant(c.Linear) < 0.0f ? -1.0f : 1.0f;
  // Maps v by L, scaled to unit length by `flip`; gives the old length
  // (zero, with a zero vector, when shorter than 1e-5).
  auto normalized = [&](float v[3], float flip) {
    float mapped[3];
    Apply3(c.Linear, v, mapped);
    const float length =
        std::sqrt(mapped[0] * mapped[0] + mapped[1] * mapped[1] + mapped[2] * mapped[2]);
    for (int32_t k = 0; k < 3; ++k) v[k] = length < 1e-5f ? 0.0f : flip * mapped[k] / length;
    return length < 1e-5f ? 0.0f : length;
  };
  float axis[3], basisX[3], basisY[3];  // the record is packed: work on copies
  std::memcpy(axis, loop.Axis, sizeof axis);
  std::memcpy(basisX, loop.BasisX, sizeof basisX);
  std::memcpy(basisY, loop.BasisY, sizeof basisY);
  loop.dZ = loop.dZ * normalized(axis, sign) * sign;
  loop.Radius = loop.Radius * normalized(basisX, 1.0f);
  normalized(basisY, 1.0f);
  std::memcpy(loop.Axis, axis, sizeof axis);
  std::memcpy(loop.BasisX, basisX, sizeof basisX);
  std::memcpy(loop.BasisY, basisY, sizeof basisY);
}

void TransformGroup(track_group* g, conversion_walk& walk) {
  const basis_conversion& c = walk.Conversion;
  const float zero[3] = {0, 0, 0};
  for (int32_t i = 0; g->TransformTracks && i < g->TransformTrackCount; ++i) {
    transform_track& track = g->TransformTracks[i];
    const char* name = track.Name;
    curve2 position = track.PositionCurve, orientation = track.OrientationCurve,
           scale = track.ScaleShearCurve;
    TransformCurveOnce(position, basis_curve_kind::Point, zero, &c.Linear[0][0], walk, name);
    TransformCurveOnce(orientation, basis_curve_kind::Orientation, nullptr, nullptr, walk, name);
    TransformCurveOnce(scale, basis_curve_kind::ScaleShear, nullptr, nullptr, walk, name);
    track.PositionCurve = position;
    track.OrientationCurve = orientation;
    track.ScaleShearCurve = scale;
  }
  const float scale = DistanceScale(c);
  for (int32_t i = 0; g->TransformLODErrors && i < g->TransformLODErrorCount; ++i)
    g->TransformLODErrors[i] = g->TransformLODErrors[i] * scale;
  float loop[3] = {g->LoopTranslation[0], g->LoopTranslation[1], g->LoopTranslation[2]}, moved[3];
  Apply3(c.Linear, loop, moved);
  std::memcpy(g->LoopTranslation, moved, sizeof moved);
  if (g->PeriodicLoop) TransformPeriodicLoop(*g->PeriodicLoop, c);
  // A group of morph weights places nothing: its placement stays as it is.
  constexpr int32_t kMorphWeights = 0x8;
  if ((g->AccumulationFlags & kMorphWeights) == 0) {
    transform placement = g->InitialPlacement;
    TransformTransform(placement, c, true);
    g->InitialPlacement = placement;
  }
}

}  // namespace

bool InvertLinear(const float m[3][3], float inverse[3][3]) {
  float size = 0.0f;
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t k = 0; k < 3; ++k) {
      if (!std::isfinite(m[r][k])) return false;
      size = std::fmax(size, std::fabs(m[r][k]));
    }
  const float det = Determinant(m);
  // A determinant far below the entries' scale cubed is singular to float
  // precision: its inverse would be noise.
  if (!(size > 0.0f) || !(std::fabs(det) > 1e-6f * size * size * size) || !std::isfinite(det))
    return false;
  float out[3][3];
  out[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
  out[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
  out[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
  out[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
  out[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  out[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
  out[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
  out[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
  out[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  std::memcpy(inverse, out, sizeof out);
  return true;
}

bool SetBasisLinear(basis_conversion& conversion, const float linear[3][3]) {
  float inverse[3][3];
  if (!InvertLinear(linear, inverse)) return false;
  std::memcpy(conversion.Linear, linear, sizeof inverse);
  std::memcpy(conversion.InverseLinear, inverse, sizeof inverse);
  return true;
}

bool IsIdentityConversion(const basis_conversion& c) {
  for (int32_t r = 0; r < 3; ++r) {
    if (c.Affine[r] != 0.0f) return false;
    for (int32_t k = 0; k < 3; ++k)
      if (c.Linear[r][k] != (r == k ? 1.0f : 0.0f)) return false;
  }
  return true;
}

void TransformTransform(transform& t, const basis_conversion& c, bool withAffine) {
  float old[3], p[3];  // the record is packed: its arrays are copied, not pointed at
  std::memcpy(old, t.Position, sizeof old);
  Apply3(c.Linear, old, p);
  for (int32_t k = 0; k < 3; ++k) t.Position[k] = p[k] + (withAffine ? c.Affine[k] : 0.0f);
  float q[4];
  std::memcpy(q, t.Orientation, sizeof q);
  ConvertOrientation(q, c);
  std::memcpy(t.Orientation, q, sizeof q);
  float s[3][3], ls[3][3], out[3][3];
  std::memcpy(s, t.ScaleShear, sizeof s);
  Multiply3(&c.Linear[0][0], &s[0][0], &ls[0][0]);
  Multiply3(&ls[0][0], &c.InverseLinear[0][0], &out[0][0]);
  std::memcpy(t.ScaleShear, out, sizeof out);
  CleanTransformFlags(t);
}

bool FirstMeeting(conversion_walk& walk, const void* object) {
  if (object == nullptr) return false;
  uint64_t datum = 0;
  if (GetHashedPointerData(walk.Seen, uint64_t(uintptr_t(object)), &datum)) return false;
  if (AddPointerToHash(walk.Seen, uint64_t(uintptr_t(object)), 0)) return true;
  walk.Ok = false;  // out of memory: better unconverted and failed than twice
  return false;
}

void TransformCurveOnce(curve2& curve, basis_curve_kind kind, const float* affine,
                        const float* matrix, conversion_walk& walk, const char* name) {
  void* old = curve.CurveData.Object;
  if (old == nullptr) return;
  const uint64_t key = uint64_t(uintptr_t(old));
  uint64_t moved = 0;
  if (GetHashedPointerData(walk.Seen, key, &moved)) {
    if (moved != 0 && moved != key) {
      curve_data_view view;
      void* record = reinterpret_cast<void*>(uintptr_t(moved));
      if (ReadCurveData(record, &view)) {
        curve.CurveData.Type = GetCurveFormatType(view.Format);
        curve.CurveData.Object = record;
      }
    }
    return;
  }
  if (!TransformTrackCurve(&curve, kind, affine, matrix, walk.Conversion, name)) walk.Ok = false;
  if (!AddPointerToHash(walk.Seen, key, uint64_t(uintptr_t(curve.CurveData.Object))))
    walk.Ok = false;
}

bool TransformFile(file_info* info, const basis_conversion& c) {
  if (!KT_CHECK_PARAMETER(Basis, info != nullptr)) return false;
  // A conversion whose inverse does not undo it would corrupt everything.
  float product[3][3];
  Multiply3(&c.Linear[0][0], &c.InverseLinear[0][0], &product[0][0]);
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t k = 0; k < 3; ++k)
      if (!(std::fabs(product[r][k] - (r == k ? 1.0f : 0.0f)) <= 1e-4f)) {
        KT_LOG_ERROR(Basis, "The basis conversion's inverse does not match its linear part");
        return false;
      }
  if (IsIdentityConversion(c)) return true;
  // Orientations follow L R L^-1, a rotation only when L is one (times a
  // uniform scale, mirrored or not): anything else skews them.
  const float s = DistanceScale(c);
  bool conformal = s > 0.0f;
  for (int32_t r = 0; r < 3 && conformal; ++r)
    for (int32_t k = 0; k < 3; ++k) {
      const float dot = c.Linear[0][r] * c.Linear[0][k] + c.Linear[1][r] * c.Linear[1][k] +
                        c.Linear[2][r] * c.Linear[2][k];
      if (std::fabs(dot - (r == k ? s * s : 0.0f)) > 1e-3f * s * s) conformal = false;
    }
  if (!conformal) {
    KT_LOG_WARNING(Basis,
                   "The conversion is not a rotation with a uniform scale: orientations "
                   "and scale/shear are only approximated");
  }

  // Each object once, however many owners reach it.
  pointer_hash* seen = NewPointerHash();
  if (seen == nullptr) return false;
  conversion_walk walk{c, seen, true};
  auto first = [&](const void* object) { return FirstMeeting(walk, object); };
  for (int32_t i = 0; info->Skeletons && i < info->SkeletonCount; ++i)
    if (first(info->Skeletons[i])) TransformSkeleton(info->Skeletons[i], c);
  for (int32_t i = 0; info->Models && i < info->ModelCount; ++i) {
    model* m = info->Models[i];
    if (!first(m)) continue;
    if (first(m->Skeleton)) TransformSkeleton(m->Skeleton, c);
    transform placement = m->InitialPlacement;
    TransformTransform(placement, c, true);
    m->InitialPlacement = placement;
  }
  for (int32_t i = 0; info->Meshes && i < info->MeshCount; ++i)
    TransformMeshOnce(info->Meshes[i], walk);
  for (int32_t i = 0; info->Models && i < info->ModelCount; ++i) {
    const model* m = info->Models[i];
    for (int32_t k = 0; m && m->MeshBindings && k < m->MeshBindingCount; ++k)
      TransformMeshOnce(m->MeshBindings[k].Mesh, walk);
  }
  for (int32_t i = 0; info->Animations && i < info->AnimationCount; ++i) {
    const animation* a = info->Animations[i];
    if (!a) continue;
    for (int32_t k = 0; a->TrackGroups && k < a->TrackGroupCount; ++k)
      if (first(a->TrackGroups[k])) TransformGroup(a->TrackGroups[k], walk);
  }
  // Groups that no animation lists are the file's too.
  for (int32_t i = 0; info->TrackGroups && i < info->TrackGroupCount; ++i)
    if (first(info->TrackGroups[i])) TransformGroup(info->TrackGroups[i], walk);
  const bool ok = walk.Ok;
  DeletePointerHash(seen);
  return ok;
}

}  // namespace ketrel
