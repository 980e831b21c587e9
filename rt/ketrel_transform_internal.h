#pragma once
// What the basis conversion modules share (ketrel_transform_file.cpp,
// ketrel_transform_mesh.cpp, ketrel_transform_curves.cpp); not installed
// for games.

#include "rt/ketrel_pointer_hash.h"
#include "rt/ketrel_transform_file.h"

namespace ketrel {

// 3x3 matrices row by row, and unit quaternions (x, y, z, w) to and from them.
void Multiply3(const float* a, const float* b, float* out);
void QuaternionToMatrix(const float* q, float* m);
void MatrixToQuaternion(const float* m, float* q);

// q -> the quaternion of L R(q) L^-1, with q's length and the sign of its w
// kept. A zero or non-finite quaternion is left as it is.
void ConvertOrientation(float q[4], const basis_conversion& conversion);

// One walk over a file: what it converted so far, and whether all went well.
struct conversion_walk {
  const basis_conversion& Conversion;
  pointer_hash* Seen;  // every object met so far (curve data: -> its new record)
  bool Ok;
};

// True the first time `object` is met (false for null).
bool FirstMeeting(conversion_walk& walk, const void* object);

// A curve converted once however many tracks share its data: a later
// meeting takes the record the first one made.
void TransformCurveOnce(curve2& curve, basis_curve_kind kind, const float* affine,
                        const float* matrix, conversion_walk& walk, const char* name);

// Converts a mesh and what it holds (vertex data, morph targets, topology),
// each object the first time it is met; later meetings do nothing.
void TransformMeshOnce(mesh* m, conversion_walk& walk);

}  // namespace ketrel
