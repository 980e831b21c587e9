// Lorpa1 range coder: 32-bit range, carry propagated through a cached byte,
// with adaptive frequencies kept in a Fenwick tree so that both coding
// directions are logarithmic in the alphabet.

#include "rt/ketrel_lorpa.h"

#include <algorithm>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

namespace {

constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kIncrement = 32;

// An adaptive frequency model over [0, alphabet).
struct model {
  uint32_t alphabet = 0;
  uint32_t increment = 0;
  uint32_t limit = 0;
  uint32_t total = 0;
  uint32_t topStep = 0;  // highest power of two <= alphabet
  uint32_t frequency[256];
  uint32_t tree[257];  // Fenwick tree over frequency, 1-based

  void Reset(const lorpa_stream_header& header) {
    alphabet = header.alphabetSize;
    increment = header.increment;
    limit = header.limit;
    for (uint32_t s = 0; s < alphabet; ++s) frequency[s] = 1;
    Rebuild();
    topStep = 1;
    while (topStep * 2 <= alphabet) topStep *= 2;
  }
  void Rebuild() {
    total = 0;
    for (uint32_t i = 1; i <= alphabet; ++i) {
      tree[i] = frequency[i - 1];
      total += frequency[i - 1];
    }
    for (uint32_t i = 1; i <= alphabet; ++i) {
      uint32_t parent = i + (i & (0u - i));
      if (parent <= alphabet) tree[parent] += tree[i];
    }
  }
  uint32_t Cumulative(uint32_t symbol) const {  // sum of frequency[0..symbol)
    uint32_t sum = 0;
    for (uint32_t i = symbol; i > 0; i -= i & (0u - i)) sum += tree[i];
    return sum;
  }
  // The symbol whose range holds `target` (< total), and its cumulative.
  uint32_t Find(uint32_t target, uint32_t* cumulative) const {
    uint32_t pos = 0, rest = target;
    for (uint32_t step = topStep; step > 0; step >>= 1) {
      if (pos + step <= alphabet && tree[pos + step] <= rest) {
        pos += step;
        rest -= tree[pos];
      }
    }
    *cumulative = target - rest;
    return pos;
  }
  void Update(uint32_t symbol) {
    frequency[symbol] += increment;
    total += increment;
    for (uint32_t i = symbol + 1; i <= alphabet; i += i & (0u - i)) tree[i] += increment;
    if (total > limit) {
      for (uint32_t s = 0; s < alphabet; ++s) frequency[s] = (frequency[s] + 1) >> 1;
      Rebuild();
    }
  }
};

}  // namespace

struct lorpa_encoder {
  uint8_t* out = nullptr;
  size_t capacity = 0;
  size_t size = 0;
  uint64_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  uint8_t cache = 0;
  uint64_t cacheSize = 1;
  bool dropFirst = true;  // the first byte is always 0 and is not stored
  bool failed = false;
  model m;
};

namespace {

void PutByte(lorpa_encoder* e, uint8_t byte) {
  if (e->dropFirst) {
    e->dropFirst = false;
    return;
  }
  if (e->size == e->capacity) {
    // Grow rather than overrun: the initial capacity is an estimate.
    size_t capacity = std::max<size_t>(64, e->capacity * 2);
    uint8_t* grown = static_cast<uint8_t*>(KT_ALLOCATE(capacity));
    if (grown == nullptr) {
      e->failed = true;
      return;
    }
    if (e->size != 0) std::memcpy(grown, e->out, e->size);
    FreeBlock(e->out);
    e->out = grown;
    e->capacity = capacity;
  }
  e->out[e->size++] = byte;
}

void ShiftLow(lorpa_encoder* e) {
  if (static_cast<uint32_t>(e->low) < 0xFF000000u || (e->low >> 32) != 0) {
    uint8_t carry = static_cast<uint8_t>(e->low >> 32);
    uint8_t byte = e->cache;
    do {
      PutByte(e, static_cast<uint8_t>(byte + carry));
      byte = 0xFF;
    } while (--e->cacheSize != 0);
    e->cache = static_cast<uint8_t>(e->low >> 24);
  }
  ++e->cacheSize;
  e->low = (e->low & 0x00FFFFFFu) << 8;
}

void EncodeSymbol(lorpa_encoder* e, uint32_t symbol) {
  model& m = e->m;
  uint32_t cumulative = m.Cumulative(symbol);
  uint32_t frequency = m.frequency[symbol];
  uint32_t r = e->range / m.total;
  e->low += uint64_t{r} * cumulative;
  // The last symbol also takes the remainder of the division.
  e->range = cumulative + frequency == m.total ? e->range - r * cumulative : r * frequency;
  while (e->range < kTop) {
    e->range <<= 8;
    ShiftLow(e);
  }
  m.Update(symbol);
}

}  // namespace

lorpa_encoder* BeginLorpaEncoder(size_t initialCapacity) {
  void* memory = KT_ALLOCATE(sizeof(lorpa_encoder));
  if (memory == nullptr) return nullptr;
  lorpa_encoder* e = new (memory) lorpa_encoder();
  e->capacity = std::max<size_t>(initialCapacity, 16);
  e->out = static_cast<uint8_t*>(KT_ALLOCATE(e->capacity));
  if (e->out == nullptr) {
    FreeLorpaEncoder(e);
    return nullptr;
  }
  return e;
}

bool LorpaEncodeStream(lorpa_encoder* e, const void* bytes, size_t size,
                       lorpa_stream_header* outHeader) {
  if (e == nullptr || outHeader == nullptr || (bytes == nullptr && size != 0)) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  lorpa_stream_header header;
  if (size != 0) {
    uint8_t largest = *std::max_element(in, in + size);
    header.alphabetSize = largest + 1u;
    header.increment = kIncrement;
    header.limit = kLorpaMaxLimit;
    e->m.Reset(header);
    for (size_t i = 0; i < size && !e->failed; ++i) EncodeSymbol(e, in[i]);
  }
  *outHeader = header;
  return !e->failed;
}

bool FinishLorpaEncoder(lorpa_encoder* e, const uint8_t** outBytes, size_t* outSize) {
  if (e == nullptr || outBytes == nullptr || outSize == nullptr) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  for (int i = 0; i < 5; ++i) ShiftLow(e);
  if (e->failed) return false;
  *outBytes = e->out;
  *outSize = e->size;
  return true;
}

void FreeLorpaEncoder(lorpa_encoder* e) {
  if (e == nullptr) return;
  FreeBlock(e->out);
  e->~lorpa_encoder();
  FreeBlock(e);
}

bool IsValidLorpaHeader(const lorpa_stream_header& h, size_t streamSize) {
  if (streamSize == 0) return true;  // an empty stream uses no model
  return h.alphabetSize >= 1 && h.alphabetSize <= kLorpaAlphabet && h.increment >= 1 &&
         h.increment <= kLorpaMaxIncrement && h.limit <= kLorpaMaxLimit &&
         2 * (h.alphabetSize + h.increment) <= h.limit;
}

namespace {

struct range_decoder {
  const uint8_t* in;
  size_t size;
  size_t position = 0;
  uint32_t code = 0;
  uint32_t range = 0xFFFFFFFFu;

  uint8_t Next() { return position < size ? in[position++] : (++position, 0); }
};

}  // namespace

bool LorpaDecode(const void* coded, size_t codedSize, const lorpa_stream_header* headers,
                 const uint32_t* stops, int streamCount, void* out) {
  if ((coded == nullptr && codedSize != 0) || headers == nullptr || stops == nullptr ||
      streamCount < 0) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  uint8_t* dst = static_cast<uint8_t*>(out);
  uint32_t start = 0;
  for (int i = 0; i < streamCount; ++i) {
    if (stops[i] < start) {
      KT_LOG_ERROR(Compression, "Lorpa1 stream %d ends before it starts", i);
      return false;
    }
    if (!IsValidLorpaHeader(headers[i], stops[i] - start)) {
      KT_LOG_ERROR(Compression, "Lorpa1 stream %d has an invalid model header", i);
      return false;
    }
    start = stops[i];
  }
  if (start != 0 && dst == nullptr) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  size_t modelSize = sizeof(model);
  model* m = static_cast<model*>(KT_ALLOCATE(modelSize));
  if (m == nullptr) {
    KT_LOG_ERROR(Compression, "Lorpa1Decompress unable to alloc %d bytes", static_cast<int>(modelSize));
    return false;
  }
  new (m) model();
  range_decoder d{static_cast<const uint8_t*>(coded), codedSize};
  for (int i = 0; i < 4; ++i) d.code = (d.code << 8) | d.Next();
  bool ok = true;
  start = 0;
  for (int i = 0; i < streamCount && ok; ++i) {
    if (stops[i] == start) continue;
    m->Reset(headers[i]);
    for (uint32_t p = start; p < stops[i]; ++p) {
      uint32_t r = d.range / m->total;
      uint32_t target = std::min(d.code / r, m->total - 1);
      uint32_t cumulative;
      uint32_t symbol = m->Find(target, &cumulative);
      uint32_t frequency = m->frequency[symbol];
      d.code -= r * cumulative;
      d.range = cumulative + frequency == m->total ? d.range - r * cumulative : r * frequency;
      while (d.range < kTop) {
        d.range <<= 8;
        d.code = (d.code << 8) | d.Next();
      }
      // A valid stream keeps the code inside the range, and the decoder
      // reads exactly the bytes the encoder stored (4 at the start, one per
      // normalisation; the flush writes 4 plus the pending byte), so a
      // shortened stream is noticed.
      if (d.code >= d.range || d.position > codedSize) {
        ok = false;
        break;
      }
      dst[p] = static_cast<uint8_t>(symbol);
      m->Update(symbol);
    }
    start = stops[i];
  }
  FreeBlock(m);
  if (!ok) KT_LOG_ERROR(Compression, "Lorpa1 data is corrupt or truncated");
  return ok;
}

}  // namespace ketrel
