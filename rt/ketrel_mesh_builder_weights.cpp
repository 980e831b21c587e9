// Weights of positions: the K heaviest bones of each position, renormalised
// and quantised so integer weights sum exactly to one.

#include <cmath>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_mesh_builder.h"
#include "rt/ketrel_mesh_builder_internal.h"

namespace ketrel {

// Puts the kept bone weights and indices of the current position into
// `bytes` (steps: keep the K heaviest, renormalise, quantise exactly).
void WriteWeights(mesh_builder* b, uint8_t* bytes) {
  const int32_t slots = b->WeightSlots;
  if (slots == 0) return;
  for (int32_t j = 0; j < slots; ++j) {
    b->SlotWeights[j] = 0.0f;
    b->SlotBones[j] = 0;
  }
  // Bone order decides between equal weights, whatever order they came in.
  int32_t* touched = b->TouchedBones;
  for (int32_t i = 1; i < b->TouchedCount; ++i) {
    const int32_t bone = touched[i];
    int32_t j = i;
    for (; j > 0 && touched[j - 1] > bone; --j) touched[j] = touched[j - 1];
    touched[j] = bone;
  }
  for (int32_t i = 0; i < b->TouchedCount; ++i) {
    const int32_t bone = touched[i];
    const float weight = b->CurrentWeights[bone];
    int32_t j = 0;
    while (j < slots && !(b->SlotWeights[j] < weight)) ++j;
    if (j == slots) continue;
    for (int32_t k = slots - 1; k > j; --k) {
      b->SlotWeights[k] = b->SlotWeights[k - 1];
      b->SlotBones[k] = b->SlotBones[k - 1];
    }
    b->SlotWeights[j] = weight;
    b->SlotBones[j] = bone;
  }
  double sum = 0.0;
  for (int32_t j = 0; j < slots; ++j) sum += b->SlotWeights[j];
  if (sum > 0.0 && std::isfinite(sum)) {
    for (int32_t j = 0; j < slots; ++j) {
      b->SlotWeights[j] = static_cast<float>(b->SlotWeights[j] / sum);
    }
  } else {
    for (int32_t j = 0; j < slots; ++j) b->SlotWeights[j] = 0.0f;
    b->SlotWeights[0] = 1.0f;
  }
  // Unused slots point at the main bone so a skinning shader reads a valid
  // bone for them.
  for (int32_t j = 1; j < slots; ++j) {
    if (b->SlotWeights[j] == 0.0f) b->SlotBones[j] = b->SlotBones[0];
  }
  if (b->WeightsPlan >= 0) {
    const vertex_member_plan& plan = b->Plans[b->WeightsPlan];
    StoreMemberFloats(plan, bytes, b->SlotWeights, slots);
    EnsureExactOneNorm(plan.Member, bytes + plan.Offset);
  }
  if (b->IndicesPlan >= 0) {
    const vertex_member_plan& plan = b->Plans[b->IndicesPlan];
    const member_type_info* info = GetMemberTypeInfo(plan.Member->Type);
    for (int32_t j = 0; j < plan.Width; ++j) {
      const int32_t bone = j < slots ? b->SlotBones[j] : b->SlotBones[0];
      StoreMemberStored(plan.Member->Type, bytes + plan.Offset + j * info->Size64, bone);
    }
  }
}

// The members a position owns (position, weights, indices) are shared by
// every vertex of its ring.
void CopyPositionMembers(mesh_builder* b, int32_t from, int32_t to) {
  const uint8_t* source = VertexBytes(b, from);
  uint8_t* destination = VertexBytes(b, to);
  for (int32_t i = 0; i < b->MemberCount; ++i) {
    const vertex_member_plan& plan = b->Plans[i];
    if (plan.Kind == vertex_member_kind::Position || plan.Kind == vertex_member_kind::BoneWeights ||
        plan.Kind == vertex_member_kind::BoneIndices) {
      std::memcpy(destination + plan.Offset, source + plan.Offset,
                  static_cast<size_t>(GetMemberTypeSize(plan.Member)));
    }
  }
}

void SetPosition(mesh_builder* b, float x, float y, float z) {
  if (b == nullptr) return;
  b->CurrentPosition[0] = x;
  b->CurrentPosition[1] = y;
  b->CurrentPosition[2] = z;
}

void AddWeight(mesh_builder* b, int32_t bone, float weight) {
  if (b == nullptr) return;
  if (!KT_CHECK_PARAMETER(
          Mesh, bone >= 0 && bone < b->BoneCount && std::isfinite(weight) && weight >= 0.0f)) {
    return;
  }
  if (!b->BoneTouched[bone]) {
    b->BoneTouched[bone] = 1;
    b->TouchedBones[b->TouchedCount++] = bone;
  }
  b->CurrentWeights[bone] += weight;
}

void PushVertex(mesh_builder* b) {
  if (b == nullptr) return;
  if (KT_CHECK_PARAMETER(Mesh, b->PushedPositions < b->PositionCount)) {
    const int32_t vertex = b->PushedPositions++;
    uint8_t* bytes = VertexBytes(b, vertex);
    if (b->PositionPlan >= 0) {
      StoreMemberFloats(b->Plans[b->PositionPlan], bytes, b->CurrentPosition, 3);
    }
    WriteWeights(b, bytes);
    for (int32_t other = b->Next[vertex]; other != vertex; other = b->Next[other]) {
      CopyPositionMembers(b, vertex, other);
    }
  }
  b->CurrentPosition[0] = b->CurrentPosition[1] = b->CurrentPosition[2] = 0.0f;
  for (int32_t i = 0; i < b->TouchedCount; ++i) {
    b->CurrentWeights[b->TouchedBones[i]] = 0.0f;
    b->BoneTouched[b->TouchedBones[i]] = 0;
  }
  b->TouchedCount = 0;
}
}  // namespace ketrel
