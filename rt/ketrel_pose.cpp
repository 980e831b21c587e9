#include "rt/ketrel_pose.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_playback.h"
#include "rt/ketrel_transform.h"

namespace ketrel {
namespace {

// out = a then b (row vectors: [p 1] * a * b). Column 3 of both is
// (0, 0, 0, 1), so only the affine part is computed. `out` may be a or b.
void MultiplyAffine(const matrix4x4& a, const matrix4x4& b, matrix4x4& out) {
  float r[4][3];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) {
      r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    }
  }
  for (int j = 0; j < 3; ++j) r[3][j] += b[3][j];
  for (int i = 0; i < 4; ++i) {
    out[i][0] = r[i][0];
    out[i][1] = r[i][1];
    out[i][2] = r[i][2];
    out[i][3] = i == 3 ? 1.0f : 0.0f;
  }
}

void SetIdentity(matrix4x4& m) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0f : 0.0f;
}

void NormalizeQuaternion(float q[4]) {
  const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(length > 1e-12f)) {
    q[0] = q[1] = q[2] = 0.0f;
    q[3] = 1.0f;
    return;
  }
  for (int i = 0; i < 4; ++i) q[i] /= length;
}

// a + (b - a) * w on the shorter arc, normalised.
void Nlerp(const float a[4], const float b[4], float w, float out[4]) {
  const float dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  const float sign = dot < 0.0f ? -1.0f : 1.0f;
  for (int i = 0; i < 4; ++i) out[i] = a[i] + (sign * b[i] - a[i]) * w;
  NormalizeQuaternion(out);
}

// b first, then a.
void MultiplyQuaternions(const float a[4], const float b[4], float out[4]) {
  const float x = a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1];
  const float y = a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0];
  const float z = a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3];
  const float w = a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2];
  out[0] = x;
  out[1] = y;
  out[2] = z;
  out[3] = w;
}

// Position and scale/shear of `out`: start + (to - from) * w. A blend
// moves from a towards b (start = from = a); a layer adds its change from
// its reference to the base.
void AddScaledDifference(const transform& start, const transform& to, const transform& from,
                         float w, transform& out) {
  for (int k = 0; k < 3; ++k)
    out.Position[k] = start.Position[k] + (to.Position[k] - from.Position[k]) * w;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      out.ScaleShear[r][c] =
          start.ScaleShear[r][c] + (to.ScaleShear[r][c] - from.ScaleShear[r][c]) * w;
}

void QuaternionOf(const transform& t, float q[4]) {
  std::memcpy(q, t.Orientation, 4 * sizeof(float));
}

float BoneWeight(float weight, const float* boneWeights, int32_t bone) {
  return boneWeights != nullptr ? weight * boneWeights[bone] : weight;
}

bool SkeletonIsOrdered(const skeleton* skeleton) {
  for (int32_t i = 0; i < skeleton->BoneCount; ++i) {
    const int32_t parent = skeleton->Bones[i].ParentIndex;
    if (parent >= i) {
      KT_LOG_ERROR(TrackGroup, "Skeleton %s: bone %d has parent %d, which does not come before it",
                   skeleton->Name ? skeleton->Name : "(unnamed)", i, parent);
      return false;
    }
  }
  return true;
}

}  // namespace

size_t GetLocalPoseSize(int32_t boneCount) {
  return boneCount > 0 ? size_t(boneCount) * sizeof(transform) : 0;
}

size_t GetWorldPoseSize(int32_t boneCount) {
  return boneCount > 0 ? size_t(boneCount) * sizeof(matrix4x4) : 0;
}

bool GetRestPose(const skeleton* skeleton, transform* local) {
  if (!KT_CHECK_PARAMETER(TrackGroup, skeleton != nullptr && local != nullptr)) return false;
  for (int32_t i = 0; i < skeleton->BoneCount; ++i) local[i] = skeleton->Bones[i].Transform;
  return true;
}

bool BuildWorldPose(const skeleton* skeleton, const transform* local, const matrix4x4* offset,
                    matrix4x4* world) {
  if (!KT_CHECK_PARAMETER(TrackGroup, skeleton != nullptr && local != nullptr && world != nullptr))
    return false;
  if (!SkeletonIsOrdered(skeleton)) return false;
  for (int32_t i = 0; i < skeleton->BoneCount; ++i) {
    matrix4x4 matrix;
    BuildCompositeMatrix(local[i], matrix);
    const int32_t parent = skeleton->Bones[i].ParentIndex;
    if (parent >= 0) {
      MultiplyAffine(matrix, world[parent], world[i]);
    } else if (offset != nullptr) {
      MultiplyAffine(matrix, *offset, world[i]);
    } else {
      std::memcpy(world[i], matrix, sizeof(matrix4x4));
    }
  }
  return true;
}

bool BindMeshToSkeleton(const mesh* mesh, const skeleton* skeleton, int32_t* boneIndices) {
  if (!KT_CHECK_PARAMETER(TrackGroup, mesh != nullptr && skeleton != nullptr &&
                                          (boneIndices != nullptr || mesh->BoneBindingCount == 0)))
    return false;
  bool all = true;
  for (int32_t b = 0; b < mesh->BoneBindingCount; ++b) {
    const char* name = mesh->BoneBindings[b].BoneName;
    boneIndices[b] = FindBone(skeleton, name);
    if (boneIndices[b] < 0) {
      KT_LOG_ERROR(TrackGroup, "Mesh %s is bound to bone %s, which skeleton %s does not have",
                   mesh->Name ? mesh->Name : "(unnamed)", name ? name : "(unnamed)",
                   skeleton->Name ? skeleton->Name : "(unnamed)");
      all = false;
    }
  }
  return all;
}

size_t GetSkinningMatricesSize(const mesh* mesh) {
  return mesh != nullptr ? GetWorldPoseSize(mesh->BoneBindingCount) : 0;
}

bool BuildSkinningMatrices(const skeleton* skeleton, const mesh* mesh, const int32_t* boneIndices,
                           const matrix4x4* world, matrix4x4* skinning) {
  if (!KT_CHECK_PARAMETER(TrackGroup, skeleton != nullptr && mesh != nullptr && world != nullptr &&
                                          (mesh->BoneBindingCount == 0 ||
                                           (boneIndices != nullptr && skinning != nullptr))))
    return false;
  bool ok = true;
  for (int32_t b = 0; b < mesh->BoneBindingCount; ++b) {
    const int32_t bone = boneIndices[b];
    if (bone < 0 || bone >= skeleton->BoneCount) {
      ok = ok && bone == -1;  // -1 is an unbound name, anything else a bad table
      SetIdentity(skinning[b]);
      continue;
    }
    matrix4x4 inverse;
    std::memcpy(inverse, skeleton->Bones[bone].InverseWorldTransform, sizeof inverse);
    MultiplyAffine(inverse, world[bone], skinning[b]);
  }
  if (!ok) KT_PARAMETER_CHECK_FAILED(TrackGroup);
  return ok;
}

bool BlendLocalPoses(const transform* a, const transform* b, int32_t boneCount, float weight,
                     const float* boneWeights, transform* out) {
  if (!KT_CHECK_PARAMETER(TrackGroup, a != nullptr && b != nullptr && out != nullptr &&
                                          boneCount >= 0 && std::isfinite(weight)))
    return false;
  for (int32_t i = 0; i < boneCount; ++i) {
    const float w = BoneWeight(weight, boneWeights, i);
    transform result;
    result.Flags = a[i].Flags | b[i].Flags;
    AddScaledDifference(a[i], b[i], a[i], w, result);
    float qa[4], qb[4], q[4];
    QuaternionOf(a[i], qa);
    QuaternionOf(b[i], qb);
    Nlerp(qa, qb, w, q);
    std::memcpy(result.Orientation, q, sizeof q);
    out[i] = result;
  }
  return true;
}

bool ApplyAdditiveLayer(const transform* base, const transform* layer, const transform* reference,
                        int32_t boneCount, float weight, const float* boneWeights, transform* out) {
  if (!KT_CHECK_PARAMETER(TrackGroup, base != nullptr && layer != nullptr && reference != nullptr &&
                                          out != nullptr && boneCount >= 0 &&
                                          std::isfinite(weight)))
    return false;
  static const float kIdentity[4] = {0, 0, 0, 1};
  for (int32_t i = 0; i < boneCount; ++i) {
    const float w = BoneWeight(weight, boneWeights, i);
    transform result;
    result.Flags = base[i].Flags | layer[i].Flags | reference[i].Flags;
    AddScaledDifference(base[i], layer[i], reference[i], w, result);
    float qb[4], ql[4], conjugate[4], delta[4], scaled[4], q[4];
    QuaternionOf(base[i], qb);
    QuaternionOf(layer[i], ql);
    QuaternionOf(reference[i], conjugate);
    for (int k = 0; k < 3; ++k) conjugate[k] = -conjugate[k];
    MultiplyQuaternions(conjugate, ql, delta);
    Nlerp(kIdentity, delta, w, scaled);
    MultiplyQuaternions(qb, scaled, q);
    NormalizeQuaternion(q);
    std::memcpy(result.Orientation, q, sizeof q);
    out[i] = result;
  }
  return true;
}

}  // namespace ketrel
