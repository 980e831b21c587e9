// The refinement's first passes, taken without solving where their outcome
// is certain.
//
// Refinement starts from a handful of knots and splits every span that
// misses a row, one level per pass, each pass solving and measuring every
// row. A long track at a tight tolerance splits every span for many levels
// before any span holds, so the passes grow with the logarithm of its
// length and the fit with more than its length. A span surely misses when
// no polynomial of the fit's degree stays within tolerance over some block
// of rows inside it: the curve is one polynomial there, whatever its
// controls. Blocks are judged once, a sweep over the rows per block size;
// levels whose every span holds such a block are split straight away,
// exactly as their passes would have split them, and the passes take over
// at the first level with a span in doubt. The curve comes out the same,
// and the passes left depend on the motion, not on the track's length.
#include <cfloat>
#include <cmath>
#include <utility>

#include "rt/ketrel_bspline_fit.h"
#include "rt/ketrel_curve_formats.h"

namespace ketrel::bspline_detail {
namespace {

// Rows per judged block, at each of a few sizes: short blocks let
// splitting go deeper, long ones are held by one polynomial less often
// (a slow track needs its knots for the joins, not within 32 rows).
constexpr int32_t kBlockRows = 32;
constexpr int32_t kBlockSizes = 4;  // 32, 128, 512 and 2048 rows
constexpr int32_t kMaxTerms = kMaxBSplineDegree + 1;
constexpr int32_t kMaxUnknowns = 4 * kMaxTerms;

// Cholesky of the symmetric n x n matrix `m` (row-major, overwritten):
// whether every pivot stays above `floor`, i.e. whether it is clearly
// positive definite.
bool ClearlyPositiveDefinite(double* m, int32_t n, double floor) {
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t j = 0; j <= i; ++j) {
      double sum = m[i * n + j];
      for (int32_t k = 0; k < j; ++k) sum -= m[i * n + k] * m[j * n + k];
      if (i == j) {
        if (!(sum > floor)) return false;
        m[i * n + i] = std::sqrt(sum);
      } else {
        m[i * n + j] = sum / m[j * n + j];
      }
    }
  }
  return true;
}

// The powers of the row's place in its block, centred and scaled to [-1, 1].
void Powers(int32_t row, int32_t first, int32_t size, int32_t terms, double* phi) {
  const double half = 0.5 * (size - 1);
  const double u = (row - first - half) / half;
  phi[0] = 1.0;
  for (int32_t a = 1; a < terms; ++a) phi[a] = phi[a - 1] * u;
}

// Whether no polynomial of `terms` coefficients comes within the tolerance
// of every row of the block: its least-squares residual, which bounds the
// largest error of any polynomial from below, is beyond it.
bool PositionBlockMisses(const fit_job& job, int32_t first, int32_t size, int32_t terms) {
  const int32_t d = job.Dimension;
  double mean[kMaxCurveDimension] = {};
  float largest = 0.0f;
  for (int32_t j = first; j < first + size; ++j) {
    const float* s = SampleAt(job, j);
    for (int32_t k = 0; k < d; ++k) {
      mean[k] += s[k];
      largest = std::fmax(largest, std::fabs(s[k]));
    }
  }
  for (int32_t k = 0; k < d; ++k) mean[k] /= size;
  double gram[kMaxTerms * kMaxTerms] = {};
  double moments[kMaxCurveDimension][kMaxTerms] = {};
  double spread = 0.0;
  for (int32_t j = first; j < first + size; ++j) {
    double phi[kMaxTerms];
    Powers(j, first, size, terms, phi);
    for (int32_t a = 0; a < terms; ++a)
      for (int32_t b = 0; b < terms; ++b) gram[a * terms + b] += phi[a] * phi[b];
    const float* s = SampleAt(job, j);
    for (int32_t k = 0; k < d; ++k) {
      const double centred = s[k] - mean[k];
      spread += centred * centred;
      for (int32_t a = 0; a < terms; ++a) moments[k][a] += phi[a] * centred;
    }
  }
  if (!ClearlyPositiveDefinite(gram, terms, 1e-9)) return false;
  // The part of the rows a polynomial explains: |L^-1 b|^2 per component.
  double explained = 0.0;
  for (int32_t k = 0; k < d; ++k) {
    double y[kMaxTerms];
    for (int32_t a = 0; a < terms; ++a) {
      double sum = moments[k][a];
      for (int32_t b = 0; b < a; ++b) sum -= gram[a * terms + b] * y[b];
      y[a] = sum / gram[a * terms + a];
      explained += y[a] * y[a];
    }
  }
  const double residual = (spread - explained) / size;
  // The curve is evaluated in float: a margin for its rounding.
  const double reach = static_cast<double>(job.Tolerance) + 64.0 * FLT_EPSILON * largest;
  return residual > 1.001 * reach * reach;
}

// The same for unit quaternions, whose error is taken after normalising:
// |q/|q| - s| is at least the part of q/|q| across s. No polynomial q keeps
// that part within the tolerance at every row when the sum of |q across
// s|^2 exceeds c times the sum of |q|^2 for every q, that is when A - c B
// is positive definite, A and B being those sums as quadratic forms in the
// coefficients.
bool OrientationBlockMisses(const fit_job& job, int32_t first, int32_t size, int32_t terms) {
  // 2 |1 - q.s| within tolerance is |q - s|^2 within 2 tolerance, plus a
  // margin for the rounding of the normalised value.
  const double reach = std::sqrt(2.0 * job.Tolerance) + 16.0 * FLT_EPSILON;
  const double c = 1.001 * reach * reach;
  // Per pair of powers (a >= b): the sum of their products, and of those
  // times s s^T / |s|^2 (its lower triangle, 10 numbers).
  constexpr int32_t kPairs = kMaxTerms * (kMaxTerms + 1) / 2;
  double gram[kPairs] = {};
  double along[kPairs][10] = {};
  for (int32_t j = first; j < first + size; ++j) {
    const float* s = SampleAt(job, j);
    const double length =
        double(s[0]) * s[0] + double(s[1]) * s[1] + double(s[2]) * s[2] + double(s[3]) * s[3];
    if (!(length > 0.5)) return false;
    const double inverse = 1.0 / std::sqrt(length);
    double unit[4], outer[10];
    for (int32_t k = 0; k < 4; ++k) unit[k] = s[k] * inverse;
    for (int32_t k = 0, i = 0; k < 4; ++k)
      for (int32_t l = 0; l <= k; ++l) outer[i++] = unit[k] * unit[l];
    double phi[kMaxTerms];
    Powers(j, first, size, terms, phi);
    for (int32_t a = 0, pair = 0; a < terms; ++a) {
      for (int32_t b = 0; b <= a; ++b, ++pair) {
        const double w = phi[a] * phi[b];
        gram[pair] += w;
        for (int32_t i = 0; i < 10; ++i) along[pair][i] += w * outer[i];
      }
    }
  }
  const int32_t n = 4 * terms;
  double m[kMaxUnknowns * kMaxUnknowns] = {};
  for (int32_t a = 0, pair = 0; a < terms; ++a) {
    for (int32_t b = 0; b <= a; ++b, ++pair) {
      for (int32_t k = 0; k < 4; ++k) {
        for (int32_t l = 0; l < 4; ++l) {
          const int32_t high = k > l ? k : l, low = k > l ? l : k;
          double value = -along[pair][high * (high + 1) / 2 + low];
          if (k == l) value += (1.0 - c) * gram[pair];
          m[(4 * a + k) * n + 4 * b + l] = value;
        }
      }
    }
  }
  // The factorisation reads the lower triangle only, which is all filled.
  return ClearlyPositiveDefinite(m, n, 1e-9 * size);
}

}  // namespace

int32_t PresplitKnots(const fit_job& job, int32_t count, int32_t byteLimit) {
  BSplineSolver* s = job.Solver;
  const int32_t rows = job.SampleCount;
  // Tracks this short take few passes; steps hold samples, not lines.
  if (!job.Dense || job.Degree < 1 || rows < 8 * kBlockRows) return count;
  const int32_t terms = job.Degree + 1;
  const bool orientation = IsOrientation(job);
  // Blocks that surely miss, per size, counted from the start: missed[size]
  // [m] blocks before block m. The scaled-knot buffer is free until the
  // first solve and holds them all (fewer than rows / 24).
  float* missed[kBlockSizes];
  int32_t blocks[kBlockSizes];
  float* cursor = s->Scaled;
  for (int32_t z = 0; z < kBlockSizes; ++z) {
    const int32_t size = kBlockRows << (2 * z);
    blocks[z] = rows / size;
    missed[z] = cursor;
    cursor += blocks[z] + 1;
    missed[z][0] = 0.0f;
    for (int32_t m = 0; m < blocks[z]; ++m) {
      const bool misses = orientation ? OrientationBlockMisses(job, m * size, size, terms)
                                      : PositionBlockMisses(job, m * size, size, terms);
      missed[z][m + 1] = missed[z][m] + (misses ? 1.0f : 0.0f);
    }
  }
  // Whether a whole block that surely misses lies a row clear of both
  // knots, so that rounding of times cannot move its rows to a neighbour.
  auto surelyMisses = [&](float a, float b) {
    for (int32_t z = 0; z < kBlockSizes; ++z) {
      const float size = static_cast<float>(kBlockRows << (2 * z));
      const int32_t from = static_cast<int32_t>(std::ceil((a + 1.0f) / size));
      const int32_t to = static_cast<int32_t>(std::floor((b - 1.0f) / size));  // excluded
      if (from < to && to <= blocks[z] && missed[z][to] > missed[z][from]) return true;
    }
    return false;
  };
  const int32_t p = job.Degree;
  for (;;) {
    if (FitCancelled(s) || 2 * count + p + 1 >= job.KnotLimit) break;
    // The pass would have stopped here with a curve this large.
    if (byteLimit > 0 &&
        CurveDataSize(job.Format, job.Dimension, count) > static_cast<size_t>(byteLimit)) {
      break;
    }
    // Every span holding a row past the first must surely miss; spans
    // holding none are left alone, as a pass leaves them.
    const float* knots = s->Knots;
    auto holdsRows = [&](int32_t i) {
      const float last = i + 1 == count ? static_cast<float>(rows - 1) : std::ceil(knots[i]) - 1.0f;
      return std::fmax(1.0f, std::ceil(knots[i - 1])) <= last;
    };
    bool certain = true, any = false;
    for (int32_t i = 1; i < count && certain; ++i) {
      if (!holdsRows(i)) continue;
      certain = surelyMisses(knots[i - 1], knots[i]);
      any = true;
    }
    if (!certain || !any) break;
    float* out = s->Refined;
    int32_t written = 0;
    out[written++] = knots[0];
    for (int32_t i = 1; i < count; ++i) {
      // As a pass splits a wide span with a miss: at its middle, on a row.
      if (holdsRows(i)) out[written++] = std::round((knots[i - 1] + knots[i]) * 0.5f);
      out[written++] = knots[i];
    }
    std::swap(s->Knots, s->Refined);
    count = written;
  }
  return count;
}

}  // namespace ketrel::bspline_detail
