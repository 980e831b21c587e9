#include "rt/ketrel_skeleton_builder.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_transform.h"

namespace ketrel {

namespace {

struct builder_bone {
  int32_t Parent;  // -1 until set
  const char* Name;
  transform Local;
  float InverseWorld[4][4];
  float LODError;  // -1 until computed or given
  bool ErrorGiven;
};

}  // namespace

struct skeleton_builder {
  int32_t MaxBones = 0;
  int32_t UsedBones = 0;
  int32_t LODType = 1;
  builder_bone* Bones = nullptr;
};

namespace {

// Ancestors that receive a bone's offset in the reach computation. Real
// skeletons are far shallower; deeper ancestors still get at least their
// descendants' errors through the lifting step.
constexpr int32_t kReachDepthLimit = 256;

// Scratch of EndSkeletonInPlace, one block for all arrays.
struct end_scratch {
  int32_t* State;     // cycle search: 0 unvisited, 1 on the current path, 2 done
  int32_t* Stack;     // bones waiting to be written, or the current path
  int32_t* Order;     // output position -> input index
  int32_t* SortTemp;  // merge sort buffer
  int32_t* OutIndex;  // input index -> output position
  float* Reach;
  float (*Affine)[12];  // each bone's local transform: 3x3 row-vector part, translation
  void* Block;
};

bool AllocateScratch(int32_t count, end_scratch& s) {
  size_t n = count > 0 ? static_cast<size_t>(count) : 1;
  size_t bytes = n * (5 * sizeof(int32_t) + sizeof(float) + 12 * sizeof(float));
  s.Block = KT_ALLOCATE(bytes);
  if (!s.Block) return false;
  auto* ints = static_cast<int32_t*>(s.Block);
  s.State = ints;
  s.Stack = ints + n;
  s.Order = ints + 2 * n;
  s.SortTemp = ints + 3 * n;
  s.OutIndex = ints + 4 * n;
  s.Reach = reinterpret_cast<float*>(ints + 5 * n);
  s.Affine = reinterpret_cast<float(*)[12]>(s.Reach + n);
  return true;
}

bool AllFinite(const float* values, int count) {
  for (int i = 0; i < count; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

float Length(const float v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

void StoreAffine(const transform& local, float affine[12]) {
  float matrix[4][4];
  BuildCompositeMatrix(local, matrix);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) affine[i * 3 + j] = matrix[i][j];
}

// A point in a bone's frame -> the same point in its parent's frame.
void ToParentFrame(const float affine[12], float v[3]) {
  float out[3];
  for (int j = 0; j < 3; ++j)
    out[j] = v[0] * affine[j] + v[1] * affine[3 + j] + v[2] * affine[6 + j] + affine[9 + j];
  for (int j = 0; j < 3; ++j) v[j] = out[j];
}

// The parent links must form a forest. Walks each chain once; where a chain
// meets a bone already on its own path, that bone becomes a root, which
// breaks the cycle it closes.
void BreakCycles(skeleton_builder* builder, end_scratch& s) {
  const int32_t n = builder->UsedBones;
  for (int32_t i = 0; i < n; ++i) s.State[i] = 0;
  for (int32_t b = 0; b < n; ++b) {
    if (s.State[b] != 0) continue;
    int32_t length = 0;
    int32_t current = b;
    while (current >= 0 && s.State[current] == 0) {
      s.State[current] = 1;
      s.Stack[length++] = current;
      current = builder->Bones[current].Parent;
    }
    if (current >= 0 && s.State[current] == 1) {
      KT_LOG_ERROR(Skeleton, "Circular parenting chain located at bone %d", current);
      builder->Bones[current].Parent = -1;
    }
    for (int32_t i = 0; i < length; ++i) s.State[s.Stack[i]] = 2;
  }
}

// Parents before children: roots in input order, then every other bone in
// input order with its unwritten ancestors written first. Iterative, so a
// long chain cannot exhaust the call stack.
void OrderParentsFirst(const skeleton_builder* builder, end_scratch& s) {
  const int32_t n = builder->UsedBones;
  int32_t written = 0;
  for (int32_t i = 0; i < n; ++i) s.OutIndex[i] = -1;
  for (int32_t b = 0; b < n; ++b) {
    if (builder->Bones[b].Parent < 0) {
      s.OutIndex[b] = written;
      s.Order[written++] = b;
    }
  }
  for (int32_t b = 0; b < n; ++b) {
    int32_t depth = 0;
    // The links are acyclic here, so the walk ends at a written bone or a
    // root; the depth bound only guards against a broken invariant.
    for (int32_t current = b; current >= 0 && s.OutIndex[current] < 0 && depth < n;
         current = builder->Bones[current].Parent) {
      s.Stack[depth++] = current;
    }
    while (depth > 0) {
      int32_t bone = s.Stack[--depth];
      s.OutIndex[bone] = written;
      s.Order[written++] = bone;
    }
  }
}

void ComputeLODErrors(skeleton_builder* builder, end_scratch& s) {
  const int32_t n = builder->UsedBones;
  builder_bone* bones = builder->Bones;
  for (int32_t b = 0; b < n; ++b) {
    s.Reach[b] = -1.0f;
    StoreAffine(bones[b].Local, s.Affine[b]);
  }
  // Reach: the largest distance from an ancestor's origin to a descendant's,
  // in the ancestor's frame. The offset is carried up with each ancestor's
  // whole local transform, translation included, so it measures the extent
  // of the subtree rather than the length of its last link. The walk stops
  // after kReachDepthLimit ancestors so that a degenerate chain of many
  // thousands of bones costs linear, not quadratic, time.
  for (int32_t b = 0; b < n; ++b) {
    float v[3] = {bones[b].Local.Position[0], bones[b].Local.Position[1],
                  bones[b].Local.Position[2]};
    int32_t steps = 0;
    for (int32_t a = bones[b].Parent; a >= 0 && steps < kReachDepthLimit;
         a = bones[a].Parent, ++steps) {
      float length = Length(v);
      if (length > s.Reach[a]) s.Reach[a] = length;
      ToParentFrame(s.Affine[a], v);
    }
  }
  for (int32_t b = 0; b < n; ++b) {
    if (bones[b].ErrorGiven)
      builder->LODType = 2;
    else
      bones[b].LODError = s.Reach[b];
  }
  // Childless bones: half the parent's error; a childless root means the
  // skeleton cannot be reduced by level of detail.
  for (int32_t b = 0; b < n; ++b) {
    if (bones[b].LODError >= 0) continue;
    int32_t parent = bones[b].Parent;
    if (parent >= 0) {
      bones[b].LODError = bones[parent].LODError * 0.5f;
    } else if (builder->LODType != 2) {
      builder->LODType = 0;
    }
  }
  // Children after parents in Order: walking it backwards lifts every parent
  // to at least its largest child in one pass.
  for (int32_t k = n - 1; k >= 0; --k) {
    int32_t b = s.Order[k];
    int32_t parent = bones[b].Parent;
    if (parent >= 0 && bones[b].LODError > bones[parent].LODError)
      bones[parent].LODError = bones[b].LODError;
  }
}

// Stable merge sort of Order by LOD error, largest first: equal errors keep
// their order, so parents stay ahead of children.
void SortByLODError(const skeleton_builder* builder, end_scratch& s) {
  const int32_t n = builder->UsedBones;
  int32_t* from = s.Order;
  int32_t* to = s.SortTemp;
  for (int32_t width = 1; width < n; width *= 2) {
    for (int32_t start = 0; start < n; start += 2 * width) {
      int32_t middle = start + width < n ? start + width : n;
      int32_t end = start + 2 * width < n ? start + 2 * width : n;
      int32_t i = start, j = middle, k = start;
      while (i < middle && j < end) {
        // Take from the right only when strictly larger.
        if (builder->Bones[from[j]].LODError > builder->Bones[from[i]].LODError)
          to[k++] = from[j++];
        else
          to[k++] = from[i++];
      }
      while (i < middle) to[k++] = from[i++];
      while (j < end) to[k++] = from[j++];
    }
    int32_t* swap = from;
    from = to;
    to = swap;
  }
  if (from != s.Order) std::memcpy(s.Order, from, sizeof(int32_t) * static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) s.OutIndex[s.Order[k]] = k;
}

int64_t MeasureSkeleton(const skeleton_builder* builder) {
  int64_t size = static_cast<int64_t>(sizeof(skeleton)) +
                 static_cast<int64_t>(builder->UsedBones) * static_cast<int64_t>(sizeof(bone));
  for (int32_t b = 0; b < builder->UsedBones; ++b) {
    const char* name = builder->Bones[b].Name;
    if (name) size += static_cast<int64_t>(std::strlen(name)) + 1;
  }
  return size;
}

}  // namespace

skeleton_builder* BeginSkeleton(int32_t boneCount) {
  if (!KT_CHECK_PARAMETER(Skeleton, boneCount >= 0)) return nullptr;
  auto* builder = static_cast<skeleton_builder*>(KT_ALLOCATE_CLEARED(sizeof(skeleton_builder)));
  if (!builder) return nullptr;
  builder->MaxBones = boneCount;
  builder->UsedBones = 0;
  builder->LODType = 1;
  builder->Bones = KT_ALLOCATE_ARRAY(builder_bone, boneCount > 0 ? boneCount : 1);
  if (!builder->Bones) {
    FreeBlock(builder);
    return nullptr;
  }
  return builder;
}

void AbortSkeleton(skeleton_builder* builder) {
  if (!builder) return;
  FreeBlock(builder->Bones);
  FreeBlock(builder);
}

bool AddBoneWithInverseWorld(skeleton_builder* builder, const char* name,
                             const float localPosition[3], const float localOrientation[4],
                             const float localScaleShear[9], const float inverseWorld[4][4]) {
  if (!KT_CHECK_PARAMETER(Skeleton, builder && inverseWorld)) return false;
  if (builder->UsedBones >= builder->MaxBones) {
    KT_LOG_ERROR(Skeleton, "AddBone called after all allotted bones were already used");
    return false;
  }
  transform local = MakeTransform(localPosition, localOrientation, localScaleShear);
  if (!TransformIsFinite(local) || !AllFinite(&inverseWorld[0][0], 16)) {
    KT_LOG_ERROR(Skeleton, "Bone %s has a transform that is not a finite number",
                 name ? name : "(unnamed)");
    return false;
  }
  builder_bone& bone = builder->Bones[builder->UsedBones++];
  bone.Parent = -1;
  bone.Name = name;
  bone.Local = local;
  std::memcpy(bone.InverseWorld, inverseWorld, sizeof(bone.InverseWorld));
  bone.LODError = -1.0f;
  bone.ErrorGiven = false;
  return true;
}

bool AddBone(skeleton_builder* builder, const char* name, const float localPosition[3],
             const float localOrientation[4], const float localScaleShear[9],
             const float worldPosition[3], const float worldOrientation[4],
             const float worldScaleShear[9]) {
  if (!KT_CHECK_PARAMETER(Skeleton, builder)) return false;
  if (builder->UsedBones >= builder->MaxBones) {
    KT_LOG_ERROR(Skeleton, "AddBone called after all allotted bones were already used");
    return false;
  }
  transform world = MakeTransform(worldPosition, worldOrientation, worldScaleShear);
  float matrix[4][4];
  float inverse[4][4];
  BuildCompositeMatrix(world, matrix);
  // A singular world matrix (zero scale) or NaN has no inverse to bind with.
  if (!TransformIsFinite(world) || !InvertAffineMatrix(matrix, inverse)) {
    KT_LOG_ERROR(Skeleton, "Bone %s has a singular world transform and is left out",
                 name ? name : "(unnamed)");
    return false;
  }
  return AddBoneWithInverseWorld(builder, name, localPosition, localOrientation, localScaleShear,
                                 inverse);
}

bool SetBoneParent(skeleton_builder* builder, int32_t boneIndex, int32_t parentIndex) {
  if (!KT_CHECK_PARAMETER(Skeleton, builder)) return false;
  if (boneIndex < 0 || boneIndex >= builder->MaxBones) {
    KT_LOG_ERROR(Skeleton, "SetBoneParent bone index (%d) is out of specified bone domain (%d)",
                 boneIndex, builder->MaxBones);
    return false;
  }
  if (parentIndex < -1 || parentIndex >= builder->MaxBones) {
    KT_LOG_ERROR(Skeleton, "SetBoneParent parent index (%d) is out of specified bone domain (%d)",
                 parentIndex, builder->MaxBones);
    return false;
  }
  // Slots not filled yet hold no bone: linking to them would write a parent
  // index that no bone of the skeleton has.
  if (boneIndex >= builder->UsedBones) {
    KT_LOG_ERROR(Skeleton, "SetBoneParent bone index (%d) names a bone not added yet (%d added)",
                 boneIndex, builder->UsedBones);
    return false;
  }
  if (parentIndex >= builder->UsedBones) {
    KT_LOG_ERROR(Skeleton, "SetBoneParent parent index (%d) names a bone not added yet (%d added)",
                 parentIndex, builder->UsedBones);
    return false;
  }
  builder->Bones[boneIndex].Parent = parentIndex;
  return true;
}

bool SetBoneLODError(skeleton_builder* builder, int32_t boneIndex, float error) {
  if (!KT_CHECK_PARAMETER(Skeleton, builder && boneIndex >= 0 && boneIndex < builder->UsedBones &&
                                        error >= 0 && std::isfinite(error)))
    return false;
  builder->Bones[boneIndex].LODError = error;
  builder->Bones[boneIndex].ErrorGiven = true;
  return true;
}

int32_t GetResultingSkeletonSize(const skeleton_builder* builder) {
  if (!KT_CHECK_PARAMETER(Skeleton, builder)) return 0;
  int64_t size = MeasureSkeleton(builder);
  if (!KT_CHECK_PARAMETER(Skeleton, size <= INT32_MAX)) return 0;
  return static_cast<int32_t>(size);
}

skeleton* EndSkeletonInPlace(skeleton_builder* builder, void* memory, int32_t* remapTable) {
  if (!KT_CHECK_PARAMETER(Skeleton, builder && memory)) {
    AbortSkeleton(builder);
    return nullptr;
  }
  const int64_t measured = MeasureSkeleton(builder);
  end_scratch s{};
  if (!KT_CHECK_PARAMETER(Skeleton, measured <= INT32_MAX) ||
      !AllocateScratch(builder->UsedBones, s)) {
    AbortSkeleton(builder);
    return nullptr;
  }
  const int32_t n = builder->UsedBones;
  BreakCycles(builder, s);
  OrderParentsFirst(builder, s);
  ComputeLODErrors(builder, s);
  SortByLODError(builder, s);

  auto* base = static_cast<uint8_t*>(memory);
  auto* result = reinterpret_cast<skeleton*>(base);
  auto* bones = reinterpret_cast<bone*>(base + sizeof(skeleton));
  char* names = reinterpret_cast<char*>(base + sizeof(skeleton) + sizeof(bone) * n);
  bool anyGiven = false;
  for (int32_t k = 0; k < n; ++k) {
    const builder_bone& source = builder->Bones[s.Order[k]];
    bone out{};
    if (source.Name) {
      size_t length = std::strlen(source.Name) + 1;
      std::memcpy(names, source.Name, length);
      out.Name = names;
      names += length;
    }
    out.ParentIndex = source.Parent >= 0 ? s.OutIndex[source.Parent] : -1;
    out.Transform = source.Local;
    std::memcpy(out.InverseWorldTransform, source.InverseWorld, sizeof(out.InverseWorldTransform));
    out.LODError = source.LODError;
    out.ExtendedData = variant{nullptr, nullptr};
    std::memcpy(&bones[k], &out, sizeof(bone));
    anyGiven = anyGiven || source.ErrorGiven;
  }
  skeleton header{};
  header.Name = nullptr;
  header.BoneCount = n;
  header.Bones = n > 0 ? bones : nullptr;
  if (anyGiven)
    header.LODType = 2;
  else
    header.LODType = (n > 0 && bones[0].LODError != 0.0f) ? builder->LODType : 0;
  header.ExtendedData = variant{nullptr, nullptr};
  std::memcpy(result, &header, sizeof(skeleton));

  if (remapTable) {
    for (int32_t b = 0; b < builder->MaxBones; ++b) remapTable[b] = b < n ? s.OutIndex[b] : -1;
  }
  // Everything written must be exactly what was measured.
  const bool sizeMatches = names - reinterpret_cast<char*>(base) == measured;
  FreeBlock(s.Block);
  AbortSkeleton(builder);
  if (!sizeMatches) {
    KT_LOG_ERROR(Skeleton, "Skeleton layout wrote a different size than it measured");
    return nullptr;
  }
  return result;
}

}  // namespace ketrel
