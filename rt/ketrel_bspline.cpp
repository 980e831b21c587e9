#include "rt/ketrel_bspline.h"

#include <cmath>

#include "rt/ketrel_bspline_deboor.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// Cox-de Boor by the triangular scheme. For a window w of 2p knots the span is
// [w[p-1], w[p]); left[j] = t - w[p-j], right[j] = w[p-1+j] - t. A zero
// denominator (coincident knots) contributes nothing, so hostile or
// quantised knot vectors never divide by zero.
template <int P>
inline void Basis(const float* w, float t, float* n) {
  n[0] = 1.0f;
  if constexpr (P > 0) {
    // A span of no width (a single knot, or knots that collapsed on
    // quantisation) has no polynomial: it takes the last control point. A
    // time outside the span is held at its ends, so results stay convex
    // combinations of the controls.
    if (!(w[P] > w[P - 1])) {
      for (int r = 0; r < P; ++r) n[r] = 0.0f;
      n[P] = 1.0f;
      return;
    }
    if (t < w[P - 1]) t = w[P - 1];
    if (t > w[P]) t = w[P];
    float left[P + 1];
    float right[P + 1];
    for (int j = 1; j <= P; ++j) {
      left[j] = t - w[P - j];
      right[j] = w[P - 1 + j] - t;
      float saved = 0.0f;
      for (int r = 0; r < j; ++r) {
        float denominator = right[r + 1] + left[j - r];
        float temp = denominator != 0.0f ? n[r] / denominator : 0.0f;
        n[r] = saved + right[r + 1] * temp;
        saved = left[j - r] * temp;
      }
      n[j] = saved;
    }
  }
}

using bspline_internal::DeBoor;

template <int P>
void EvaluateDegree(int dimension, const float* knots, const float* controls, float t,
                    float* result) {
  switch (dimension) {
    case 1:
      DeBoor<P, 1>(knots, t, controls, 1, result);
      break;
    case 2:
      DeBoor<P, 2>(knots, t, controls, 2, result);
      break;
    case 3:
      DeBoor<P, 3>(knots, t, controls, 3, result);
      break;
    case 4:
      DeBoor<P, 4>(knots, t, controls, 4, result);
      break;
    case 9:
      DeBoor<P, 9>(knots, t, controls, 9, result);
      break;
    default:
      DeBoor<P, 0>(knots, t, controls, dimension, result);
      break;
  }
}

}  // namespace

bool EvaluateBSplineBasis(int degree, const float* knots, float t, float* basis) {
  switch (degree) {
    case 0:
      Basis<0>(knots, t, basis);
      return true;
    case 1:
      Basis<1>(knots, t, basis);
      return true;
    case 2:
      Basis<2>(knots, t, basis);
      return true;
    case 3:
      Basis<3>(knots, t, basis);
      return true;
    default:
      KT_PARAMETER_CHECK_FAILED(Curve);
      return false;
  }
}

bool EvaluateBSpline(int degree, int dimension, const float* knots, const float* controls, float t,
                     float* result) {
  if (!KT_CHECK_PARAMETER(Curve, dimension >= 1 && dimension <= kMaxCurveDimension)) {
    return false;
  }
  switch (degree) {
    case 0:
      for (int k = 0; k < dimension; ++k) result[k] = controls[k];
      return true;
    case 1:
      EvaluateDegree<1>(dimension, knots, controls, t, result);
      return true;
    case 2:
      EvaluateDegree<2>(dimension, knots, controls, t, result);
      return true;
    case 3:
      EvaluateDegree<3>(dimension, knots, controls, t, result);
      return true;
    default:
      KT_PARAMETER_CHECK_FAILED(Curve);
      return false;
  }
}

bool EvaluateBSplineNormalized(int degree, int dimension, const float* knots, const float* controls,
                               float t, float* result) {
  if (!EvaluateBSpline(degree, dimension, knots, controls, t, result)) return false;
  if (dimension == 4) {
    bspline_internal::NormalizeQuaternion4(result);
  } else if (dimension == 3) {
    // One Newton step towards unit length: cheap and exact for unit input.
    float squared = result[0] * result[0] + result[1] * result[1] + result[2] * result[2];
    float factor = (3.0f - squared) * 0.5f;
    for (int k = 0; k < 3; ++k) result[k] *= factor;
  }
  return true;
}

void BeginTurn(const float* a, const float* b, turn_pair* pair) {
  double dot = 0.0;
  for (int k = 0; k < 4; ++k) dot += static_cast<double>(a[k]) * b[k];
  pair->Sign = dot < 0.0 ? -1.0 : 1.0;
  dot *= pair->Sign;
  pair->Steady = false;
  pair->Angle = 0.0;
  pair->Sine = 0.0;
  if (dot < 0.9995) {
    pair->Angle = std::acos(dot > 1.0 ? 1.0 : dot);
    pair->Sine = std::sin(pair->Angle);
    pair->Steady = pair->Sine > 1e-9;
  }
}

void BlendTurn(const turn_pair& pair, const float* a, const float* b, double u, double* q) {
  double wa = 1.0 - u, wb = u;
  if (pair.Steady) {
    wa = std::sin((1.0 - u) * pair.Angle) / pair.Sine;
    wb = std::sin(u * pair.Angle) / pair.Sine;
  }
  for (int k = 0; k < 4; ++k) q[k] = wa * a[k] + wb * pair.Sign * b[k];
}

bool FinishTurn(const double* q, const float* a, float* out) {
  double length = 0.0;
  for (int k = 0; k < 4; ++k) length += q[k] * q[k];
  length = std::sqrt(length);
  const bool ok = length > 1e-12 && std::isfinite(length);
  // One division, not four: a player turns a quaternion per bone per frame;
  // in doubles the product rounds to the same float but for a tie.
  const double inverse = ok ? 1.0 / length : 0.0;
  for (int k = 0; k < 4; ++k) out[k] = ok ? static_cast<float>(q[k] * inverse) : a[k];
  return ok;
}

bool TurnWith(const turn_pair& pair, const float* a, const float* b, double u, float* out) {
  double q[4];
  BlendTurn(pair, a, b, u, q);
  return FinishTurn(q, a, out);
}

bool TurnBetween(const float* a, const float* b, double u, float* out) {
  turn_pair pair;
  BeginTurn(a, b, &pair);
  return TurnWith(pair, a, b, u, out);
}

}  // namespace ketrel
