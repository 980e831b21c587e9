#include "rt/ketrel_curve_sampled.h"

#include <cmath>
#include <cstring>

namespace ketrel {
namespace {

constexpr int32_t kMaxDimension = 15;
constexpr int32_t kCodeBits = 26;

uint64_t Zigzag(int64_t x) {
  return (static_cast<uint64_t>(x) << 1) ^ static_cast<uint64_t>(x >> 63);
}
int64_t Unzigzag(uint64_t z) { return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1); }

int32_t WidthOf(uint64_t v) {
  int32_t width = 0;
  while (v != 0) {
    ++width;
    v >>= 1;
  }
  return width;
}

int32_t SegmentCount(int32_t count) {
  return (count + kSampledSegmentLength - 1) / kSampledSegmentLength;
}

// Counts bits when `out` is null, else writes them (into zeroed bytes).
struct bit_sink {
  uint8_t* Out = nullptr;
  uint64_t Position = 0;
  void Put(uint64_t value, int32_t width) {
    if (Out != nullptr) {
      for (int32_t done = 0; done < width;) {
        int32_t shift = static_cast<int32_t>(Position & 7);
        int32_t take = 8 - shift < width - done ? 8 - shift : width - done;
        uint32_t bits = static_cast<uint32_t>(value >> done) & ((1u << take) - 1);
        Out[Position >> 3] = static_cast<uint8_t>(Out[Position >> 3] | (bits << shift));
        Position += static_cast<uint64_t>(take);
        done += take;
      }
    } else {
      Position += static_cast<uint64_t>(width);
    }
  }
};

struct bit_source {
  const uint8_t* In;
  uint64_t Limit;  // bits
  uint64_t Position;
  bool Failed = false;
  uint64_t Get(int32_t width) {
    if (Position + static_cast<uint64_t>(width) > Limit) {
      Failed = true;
      return 0;
    }
    uint64_t value = 0;
    for (int32_t done = 0; done < width;) {
      int32_t shift = static_cast<int32_t>(Position & 7);
      int32_t take = 8 - shift < width - done ? 8 - shift : width - done;
      uint64_t bits = (In[Position >> 3] >> shift) & ((1u << take) - 1);
      value |= bits << done;
      Position += static_cast<uint64_t>(take);
      done += take;
    }
    return value;
  }
};

// Codes of every component of the keys first..first+length-1; false when a
// value cannot be coded.
bool SegmentCodes(int32_t dimension, const float* values, const float* steps, const float* bases,
                  int32_t first, int32_t length, int64_t* codes) {
  for (int32_t j = 0; j < length; ++j) {
    for (int32_t c = 0; c < dimension; ++c) {
      int64_t code = SampledCode(values[int64_t{first + j} * dimension + c], steps[c], bases[c]);
      if (code < 0 || code >= kSampledCodeLimit) return false;
      codes[j * dimension + c] = code;
    }
  }
  return true;
}

// Keys of unit length (quaternions): one component per segment can be left
// out and rebuilt from the others.
bool AllUnitLength(int32_t dimension, int32_t count, const float* values) {
  if (dimension < 2) return false;
  for (int32_t i = 0; i < count; ++i) {
    float sum = 0.0f;
    for (int32_t c = 0; c < dimension; ++c)
      sum += values[int64_t{i} * dimension + c] * values[int64_t{i} * dimension + c];
    if (!(std::fabs(sum - 1.0f) <= 2e-3f)) return false;
  }
  return true;
}

// The component a segment leaves out: the one farthest from 0 throughout,
// with one sign (so the square root keeps it); -1 when none is far enough
// for the rebuilt value to stay accurate.
int32_t DerivedComponent(int32_t dimension, const float* values, int32_t first, int32_t length) {
  int32_t best = -1;
  float bestLow = 0.3f;
  for (int32_t c = 0; c < dimension; ++c) {
    float low = 2.0f;
    float sign = values[int64_t{first} * dimension + c];
    for (int32_t j = 0; j < length; ++j) {
      float v = values[int64_t{first + j} * dimension + c];
      if (v * sign <= 0.0f) low = 0.0f;
      low = std::fmin(low, std::fabs(v));
    }
    if (low > bestLow) {
      bestLow = low;
      best = c;
    }
  }
  return best;
}

// One component of one segment in its cheapest mode.
void PutComponent(bit_sink& sink, const int64_t* codes, int32_t stride, int32_t length,
                  int32_t codeWidth) {
  int32_t first = 0, second = 0;
  int32_t firstDelta = length >= 2 ? WidthOf(Zigzag(codes[stride] - codes[0])) : 0;
  bool constant = true;
  for (int32_t j = 1; j < length; ++j) {
    int64_t delta = codes[j * stride] - codes[(j - 1) * stride];
    constant = constant && delta == 0;
    int32_t w = WidthOf(Zigzag(delta));
    first = w > first ? w : first;
    if (j >= 2) {
      int64_t bend = delta - (codes[(j - 1) * stride] - codes[(j - 2) * stride]);
      int32_t v = WidthOf(Zigzag(bend));
      second = v > second ? v : second;
    }
  }
  uint64_t start = static_cast<uint64_t>(codes[0]);
  if (constant) {
    sink.Put(0, 2);
    sink.Put(start, codeWidth);
    return;
  }
  int64_t costFirst = 5 + int64_t{length - 1} * first;
  int64_t costSecond = length >= 3 ? 10 + firstDelta + int64_t{length - 2} * second : costFirst + 1;
  if (costFirst <= costSecond) {
    sink.Put(1, 2);
    sink.Put(static_cast<uint64_t>(first), 5);
    sink.Put(start, codeWidth);
    for (int32_t j = 1; j < length; ++j)
      sink.Put(Zigzag(codes[j * stride] - codes[(j - 1) * stride]), first);
    return;
  }
  sink.Put(2, 2);
  sink.Put(static_cast<uint64_t>(firstDelta), 5);
  sink.Put(static_cast<uint64_t>(second), 5);
  sink.Put(start, codeWidth);
  sink.Put(Zigzag(codes[stride] - codes[0]), firstDelta);
  for (int32_t j = 2; j < length; ++j) {
    int64_t bend = codes[j * stride] - 2 * codes[(j - 1) * stride] + codes[(j - 2) * stride];
    sink.Put(Zigzag(bend), second);
  }
}

// Lays out (or, with a null `out`, measures) the whole stream.
size_t Encode(int32_t dimension, int32_t count, const float* values, const float* steps,
              const float* bases, uint8_t* out) {
  if (dimension < 1 || dimension > kMaxDimension || count < 1 || values == nullptr ||
      steps == nullptr || bases == nullptr) {
    return 0;
  }
  int32_t widths[kMaxDimension];
  for (int32_t c = 0; c < dimension; ++c) {
    if (!(steps[c] > 0.0f) || !std::isfinite(steps[c]) || !std::isfinite(bases[c])) return 0;
    int64_t largest = 0;
    for (int32_t i = 0; i < count; ++i) {
      int64_t code = SampledCode(values[int64_t{i} * dimension + c], steps[c], bases[c]);
      if (code < 0 || code >= kSampledCodeLimit) return 0;
      largest = code > largest ? code : largest;
    }
    widths[c] = WidthOf(static_cast<uint64_t>(largest));
  }
  const int32_t segments = SegmentCount(count);
  const size_t header = static_cast<size_t>(dimension) + 4 * static_cast<size_t>(segments);
  const bool unit = AllUnitLength(dimension, count, values);
  bit_sink sink;
  if (out != nullptr) sink.Out = out + header;
  int64_t codes[kSampledSegmentLength * kMaxDimension];
  for (int32_t s = 0; s < segments; ++s) {
    if (out != nullptr) {
      uint32_t at = static_cast<uint32_t>(sink.Position);
      for (int32_t b = 0; b < 4; ++b)
        out[dimension + 4 * s + b] = static_cast<uint8_t>(at >> (8 * b));
    }
    int32_t first = s * kSampledSegmentLength;
    int32_t length = count - first < kSampledSegmentLength ? count - first : kSampledSegmentLength;
    if (!SegmentCodes(dimension, values, steps, bases, first, length, codes)) return 0;
    const int32_t derived = unit ? DerivedComponent(dimension, values, first, length) : -1;
    for (int32_t c = 0; c < dimension; ++c) {
      if (c == derived) {
        sink.Put(3, 2);
        sink.Put(values[int64_t{first} * dimension + c] < 0.0f ? 1 : 0, 1);
      } else {
        PutComponent(sink, codes + c, dimension, length, widths[c]);
      }
    }
    // Offsets are 32-bit: a stream of 512 MiB is beyond any curve.
    if (sink.Position > UINT32_MAX) return 0;
  }
  if (out != nullptr) {
    for (int32_t c = 0; c < dimension; ++c) out[c] = static_cast<uint8_t>(widths[c]);
  }
  return header + static_cast<size_t>((sink.Position + 7) / 8);
}

}  // namespace

int64_t SampledCode(float value, float step, float base) {
  double q = (static_cast<double>(value) - static_cast<double>(base)) / static_cast<double>(step);
  if (!std::isfinite(q) || q < -0.5 || q >= static_cast<double>(kSampledCodeLimit)) return -1;
  return static_cast<int64_t>(std::floor(q + 0.5));
}

float SampledValue(int64_t code, float step, float base) {
  return static_cast<float>(code) * step + base;
}

size_t SampledStreamSize(int32_t dimension, int32_t count, const float* values, const float* steps,
                         const float* bases) {
  return Encode(dimension, count, values, steps, bases, nullptr);
}

bool WriteSampledStream(int32_t dimension, int32_t count, const float* values, const float* steps,
                        const float* bases, uint8_t* out, size_t bytes) {
  size_t size = Encode(dimension, count, values, steps, bases, nullptr);
  if (size == 0 || size != bytes || out == nullptr) return false;
  std::memset(out, 0, bytes);
  return Encode(dimension, count, values, steps, bases, out) == size;
}

bool ReadSampledKeys(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count,
                     const float* steps, const float* bases, int32_t first, int32_t n, float* out) {
  if (stream == nullptr || dimension < 1 || dimension > kMaxDimension || count < 1 || first < 0 ||
      n < 0 || int64_t{first} + n > count) {
    return false;
  }
  const int32_t segments = SegmentCount(count);
  const int64_t header = dimension + 4 * int64_t{segments};
  if (bytes < header) return false;
  int32_t widths[kMaxDimension];
  for (int32_t c = 0; c < dimension; ++c) {
    widths[c] = stream[c];
    if (widths[c] > kCodeBits) return false;
  }
  int64_t codes[kSampledSegmentLength * kMaxDimension];
  for (int32_t i = first; i < first + n;) {
    const int32_t s = i / kSampledSegmentLength;
    const int32_t start = s * kSampledSegmentLength;
    const int32_t length =
        count - start < kSampledSegmentLength ? count - start : kSampledSegmentLength;
    uint32_t at = 0;
    for (int32_t b = 0; b < 4; ++b)
      at |= static_cast<uint32_t>(stream[dimension + 4 * s + b]) << (8 * b);
    bit_source source{stream + header, static_cast<uint64_t>(bytes - header) * 8, at};
    int32_t derived = -1;
    bool negative = false;
    for (int32_t c = 0; c < dimension; ++c) {
      int64_t* codesOf = codes + c;
      uint64_t mode = source.Get(2);
      int32_t firstWidth = 0, width = 0;
      if (mode == 3) {
        // Rebuilt below from the others; one such component per segment.
        if (derived >= 0) return false;
        derived = c;
        negative = source.Get(1) != 0;
        if (source.Failed) return false;
        continue;
      }
      if (mode == 1) {
        width = static_cast<int32_t>(source.Get(5));
      } else if (mode == 2) {
        firstWidth = static_cast<int32_t>(source.Get(5));
        width = static_cast<int32_t>(source.Get(5));
      }
      codesOf[0] = static_cast<int64_t>(source.Get(widths[c]));
      for (int32_t j = 1; j < length; ++j) {
        int64_t previous = codesOf[(j - 1) * dimension];
        if (mode == 0) {
          codesOf[j * dimension] = previous;
        } else if (mode == 1 || j == 1) {
          codesOf[j * dimension] = previous + Unzigzag(source.Get(mode == 1 ? width : firstWidth));
        } else {
          int64_t velocity = previous - codesOf[(j - 2) * dimension];
          codesOf[j * dimension] = previous + velocity + Unzigzag(source.Get(width));
        }
      }
      if (source.Failed) return false;
    }
    const int32_t end = first + n < start + length ? first + n : start + length;
    for (; i < end; ++i) {
      float* key = out + int64_t{i - first} * dimension;
      float sum = 0.0f;
      for (int32_t c = 0; c < dimension; ++c) {
        if (c == derived) continue;
        key[c] = SampledValue(codes[(i - start) * dimension + c], steps[c], bases[c]);
        sum += key[c] * key[c];
      }
      if (derived >= 0) {
        float rest = 1.0f - sum;
        key[derived] = rest > 0.0f ? std::sqrt(rest) : 0.0f;
        if (negative) key[derived] = -key[derived];
      }
    }
  }
  return true;
}

}  // namespace ketrel
