#pragma once
// Basis conversion: rewriting a whole file in another coordinate system
// (other axes, units or origin) in place.
//
// A conversion maps a point p of the file's world to A + L p and a vector v
// to L v. Every space below the world (a bone's, a model's) is turned by L
// alone, so a transform T from a child space to its parent becomes
// L T L^-1, and only transforms whose parent space is the world also take
// A: the placements that carry a model's roots into the world (a model's
// and a track group's `InitialPlacement`). The origin is therefore applied
// once per chain, however deep the skeleton. Vertices are in the world
// (positions take A); bone binding boxes are in bone space (L alone).
// Normals map by the inverse transpose of L; tangents and binormals are
// directions and map by L; TangentBinormalCross, the cross product of the
// two, by det(L) times the inverse transpose, so it stays their cross
// product under a mirror.
//
// Curves are decoded, converted and re-encoded: in their own format when
// that holds the result within the conversion's tolerances (sampled keys:
// at their own step, within a step), else in the nearest finer format of
// their family, else as float knots and controls.
// Axis swaps and unit changes of three-dimensional curves move the stored
// numbers without re-quantizing. A curve that outgrows its record is
// rebuilt in memory from `Memory`; with no allocator (or no memory) the
// nearest fit that stays in place is written, and a warning names the track.
//
// Objects shared between meshes, models or animations are converted once,
// and so is curve data shared by several tracks. Morph weight groups keep
// their placement.
// Textures, materials, vector tracks (host parameters, morph weights) and
// text tracks carry no coordinates and are left as they are.
//
// Faults are logged (origin Basis) and give false; warnings do not stop the
// conversion.

#include <cstdint>

#include "rt/ketrel_memory.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

enum basis_flags : uint32_t {
  BasisRenormalize = 1,     // directions come out unit length
  BasisReverseWinding = 2,  // a mirroring L reverses every triangle
};

struct basis_conversion {
  float Affine[3] = {0, 0, 0};
  float Linear[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // row-major: v -> L v
  float InverseLinear[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  // How far a re-encoded curve's control values may lie from the exact
  // conversion: positions (in the new units), and unit-scale values
  // (quaternion components, scale/shear elements, directions).
  float AffineTolerance = 1e-4f;
  float LinearTolerance = 1e-4f;
  uint32_t Flags = BasisRenormalize | BasisReverseWinding;
  Allocator Memory;  // for curves that outgrow their record; may be empty
};

// The inverse of a 3x3 matrix by cofactors. False, with `inverse`
// untouched, when a value is not finite or the matrix is singular (its
// determinant is zero or too small for its size to invert in floats).
bool InvertLinear(const float linear[3][3], float inverse[3][3]);
// Fills the conversion's inverse from its L; false for a singular L.
bool SetBasisLinear(basis_conversion& conversion, const float linear[3][3]);
// True when A is zero and L the identity exactly: a conversion that would
// change nothing (TransformFile then leaves every byte alone).
bool IsIdentityConversion(const basis_conversion& conversion);

// Converts everything in the file that carries coordinates. False for a
// null file, an L whose inverse does not match it, or when memory runs out
// (the file is then partly converted).
bool TransformFile(file_info* info, const basis_conversion& conversion);

// ---- The parts, for callers that convert single objects --------------------

// Position A + L p (A only when `withAffine`), orientation L R L^-1 (a zero
// quaternion stays zero), scale/shear L S L^-1; the flags are recomputed.
void TransformTransform(transform& t, const basis_conversion& conversion, bool withAffine);

// The members named Position, Normal, Tangent, Binormal and
// TangentBinormalCross of `count` vertices of `vertexType` (float, half
// float and packed DEC3N members). Deltas take no A, and their directions
// are turned without being scaled. False (logged) for bad arguments.
bool TransformVertices(int32_t count, const data_type_definition* vertexType, void* vertices,
                       const basis_conversion& conversion, bool renormalize, bool deltas);

// One curve of a track (`name` for warnings): what it holds decides the map.
enum class basis_curve_kind { Point, Direction, Orientation, ScaleShear };
// `matrix` (row-major 3x3) maps Point and Direction controls (Point also
// adds `affine`, which may be null); orientations and scale/shear are
// conjugated with L. Identity curves are left alone. False for a curve of
// the wrong dimension or one that does not decode (left unchanged).
bool TransformTrackCurve(curve2* curve, basis_curve_kind kind, const float* affine,
                         const float* matrix, const basis_conversion& conversion, const char* name);

}  // namespace ketrel
