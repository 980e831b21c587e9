#pragma once
// Internal to the Tessik encoder (ketrel_tessik.cpp): reading input words,
// hashing them, measuring a match, and the fast levels' two-table match
// search.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rt/ketrel_tessik_format.h"

namespace ketrel::tessik {

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint32_t Hash4(const uint8_t* p, unsigned hashLog) {
  return (Load32(p) * 2654435761u) >> (32 - hashLog);
}

// The fast tables' hashes: of the 8 bytes in v, and of the first 5.
inline size_t Hash8(uint64_t v, unsigned log) {
  return static_cast<size_t>((v * 0xCF1BBCDCB7A56463ull) >> (64 - log));
}

inline size_t Hash5(uint64_t v, unsigned log) {
  return static_cast<size_t>(((v << 24) * 0x9E3779B185EBCA87ull) >> (64 - log));
}

inline size_t CommonLength(const uint8_t* a, const uint8_t* b, const uint8_t* limit) {
  const uint8_t* start = a;
  while (a + 8 <= limit) {
    uint64_t x = LoadLittleEndian64(a) ^ LoadLittleEndian64(b);
    if (x != 0) return static_cast<size_t>(a - start) + (std::countr_zero(x) >> 3);
    a += 8;
    b += 8;
  }
  while (a < limit && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<size_t>(a - start);
}

// Rough cost in bits of an offset, for comparing candidate matches.
inline int OffsetCost(uint32_t offset, uint32_t rep0, uint32_t rep1) {
  if (offset == rep0) return 1;
  if (offset == rep1) return 3;
  return 4 + static_cast<int>(FloorLog2(offset));
}

struct match {
  uint32_t length = 0;
  uint32_t offset = 0;
};

// The fast tables as the chainless parser sees them. The parser keeps this
// and the repeat offsets in locals: a store into the uint32_t tables could
// alias the encoder's uint32_t members and would make the compiler reload
// them after every store. kLongLog is the long table's log2 size when it is
// known at compile time (the common sizes; the short table is twice as
// large), 0 when it is read at run time.
template <unsigned kLongLog>
struct fast_tables {
  const uint8_t* in;
  uint32_t* longTable;   // 8-byte prefixes
  uint32_t* shortTable;  // 5-byte prefixes
  unsigned longLog;
  unsigned shortLog;

  uint32_t* LongSlot(uint64_t v) const {
    return &longTable[Hash8(v, kLongLog ? kLongLog : longLog)];
  }
  uint32_t* ShortSlot(uint64_t v) const {
    return &shortTable[Hash5(v, kLongLog ? kLongLog + 1 : shortLog)];
  }
  // Indexes the positions of [from, limit); each has 8 bytes to read.
  void IndexRange(size_t from, size_t limit) const {
    for (size_t p = from; p < limit; ++p) {
      uint64_t v = LoadLittleEndian64(in + p);
      *LongSlot(v) = static_cast<uint32_t>(p);
      *ShortSlot(v) = static_cast<uint32_t>(p);
    }
  }
};

// The best of the candidates tried at one position: the longest match for
// its offset's rough cost; the first one wins a tie.
struct best_match {
  match m;
  int gain = 0;

  // `offset` is in 1..p's position, and the 4 bytes at p and p - offset are
  // equal.
  void Take(const uint8_t* p, uint32_t offset, const uint8_t* end, uint32_t rep0, uint32_t rep1) {
    size_t length = 4 + CommonLength(p + 4, p + 4 - offset, end);
    int g = static_cast<int>(length) * 4 - OffsetCost(offset, rep0, rep1);
    if (g > gain) {
      gain = g;
      m.length = static_cast<uint32_t>(length);
      m.offset = offset;
    }
  }
};

// The last offset's candidate, alone.
inline best_match TryRepeat(const uint8_t* p, size_t pos, const uint8_t* end, uint32_t head,
                            uint32_t rep0, uint32_t rep1) {
  best_match best;
  // rep0 is never 0: it always holds the offset of a match.
  if (rep0 <= pos && Load32(p - rep0) == head) best.Take(p, rep0, end, rep0, rep1);
  return best;
}

// The lookup at `pos`, which has 8 bytes to read: the last offset, then the
// long table's candidate and (unless `longOnly`, as in the lazy step) the
// short table's one. Indexes `pos` in both tables.
template <bool longOnly, unsigned kLongLog>
inline match FindFastMatch(const fast_tables<kLongLog>& t, size_t pos, const uint8_t* end,
                           uint32_t rep0, uint32_t rep1) {
  const uint8_t* p = t.in + pos;
  uint64_t v = LoadLittleEndian64(p);
  const uint32_t head =
      std::endian::native == std::endian::little ? static_cast<uint32_t>(v) : Load32(p);
  // rep0 is never 0: it always holds the offset of a match.
  const bool repeatHit = rep0 <= pos && Load32(p - rep0) == head;
  uint32_t* longSlot = t.LongSlot(v);
  uint32_t* shortSlot = t.ShortSlot(v);
  uint32_t longCandidate = *longSlot, shortCandidate = *shortSlot;
  *longSlot = *shortSlot = static_cast<uint32_t>(pos);
  // Empty slots hold 0xFFFFFFFF, which is never below pos.
  const bool longHit = longCandidate < pos && Load32(t.in + longCandidate) == head;
  // A match of 8 bytes or more from the long table is rarely beaten by the
  // short one; skipping it saves a likely cache miss.
  auto shortHit = [&] {
    return !longOnly && shortCandidate < pos && shortCandidate != longCandidate &&
           Load32(t.in + shortCandidate) == head;
  };
  best_match best;
  if (!repeatHit && !longHit) {
    // Most lookups end here, with at most one candidate to measure.
    if (shortHit()) best.Take(p, static_cast<uint32_t>(pos - shortCandidate), end, rep0, rep1);
    return best.m;
  }
  // Candidates in this order: the first of two equal gains wins.
  if (repeatHit) best.Take(p, rep0, end, rep0, rep1);
  if (longHit) best.Take(p, static_cast<uint32_t>(pos - longCandidate), end, rep0, rep1);
  if (best.m.length < 8 && shortHit()) {
    best.Take(p, static_cast<uint32_t>(pos - shortCandidate), end, rep0, rep1);
  }
  return best.m;
}

// The lookup at a position too close to the end of the input to hash: only
// the last offset.
inline match FindTailMatch(const uint8_t* in, size_t pos, const uint8_t* end, uint32_t rep0,
                           uint32_t rep1) {
  const uint8_t* p = in + pos;
  return TryRepeat(p, pos, end, Load32(p), rep0, rep1).m;
}

}  // namespace ketrel::tessik
