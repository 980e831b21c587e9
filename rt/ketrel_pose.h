#pragma once
// Poses for playback: local transforms to world matrices, skinning matrices
// for a mesh, and blending two poses or adding a layer.
//
// A local pose is an array of `transform`, one per skeleton bone, in the
// skeleton's order (parents before children), each relative to its parent.
// A world pose is an array of 4x4 matrices in the file's row-vector layout
// (ketrel_transform.h): a point maps as [p 1] * M, row 3 the translation.
// The caller owns every pose buffer and sizes it with the *Size calls; none
// of these operations allocates, and all of them accept an output that is
// also an input where that is said.
//
// Parameter faults (null pointers, a negative count, a bone whose parent
// does not come before it) are logged (origin TrackGroup) and give false.

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_standard_types.h"

namespace ketrel {

using matrix4x4 = float[4][4];

// Bytes of a local pose and of a world pose of `boneCount` bones; 0 for a
// negative count.
size_t GetLocalPoseSize(int32_t boneCount);
size_t GetWorldPoseSize(int32_t boneCount);

// The skeleton's rest pose (each bone's stored `Transform`).
bool GetRestPose(const skeleton* skeleton, transform* local);

// World matrices of every bone: a bone's local matrix, then its parent's
// world matrix; a root's local matrix, then `offset` (the model's place in
// the world; null for none). A skeleton whose bones do not list parents
// first is refused.
bool BuildWorldPose(const skeleton* skeleton, const transform* local, const matrix4x4* offset,
                    matrix4x4* world);

// ---- Skinning ---------------------------------------------------------------

// For each of the mesh's bone bindings, the index of the skeleton bone of
// that name (`boneIndices`: mesh->BoneBindingCount entries), made once per
// mesh and skeleton. False (logged with the name) when a binding names a
// bone the skeleton lacks; its entry is then -1.
bool BindMeshToSkeleton(const mesh* mesh, const skeleton* skeleton, int32_t* boneIndices);
// Bytes of the mesh's skinning matrices (one per bone binding).
size_t GetSkinningMatricesSize(const mesh* mesh);
// Per bone binding: the bone's inverse world (bind) matrix, then its world
// matrix, so a vertex as stored in the mesh lands where the pose puts it.
// A binding whose index is -1 gets the identity.
bool BuildSkinningMatrices(const skeleton* skeleton, const mesh* mesh, const int32_t* boneIndices,
                           const matrix4x4* world, matrix4x4* skinning);

// ---- Blending ---------------------------------------------------------------

// out = a blended towards b by `weight` (0 gives a, 1 gives b), per bone
// weight × boneWeights[i] when `boneWeights` is given (a mask for part of
// the body). Positions and scale/shear interpolate linearly; orientations
// take the shorter way and come out unit length. `out` may be a or b.
bool BlendLocalPoses(const transform* a, const transform* b, int32_t boneCount, float weight,
                     const float* boneWeights, transform* out);

// An additive layer: the change from `reference` to `layer` (say the first
// frame of an aim or breathing clip and its pose now), scaled by `weight`
// (and boneWeights[i]), added on top of `base`. Positions and scale/shear
// add the difference; orientations turn by conj(reference) * layer in the
// bone's own frame: out = base * delta. `out` may be base.
bool ApplyAdditiveLayer(const transform* base, const transform* layer, const transform* reference,
                        int32_t boneCount, float weight, const float* boneWeights, transform* out);

}  // namespace ketrel
