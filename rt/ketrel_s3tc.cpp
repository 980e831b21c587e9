#include "rt/ketrel_s3tc.h"

#include <array>
#include <cmath>
#include <cstring>

namespace ketrel {
namespace {

constexpr int kPixels = 16;
// Least-squares rounds after the first fit; more rarely change the result.
constexpr int kRefinements = 2;

// A block's pixels as floats. Every loop runs over all 16 so that it
// vectorises; `w` is 1 for pixels the colour fit counts and 0 for the
// transparent ones of a one-bit-alpha block.
struct Pixels {
  float r[kPixels], g[kPixels], b[kPixels], w[kPixels];
  // The same colours and weights as integers: sums over them are exact and,
  // unlike float sums, may be reordered to vectorise. 16 bits, so products
  // go eight at a time; `wi` is 1 or 0.
  int16_t ri[kPixels], gi[kPixels], bi[kPixels], wi[kPixels];
  uint8_t a[kPixels];
};

struct ColourFit {
  uint16_t c0 = 0, c1 = 0;
  uint8_t index[kPixels] = {};
  float error = 0;
};

int Expand5(int v) { return (v << 3) | (v >> 2); }
int Expand6(int v) { return (v << 2) | (v >> 4); }

void Expand565(uint16_t c, int rgb[3]) {
  rgb[0] = Expand5(c >> 11);
  rgb[1] = Expand6((c >> 5) & 63);
  rgb[2] = Expand5(c & 31);
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
// Plain comparisons: std::fmin and std::fmax are library calls unless NaNs
// are ruled out, and no NaN reaches these.
float Min(float a, float b) { return b < a ? b : a; }
float Max(float a, float b) { return a < b ? b : a; }

uint16_t Quantize565(const float e[3]) {
  int r = Clamp(int(e[0] * (31.0f / 255.0f) + 0.5f), 0, 31);
  int g = Clamp(int(e[1] * (63.0f / 255.0f) + 0.5f), 0, 63);
  int b = Clamp(int(e[2] * (31.0f / 255.0f) + 0.5f), 0, 31);
  return uint16_t((r << 11) | (g << 5) | b);
}

// The palette a decoder makes: four colours (thirds) or three (a half).
inline void Palette(uint16_t c0, uint16_t c1, bool three, float palette[4][3]) {
  int a[3], b[3];
  Expand565(c0, a);
  Expand565(c1, b);
  for (int k = 0; k < 3; ++k) {
    palette[0][k] = float(a[k]);
    palette[1][k] = float(b[k]);
    palette[2][k] = float(three ? (a[k] + b[k]) / 2 : (2 * a[k] + b[k]) / 3);
    palette[3][k] = float(three ? 0 : (a[k] + 2 * b[k]) / 3);
  }
}

// Nearest palette entry per pixel (ties to the lower index) and the share
// of colour 0 in it, in thirds (halves for three colours); returns the
// summed squared error. Distances between integer colours are exact in
// floats, so the sum is taken in integers, which vectorises.
int32_t AssignIndices(const Pixels& p, const float palette[4][3], bool three,
                      uint8_t index[kPixels], int16_t share[kPixels]) {
  // A distance less the pixel's own squared length, |c|^2 - 2 p.c, costs
  // three products per entry and, in integers below 2^24, is exact: the
  // choices are those of the full distance. Three-colour blocks keep entry
  // 3 for transparent pixels: it is put out of reach rather than skipped.
  // One pixel per iteration with scalar selects and the results stored
  // once: this form vectorises.
  float m[4][3], n[4];
  for (int e = 0; e < 4; ++e) {
    n[e] = palette[e][0] * palette[e][0] + palette[e][1] * palette[e][1] +
           palette[e][2] * palette[e][2];
    for (int k = 0; k < 3; ++k) m[e][k] = -2.0f * palette[e][k];
  }
  if (three) n[3] = 1e30f;
  const float share0 = three ? 2.0f : 3.0f, share2 = three ? 1.0f : 2.0f,
              share3 = three ? 0.0f : 1.0f;
  float best[kPixels], chosen[kPixels], shares[kPixels];
  for (int i = 0; i < kPixels; ++i) {
    const float r = p.r[i], g = p.g[i], b = p.b[i];
    const float d0 = n[0] + r * m[0][0] + g * m[0][1] + b * m[0][2];
    const float d1 = n[1] + r * m[1][0] + g * m[1][1] + b * m[1][2];
    const float d2 = n[2] + r * m[2][0] + g * m[2][1] + b * m[2][2];
    const float d3 = n[3] + r * m[3][0] + g * m[3][1] + b * m[3][2];
    float d = d0, c = 0, s = share0;
    c = d1 < d ? 1.0f : c;
    s = d1 < d ? 0.0f : s;
    d = d1 < d ? d1 : d;
    c = d2 < d ? 2.0f : c;
    s = d2 < d ? share2 : s;
    d = d2 < d ? d2 : d;
    c = d3 < d ? 3.0f : c;
    s = d3 < d ? share3 : s;
    d = d3 < d ? d3 : d;
    best[i] = d;
    chosen[i] = c;
    shares[i] = s;
  }
  int32_t total = 0;
  for (int i = 0; i < kPixels; ++i) {
    index[i] = uint8_t(chosen[i]);
    share[i] = int16_t(shares[i]);
    const float own = p.r[i] * p.r[i] + p.g[i] * p.g[i] + p.b[i] * p.b[i];
    total += int32_t(best[i] + own) & -int32_t(p.wi[i]);
  }
  return total;
}

// Best single-colour end points per 8-bit value: the pair whose two-thirds
// point (index 2) lands nearest, for 5 and 6 bits.
struct SingleColour {
  uint8_t first, second;
};
template <int kBits>
std::array<SingleColour, 256> MakeSingleColourTable() {
  std::array<SingleColour, 256> table{};
  const int levels = 1 << kBits;
  for (int v = 0; v < 256; ++v) {
    int bestError = 1 << 30;
    for (int x = 0; x < levels; ++x) {
      for (int y = 0; y < levels; ++y) {
        int ex = kBits == 5 ? Expand5(x) : Expand6(x), ey = kBits == 5 ? Expand5(y) : Expand6(y);
        int error = std::abs((2 * ex + ey) / 3 - v);
        if (error < bestError) {
          bestError = error;
          table[size_t(v)] = {uint8_t(x), uint8_t(y)};
        }
      }
    }
  }
  return table;
}
// Built on first use, not at start-up: every run of a program linking the
// library paid for them (about 20 million instructions), most never encode.
const std::array<SingleColour, 256>& Single5() {
  static const std::array<SingleColour, 256> table = MakeSingleColourTable<5>();
  return table;
}
const std::array<SingleColour, 256>& Single6() {
  static const std::array<SingleColour, 256> table = MakeSingleColourTable<6>();
  return table;
}

void FitSingleColour(const Pixels& p, ColourFit& fit) {
  int r = int(p.r[0]), g = int(p.g[0]), b = int(p.b[0]);
  const SingleColour sr = Single5()[size_t(r)], sg = Single6()[size_t(g)],
                     sb = Single5()[size_t(b)];
  fit.c0 = uint16_t((sr.first << 11) | (sg.first << 5) | sb.first);
  fit.c1 = uint16_t((sr.second << 11) | (sg.second << 5) | sb.second);
  float palette[4][3];
  Palette(fit.c0, fit.c1, false, palette);
  std::memset(fit.index, 2, sizeof fit.index);
  float dr = float(r) - palette[2][0], dg = float(g) - palette[2][1], db = float(b) - palette[2][2];
  fit.error = float(kPixels) * (dr * dr + dg * dg + db * db);
}

// The principal axis of the weighted colours by power iteration. The
// covariance is taken in integers, scaled by the squared weight (at most
// 16 * 16 * 255 * 255, within an int32 and exact as a float).
void PrincipalAxis(const Pixels& p, const int32_t sum[3], int32_t weight, float axis[3]) {
  int32_t s[6] = {};
  for (int i = 0; i < kPixels; ++i) {
    const int32_t r = p.ri[i] * p.wi[i], g = p.gi[i] * p.wi[i], b = p.bi[i] * p.wi[i];
    s[0] += r * r;
    s[1] += r * g;
    s[2] += r * b;
    s[3] += g * g;
    s[4] += g * b;
    s[5] += b * b;
  }
  const int32_t c[6] = {weight * s[0] - sum[0] * sum[0], weight * s[1] - sum[0] * sum[1],
                        weight * s[2] - sum[0] * sum[2], weight * s[3] - sum[1] * sum[1],
                        weight * s[4] - sum[1] * sum[2], weight * s[5] - sum[2] * sum[2]};
  // Start from the row of the widest channel, which is never orthogonal to
  // the answer unless the covariance is zero there.
  const int widest = c[0] >= c[3] && c[0] >= c[5] ? 0 : c[3] >= c[5] ? 1 : 2;
  const int32_t largest = c[widest == 0 ? 0 : widest == 1 ? 3 : 5];
  // Scaled so that the widest variance is 1: no entry is larger, the
  // vector grows at most threefold a step and needs no renormalising.
  const float unit = largest > 0 ? 1.0f / float(largest) : 0.0f;
  const float rows[3][3] = {{float(c[0]) * unit, float(c[1]) * unit, float(c[2]) * unit},
                            {float(c[1]) * unit, float(c[3]) * unit, float(c[4]) * unit},
                            {float(c[2]) * unit, float(c[4]) * unit, float(c[5]) * unit}};
  float v[3] = {rows[widest][0], rows[widest][1], rows[widest][2]};
  for (int iteration = 0; iteration < 4; ++iteration) {
    const float x[3] = {rows[0][0] * v[0] + rows[0][1] * v[1] + rows[0][2] * v[2],
                        rows[1][0] * v[0] + rows[1][1] * v[1] + rows[1][2] * v[2],
                        rows[2][0] * v[0] + rows[2][1] * v[1] + rows[2][2] * v[2]};
    for (int k = 0; k < 3; ++k) v[k] = x[k];
  }
  const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(length > 1e-20f)) {
    axis[0] = axis[1] = axis[2] = 0.57735f;
    return;
  }
  const float scale = 1.0f / length;
  for (int k = 0; k < 3; ++k) axis[k] = v[k] * scale;
}

// For fixed indices the error is a quadratic in the two end points, one per
// channel: sum w |x - (alpha e0 + beta e1)|^2, alpha = share / steps and
// beta = 1 - alpha.
struct Normal {
  float aa = 0, bb = 0, ab = 0, ax[3] = {}, bx[3] = {};
};

Normal Accumulate(const Pixels& p, const int16_t share[kPixels], int16_t steps) {
  // Integer sums scaled by steps (products) or steps squared; at most
  // 16 * 3 * 255, so 16 bits hold them.
  int16_t aa = 0, bb = 0, ab = 0, ax[3] = {}, bx[3] = {};
  for (int i = 0; i < kPixels; ++i) {
    const int16_t alpha = int16_t(share[i] * p.wi[i]), beta = int16_t((steps - share[i]) * p.wi[i]);
    aa = int16_t(aa + alpha * alpha);
    bb = int16_t(bb + beta * beta);
    ab = int16_t(ab + alpha * beta);
    ax[0] = int16_t(ax[0] + alpha * p.ri[i]);
    ax[1] = int16_t(ax[1] + alpha * p.gi[i]);
    ax[2] = int16_t(ax[2] + alpha * p.bi[i]);
    bx[0] = int16_t(bx[0] + beta * p.ri[i]);
    bx[1] = int16_t(bx[1] + beta * p.gi[i]);
    bx[2] = int16_t(bx[2] + beta * p.bi[i]);
  }
  const float inverse = 1.0f / float(steps), inverse2 = inverse * inverse;
  Normal n;
  n.aa = float(aa) * inverse2;
  n.bb = float(bb) * inverse2;
  n.ab = float(ab) * inverse2;
  for (int k = 0; k < 3; ++k) {
    n.ax[k] = float(ax[k]) * inverse;
    n.bx[k] = float(bx[k]) * inverse;
  }
  return n;
}

// The least-squares end points, each channel rounded to the pair of codes
// (floor or ceiling of each end) that the quadratic prefers: rounding the
// two ends apart can cost more than moving both one step. False when the
// indices do not pin both ends (all pixels on one palette entry).
bool SolveEndPoints(const Normal& n, uint16_t& c0, uint16_t& c1) {
  const float det = n.aa * n.bb - n.ab * n.ab;
  if (std::fabs(det) < 1e-6f) return false;
  const float inverse = 1.0f / det;
  // The three channels side by side, padded to four lanes so that the loop
  // vectorises. Code v expands to 8v + v/4 (5 bits) or 4v + v/16 (6 bits),
  // that is floor(v * 33/4) or floor(v * 65/16): no table look-up per lane.
  static constexpr float kTop[4] = {31, 63, 31, 0}, kExpand[4] = {8.25f, 4.0625f, 8.25f, 0};
  const float ax[4] = {n.ax[0], n.ax[1], n.ax[2], 0}, bx[4] = {n.bx[0], n.bx[1], n.bx[2], 0};
  int32_t best0[4], best1[4];
  for (int k = 0; k < 4; ++k) {
    const float e0 = (ax[k] * n.bb - bx[k] * n.ab) * inverse;
    const float e1 = (bx[k] * n.aa - ax[k] * n.ab) * inverse;
    const float top = kTop[k];
    // Truncation is the floor here: negative ends clamp to 0 first.
    const float lo0 = float(int32_t(Min(Max(e0, 0.0f) * top * (1.0f / 255.0f), top)));
    const float lo1 = float(int32_t(Min(Max(e1, 0.0f) * top * (1.0f / 255.0f), top)));
    const float hi0 = Min(lo0 + 1.0f, top), hi1 = Min(lo1 + 1.0f, top);
    const float a0 = float(int32_t(lo0 * kExpand[k])), a1 = float(int32_t(hi0 * kExpand[k]));
    const float b0 = float(int32_t(lo1 * kExpand[k])), b1 = float(int32_t(hi1 * kExpand[k]));
    // The quadratic's parts for each end, then the four pairs (the first
    // of equals kept).
    const float fa0 = n.aa * a0 * a0 - 2 * ax[k] * a0, fa1 = n.aa * a1 * a1 - 2 * ax[k] * a1;
    const float fb0 = n.bb * b0 * b0 - 2 * bx[k] * b0, fb1 = n.bb * b1 * b1 - 2 * bx[k] * b1;
    float error = fa0 + fb0 + 2 * n.ab * a0 * b0, r0 = lo0, r1 = lo1;
    const float e01 = fa0 + fb1 + 2 * n.ab * a0 * b1;
    r1 = e01 < error ? hi1 : r1;
    error = e01 < error ? e01 : error;
    const float e10 = fa1 + fb0 + 2 * n.ab * a1 * b0;
    r0 = e10 < error ? hi0 : r0;
    r1 = e10 < error ? lo1 : r1;
    error = e10 < error ? e10 : error;
    const float e11 = fa1 + fb1 + 2 * n.ab * a1 * b1;
    r0 = e11 < error ? hi0 : r0;
    r1 = e11 < error ? hi1 : r1;
    best0[k] = int32_t(r0);
    best1[k] = int32_t(r1);
  }
  c0 = uint16_t(best0[0] << 11 | best0[1] << 5 | best0[2]);
  c1 = uint16_t(best1[0] << 11 | best1[1] << 5 | best1[2]);
  return true;
}

// Fits the weighted pixels with four colours or, with `three`, three (the
// fourth index stays for transparent pixels).
void FitColours(const Pixels& p, bool three, ColourFit& best) {
  int32_t sum[3] = {}, weight = 0, spread = 0;
  for (int i = 0; i < kPixels; ++i) {
    sum[0] += p.ri[i] * p.wi[i];
    sum[1] += p.gi[i] * p.wi[i];
    sum[2] += p.bi[i] * p.wi[i];
    weight += p.wi[i];
    spread |= (p.ri[i] ^ p.ri[0]) | (p.gi[i] ^ p.gi[0]) | (p.bi[i] ^ p.bi[0]);
  }
  if (!three && spread == 0) {
    FitSingleColour(p, best);
    return;
  }
  const float mean[3] = {float(sum[0]) / float(weight), float(sum[1]) / float(weight),
                         float(sum[2]) / float(weight)};
  float axis[3];
  PrincipalAxis(p, sum, weight, axis);
  // The extremes along the axis; uncounted pixels sit at the mean (0).
  // Four running extremes, one per lane, so that the loop vectorises.
  float t[kPixels], lows[4] = {}, highs[4] = {};
  for (int i = 0; i < kPixels; i += 4) {
    for (int j = 0; j < 4; ++j) {
      const int q = i + j;
      const float along = (p.r[q] - mean[0]) * axis[0] + (p.g[q] - mean[1]) * axis[1] +
                          (p.b[q] - mean[2]) * axis[2];
      t[q] = p.w[q] > 0 ? along : 0;
      lows[j] = Min(lows[j], t[q]);
      highs[j] = Max(highs[j], t[q]);
    }
  }
  const float tlo = Min(Min(lows[0], lows[1]), Min(lows[2], lows[3]));
  const float thi = Max(Max(highs[0], highs[1]), Max(highs[2], highs[3]));
  best.error = 1e30f;
  ColourFit trial;
  int16_t shares[kPixels];
  // The first indices come from where each pixel lies between the extremes
  // (the end points' palette on the axis); least squares then places the
  // ends, and each round measures the quantized palette and refits.
  const int16_t steps = three ? 2 : 3;
  const float scale = thi > tlo ? float(steps) / (thi - tlo) : 0.0f;
  for (int i = 0; i < kPixels; ++i) shares[i] = int16_t((t[i] - tlo) * scale + 0.5f);
  if (!SolveEndPoints(Accumulate(p, shares, steps), trial.c0, trial.c1)) {
    float e0[3], e1[3];
    for (int k = 0; k < 3; ++k) {
      e0[k] = Min(255.0f, Max(0.0f, mean[k] + axis[k] * thi));
      e1[k] = Min(255.0f, Max(0.0f, mean[k] + axis[k] * tlo));
    }
    trial.c0 = Quantize565(e0);
    trial.c1 = Quantize565(e1);
  }
  for (int round = 0; round <= kRefinements; ++round) {
    float palette[4][3];
    int16_t previous[kPixels];
    std::memcpy(previous, shares, sizeof previous);
    Palette(trial.c0, trial.c1, three, palette);
    trial.error = float(AssignIndices(p, palette, three, trial.index, shares));
    if (trial.error < best.error) best = trial;
    // Unchanged weights would solve to these very ends again.
    if (std::memcmp(previous, shares, sizeof previous) == 0) break;
    uint16_t last0 = trial.c0, last1 = trial.c1;
    if (round == kRefinements || trial.error == 0 ||
        !SolveEndPoints(Accumulate(p, shares, steps), trial.c0, trial.c1) ||
        (trial.c0 == last0 && trial.c1 == last1)) {
      break;
    }
  }
  // A nearly flat block can round both ends to one code, which may lie far
  // from its colours; the single-colour pair for the mean, whose two-thirds
  // point lands close to it, then does better.
  if (!three && best.c0 == best.c1) {
    const int32_t half = weight / 2;
    const SingleColour sr = Single5()[size_t((sum[0] + half) / weight)],
                       sg = Single6()[size_t((sum[1] + half) / weight)],
                       sb = Single5()[size_t((sum[2] + half) / weight)];
    trial.c0 = uint16_t((sr.first << 11) | (sg.first << 5) | sb.first);
    trial.c1 = uint16_t((sr.second << 11) | (sg.second << 5) | sb.second);
    float palette[4][3];
    Palette(trial.c0, trial.c1, false, palette);
    trial.error = float(AssignIndices(p, palette, false, trial.index, shares));
    if (trial.error < best.error) best = trial;
  }
}

void Put16(uint8_t* out, uint16_t v) {
  out[0] = uint8_t(v);
  out[1] = uint8_t(v >> 8);
}

// Writes the colour half of a block. Four-colour blocks need c0 > c1 and
// three-colour ones c0 <= c1; swapping the ends remaps the indices.
// Uncounted pixels (w = 0) of a three-colour block get the transparent index.
void WriteColourBlock(ColourFit fit, bool three, const Pixels& p, uint8_t out[8]) {
  bool swap = three ? fit.c0 > fit.c1 : fit.c0 < fit.c1;
  static const uint8_t kSwap4[4] = {1, 0, 3, 2}, kSwap3[4] = {1, 0, 2, 3};
  if (swap) {
    std::swap(fit.c0, fit.c1);
    for (uint8_t& i : fit.index) i = (three ? kSwap3 : kSwap4)[i];
  }
  if (!three && fit.c0 == fit.c1) std::memset(fit.index, 0, sizeof fit.index);
  Put16(out, fit.c0);
  Put16(out + 2, fit.c1);
  uint32_t bits = 0;
  for (int i = 0; i < kPixels; ++i)
    bits |= uint32_t(three && p.w[i] == 0 ? 3 : fit.index[i]) << (2 * i);
  for (int k = 0; k < 4; ++k) out[4 + k] = uint8_t(bits >> (8 * k));
}

// With `oneBitAlpha`, pixels whose alpha is below 128 become transparent
// (a three-colour block) and only the others are fitted.
void EncodeColours(Pixels& block, bool oneBitAlpha, uint8_t out[8]) {
  int opaque = kPixels;
  if (oneBitAlpha) {
    opaque = 0;
    for (int i = 0; i < kPixels; ++i) {
      block.w[i] = block.a[i] < 128 ? 0.0f : 1.0f;
      block.wi[i] = block.a[i] < 128 ? 0 : 1;
      opaque += block.a[i] < 128 ? 0 : 1;
    }
  }
  ColourFit fit;
  const bool three = opaque < kPixels;
  if (opaque > 0) FitColours(block, three, fit);
  WriteColourBlock(fit, three, block, out);
}

uint64_t ExplicitAlpha(const uint8_t a[kPixels], uint8_t out[8]) {
  uint64_t error = 0, bits = 0;
  for (int i = 0; i < kPixels; ++i) {
    int v = (a[i] + 8) / 17;
    int d = a[i] - v * 17;
    error += uint64_t(d * d);
    bits |= uint64_t(v) << (4 * i);
  }
  if (out)
    for (int k = 0; k < 8; ++k) out[k] = uint8_t(bits >> (8 * k));
  return error;
}

void AlphaPalette(int a0, int a1, int palette[8]) {
  palette[0] = a0;
  palette[1] = a1;
  if (a0 > a1) {
    for (int i = 2; i < 8; ++i) palette[i] = ((8 - i) * a0 + (i - 1) * a1) / 7;
  } else {
    for (int i = 2; i < 6; ++i) palette[i] = ((6 - i) * a0 + (i - 1) * a1) / 5;
    palette[6] = 0;
    palette[7] = 255;
  }
}

uint64_t AlphaIndices(const uint8_t a[kPixels], const int palette[8], uint64_t& bits) {
  // One pixel per iteration, scalar selects (ties to the lower index). The
  // distance is the absolute difference, which orders entries as the
  // squared one does and fits a byte: all 16 pixels at a time.
  uint8_t entry[8];
  for (int e = 0; e < 8; ++e) entry[e] = uint8_t(palette[e]);
  uint8_t best[kPixels], chosen[kPixels];
  for (int i = 0; i < kPixels; ++i) {
    const uint8_t v = a[i];
    uint8_t d = uint8_t(v > entry[0] ? v - entry[0] : entry[0] - v), c = 0;
    for (int e = 1; e < 8; ++e) {
      const uint8_t de = uint8_t(v > entry[e] ? v - entry[e] : entry[e] - v);
      c = de < d ? uint8_t(e) : c;
      d = de < d ? de : d;
    }
    best[i] = d;
    chosen[i] = c;
  }
  int32_t error = 0;
  uint32_t low = 0, high = 0;  // eight indices of 3 bits each
  for (int i = 0; i < kPixels; ++i) error += int32_t(best[i]) * best[i];
  for (int i = 0; i < 8; ++i) {
    low |= uint32_t(chosen[i]) << (3 * i);
    high |= uint32_t(chosen[i + 8]) << (3 * i);
  }
  bits = uint64_t(low) | uint64_t(high) << 24;
  return uint64_t(error);
}

// Where the extremes lie at most 7 apart the eight-step palette holds every
// value between them: lo + x sits at step j = ceil(7x / d) up from lo
// (d = hi - lo), since floor(j d / 7) = x there. The quotient, of at most
// 55 by at most 7, is a product with ceil(1024 / d) and a shift (off by
// under 55/1024 < 1/7, so exact); in 16 bits this vectorises.
uint64_t NarrowAlphaIndices(const uint8_t a[kPixels], int lo, int hi) {
  const uint16_t d = uint16_t(hi - lo), reciprocal = uint16_t((1024 + d - 1) / d);
  uint8_t chosen[kPixels];
  for (int i = 0; i < kPixels; ++i) {
    const uint16_t x = uint16_t(a[i] - lo);
    const uint16_t step = uint16_t(uint16_t((7 * x + d - 1) * reciprocal) >> 10);
    // Step 0 is lo (index 1), step 7 is hi (index 0), step j between them
    // is index 8 - j.
    chosen[i] = uint8_t(step == 0 ? 1 : step == 7 ? 0 : 8 - step);
  }
  uint32_t low = 0, high = 0;
  for (int i = 0; i < 8; ++i) {
    low |= uint32_t(chosen[i]) << (3 * i);
    high |= uint32_t(chosen[i + 8]) << (3 * i);
  }
  return uint64_t(low) | uint64_t(high) << 24;
}

// Eight steps between the extremes, or six between the extremes of the
// values other than 0 and 255 (which the six-step palette holds exactly).
uint64_t InterpolatedAlpha(const uint8_t a[kPixels], uint8_t out[8]) {
  // Bytes and selects rather than a branch on 0 and 255: this vectorises,
  // 16 pixels at a time.
  uint8_t lo = 255, hi = 0, innerLo = 255, innerHi = 0;
  for (int i = 0; i < kPixels; ++i) {
    const bool inner = a[i] != 0 && a[i] != 255;
    const uint8_t forLo = inner ? a[i] : uint8_t(255), forHi = inner ? a[i] : uint8_t(0);
    lo = a[i] < lo ? a[i] : lo;
    hi = a[i] > hi ? a[i] : hi;
    innerLo = forLo < innerLo ? forLo : innerLo;
    innerHi = forHi > innerHi ? forHi : innerHi;
  }
  int a0 = hi, a1 = lo;
  uint64_t bits = 0, error = 0;
  if (hi == lo) {
    error = 0;  // every index 0
  } else if (hi - lo <= 7) {
    bits = NarrowAlphaIndices(a, lo, hi);  // exact
  } else {
    int palette[8];
    AlphaPalette(hi, lo, palette);
    error = AlphaIndices(a, palette, bits);
    if (innerLo > innerHi) innerLo = innerHi = 0;
    // Six steps only pay where the block holds 0 or 255 (kept exactly) and
    // eight miss somewhere.
    uint64_t sixBits = 0, sixError = error;
    if ((lo == 0 || hi == 255) && error > 0) {
      AlphaPalette(innerLo, innerHi, palette);
      sixError = AlphaIndices(a, palette, sixBits);
    }
    if (sixError < error) {
      error = sixError;
      bits = sixBits;
      a0 = innerLo;
      a1 = innerHi;
    }
  }
  if (out) {
    out[0] = uint8_t(a0);
    out[1] = uint8_t(a1);
    for (int k = 0; k < 6; ++k) out[2 + k] = uint8_t(bits >> (8 * k));
  }
  return error;
}

// The block at (bx, by); partial blocks repeat the last column or row.
void LoadBlock(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride, int32_t bx,
               int32_t by, Pixels& block) {
  uint8_t rgba[kPixels * 4];
  if (bx * 4 + 4 <= width && by * 4 + 4 <= height) {
    for (int y = 0; y < 4; ++y)
      std::memcpy(rgba + 16 * y, pixels + ptrdiff_t(by * 4 + y) * stride + size_t(bx) * 16, 16);
  } else {
    for (int y = 0; y < 4; ++y) {
      const int32_t sy = by * 4 + y < height ? by * 4 + y : height - 1;
      for (int x = 0; x < 4; ++x) {
        const int32_t sx = bx * 4 + x < width ? bx * 4 + x : width - 1;
        std::memcpy(rgba + 4 * (y * 4 + x), pixels + ptrdiff_t(sy) * stride + size_t(sx) * 4, 4);
      }
    }
  }
  // The weights are the caller's: every pixel counts until a one-bit-alpha
  // block says otherwise (CountEveryPixel).
  for (int i = 0; i < kPixels; ++i) {
    block.ri[i] = rgba[4 * i];
    block.gi[i] = rgba[4 * i + 1];
    block.bi[i] = rgba[4 * i + 2];
    block.a[i] = rgba[4 * i + 3];
  }
  for (int i = 0; i < kPixels; ++i) {
    block.r[i] = float(block.ri[i]);
    block.g[i] = float(block.gi[i]);
    block.b[i] = float(block.bi[i]);
  }
}

void CountEveryPixel(Pixels& block) {
  for (int i = 0; i < kPixels; ++i) {
    block.w[i] = 1.0f;
    block.wi[i] = 1;
  }
}

}  // namespace

int32_t S3TCBlockBytes(int32_t subFormat) {
  if (subFormat == kS3TCNoAlpha || subFormat == kS3TCOneBitAlpha) return 8;
  if (subFormat == kS3TCExplicitAlpha || subFormat == kS3TCInterpolatedAlpha) return 16;
  return 0;
}

int64_t S3TCImageBytes(int32_t width, int32_t height, int32_t subFormat) {
  int32_t block = S3TCBlockBytes(subFormat);
  if (width < 0 || height < 0 || block == 0) return -1;
  int64_t bytes = ((int64_t(width) + 3) / 4) * ((int64_t(height) + 3) / 4) * block;
  return bytes > INT32_MAX ? -1 : bytes;
}

bool EncodeS3TCImage(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                     int32_t subFormat, uint8_t* out) {
  if (S3TCImageBytes(width, height, subFormat) < 0) return false;
  const int32_t blockBytes = S3TCBlockBytes(subFormat);
  const bool alphaBlock = blockBytes == 16;
  Pixels block;
  CountEveryPixel(block);
  for (int32_t by = 0; by < (height + 3) / 4; ++by) {
    for (int32_t bx = 0; bx < (width + 3) / 4; ++bx) {
      LoadBlock(pixels, width, height, stride, bx, by, block);
      if (subFormat == kS3TCExplicitAlpha) ExplicitAlpha(block.a, out);
      if (subFormat == kS3TCInterpolatedAlpha) InterpolatedAlpha(block.a, out);
      EncodeColours(block, subFormat == kS3TCOneBitAlpha, out + (alphaBlock ? 8 : 0));
      out += blockBytes;
    }
  }
  return true;
}

void MeasureS3TCAlphaErrors(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                            uint64_t* explicitError, uint64_t* interpolatedError) {
  uint64_t explicitSum = 0, interpolatedSum = 0;
  Pixels block;
  for (int32_t by = 0; by < (height + 3) / 4; ++by) {
    for (int32_t bx = 0; bx < (width + 3) / 4; ++bx) {
      LoadBlock(pixels, width, height, stride, bx, by, block);
      explicitSum += ExplicitAlpha(block.a, nullptr);
      interpolatedSum += InterpolatedAlpha(block.a, nullptr);
    }
  }
  if (explicitError) *explicitError = explicitSum;
  if (interpolatedError) *interpolatedError = interpolatedSum;
}

bool DecodeS3TCBlock(const uint8_t* block, int32_t subFormat, uint8_t rgba[64]) {
  if (S3TCBlockBytes(subFormat) == 0) return false;
  const uint8_t* colour = S3TCBlockBytes(subFormat) == 16 ? block + 8 : block;
  uint16_t c0 = uint16_t(colour[0] | colour[1] << 8), c1 = uint16_t(colour[2] | colour[3] << 8);
  bool three = subFormat <= kS3TCOneBitAlpha && c0 <= c1;
  int a[3], b[3], palette[4][4];
  Expand565(c0, a);
  Expand565(c1, b);
  for (int k = 0; k < 3; ++k) {
    palette[0][k] = a[k];
    palette[1][k] = b[k];
    palette[2][k] = three ? (a[k] + b[k]) / 2 : (2 * a[k] + b[k]) / 3;
    palette[3][k] = three ? 0 : (a[k] + 2 * b[k]) / 3;
  }
  for (int e = 0; e < 4; ++e) palette[e][3] = 255;
  if (three) palette[3][3] = 0;
  for (int i = 0; i < kPixels; ++i) {
    int index = (colour[4 + i / 4] >> (2 * (i % 4))) & 3;
    for (int k = 0; k < 4; ++k) rgba[4 * i + k] = uint8_t(palette[index][k]);
  }
  if (subFormat == kS3TCExplicitAlpha) {
    for (int i = 0; i < kPixels; ++i)
      rgba[4 * i + 3] = uint8_t(((block[i / 2] >> (4 * (i % 2))) & 15) * 17);
  } else if (subFormat == kS3TCInterpolatedAlpha) {
    int alpha[8];
    AlphaPalette(block[0], block[1], alpha);
    uint64_t bits = 0;
    for (int k = 0; k < 6; ++k) bits |= uint64_t(block[2 + k]) << (8 * k);
    for (int i = 0; i < kPixels; ++i) rgba[4 * i + 3] = uint8_t(alpha[(bits >> (3 * i)) & 7]);
  }
  return true;
}

bool DecodeS3TCImage(const uint8_t* blocks, int32_t width, int32_t height, int32_t subFormat,
                     uint8_t* pixels, int32_t stride) {
  if (S3TCImageBytes(width, height, subFormat) < 0) return false;
  const int32_t blockBytes = S3TCBlockBytes(subFormat);
  uint8_t rgba[64];
  for (int32_t by = 0; by < (height + 3) / 4; ++by) {
    for (int32_t bx = 0; bx < (width + 3) / 4; ++bx, blocks += blockBytes) {
      DecodeS3TCBlock(blocks, subFormat, rgba);
      for (int y = 0; y < 4 && by * 4 + y < height; ++y) {
        for (int x = 0; x < 4 && bx * 4 + x < width; ++x) {
          std::memcpy(pixels + ptrdiff_t(by * 4 + y) * stride + size_t(bx * 4 + x) * 4,
                      rgba + 4 * (y * 4 + x), 4);
        }
      }
    }
  }
  return true;
}

}  // namespace ketrel
