#pragma once
// What the basis conversion modules share (ketrel_transform_file.cpp,
// ketrel_transform_mesh.cpp, ketrel_transform_curves.cpp); not installed
// for games.

#include "rt/ketrel_pointer_hash.h"
#include "rt/ketrel_transform_file.h"

namespace ketrel {

// q -> the quaternion of L R(q) L^-1, with q's length and the sign of its w
// kept. A zero or non-finite quaternion is left as it is.
void ConvertOrientation(float q[4], const basis_conversion& conversion);

struct mesh_conversion_state {
  const basis_conversion& Conversion;
  pointer_hash* Seen;  // every object converted so far
  bool Ok;
};

// Converts a mesh and what it holds (vertex data, morph targets, topology),
// each object the first time it is met; later meetings do nothing.
void TransformMeshOnce(mesh* m, mesh_conversion_state& state);

}  // namespace ketrel
