#include "rt/ketrel_curve_sampled.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace ketrel {
namespace {

constexpr int32_t kMaxDimension = kSampledMaxDimension;
constexpr int32_t kCodeBits = 24;
// Four float roundings (2^-23 each) of a key's magnitude.
constexpr float kFinestRelativeStep = 4.0f / 8388608.0f;

uint64_t Zigzag(int64_t x) {
  return (static_cast<uint64_t>(x) << 1) ^ static_cast<uint64_t>(x >> 63);
}
int64_t Unzigzag(uint64_t z) { return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1); }

int32_t WidthOf(uint64_t v) { return static_cast<int32_t>(std::bit_width(v)); }

// Counts bits when `Out` is null, else writes them (into zeroed bytes) as
// far as `Capacity` bits go; what would pass it is counted, not written.
struct bit_sink {
  uint8_t* Out = nullptr;
  uint64_t Capacity = 0;  // bits
  uint64_t Position = 0;
  void Put(uint64_t value, int32_t width) {
    if (Out != nullptr && Position + static_cast<uint64_t>(width) <= Capacity) {
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
  // The next 57 or more bits (fewer near the end, zeros past it), unread.
  uint64_t Peek() const {
    const uint64_t byte = Position >> 3;
    const uint64_t bytes = (Limit + 7) >> 3;
    uint64_t word = 0;
    if (std::endian::native == std::endian::little && byte + 8 <= bytes) {
      std::memcpy(&word, In + byte, sizeof(word));
    } else {
      for (uint64_t b = 0; b < 8 && byte + b < bytes; ++b)
        word |= static_cast<uint64_t>(In[byte + b]) << (8 * b);
    }
    return word >> (Position & 7);
  }
  uint64_t Get(int32_t width) {  // width <= 32
    if (Position + static_cast<uint64_t>(width) > Limit) {
      Failed = true;
      return 0;
    }
    const uint64_t value = Peek() & ((uint64_t{1} << width) - 1);
    Position += static_cast<uint64_t>(width);
    return value;
  }
};

// Codes of every component of the keys first..first+length-1 (CodeWidths
// has checked that each can be coded).
void SegmentCodes(int32_t dimension, const float* values, const float* steps, const float* bases,
                  int32_t first, int32_t length, int64_t* codes) {
  for (int32_t j = 0; j < length; ++j) {
    for (int32_t c = 0; c < dimension; ++c)
      codes[j * dimension + c] =
          SampledCode(values[int64_t{first + j} * dimension + c], steps[c], bases[c]);
  }
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

// A key from its components' codes, as the decoder makes it (the encoder
// judges its keys by this very arithmetic): code * step + base, and the
// left-out component (-1: none) rebuilt from the others' squares.
void MakeKey(const int64_t* codes, int32_t dimension, const float* steps, const float* bases,
             int32_t derived, bool negative, float* key) {
  float sum = 0.0f;
  for (int32_t c = 0; c < dimension; ++c) {
    if (c == derived) continue;
    // SampledValue's arithmetic, written out so a player's key costs no call.
    key[c] = static_cast<float>(codes[c]) * steps[c] + bases[c];
    sum += key[c] * key[c];
  }
  if (derived < 0) return;
  const float rest = 1.0f - sum;
  const float value = rest > 0.0f ? std::sqrt(rest) : 0.0f;
  key[derived] = negative ? -value : value;
}

// Residuals (zigzag) go out at one fixed width, or as Rice codes with
// parameter k: the quotient z >> k in unary (at most kRiceLimit ones, then a
// zero), then the k low bits; a quotient that reaches the limit is followed
// by z whole. Jitter makes most residuals small and a few large, which Rice
// codes pay for only where they occur.
constexpr int32_t kRiceLimit = 16;
constexpr int32_t kRawBits = 29;  // zigzag residuals stay below 2^29

int64_t ResidualCost(const uint64_t* z, int32_t n, bool rice, int32_t parameter) {
  int64_t bits = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (!rice) {
      bits += parameter;
    } else {
      uint64_t q = z[i] >> parameter;
      bits += q < kRiceLimit ? static_cast<int64_t>(q) + 1 + parameter : kRiceLimit + kRawBits;
    }
  }
  return bits;
}

void PutResidual(bit_sink& sink, uint64_t z, bool rice, int32_t parameter) {
  if (!rice) {
    sink.Put(z, parameter);
    return;
  }
  uint64_t q = z >> parameter;
  if (q >= kRiceLimit) {
    sink.Put((uint64_t{1} << kRiceLimit) - 1, kRiceLimit);
    sink.Put(z, kRawBits);
    return;
  }
  sink.Put((uint64_t{1} << q) - 1, static_cast<int32_t>(q) + 1);  // q ones, then a zero
  sink.Put(z & ((uint64_t{1} << parameter) - 1), parameter);
}

uint64_t GetResidual(bit_source& source, bool rice, int32_t parameter) {
  if (!rice) return source.Get(parameter);
  const uint64_t word = source.Peek();
  const int32_t ones = std::countr_one(word);
  if (ones >= kRiceLimit) {
    source.Get(kRiceLimit);
    return source.Get(kRawBits);
  }
  // The whole code lies in the word read (at most 16 + 1 + 31 bits of the
  // 57 a peek holds): take it from there, unless it runs past the stream.
  const int32_t used = ones + 1 + parameter;
  if (source.Position + static_cast<uint64_t>(used) <= source.Limit) {
    source.Position += static_cast<uint64_t>(used);
    return (static_cast<uint64_t>(ones) << parameter) |
           ((word >> (ones + 1)) & ((uint64_t{1} << parameter) - 1));
  }
  source.Get(ones + 1);  // the ones and their closing zero
  return (static_cast<uint64_t>(ones) << parameter) | source.Get(parameter);
}

// The cheaper coding of n residuals: fixed width or the best Rice parameter.
int64_t BestCoding(const uint64_t* z, int32_t n, bool* rice, int32_t* parameter) {
  int32_t width = 0;
  for (int32_t i = 0; i < n; ++i) width = std::max(width, WidthOf(z[i]));
  int64_t best = ResidualCost(z, n, false, width);
  *rice = false;
  *parameter = width;
  // The best Rice parameter lies near log2 of the mean residual: try three.
  uint64_t sum = 0;
  for (int32_t i = 0; i < n; ++i) sum += z[i];
  int32_t guess = n > 0 ? WidthOf(sum / static_cast<uint64_t>(n)) - 1 : 0;
  for (int32_t k = std::max(guess - 1, 0); k <= guess + 1 && k < width; ++k) {
    int64_t cost = ResidualCost(z, n, true, k);
    if (cost < best) {
      best = cost;
      *rice = true;
      *parameter = k;
    }
  }
  return best;
}

// How one component of one segment is coded: all equal (mode 0), first
// differences (1), the first difference then second differences (2), or
// rebuilt from the others (3).
struct component_plan {
  int32_t Mode = 0;
  bool Rice = false;
  int32_t Parameter = 0;
  int32_t FirstWidth = 0;
  uint64_t Start = 0;
  bool Negative = false;
  uint64_t Residuals[kSampledSegmentLength];  // key j's at j - 1
};

void PlanComponent(const int64_t* codes, int32_t stride, int32_t length, component_plan& plan) {
  uint64_t second[kSampledSegmentLength];
  bool constant = true;
  for (int32_t j = 1; j < length; ++j) {
    int64_t delta = codes[j * stride] - codes[(j - 1) * stride];
    constant = constant && delta == 0;
    plan.Residuals[j - 1] = Zigzag(delta);
    if (j >= 2) second[j - 2] = Zigzag(delta - (codes[(j - 1) * stride] - codes[(j - 2) * stride]));
  }
  plan.Start = static_cast<uint64_t>(codes[0]);
  if (constant) {
    plan.Mode = 0;
    return;
  }
  bool riceSecond = false;
  int32_t paramSecond = 0;
  int64_t costFirst = BestCoding(plan.Residuals, length - 1, &plan.Rice, &plan.Parameter);
  int32_t firstWidth = WidthOf(plan.Residuals[0]);
  int64_t costSecond =
      length >= 3 ? 5 + firstWidth + BestCoding(second, length - 2, &riceSecond, &paramSecond)
                  : costFirst + 1;
  plan.Mode = 1;
  if (costSecond < costFirst) {
    plan.Mode = 2;
    plan.Rice = riceSecond;
    plan.Parameter = paramSecond;
    plan.FirstWidth = firstWidth;
    for (int32_t j = 2; j < length; ++j) plan.Residuals[j - 1] = second[j - 2];
  }
}

// A segment: every component's header, then the keys one after another,
// each with the residuals of its components, so a reader stops at the key it
// needs.
void PutSegment(bit_sink& sink, const component_plan* plans, int32_t dimension, int32_t length,
                const int32_t* codeWidths) {
  for (int32_t c = 0; c < dimension; ++c) {
    const component_plan& plan = plans[c];
    sink.Put(static_cast<uint64_t>(plan.Mode), 2);
    if (plan.Mode == 3) {
      sink.Put(plan.Negative ? 1 : 0, 1);
      continue;
    }
    if (plan.Mode != 0) {
      sink.Put(plan.Rice ? 1 : 0, 1);
      sink.Put(static_cast<uint64_t>(plan.Parameter), 5);
      if (plan.Mode == 2) sink.Put(static_cast<uint64_t>(plan.FirstWidth), 5);
    }
    sink.Put(plan.Start, codeWidths[c]);
  }
  for (int32_t j = 1; j < length; ++j) {
    for (int32_t c = 0; c < dimension; ++c) {
      const component_plan& plan = plans[c];
      if (plan.Mode == 2 && j == 1) {
        sink.Put(plan.Residuals[0], plan.FirstWidth);
      } else if (plan.Mode == 1 || plan.Mode == 2) {
        PutResidual(sink, plan.Residuals[j - 1], plan.Rice, plan.Parameter);
      }
    }
  }
}

// The code width of each component; false when a step is not positive and
// finite, a value cannot be coded, or a step is finer than floats can keep
// at the keys' magnitude (a key decodes as float(code) * step + base).
bool CodeWidths(int32_t dimension, int32_t count, const float* values, const float* steps,
                const float* bases, int32_t* widths) {
  for (int32_t c = 0; c < dimension; ++c) {
    if (!(steps[c] > 0.0f) || !std::isfinite(steps[c]) || !std::isfinite(bases[c])) return false;
    int64_t largest = 0;
    for (int32_t i = 0; i < count; ++i) {
      int64_t code = SampledCode(values[int64_t{i} * dimension + c], steps[c], bases[c]);
      if (code < 0 || code >= kSampledCodeLimit) return false;
      largest = code > largest ? code : largest;
    }
    const float magnitude =
        std::fmax(std::fabs(bases[c]), std::fabs(SampledValue(largest, steps[c], bases[c])));
    if (steps[c] < magnitude * kFinestRelativeStep) return false;
    widths[c] = WidthOf(static_cast<uint64_t>(largest));
  }
  return true;
}

// Lays out (or, with a null `out`, measures) the whole stream.
size_t Encode(int32_t dimension, int32_t count, const float* values, const float* steps,
              const float* bases, uint8_t* out, size_t capacity) {
  if (dimension < 1 || dimension > kMaxDimension || count < 1 || values == nullptr ||
      steps == nullptr || bases == nullptr) {
    return 0;
  }
  int32_t widths[kMaxDimension];
  if (!CodeWidths(dimension, count, values, steps, bases, widths)) return 0;
  const int32_t segments = SampledSegmentCount(count);
  const size_t header = static_cast<size_t>(dimension) + 4 * static_cast<size_t>(segments);
  const bool unit = AllUnitLength(dimension, count, values);
  bit_sink sink;
  if (out != nullptr && capacity < header) return 0;
  if (out != nullptr) {
    sink.Out = out + header;
    sink.Capacity = static_cast<uint64_t>(capacity - header) * 8;
  }
  int64_t codes[kSampledSegmentLength * kMaxDimension];
  component_plan plans[kMaxDimension];
  for (int32_t s = 0; s < segments; ++s) {
    if (out != nullptr) {
      uint32_t at = static_cast<uint32_t>(sink.Position);
      for (int32_t b = 0; b < 4; ++b)
        out[dimension + 4 * s + b] = static_cast<uint8_t>(at >> (8 * b));
    }
    int32_t first = s * kSampledSegmentLength;
    int32_t length = count - first < kSampledSegmentLength ? count - first : kSampledSegmentLength;
    SegmentCodes(dimension, values, steps, bases, first, length, codes);
    const int32_t derived = unit ? DerivedComponent(dimension, values, first, length) : -1;
    for (int32_t c = 0; c < dimension; ++c) {
      if (c == derived) {
        plans[c].Mode = 3;
        plans[c].Negative = values[int64_t{first} * dimension + c] < 0.0f;
      } else {
        PlanComponent(codes + c, dimension, length, plans[c]);
      }
    }
    PutSegment(sink, plans, dimension, length, widths);
    // Offsets are 32-bit: a stream of 512 MiB is beyond any curve.
    if (sink.Position > UINT32_MAX) return 0;
  }
  if (out != nullptr) {
    for (int32_t c = 0; c < dimension; ++c) out[c] = static_cast<uint8_t>(widths[c]);
  }
  return header + static_cast<size_t>((sink.Position + 7) / 8);
}

}  // namespace

void SampledBases(int32_t dimension, int32_t count, const float* values, float* bases) {
  for (int32_t c = 0; c < dimension; ++c) {
    float low = values[c];
    for (int32_t i = 1; i < count; ++i) {
      const float v = values[int64_t{i} * dimension + c];
      low = v < low ? v : low;
    }
    bases[c] = low;
  }
}

int64_t SampledCode(float value, float step, float base) {
  double q = (static_cast<double>(value) - static_cast<double>(base)) / static_cast<double>(step);
  if (!std::isfinite(q) || q < -0.5 || q >= static_cast<double>(kSampledCodeLimit)) return -1;
  return static_cast<int64_t>(std::floor(q + 0.5));
}

float SampledValue(int64_t code, float step, float base) {
  return static_cast<float>(code) * step + base;
}

bool SampledKeys(int32_t dimension, int32_t count, const float* values, const float* steps,
                 const float* bases, float* keys) {
  int32_t widths[kMaxDimension];
  if (dimension < 1 || dimension > kMaxDimension || count < 1 ||
      !CodeWidths(dimension, count, values, steps, bases, widths)) {
    return false;
  }
  const bool unit = AllUnitLength(dimension, count, values);
  for (int32_t first = 0; first < count; first += kSampledSegmentLength) {
    const int32_t length = std::min(count - first, kSampledSegmentLength);
    const int32_t derived = unit ? DerivedComponent(dimension, values, first, length) : -1;
    const bool negative = derived >= 0 && values[int64_t{first} * dimension + derived] < 0.0f;
    int64_t codes[kMaxDimension];
    for (int32_t i = first; i < first + length; ++i) {
      SegmentCodes(dimension, values, steps, bases, i, 1, codes);
      MakeKey(codes, dimension, steps, bases, derived, negative, keys + int64_t{i} * dimension);
    }
  }
  return true;
}

size_t SampledStreamSize(int32_t dimension, int32_t count, const float* values, const float* steps,
                         const float* bases) {
  return Encode(dimension, count, values, steps, bases, nullptr, 0);
}

bool WriteSampledStream(int32_t dimension, int32_t count, const float* values, const float* steps,
                        const float* bases, uint8_t* out, size_t bytes) {
  if (out == nullptr || bytes == 0) return false;
  std::memset(out, 0, bytes);
  // One pass: bits past `bytes` are never written, and a size that differs
  // fails the write.
  return Encode(dimension, count, values, steps, bases, out, bytes) == bytes;
}

namespace {

// Where the bit stream begins: the widths, then a word per segment.
int64_t StreamHeaderBytes(int32_t dimension, int32_t count) {
  return dimension + 4 * int64_t{SampledSegmentCount(count)};
}

// Points the cursor at the first key of segment `s`, its header read.
bool BeginSegment(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count, int32_t s,
                  sampled_key_cursor& cursor) {
  cursor.Key = -1;
  const int64_t header = StreamHeaderBytes(dimension, count);
  if (bytes < header) return false;
  uint32_t at = 0;
  for (int32_t b = 0; b < 4; ++b)
    at |= static_cast<uint32_t>(stream[dimension + 4 * s + b]) << (8 * b);
  bit_source source{stream + header, static_cast<uint64_t>(bytes - header) * 8, at};
  cursor.Derived = -1;
  cursor.Negative = false;
  for (int32_t c = 0; c < dimension; ++c) {
    const int32_t width = stream[c];
    if (width > kCodeBits) return false;
    cursor.Modes[c] = static_cast<uint8_t>(source.Get(2));
    if (cursor.Modes[c] == 3) {
      // Rebuilt from the others; one such component per segment.
      if (cursor.Derived >= 0) return false;
      cursor.Derived = c;
      cursor.Negative = source.Get(1) != 0;
      cursor.Codes[c] = 0;  // rebuilt from the others, never read
      continue;
    }
    if (cursor.Modes[c] != 0) {
      cursor.Rice[c] = source.Get(1) != 0;
      cursor.Parameters[c] = static_cast<uint8_t>(source.Get(5));
      if (cursor.Modes[c] == 2) cursor.FirstWidths[c] = static_cast<uint8_t>(source.Get(5));
    }
    cursor.Codes[c] = static_cast<int64_t>(source.Get(width));
  }
  if (source.Failed) return false;
  cursor.Position = source.Position;
  cursor.Key = s * kSampledSegmentLength;
  return true;
}

// Moves the cursor to the next key of its segment.
bool NextKey(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count,
             sampled_key_cursor& cursor) {
  const int64_t header = StreamHeaderBytes(dimension, count);
  bit_source source{stream + header, static_cast<uint64_t>(bytes - header) * 8, cursor.Position};
  const int32_t j = cursor.Key % kSampledSegmentLength + 1;  // the new key's place
  for (int32_t c = 0; c < dimension; ++c) {
    const int64_t previous = cursor.Codes[c];
    int64_t code = previous;
    switch (cursor.Modes[c]) {
      case 1:
        code = previous + Unzigzag(GetResidual(source, cursor.Rice[c], cursor.Parameters[c]));
        break;
      case 2:
        code = j == 1 ? previous + Unzigzag(source.Get(cursor.FirstWidths[c]))
                      : 2 * previous - cursor.Previous[c] +
                            Unzigzag(GetResidual(source, cursor.Rice[c], cursor.Parameters[c]));
        break;
      default:
        break;
    }
    cursor.Previous[c] = previous;
    cursor.Codes[c] = code;
  }
  if (source.Failed) {
    cursor.Key = -1;
    return false;
  }
  cursor.Position = source.Position;
  ++cursor.Key;
  return true;
}

}  // namespace

bool ReadSampledKeyAt(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count,
                      const float* steps, const float* bases, int32_t index,
                      sampled_key_cursor* cursor, float* out) {
  if (cursor == nullptr) return false;
  if (stream == nullptr || dimension < 1 || dimension > kMaxDimension || count < 1 || index < 0 ||
      index >= count) {
    cursor->Key = -1;
    return false;
  }
  const int32_t s = index / kSampledSegmentLength;
  // Keys are read forward only, within one segment.
  if (cursor->Stream != stream || cursor->Key < 0 || cursor->Key > index ||
      cursor->Key / kSampledSegmentLength != s) {
    cursor->Stream = stream;
    if (!BeginSegment(stream, bytes, dimension, count, s, *cursor)) return false;
  }
  while (cursor->Key < index) {
    if (!NextKey(stream, bytes, dimension, count, *cursor)) return false;
  }
  MakeKey(cursor->Codes, dimension, steps, bases, cursor->Derived, cursor->Negative, out);
  return true;
}

bool ReadSampledKeys(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count,
                     const float* steps, const float* bases, int32_t first, int32_t n, float* out) {
  if (stream == nullptr || dimension < 1 || dimension > kMaxDimension || count < 1 || first < 0 ||
      n < 0 || int64_t{first} + n > count) {
    return false;
  }
  sampled_key_cursor cursor;
  for (int32_t i = 0; i < n; ++i) {
    if (!ReadSampledKeyAt(stream, bytes, dimension, count, steps, bases, first + i, &cursor,
                          out + int64_t{i} * dimension)) {
      return false;
    }
  }
  return true;
}

}  // namespace ketrel
