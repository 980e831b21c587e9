#pragma once
// Internal to the B-spline evaluation and the playback's span cache: de
// Boor's algorithm on one window at a degree (and dimension) fixed when
// compiled, so a player that knows both at binding evaluates without a
// dispatch and with the very arithmetic of EvaluateBSpline.

#include <cmath>

namespace ketrel::bspline_internal {

// De Boor's algorithm in the form d_j = d_{j-1} + alpha (d_j - d_{j-1}):
// equal neighbours give back exactly their value, so constant pieces (the
// two sides of a jump) are reproduced without rounding. The span rules are
// those of Basis: a span of no width takes the last control point, a time
// outside the span is held at its ends, a zero denominator adds nothing.
// D = 0 reads the dimension at run time. With `inverses` (kInverses), the
// reciprocals of the window's denominators in the order the steps take
// them (0 for a zero one), a player that keeps them per span multiplies
// where the blend divides: within a rounding of it.
template <int P, int D, bool kInverses = false>
inline void DeBoor(const float* w, float t, const float* controls, int dimension, float* result,
                   const float* inverses = nullptr) {
  const int d = D > 0 ? D : dimension;
  if (!(w[P] > w[P - 1])) {
    for (int k = 0; k < d; ++k) result[k] = controls[P * d + k];
    return;
  }
  if (t < w[P - 1]) t = w[P - 1];
  if (t > w[P]) t = w[P];
  float alpha[P + 1][P + 1];
  int i = 0;
  for (int r = 1; r <= P; ++r) {
    for (int j = P; j >= r; --j, ++i) {
      if constexpr (kInverses) {
        alpha[r][j] = (t - w[j - 1]) * inverses[i];
      } else {
        float denominator = w[P + j - r] - w[j - 1];
        alpha[r][j] = denominator != 0.0f ? (t - w[j - 1]) / denominator : 0.0f;
      }
    }
  }
  if constexpr (D > 0) {
    // Numbers innermost: each step is one vector operation for a quaternion.
    float points[P + 1][D];
    for (int j = 0; j <= P; ++j) {
      for (int k = 0; k < D; ++k) points[j][k] = controls[j * D + k];
    }
    for (int r = 1; r <= P; ++r) {
      for (int j = P; j >= r; --j) {
        for (int k = 0; k < D; ++k)
          points[j][k] = points[j - 1][k] + alpha[r][j] * (points[j][k] - points[j - 1][k]);
      }
    }
    for (int k = 0; k < D; ++k) result[k] = points[P][k];
  } else {
    for (int k = 0; k < d; ++k) {
      float points[P + 1];
      for (int j = 0; j <= P; ++j) points[j] = controls[j * d + k];
      for (int r = 1; r <= P; ++r) {
        for (int j = P; j >= r; --j)
          points[j] = points[j - 1] + alpha[r][j] * (points[j] - points[j - 1]);
      }
      result[k] = points[P];
    }
  }
}

// What EvaluateBSplineNormalized does to a quaternion: divided by its
// length, left alone when that is 0.
inline void NormalizeQuaternion4(float* result) {
  float length = std::sqrt(result[0] * result[0] + result[1] * result[1] + result[2] * result[2] +
                           result[3] * result[3]);
  if (length > 0.0f) {
    float inverse = 1.0f / length;
    for (int k = 0; k < 4; ++k) result[k] *= inverse;
  }
}

}  // namespace ketrel::bspline_internal
