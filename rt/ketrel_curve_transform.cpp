// Curve transforms for basis conversion: every control point is decoded,
// transformed and the curve re-encoded with the same knots.
#include <cmath>
#include <initializer_list>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_transform_internal.h"

namespace ketrel {
namespace {

// Can the format of a 3x3 curve hold `m`? D9I1 keeps one number on the
// diagonal, D9I3 three; neither keeps off-diagonal terms.
bool FormatHoldsMatrix(int32_t format, const float* m, float tolerance) {
  bool i1 = format == CurveFormatD9I1K16uC16u || format == CurveFormatD9I1K8uC8u;
  bool i3 = format == CurveFormatD9I3K16uC16u || format == CurveFormatD9I3K8uC8u;
  if (!i1 && !i3) return true;
  for (int32_t e : {1, 2, 3, 5, 6, 7})
    if (std::fabs(m[e]) > tolerance) return false;
  return !i1 || (std::fabs(m[0] - m[4]) <= tolerance && std::fabs(m[0] - m[8]) <= tolerance);
}

// Decodes, transforms every control point with `apply`, re-encodes in place.
template <typename Apply>
bool TransformControls(curve2* curve, int32_t dimension, const char* wrongDimension, Apply apply) {
  if (curve == nullptr) {
    KT_PARAMETER_CHECK_FAILED(Curve);
    return false;
  }
  if (CurveIsIdentity(curve)) {
    KT_LOG_ERROR(Curve, "Curve is the identity value - can't transform it");
    return false;
  }
  if (GetCurveStoredDimension(curve) != dimension) {
    KT_LOG_ERROR(Curve, "%s", wrongDimension);
    return false;
  }
  int32_t count = GetCurveKnotCount(curve);
  if (CurveIsKeyframed(curve) || count <= 0) {
    KT_PARAMETER_CHECK_FAILED(Curve);
    return false;
  }
  float* knots = KT_ALLOCATE_ARRAY(float, static_cast<size_t>(count) * (dimension + 1));
  if (knots == nullptr) return false;
  float* controls = knots + count;
  bool ok = ExtractCurveKnotsControls(curve, 0, count, knots, controls, nullptr) &&
            apply(controls, count, GetCurveFormat(curve));
  ok = ok && SetCurveKnotsControls(curve, count, dimension, knots, controls);
  FreeBlock(knots);
  return ok;
}

// Is L, within the tolerance, a signed axis permutation times one uniform
// scale? Then row r takes component perm[r] times factor[r].
bool IsSignedPermutation(const float* linear, float tolerance, int32_t* perm, float* factor) {
  bool used[3] = {false, false, false};
  for (int32_t r = 0; r < 3; ++r) {
    int32_t best = 0;
    for (int32_t c = 1; c < 3; ++c)
      if (std::fabs(linear[3 * r + c]) > std::fabs(linear[3 * r + best])) best = c;
    for (int32_t c = 0; c < 3; ++c) {
      float v = linear[3 * r + c];
      if (c != best && v * v > tolerance * tolerance) return false;
    }
    if (used[best]) return false;
    used[best] = true;
    perm[r] = best;
    factor[r] = linear[3 * r + best];
  }
  return std::fabs(std::fabs(factor[0]) - std::fabs(factor[1])) <= tolerance &&
         std::fabs(std::fabs(factor[0]) - std::fabs(factor[2])) <= tolerance;
}

}  // namespace

bool TransformCurve3(const float* affine, const float* linear, float tolerance, curve2* curve) {
  if (!KT_CHECK_PARAMETER(Curve, affine != nullptr && linear != nullptr)) return false;
  int32_t perm[3];
  float factor[3];
  // Axis swaps and unit changes move stored numbers without re-quantizing.
  if (curve != nullptr && !CurveIsIdentity(curve) && GetCurveStoredDimension(curve) == 3 &&
      IsSignedPermutation(linear, tolerance, perm, factor) &&
      PermuteCurveData3(curve->CurveData.Object, perm, factor, affine)) {
    return true;
  }
  return TransformControls(
      curve, 3, "Curve does not have dimension=3", [&](float* controls, int32_t count, int32_t) {
        for (int32_t i = 0; i < count; ++i) {
          float* v = controls + 3 * i;
          float x = v[0], y = v[1], z = v[2];
          for (int32_t r = 0; r < 3; ++r) {
            v[r] = linear[3 * r] * x + linear[3 * r + 1] * y + linear[3 * r + 2] * z + affine[r];
          }
        }
        return true;
      });
}

bool TransformCurve4(const float* linear, const float* inverse, float /*tolerance*/,
                     curve2* curve) {
  if (!KT_CHECK_PARAMETER(Curve, linear != nullptr && inverse != nullptr)) return false;
  return TransformControls(
      curve, 4, "Curve does not have dimension=4", [&](float* controls, int32_t count, int32_t) {
        // The matrix fixes a rotation only up to the sign of its quaternion.
        // Conjugating by a rotation keeps w and every dot product between
        // controls, so each sign is chosen to keep the original's relation:
        // the first by the sign of w, the others by the sign of the dot
        // product with the control before. That keeps sign continuity.
        float previousOld[4] = {0, 0, 0, 0};
        float previousNew[4] = {0, 0, 0, 0};
        for (int32_t i = 0; i < count; ++i) {
          float* q = controls + 4 * i;
          float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
          if (!(length > 0.0f)) continue;
          float unit[4] = {q[0] / length, q[1] / length, q[2] / length, q[3] / length};
          float r[9], lr[9], m[9], result[4];
          QuaternionToMatrix(unit, r);
          Multiply3(linear, r, lr);
          Multiply3(lr, inverse, m);
          MatrixToQuaternion(m, result);
          bool flip;
          if (i == 0) {
            flip = result[3] * unit[3] < 0.0f;
          } else {
            float oldDot = unit[0] * previousOld[0] + unit[1] * previousOld[1] +
                           unit[2] * previousOld[2] + unit[3] * previousOld[3];
            float newDot = result[0] * previousNew[0] + result[1] * previousNew[1] +
                           result[2] * previousNew[2] + result[3] * previousNew[3];
            flip = (oldDot < 0.0f) != (newDot < 0.0f);
          }
          for (int32_t k = 0; k < 4; ++k) {
            if (flip) result[k] = -result[k];
            previousOld[k] = unit[k];
            previousNew[k] = result[k];
            q[k] = result[k] * length;
          }
        }
        return true;
      });
}

bool TransformCurve9(const float* linear, const float* inverse, float tolerance, curve2* curve) {
  if (!KT_CHECK_PARAMETER(Curve, linear != nullptr && inverse != nullptr)) return false;
  return TransformControls(curve, 9, "Curve does not have dimension=9",
                           [&](float* controls, int32_t count, int32_t format) {
                             for (int32_t i = 0; i < count; ++i) {
                               float lm[9];
                               Multiply3(linear, controls + 9 * i, lm);
                               Multiply3(lm, inverse, controls + 9 * i);
                               // Re-encoding must not silently drop what the
                               // format cannot store.
                               float limit = tolerance > 1e-4f ? tolerance : 1e-4f;
                               if (!FormatHoldsMatrix(format, controls + 9 * i, limit)) {
                                 KT_LOG_ERROR(Curve,
                                              "Curve format %s cannot hold the transformed "
                                              "scale/shear - curve left unchanged",
                                              GetCurveFormatName(format));
                                 return false;
                               }
                             }
                             return true;
                           });
}

}  // namespace ketrel
