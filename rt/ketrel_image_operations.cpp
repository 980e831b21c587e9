#include "rt/ketrel_image_operations.h"

#include <cmath>
#include <cstddef>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {
namespace {

const float kSupport[kFilterCount] = {2.0f, 1.0f, 0.5f};

// Per destination coordinate: `taps` source indices (already clamped to the
// source) with normalised weights, `stride` slots apart.
struct WeightTable {
  int32_t* index = nullptr;
  float* weight = nullptr;
  int32_t* taps = nullptr;
  int32_t stride = 0;
  void Free() {
    FreeBlock(index);
    FreeBlock(weight);
    FreeBlock(taps);
    index = nullptr;
    weight = nullptr;
    taps = nullptr;
  }
};

bool MakeWeights(int32_t sourceSize, int32_t size, int32_t filter, WeightTable& table) {
  const double scale = double(sourceSize) / double(size);
  const double widen = scale > 1.0 ? scale : 1.0;
  const double support = kSupport[filter] * widen;
  table.stride = int32_t(std::ceil(2.0 * support)) + 2;
  const size_t slots = size_t(size) * size_t(table.stride);
  table.index = KT_ALLOCATE_ARRAY(int32_t, slots);
  table.weight = KT_ALLOCATE_ARRAY(float, slots);
  table.taps = KT_ALLOCATE_ARRAY(int32_t, size_t(size));
  if (!table.index || !table.weight || !table.taps) {
    table.Free();
    return false;
  }
  for (int32_t d = 0; d < size; ++d) {
    const double center = (d + 0.5) * scale;
    const int64_t first = int64_t(std::floor(center - support));
    int32_t* index = table.index + size_t(d) * size_t(table.stride);
    float* weight = table.weight + size_t(d) * size_t(table.stride);
    int32_t taps = 0;
    double sum = 0;
    for (int64_t s = first; s < first + table.stride; ++s) {
      float w = FilterKernel(filter, float((s + 0.5 - center) / widen));
      if (w == 0.0f) continue;
      index[taps] = int32_t(s < 0 ? 0 : s >= sourceSize ? sourceSize - 1 : s);
      weight[taps] = w;
      sum += w;
      ++taps;
    }
    if (taps == 0 || sum == 0) {  // no tap reached: take the nearest pixel
      int64_t nearest = int64_t(center);
      index[0] = int32_t(nearest >= sourceSize ? sourceSize - 1 : nearest);
      weight[0] = 1.0f;
      taps = 1;
      sum = 1;
    }
    for (int32_t t = 0; t < taps; ++t) weight[t] = float(weight[t] / sum);
    table.taps[d] = taps;
  }
  return true;
}

void FilterRow(const uint8_t* row, const WeightTable& h, int32_t width, float* out) {
  for (int32_t x = 0; x < width; ++x) {
    const int32_t* index = h.index + size_t(x) * size_t(h.stride);
    const float* weight = h.weight + size_t(x) * size_t(h.stride);
    float sum[4] = {};
    for (int32_t t = 0; t < h.taps[x]; ++t) {
      const uint8_t* px = row + size_t(index[t]) * 4;
      for (int k = 0; k < 4; ++k) sum[k] += weight[t] * float(px[k]);
    }
    for (int k = 0; k < 4; ++k) out[4 * x + k] = sum[k];
  }
}

uint8_t ToByte(float v) {
  v = std::nearbyint(v);
  return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

float FilterKernel(int32_t filter, float x) {
  float ax = std::fabs(x);
  switch (filter) {
    case kFilterMitchell:
      if (ax < 1) return (7.0f / 6.0f) * ax * ax * ax - 2.0f * ax * ax + 8.0f / 9.0f;
      if (ax < 2)
        return (-7.0f / 18.0f) * ax * ax * ax + 2.0f * ax * ax - (10.0f / 3.0f) * ax + 16.0f / 9.0f;
      return 0;
    case kFilterTent:
      return ax < 1 ? 1 - ax : 0;
    case kFilterBox:
      return x > -0.5f && x <= 0.5f ? 1 : 0;
    default:
      return 0;
  }
}

bool ResampleImage(const uint8_t* source, int32_t sourceWidth, int32_t sourceHeight,
                   int32_t sourceStride, uint8_t* destination, int32_t width, int32_t height,
                   int32_t destinationStride, int32_t filter) {
  if (filter < 0 || filter >= kFilterCount) {
    KT_LOG_ERROR(Texture, "Invalid pixel filter specified (%d)", filter);
    return false;
  }
  if (!KT_CHECK_PARAMETER(Texture, source && destination && sourceWidth >= 0 && sourceHeight >= 0 &&
                                       width >= 0 && height >= 0)) {
    return false;
  }
  if (sourceWidth == 0 || sourceHeight == 0 || width == 0 || height == 0) return false;

  WeightTable h, v;
  if (!MakeWeights(sourceWidth, width, filter, h) ||
      !MakeWeights(sourceHeight, height, filter, v)) {
    h.Free();
    KT_LOG_ERROR(Texture, "Out of memory in texture image builder");
    return false;
  }
  // A ring of horizontally filtered rows: a destination row needs at most
  // `v.stride` consecutive source rows, and rows are needed in order.
  const int32_t ringRows = v.stride;
  const size_t rowFloats = size_t(width) * 4;
  float* ring = KT_ALLOCATE_ARRAY(float, size_t(ringRows) * rowFloats);
  int32_t* tags = KT_ALLOCATE_ARRAY(int32_t, size_t(ringRows));
  if (!ring || !tags) {
    FreeBlock(ring);
    FreeBlock(tags);
    h.Free();
    v.Free();
    KT_LOG_ERROR(Texture, "Out of memory in texture image builder");
    return false;
  }
  for (int32_t i = 0; i < ringRows; ++i) tags[i] = -1;

  for (int32_t y = 0; y < height; ++y) {
    const int32_t* index = v.index + size_t(y) * size_t(v.stride);
    const float* weight = v.weight + size_t(y) * size_t(v.stride);
    const int32_t taps = v.taps[y];
    for (int32_t t = 0; t < taps; ++t) {
      const int32_t s = index[t];
      if (tags[s % ringRows] == s) continue;
      FilterRow(source + ptrdiff_t(s) * sourceStride, h, width,
                ring + size_t(s % ringRows) * rowFloats);
      tags[s % ringRows] = s;
    }
    uint8_t* out = destination + ptrdiff_t(y) * destinationStride;
    for (int32_t x = 0; x < width; ++x) {
      float sum[4] = {};
      for (int32_t t = 0; t < taps; ++t) {
        const float* px = ring + size_t(index[t] % ringRows) * rowFloats + 4 * size_t(x);
        for (int k = 0; k < 4; ++k) sum[k] += weight[t] * px[k];
      }
      for (int k = 0; k < 4; ++k) out[4 * x + k] = ToByte(sum[k]);
    }
  }
  FreeBlock(ring);
  FreeBlock(tags);
  h.Free();
  v.Free();
  return true;
}

}  // namespace ketrel
