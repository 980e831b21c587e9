#pragma once
// The skeleton builder: collects bones in any order, each with its local
// transform and its world transform, links them to parents by index, and lays
// out one `skeleton` whose bones are ordered so that every parent precedes
// its children and bones with larger level-of-detail errors come first.
//
//   skeleton_builder* b = BeginSkeleton(count);
//   AddBone(b, ...) per bone (index = order of adding), SetBoneParent(b, ...)
//   int32_t size = GetResultingSkeletonSize(b);
//   skeleton* s = EndSkeletonInPlace(b, memoryOfSize, remap);  // frees b
//
// LOD errors: a bone's error is the reach of its subtree (the largest
// distance from the bone's origin to any descendant's, measured in the
// bone's own frame, over descendants up to 256 levels down); a leaf gets half its parent's error;
// errors never increase from a parent to a child. `LODType` is 2 when the caller gave any error
// itself, 0 for a skeleton with a childless root or no bones, else 1.
//
// Failures are logged and never thrown: surplus or invalid bones are refused
// (AddBone returns false), invalid parent links are refused, parent cycles
// are broken (the bone where a cycle closes becomes a root) and the written
// skeleton is always a valid forest. Walks are iterative and bounded, so long
// chains and cycles neither recurse deeply nor loop.

#include <cstdint>

#include "rt/ketrel_standard_types.h"

namespace ketrel {

struct skeleton_builder;

// A builder for at most `boneCount` bones (0 is allowed: an empty skeleton).
// Null on a negative count (parameter check) or when memory runs out.
skeleton_builder* BeginSkeleton(int32_t boneCount);

// Adds a bone from its local parts and its world parts. The world transform's
// composite matrix is inverted into the bone's InverseWorldTransform. Arrays:
// position[3], orientation[4] (x, y, z, w), scaleShear[9] (row by row); null
// parts are the identity. `name` is copied when the skeleton is ended, so it
// must stay valid until then (null is allowed and written as null).
// False, with nothing added, when every slot is taken ("AddBone called after
// all allotted bones were already used"), when a value is not finite, or when
// the world matrix is singular (for example a zero scale).
bool AddBone(skeleton_builder* builder, const char* name, const float localPosition[3],
             const float localOrientation[4], const float localScaleShear[9],
             const float worldPosition[3], const float worldOrientation[4],
             const float worldScaleShear[9]);
// Same, with the inverse world matrix given (row-vector layout, see
// rt/ketrel_transform.h).
bool AddBoneWithInverseWorld(skeleton_builder* builder, const char* name,
                             const float localPosition[3], const float localOrientation[4],
                             const float localScaleShear[9], const float inverseWorld[4][4]);

// Makes `parentIndex` (-1: none) the parent of `boneIndex`; both are indices
// in the order of adding. False, with nothing changed, when either index is
// outside the builder's domain or names a bone not added yet.
bool SetBoneParent(skeleton_builder* builder, int32_t boneIndex, int32_t parentIndex);

// Gives bone `boneIndex` an LOD error of its own (>= 0) instead of the
// computed one; the skeleton's LODType then becomes 2.
bool SetBoneLODError(skeleton_builder* builder, int32_t boneIndex, float error);

// The bytes EndSkeletonInPlace writes: the skeleton, its bones, then the bone
// names. 0 (parameter check) for a null builder or a size beyond int32.
int32_t GetResultingSkeletonSize(const skeleton_builder* builder);

// Lays the skeleton out in `memory` (GetResultingSkeletonSize bytes, any
// alignment) and frees the builder, whether it succeeds or not. `remapTable`
// (may be null) receives, for each of the builder's bone slots, the bone's
// index in the written skeleton, or -1 for a slot never filled. The
// skeleton's Name and ExtendedData are null. Null on a null memory or when
// scratch memory runs out.
skeleton* EndSkeletonInPlace(skeleton_builder* builder, void* memory, int32_t* remapTable);

// Frees the builder without writing anything. Accepts null.
void AbortSkeleton(skeleton_builder* builder);

}  // namespace ketrel
