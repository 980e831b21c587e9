#pragma once
// Operations on the file's `transform`: building one from its parts with the
// presence flags cleaned up, the composite 4x4 matrix, its inverse, and the
// rigid rebasing that moves a transform under a placement.
//
// A transform maps a point p to Position + R(Orientation) * (ScaleShear * p):
// scale/shear first, then the rotation, then the translation. ScaleShear is
// stored row by row and maps column vectors.
//
// The 4x4 matrices follow the file's row-vector layout: a point maps as
// [p 1] * M, rows 0..2 hold the images of the axes (the transpose of the
// linear part) and row 3 the translation; column 3 is (0, 0, 0, 1).
//
// Nothing here allocates or logs.

#include "rt/ketrel_data_types.h"

namespace ketrel {

// Presence thresholds: a part counts as present when it differs from the
// identity by at least this much in summed absolute difference.
inline constexpr float kPositionPresenceThreshold = 0.001f;
inline constexpr float kOrientationPresenceThreshold = 0.0001f;
inline constexpr float kScaleShearPresenceThreshold = 0.001f;

// A transform with the given parts (any of which may be null for the identity
// part); every flag starts set and is cleared for parts at the identity.
transform MakeTransform(const float position[3], const float orientation[4],
                        const float scaleShear[9]);
// Recomputes the flags of `t` from its parts.
void CleanTransformFlags(transform& t);

// The composite matrix of `t` in the row-vector layout above.
void BuildCompositeMatrix(const transform& t, float out[4][4]);

// Inverts an affine matrix in the row-vector layout (column 3 is taken to be
// (0, 0, 0, 1)). False, with `out` untouched, when a value is not finite or
// the linear part is singular or too badly conditioned to invert in single
// precision (a zero scale, for instance).
bool InvertAffineMatrix(const float in[4][4], float out[4][4]);

// True when every number of `t` is finite.
bool TransformIsFinite(const transform& t);

// The rigid placement made from a position and an orientation: the position
// unchanged, the orientation normalised (the identity when its length is
// below 0.0001, so a near-zero quaternion cannot blow up), no scale/shear.
transform MakePlacement(const float position[3], const float orientation[4]);

// The inverse of `placement` applied after `t`: the transform u with
// placement * u == t. Only the placement's position and orientation are used
// (it must be rigid); t's scale/shear carries over unchanged.
transform RemovePlacement(const transform& placement, const transform& t);

// `placement` applied after `t` (placement * t), again with a rigid placement.
transform ApplyPlacement(const transform& placement, const transform& t);

}  // namespace ketrel
