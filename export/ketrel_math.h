#pragma once
// Small linear algebra for the exporter: vectors, quaternions, 3x3 matrices,
// the host's 4x3 affine matrices, polar decomposition and the split of a host
// matrix into position, orientation and scale/shear. Standard library only.
//
// Conventions: quaternions are (x, y, z, w). Host matrices follow the host's
// row-vector convention: a point p maps to p * M, rows 0..2 are the images
// of the x, y and z axes and row 3 is the translation; so A * B applies A
// first. Matrix3 is indexed m[row][column] and maps column vectors (M * v).

#include <cstdint>

namespace ketrel {

struct Vector3 {
  float x = 0, y = 0, z = 0;
};

struct Quaternion {
  float x = 0, y = 0, z = 0, w = 1;
};

struct Matrix3 {
  float m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

struct HostMatrix {
  float m[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}};
};

// One transform split into its parts, as the file's `transform` holds them.
struct TransformParts {
  float Position[3] = {0, 0, 0};
  float Orientation[4] = {0, 0, 0, 1};  // unit quaternion (x, y, z, w)
  float ScaleShear[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

// Quaternions.
Quaternion Normalize(const Quaternion& q);                      // identity for a zero quaternion
Quaternion Multiply(const Quaternion& a, const Quaternion& b);  // b first, then a
Quaternion QuaternionFromAxisAngle(const Vector3& axis, float radians);
// Of a proper rotation matrix (column-vector convention); normalised.
Quaternion QuaternionFromMatrix(const Matrix3& rotation);
Matrix3 MatrixFromQuaternion(const Quaternion& q);
// Shortest-arc spherical interpolation, t in [0, 1].
Quaternion Slerp(const Quaternion& a, const Quaternion& b, float t);

// 3x3 matrices (column-vector convention).
Matrix3 Multiply(const Matrix3& a, const Matrix3& b);
Matrix3 Transpose(const Matrix3& a);
float Determinant(const Matrix3& a);
// The largest factor by which the matrix stretches any vector (its largest
// singular value); `m` given as the 3x3 of a transform's scale/shear.
float LargestStretch(const float (&m)[3][3]);

// Host matrices.
HostMatrix Multiply(const HostMatrix& a, const HostMatrix& b);  // a first, then b
// False (and `out` untouched) when the matrix is singular.
bool Inverse(const HostMatrix& a, HostMatrix& out);
// The host matrix that scales, then rotates by `rotation`, then translates.
HostMatrix ComposeHostMatrix(const Vector3& position, const Quaternion& rotation,
                             const Vector3& scale);
// The upper 3x3 of a host matrix as a column-vector Matrix3 (its transpose).
Matrix3 LinearPart(const HostMatrix& a);

// Polar decomposition M = Q * S with Q orthogonal and S symmetric, by
// iterating Q <- (Q + Q^-T) / 2 until successive Qs differ by less than
// `tolerance` (summed absolute difference). Returns false when it did not
// converge (or M is singular); Q and S are then the best found. Q may be a
// reflection when det(M) < 0.
bool PolarDecompose(const Matrix3& m, float tolerance, Matrix3& q, Matrix3& s);

// Splits a host matrix into position, orientation and scale/shear. A
// mirrored matrix (negative determinant) has the reflection folded into the
// scale/shear (S negated, Q negated), so Orientation is always a proper unit
// quaternion and Q * S still equals the linear part. Returns false when the
// decomposition did not converge; the parts are then the best found.
bool DecomposeHostMatrix(const HostMatrix& matrix, TransformParts& parts);

}  // namespace ketrel
