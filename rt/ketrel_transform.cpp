#include "rt/ketrel_transform.h"

#include <cmath>

namespace ketrel {
namespace {

struct Quat {
  float x, y, z, w;
};

Quat QuatOf(const float q[4]) { return {q[0], q[1], q[2], q[3]}; }

// b first, then a.
Quat Multiply(const Quat& a, const Quat& b) {
  return {
      a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
      a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

Quat Conjugate(const Quat& q) { return {-q.x, -q.y, -q.z, q.w}; }

// Normalised; the identity when the length is below `minimum` (or not finite).
Quat NormalizeOrIdentity(const Quat& q, float minimum) {
  float length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  if (!(length >= minimum) || !std::isfinite(length)) return {0, 0, 0, 1};
  return {q.x / length, q.y / length, q.z / length, q.w / length};
}

// Rotates v by the unit quaternion q.
void Rotate(const Quat& q, const float v[3], float out[3]) {
  // v + 2w (u x v) + 2 u x (u x v), u = q.xyz
  float cx = q.y * v[2] - q.z * v[1];
  float cy = q.z * v[0] - q.x * v[2];
  float cz = q.x * v[1] - q.y * v[0];
  float dx = q.y * cz - q.z * cy;
  float dy = q.z * cx - q.x * cz;
  float dz = q.x * cy - q.y * cx;
  out[0] = v[0] + 2 * (q.w * cx + dx);
  out[1] = v[1] + 2 * (q.w * cy + dy);
  out[2] = v[2] + 2 * (q.w * cz + dz);
}

void SetOrientation(transform& t, const Quat& q) {
  t.Orientation[0] = q.x;
  t.Orientation[1] = q.y;
  t.Orientation[2] = q.z;
  t.Orientation[3] = q.w;
}

}  // namespace

void CleanTransformFlags(transform& t) {
  t.Flags = HasPosition | HasOrientation | HasScaleShear;
  float position = std::fabs(t.Position[0]) + std::fabs(t.Position[1]) + std::fabs(t.Position[2]);
  if (position < kPositionPresenceThreshold) t.Flags &= ~uint32_t{HasPosition};
  float orientation = std::fabs(t.Orientation[0]) + std::fabs(t.Orientation[1]) +
                      std::fabs(t.Orientation[2]) + std::fabs(t.Orientation[3] - 1.0f);
  if (orientation < kOrientationPresenceThreshold) t.Flags &= ~uint32_t{HasOrientation};
  float scaleShear = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      scaleShear += std::fabs(t.ScaleShear[i][j] - (i == j ? 1.0f : 0.0f));
  if (scaleShear < kScaleShearPresenceThreshold) t.Flags &= ~uint32_t{HasScaleShear};
}

transform MakeTransform(const float position[3], const float orientation[4],
                        const float scaleShear[9]) {
  transform t = IdentityTransform();
  if (position)
    for (int i = 0; i < 3; ++i) t.Position[i] = position[i];
  if (orientation)
    for (int i = 0; i < 4; ++i) t.Orientation[i] = orientation[i];
  if (scaleShear)
    for (int i = 0; i < 9; ++i) t.ScaleShear[i / 3][i % 3] = scaleShear[i];
  CleanTransformFlags(t);
  return t;
}

void BuildCompositeMatrix(const transform& t, float out[4][4]) {
  Quat q = NormalizeOrIdentity(QuatOf(t.Orientation), 0.0f);
  float r[3][3] = {
      {1 - 2 * (q.y * q.y + q.z * q.z), 2 * (q.x * q.y - q.z * q.w), 2 * (q.x * q.z + q.y * q.w)},
      {2 * (q.x * q.y + q.z * q.w), 1 - 2 * (q.x * q.x + q.z * q.z), 2 * (q.y * q.z - q.x * q.w)},
      {2 * (q.x * q.z - q.y * q.w), 2 * (q.y * q.z + q.x * q.w), 1 - 2 * (q.x * q.x + q.y * q.y)}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      // Linear part L = R * S; the row-vector layout stores its transpose.
      float l = 0;
      for (int k = 0; k < 3; ++k) l += r[j][k] * t.ScaleShear[k][i];
      out[i][j] = l;
    }
    out[i][3] = 0;
  }
  for (int j = 0; j < 3; ++j) out[3][j] = t.Position[j];
  out[3][3] = 1;
}

bool InvertAffineMatrix(const float in[4][4], float out[4][4]) {
  double a[3][3];
  double t[3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (!std::isfinite(in[i][j])) return false;
      a[i][j] = in[i][j];
    }
    if (!std::isfinite(in[3][i])) return false;
    t[i] = in[3][i];
  }
  double cofactor[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      cofactor[i][j] = a[i1][j1] * a[i2][j2] - a[i1][j2] * a[i2][j1];
    }
  }
  double det = a[0][0] * cofactor[0][0] + a[0][1] * cofactor[0][1] + a[0][2] * cofactor[0][2];
  // Relative to the product of the row lengths (Hadamard's bound), so a
  // uniformly tiny but sound scale is accepted while a collapsed axis is not.
  double bound = 1;
  for (int i = 0; i < 3; ++i)
    bound *= std::sqrt(a[i][0] * a[i][0] + a[i][1] * a[i][1] + a[i][2] * a[i][2]);
  if (!(bound > 0) || !(std::fabs(det) > 1e-6 * bound)) return false;
  double inverse[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) inverse[i][j] = cofactor[j][i] / det;
  float result[4][4];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) result[i][j] = static_cast<float>(inverse[i][j]);
    result[i][3] = 0;
  }
  for (int j = 0; j < 3; ++j) {
    double v = 0;
    for (int k = 0; k < 3; ++k) v -= t[k] * inverse[k][j];
    result[3][j] = static_cast<float>(v);
  }
  result[3][3] = 1;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      if (!std::isfinite(result[i][j])) return false;
    }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i][j] = result[i][j];
  return true;
}

bool TransformIsFinite(const transform& t) {
  for (float v : t.Position)
    if (!std::isfinite(v)) return false;
  for (float v : t.Orientation)
    if (!std::isfinite(v)) return false;
  for (const auto& row : t.ScaleShear)
    for (float v : row)
      if (!std::isfinite(v)) return false;
  return true;
}

transform MakePlacement(const float position[3], const float orientation[4]) {
  transform t = IdentityTransform();
  for (int i = 0; i < 3; ++i) t.Position[i] = position[i];
  SetOrientation(t, NormalizeOrIdentity(QuatOf(orientation), 0.0001f));
  CleanTransformFlags(t);
  return t;
}

transform RemovePlacement(const transform& placement, const transform& t) {
  Quat inverse = Conjugate(NormalizeOrIdentity(QuatOf(placement.Orientation), 0.0f));
  transform u = t;
  float offset[3];
  for (int i = 0; i < 3; ++i) offset[i] = t.Position[i] - placement.Position[i];
  Rotate(inverse, offset, u.Position);
  SetOrientation(u, Multiply(inverse, QuatOf(t.Orientation)));
  CleanTransformFlags(u);
  return u;
}

transform ApplyPlacement(const transform& placement, const transform& t) {
  Quat q = NormalizeOrIdentity(QuatOf(placement.Orientation), 0.0f);
  transform u = t;
  Rotate(q, t.Position, u.Position);
  for (int i = 0; i < 3; ++i) u.Position[i] += placement.Position[i];
  SetOrientation(u, Multiply(q, QuatOf(t.Orientation)));
  CleanTransformFlags(u);
  return u;
}

}  // namespace ketrel
