#include "export/ketrel_root_motion.h"

#include <cmath>

#include "export/ketrel_math.h"

namespace ketrel {
namespace {

constexpr float kPi = 3.14159265f;

float Dot3(const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
float Dot4(const float* a, const float* b) { return Dot3(a, b) + a[3] * b[3]; }

void Cross(const float* a, const float* b, float* out) {
  const float x = a[1] * b[2] - a[2] * b[1];
  const float y = a[2] * b[0] - a[0] * b[2];
  const float z = a[0] * b[1] - a[1] * b[0];
  out[0] = x;
  out[1] = y;
  out[2] = z;
}

// Unit length, or zero when too short to have a direction.
void Normalize3(float* v) {
  const float length = std::sqrt(Dot3(v, v));
  const float scale = length > 1e-5f ? 1.0f / length : 0.0f;
  for (int i = 0; i < 3; ++i) v[i] *= scale;
}

void Normalize4(float* q, const float* fallback) {
  const float length = std::sqrt(Dot4(q, q));
  if (length > 1e-5f) {
    for (int i = 0; i < 4; ++i) q[i] /= length;
  } else {
    for (int i = 0; i < 4; ++i) q[i] = fallback[i];
  }
}

void Conjugate(const float* q, float* out) {
  out[0] = -q[0];
  out[1] = -q[1];
  out[2] = -q[2];
  out[3] = q[3];
}

// a * b on quaternions kept as (x, y, z, w) floats: b's rotation first,
// then a's. `out` may be either operand.
void Multiply(const float* a, const float* b, float* out) {
  const Quaternion q =
      ketrel::Multiply(Quaternion{a[0], a[1], a[2], a[3]}, Quaternion{b[0], b[1], b[2], b[3]});
  out[0] = q.x;
  out[1] = q.y;
  out[2] = q.z;
  out[3] = q.w;
}

// v rotated by the unit quaternion q.
void Rotate(const float* q, const float* v, float* out) {
  float t[3];
  Cross(q, v, t);
  for (int i = 0; i < 3; ++i) t[i] *= 2.0f;
  float u[3];
  Cross(q, t, u);
  for (int i = 0; i < 3; ++i) out[i] = v[i] + q[3] * t[i] + u[i];
}

// Rebases one sample under the placement (offset, rotation): the position
// loses the offset and is turned back by the rotation, the orientation is
// turned back from the left.
void Unplace(const float* offset, const float* rotation, float* position, float* orientation) {
  float inverse[4];
  Conjugate(rotation, inverse);
  float local[3] = {position[0] - offset[0], position[1] - offset[1], position[2] - offset[2]};
  Rotate(inverse, local, position);
  Multiply(inverse, orientation, orientation);
}

const float kIdentity[4] = {0, 0, 0, 1};

}  // namespace

void MoveSamplesToOrigin(int32_t count, float* positions, float* orientations,
                         float placementPosition[3], float placementOrientation[4]) {
  for (int i = 0; i < 3; ++i) placementPosition[i] = 0;
  for (int i = 0; i < 4; ++i) placementOrientation[i] = kIdentity[i];
  if (count < 1) return;
  for (int i = 0; i < 3; ++i) placementPosition[i] = positions[i];
  for (int i = 0; i < 4; ++i) placementOrientation[i] = orientations[i];
  // Below 0.0001 a quaternion has no usable direction: keep the identity.
  const float length = std::sqrt(Dot4(placementOrientation, placementOrientation));
  for (int i = 0; i < 4; ++i) {
    placementOrientation[i] = length >= 0.0001f ? placementOrientation[i] / length : kIdentity[i];
  }
  // Copies: the placement must not change while the samples it came from do.
  const float offset[3] = {placementPosition[0], placementPosition[1], placementPosition[2]};
  const float rotation[4] = {placementOrientation[0], placementOrientation[1],
                             placementOrientation[2], placementOrientation[3]};
  for (int32_t s = 0; s < count; ++s)
    Unplace(offset, rotation, positions + 3 * s, orientations + 4 * s);
}

void RebaseSamples(int32_t count, float* positions, float* orientations,
                   const float placementPosition[3], const float placementOrientation[4]) {
  for (int32_t s = 0; s < count; ++s)
    Unplace(placementPosition, placementOrientation, positions + 3 * s, orientations + 4 * s);
}

void MakeOrientationsContinuous(int32_t count, float* orientations) {
  for (int32_t s = 1; s < count; ++s) {
    float* q = orientations + 4 * s;
    if (Dot4(q, q - 4) < 0) {
      for (int i = 0; i < 4; ++i) q[i] = -q[i];
    }
  }
}

LoopMotion FitPeriodicLoop(const float p0[3], const float q0[4], const float pn[3],
                           const float qn[4], float duration) {
  LoopMotion loop;
  float inverse[4];
  Conjugate(q0, inverse);
  float q[4];
  Multiply(inverse, qn, q);
  float axis[3] = {q[0], q[1], q[2]};
  const float sine = std::sqrt(Dot3(axis, axis));
  Normalize3(axis);
  float angle = 2.0f * std::atan2(sine, q[3]);

  // The displacement seen from the start's frame, split into the part along
  // the axis and the chord across it.
  const float travel[3] = {pn[0] - p0[0], pn[1] - p0[1], pn[2] - p0[2]};
  float delta[3];
  Rotate(inverse, travel, delta);
  float dz = Dot3(delta, axis);
  float chord[3];
  for (int i = 0; i < 3; ++i) chord[i] = delta[i] - dz * axis[i];
  const float chordSquared = Dot3(chord, chord);
  const float k = 2.0f * (1.0f - std::cos(angle));
  const float radius = k > 0 ? std::sqrt(chordSquared / k) : 0.0f;

  float basisX[3] = {0, 0, 0}, basisY[3] = {0, 0, 0};
  if (radius > 0.0001f) {
    float h[3] = {chord[0] / 2, chord[1] / 2, chord[2] / 2};
    for (int i = 0; i < 3; ++i) basisY[i] = chord[i];
    Normalize3(basisY);
    Cross(basisY, axis, basisX);
    Normalize3(basisX);
    if (std::fabs(angle - kPi) > 1e-5f) {
      // The centre lies on the chord's perpendicular bisector, on the side
      // the turn bends towards (the far side for more than half a turn).
      const float s = std::fabs(angle) > kPi ? 1.0f : -1.0f;
      const float across = radius * radius - chordSquared / 4;
      const float distance = std::sqrt(across > 0 ? across : 0.0f);
      for (int i = 0; i < 3; ++i) h[i] += s * distance * basisX[i];
    }
    for (int i = 0; i < 3; ++i) basisX[i] = -h[i];
    Normalize3(basisX);
    Cross(axis, basisX, basisY);
    Normalize3(basisY);
  }
  if (duration > 0) {
    angle /= duration;
    dz /= duration;
  }
  loop.Radius = radius;
  loop.dAngle = angle;
  loop.dZ = dz;
  for (int i = 0; i < 3; ++i) {
    loop.BasisX[i] = basisX[i];
    loop.BasisY[i] = basisY[i];
    loop.Axis[i] = axis[i];
  }
  return loop;
}

void EvaluatePeriodicLoop(const LoopMotion& loop, float t, float offset[3], float rotation[4]) {
  const float a = t * loop.dAngle;
  const float c = std::cos(a) - 1.0f, s = std::sin(a);
  for (int i = 0; i < 3; ++i) {
    offset[i] =
        loop.Radius * (c * loop.BasisX[i] + s * loop.BasisY[i]) + t * loop.dZ * loop.Axis[i];
  }
  const float half = std::sin(a / 2);
  rotation[0] = half * loop.Axis[0];
  rotation[1] = half * loop.Axis[1];
  rotation[2] = half * loop.Axis[2];
  rotation[3] = std::cos(a / 2);
}

void AdvanceLoopPlacement(const LoopMotion& loop, float t, float offset[3], float rotation[4]) {
  float step[3], turn[4], moved[3];
  EvaluatePeriodicLoop(loop, t, step, turn);
  Rotate(rotation, step, moved);
  for (int i = 0; i < 3; ++i) offset[i] += moved[i];
  Multiply(rotation, turn, rotation);
}

bool ExtractConstantMotion(float duration, int32_t count, float* positions, float* orientations,
                           const float positionTolerance[3], const float rotationTolerance[3],
                           ConstantMotion& out) {
  out = ConstantMotion{};
  if (count < 2) return false;
  float p0[3], pn[3], q0[4], qn[4];
  for (int i = 0; i < 3; ++i) {
    p0[i] = positions[i];
    pn[i] = positions[3 * (count - 1) + i];
  }
  for (int i = 0; i < 4; ++i) {
    q0[i] = orientations[i];
    qn[i] = orientations[4 * (count - 1) + i];
  }
  float inverse[4], relative[4];
  Conjugate(q0, inverse);
  Multiply(inverse, qn, relative);

  // Per axis: the turn about that axis alone. Both sides of the test are in
  // the same measure, 1 - cos(half angle), which is what the tolerance in
  // degrees was converted into.
  bool rotates[3] = {false, false, false};
  bool anyRotates = false;
  for (int axis = 0; axis < 3; ++axis) {
    float c = relative[axis], w = relative[3];
    const float length = std::sqrt(c * c + w * w);
    if (length > 1e-5f) {
      c /= length;
      w /= length;
    } else {
      c = w = 0;
    }
    const float halfAngle = std::atan2(c, w);
    rotates[axis] = 1.0f - std::cos(halfAngle) > rotationTolerance[axis];
    anyRotates = anyRotates || rotates[axis];
  }

  Normalize4(q0, kIdentity);
  Normalize4(qn, kIdentity);
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(p0[i] - pn[i]) < positionTolerance[i]) pn[i] = p0[i];
  }

  if (!anyRotates) {
    for (int i = 0; i < 3; ++i) out.LoopTranslation[i] = pn[i] - p0[i];
    for (int32_t s = 0; s < count; ++s) {
      const float part = float(s) / float(count - 1);
      for (int i = 0; i < 3; ++i) positions[3 * s + i] -= part * out.LoopTranslation[i];
    }
    return false;
  }

  // Only the axes that turn make up the loop's rotation.
  float loopTurn[4] = {rotates[0] ? relative[0] : 0.0f, rotates[1] ? relative[1] : 0.0f,
                       rotates[2] ? relative[2] : 0.0f, relative[3]};
  Normalize4(loopTurn, kIdentity);
  float loopEnd[4];
  Multiply(q0, loopTurn, loopEnd);

  out.HasPeriodicLoop = true;
  out.Loop = FitPeriodicLoop(p0, q0, pn, loopEnd, duration);
  float offset[3] = {0, 0, 0};
  float rotation[4] = {q0[0], q0[1], q0[2], q0[3]};
  const float step = duration / float(count - 1);
  for (int32_t s = 0; s < count; ++s) {
    Unplace(offset, rotation, positions + 3 * s, orientations + 4 * s);
    AdvanceLoopPlacement(out.Loop, step, offset, rotation);
  }
  return true;
}

}  // namespace ketrel
