// Tessik sequence decoding. The hot loop reads a sequence with one load and
// one look-up, checks it with one branch, and copies literals and matches
// 16 bytes at a time; whatever that branch does not let through (the last
// bytes of the output, a bad length or offset) takes a careful path that
// checks each piece. Every read stays inside the bits and the literals and
// every write inside the output, whatever the stream says.

#include <algorithm>
#include <cstring>

#include "rt/ketrel_tessik_block.h"

namespace ketrel::tessik {

namespace {

inline void Copy16(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 16); }

// Base, extra bits and masks of both lengths of each sequence token.
struct length_codes {
  uint32_t literalBase;
  uint32_t matchBase;  // kMinMatch included
  uint32_t literalMask;
  uint32_t matchMask;
  uint8_t literalBits;
  uint8_t extraBits;  // both lengths'
};

struct length_code_table {
  length_codes entries[256];
  constexpr length_code_table() : entries() {
    for (unsigned t = 0; t < 256; ++t) {
      const unsigned literalBits = LengthExtraBits(t & 15), matchBits = LengthExtraBits(t >> 4);
      entries[t] = {LengthBase(t & 15),
                    LengthBase(t >> 4) + kMinMatch,
                    (1u << literalBits) - 1,
                    (1u << matchBits) - 1,
                    static_cast<uint8_t>(literalBits),
                    static_cast<uint8_t>(literalBits + matchBits)};
    }
  }
  const length_codes& operator[](unsigned token) const { return entries[token]; }
};
constexpr length_code_table kLengthCodes;

// Offset code 2 + k: base 2^k and k extra bits; codes 0 and 1 (repeats)
// have neither.
struct offset_code_table {
  uint32_t base[kOffsetCodes];
  uint32_t mask[kOffsetCodes];
  uint8_t bits[kOffsetCodes];
  constexpr offset_code_table() : base(), mask(), bits() {
    for (int code = 2; code < kOffsetCodes; ++code) {
      bits[code] = static_cast<uint8_t>(code - 2);
      base[code] = 1u << (code - 2);
      mask[code] = base[code] - 1;
    }
  }
};
constexpr offset_code_table kOffsetCodeTable;

// The offset of a sequence with offset code `code` (`fresh` when it is not
// a repeat), updating the repeat offsets. Which code a sequence has is as
// good as random, so on x86-64 conditional moves choose, not branches (the
// compiler makes branches of the plain form).
inline uint64_t TakeOffset(uint32_t code, uint64_t fresh, uint64_t& rep0, uint64_t& rep1) {
  uint64_t offset = rep0;
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__(
      "cmpl $1, %[code]\n\t"
      "cmove %[rep1], %[offset]\n\t"
      "cmpl $2, %[code]\n\t"
      "cmovae %[fresh], %[offset]\n\t"
      "testl %[code], %[code]\n\t"
      "cmovne %[rep0], %[rep1]"
      : [offset] "+&r"(offset), [rep1] "+&r"(rep1)
      : [code] "r"(code), [fresh] "r"(fresh), [rep0] "r"(rep0)
      : "cc");
#else
  if (code >= 2) {
    offset = fresh;
  } else if (code == 1) {
    offset = rep1;
  }
  if (code != 0) rep1 = rep0;
#endif
  rep0 = offset;
  return offset;
}

// A load at any bit position yields at least this many bits.
constexpr unsigned kLoadBits = 57;
// The most bits a sequence read field by field reaches past its start
// before its last load: token and offset code (kHuffmanMaxLength each)
// and both length fields.
constexpr unsigned kLastLoadReach = 2 * kHuffmanMaxLength + 2 * kLongLengthBits;
// The most bits one sequence takes: both codes, both length fields and 31
// offset bits.
constexpr uint64_t kMaxSequenceBits = kLastLoadReach + kOffsetCodes - 3;
// Copies may write this many bytes past a sequence's end.
constexpr size_t kWriteSlack = 32;

// Fills the combined look-up from the codes: each token repeats every
// 2^(its bits) entries, and each pair of a token and an offset code that fit
// in the look-up's bits together (and whose sequence one load holds) every
// 2^(their bits). Entries left 0 (no token code within the look-up's bits
// starts there) send the sequence to the field-by-field read.
void BuildSequenceTable(block_decoder& d, const uint8_t* tokenLengths, const uint8_t* offsetLengths,
                        unsigned tableBits) {
  const size_t tableSize = size_t{1} << tableBits;
  uint16_t tokenCodes[256];
  uint16_t offsetCodes[kOffsetCodes];
  BuildHuffmanCodes(tokenLengths, 256, tokenCodes);
  BuildHuffmanCodes(offsetLengths, kOffsetCodes, offsetCodes);
  // The offset codes that fit, shortest first, so that each token's loop
  // stops at the first that no longer fits beside it.
  uint8_t offsets[kOffsetCodes];
  int offsetCount = 0;
  for (unsigned length = 1; length < tableBits; ++length) {
    for (int o = 0; o < kOffsetCodes; ++o) {
      if (offsetLengths[o] == length) offsets[offsetCount++] = static_cast<uint8_t>(o);
    }
  }
  // First each token alone (headBits its length, totalBits 0): the offset
  // code then takes a look-up of its own.
  std::memset(d.sequenceTable, 0, tableSize * sizeof(sequence_entry));
  for (unsigned t = 0; t < 256; ++t) {
    const unsigned tokenLength = tokenLengths[t];
    if (tokenLength == 0 || tokenLength > tableBits) continue;
    const sequence_entry entry{static_cast<uint8_t>(t), 0, static_cast<uint8_t>(tokenLength), 0};
    for (size_t i = tokenCodes[t]; i < tableSize; i += size_t{1} << tokenLength) {
      d.sequenceTable[i] = entry;
    }
  }
  for (unsigned t = 0; t < 256; ++t) {
    const unsigned tokenLength = tokenLengths[t];
    if (tokenLength == 0 || tokenLength >= tableBits) continue;
    const unsigned lengthBits = kLengthCodes[t].extraBits;
    for (int k = 0; k < offsetCount; ++k) {
      const unsigned o = offsets[k];
      const unsigned head = tokenLength + offsetLengths[o];
      if (head > tableBits) break;
      const unsigned total = head + lengthBits + kOffsetCodeTable.bits[o];
      if (total > kLoadBits) continue;  // the token's own entry sends it to the separate reads
      const sequence_entry entry{static_cast<uint8_t>(t), static_cast<uint8_t>(o),
                                 static_cast<uint8_t>(head), static_cast<uint8_t>(total)};
      for (size_t i = tokenCodes[t] | (size_t{offsetCodes[o]} << tokenLength); i < tableSize;
           i += size_t{1} << head) {
        d.sequenceTable[i] = entry;
      }
    }
  }
}

// Bits from bit `pos` on, where 8 bytes from its byte on are inside.
inline uint64_t LoadBits(const uint8_t* bits, uint64_t pos) {
  return LoadLittleEndian64(bits + (pos >> 3)) >> (pos & 7);
}

// The same anywhere: bytes past `size` read as zero.
inline uint64_t LoadBitsChecked(const uint8_t* bits, size_t size, uint64_t pos) {
  const uint64_t byte = pos >> 3;
  if (byte + 8 <= size) return LoadBits(bits, pos);
  uint64_t v = 0;
  for (uint64_t i = byte; i < size; ++i) v |= uint64_t{bits[i]} << (8 * (i - byte));
  return v >> (pos & 7);
}

struct sequence_fields {
  uint64_t pos;  // where the next sequence starts
  uint32_t literalLength;
  uint32_t matchLength;
  uint32_t offsetExtra;
  unsigned offsetCode;
};

// Reads a sequence whose codes the combined look-up does not hold (or whose
// bits one load does not), one field per load. False on a pattern no code
// starts with.
template <bool kChecked>
[[gnu::noinline]] bool ReadSequenceByFields(const block_decoder& d, const uint8_t* bits,
                                            size_t size, uint64_t pos, sequence_fields* f) {
  auto load = [&](uint64_t at) {
    return kChecked ? LoadBitsChecked(bits, size, at) : LoadBits(bits, at);
  };
  constexpr uint64_t kMask = kHuffmanTableSize - 1;
  uint64_t b = load(pos);
  const huffman_entry token = d.tokenTable[b & kMask];
  b >>= token.length;
  const huffman_entry offset = d.offsetTable[b & kMask];
  if (token.length == 0 || offset.length == 0) return false;
  pos += unsigned{token.length} + offset.length;
  const length_codes& lengths = kLengthCodes[token.symbol];
  const uint64_t x = load(pos);
  pos += lengths.extraBits;
  f->literalLength = lengths.literalBase + (static_cast<uint32_t>(x) & lengths.literalMask);
  f->matchLength =
      lengths.matchBase + (static_cast<uint32_t>(x >> lengths.literalBits) & lengths.matchMask);
  f->offsetCode = offset.symbol;
  f->offsetExtra = static_cast<uint32_t>(load(pos)) & kOffsetCodeTable.mask[offset.symbol];
  f->pos = pos + kOffsetCodeTable.bits[offset.symbol];
  return true;
}

// Copies a match of `length` bytes from `offset` back, without writing past
// `limit`.
void CopyMatchChecked(uint8_t* op, size_t offset, size_t length, const uint8_t* limit) {
  const uint8_t* src = op - offset;
  if (offset >= 16 && length + kWriteSlack <= static_cast<size_t>(limit - op)) {
    for (size_t i = 0; i < length; i += 16) Copy16(op + i, src + i);
    return;
  }
  if (offset == 1) {
    std::memset(op, src[0], length);
    return;
  }
  for (size_t i = 0; i < length; ++i) op[i] = src[i];
}

// Where a run of sequences starts and where it left off.
struct sequence_run {
  const block_decoder* d;
  const uint8_t* bits;
  size_t size;
  uint64_t pos;   // bit position in `bits`
  uint32_t left;  // sequences to decode
  uint32_t rep0;
  uint32_t rep1;
  uint8_t* out;
  size_t outSize;
  size_t op;
  size_t blockEnd;
  const uint8_t* lit;
  const uint8_t* litEnd;  // kLiteralSlack readable bytes follow
};

// A sequence the hot loop's one check did not let through: checked piece
// by piece and copied without writing past the output.
[[gnu::noinline]] bool CopySequenceChecked(sequence_run& s, size_t literalLength,
                                           size_t matchLength, size_t offset) {
  if (literalLength > static_cast<size_t>(s.litEnd - s.lit) || literalLength > s.blockEnd - s.op ||
      matchLength > s.blockEnd - s.op - literalLength) {
    return Corrupt("sequence length");
  }
  const size_t matchAt = s.op + literalLength;
  if (offset == 0 || offset > matchAt) return Corrupt("offset");
  std::memcpy(s.out + s.op, s.lit, literalLength);
  CopyMatchChecked(s.out + matchAt, offset, matchLength, s.out + s.outSize);
  s.op = matchAt + matchLength;
  s.lit += literalLength;
  return true;
}

// Copies a match closer than 16 bytes back, 8 bytes a step: the first 8
// bytes one by one, then from the nearest multiple of the offset that is
// 8 bytes or more back, which repeats the same bytes.
inline void CopyShortMatch(uint8_t* op, size_t offset, size_t length) {
  static constexpr uint8_t kStep[8] = {0, 8, 8, 9, 8, 10, 12, 14};
  const uint8_t* src = op - offset;
  size_t step = offset;
  if (offset < 8) {
    for (int i = 0; i < 8; ++i) op[i] = src[i];
    step = kStep[offset];
  }
  for (size_t i = offset < 8 ? 8 : 0; i < length; i += 8) std::memcpy(op + i, op + i - step, 8);
}

// Copies a checked sequence; it ends kWriteSlack bytes or more before the
// output's end, and kLiteralSlack bytes follow the literals. Most literal
// runs and matches are 32 bytes or shorter: two fixed 16-byte steps each
// and a loop rarely entered.
inline void CopySequence(uint8_t* op, const uint8_t* lit, size_t literalLength, size_t matchLength,
                         size_t offset) {
  Copy16(op, lit);
  Copy16(op + 16, lit + 16);
  if (literalLength > 32) [[unlikely]] {
    for (size_t i = 32; i < literalLength; i += 16) Copy16(op + i, lit + i);
  }
  op += literalLength;
  if (offset < 16) [[unlikely]] {
    CopyShortMatch(op, offset, matchLength);
    return;
  }
  // Each step reads only bytes before the ones it writes.
  const uint8_t* src = op - offset;
  Copy16(op, src);
  Copy16(op + 16, src + 16);
  if (matchLength > 32) [[unlikely]] {
    for (size_t i = 32; i < matchLength; i += 16) Copy16(op + i, src + i);
  }
}

// Decodes sequences while some are left and the reader is below `stop`
// (kChecked: with loads that check the end of the bits). The inner loop
// holds no call, so its state stays in registers; what it cannot take (codes
// the combined look-up does not hold, a sequence that fails the one test)
// leaves it for the code after it.
template <bool kChecked, unsigned kTableBits>
[[gnu::noinline]] bool DecodeSequenceRun(sequence_run& s, uint64_t stop) {
  const sequence_entry* const table = s.d->sequenceTable;
  const uint8_t* const bits = s.bits;
  uint8_t* const out = s.out;
  const uint8_t* const litEnd = s.litEnd;
  // Sequences that end here or earlier may be copied with slack.
  const size_t fastEnd =
      std::min(s.blockEnd, s.outSize >= kWriteSlack ? s.outSize - kWriteSlack : 0);
  uint64_t pos = s.pos;
  uint32_t left = s.left;
  uint64_t rep0 = s.rep0, rep1 = s.rep1;
  size_t op = s.op;
  const uint8_t* lit = s.lit;
  // Lengths and offset as wide as the positions they are added to.
  size_t literalLength, matchLength, offset;
  // The repeat offsets and the one test; true when the sequence passes.
  auto take = [&](uint32_t code, uint32_t offsetExtra) {
    offset = TakeOffset(code, kOffsetCodeTable.base[code] + offsetExtra, rep0, rep1);
    // Literals left, room before fastEnd, an offset inside the output (0
    // wraps round to fail too).
    const size_t matchAt = op + literalLength;
    return literalLength <= static_cast<size_t>(litEnd - lit) && matchAt + matchLength <= fastEnd &&
           offset - 1 < matchAt;
  };
  for (;;) {
    // The sequences that surely start below `stop`, counted once instead of
    // checked one by one.
    const uint32_t chunk = pos >= stop ? 0
                                       : static_cast<uint32_t>(std::min<uint64_t>(
                                             left, (stop - pos - 1) / kMaxSequenceBits + 1));
    if (chunk == 0) {
      s.pos = pos;
      s.left = left;
      s.rep0 = static_cast<uint32_t>(rep0);
      s.rep1 = static_cast<uint32_t>(rep1);
      s.op = op;
      s.lit = lit;
      return true;
    }
    uint32_t n = chunk;
    for (;;) {
      if (n == 0) {
        left -= chunk;
        break;
      }
      --n;
      const uint64_t b = kChecked ? LoadBitsChecked(bits, s.size, pos) : LoadBits(bits, pos);
      const sequence_entry e = table[b & ((uint64_t{1} << kTableBits) - 1)];
      const length_codes& lengths = kLengthCodes[e.token];
      unsigned head = e.headBits, total = e.totalBits, code = e.offsetCode;
      if (total == 0) [[unlikely]] {
        // The token alone: its offset code from the bits after it.
        const huffman_entry o = s.d->offsetTable[(b >> head) & (kHuffmanTableSize - 1)];
        head += o.length;
        code = o.symbol;
        total = head + lengths.extraBits + kOffsetCodeTable.bits[code];
        if (e.headBits == 0 || o.length == 0 || total > kLoadBits) {
          left -= chunk - n;
          goto by_fields;
        }
      }
      pos += total;
      const uint64_t x = b >> head;
      literalLength = size_t{lengths.literalBase} + (x & lengths.literalMask);
      matchLength = size_t{lengths.matchBase} + ((x >> lengths.literalBits) & lengths.matchMask);
      if (!take(code, static_cast<uint32_t>(x >> lengths.extraBits) & kOffsetCodeTable.mask[code]))
          [[unlikely]] {
        left -= chunk - n;
        goto checked_copy;
      }
      CopySequence(out + op, lit, literalLength, matchLength, offset);
      op += literalLength + matchLength;
      lit += literalLength;
    }
    continue;
  by_fields : {
    sequence_fields f;
    if (!ReadSequenceByFields<kChecked>(*s.d, bits, s.size, pos, &f)) {
      return Corrupt("sequence code");
    }
    pos = f.pos;
    literalLength = f.literalLength;
    matchLength = f.matchLength;
    if (take(f.offsetCode, f.offsetExtra)) {
      CopySequence(out + op, lit, literalLength, matchLength, offset);
      op += literalLength + matchLength;
      lit += literalLength;
      continue;
    }
  }
  checked_copy:
    s.op = op;
    s.lit = lit;
    if (!CopySequenceChecked(s, literalLength, matchLength, offset)) return false;
    op = s.op;
    lit = s.lit;
  }
}

}  // namespace

bool DecodeSequences(block_decoder& d, const uint8_t* body, size_t bodySize, size_t p,
                     uint32_t count, sequence_cursor& c) {
  uint8_t tokenLengths[256];
  uint8_t offsetLengths[kOffsetCodes];
  size_t used;
  if (!ReadHuffmanLengths(body + p, bodySize - p, 256, tokenLengths, &used) ||
      !BuildHuffmanDecodeTable(tokenLengths, 256, d.tokenTable)) {
    return Corrupt("sequence code");
  }
  p += used;
  if (!ReadHuffmanLengths(body + p, bodySize - p, kOffsetCodes, offsetLengths, &used) ||
      !BuildHuffmanDecodeTable(offsetLengths, kOffsetCodes, d.offsetTable)) {
    return Corrupt("offset code");
  }
  p += used;
  // The look-up pays for itself over many sequences; a block of few gets a
  // smaller one, or none (a single entry of 0: every sequence is read field
  // by field).
  const unsigned tableBits = count >= 4096 ? kSequenceTableBits : count >= 1024 ? 11 : 0;
  BuildSequenceTable(d, tokenLengths, offsetLengths, tableBits);
  const size_t size = bodySize - p;
  sequence_run s{&d,
                 body + p,
                 size,
                 0,
                 count,
                 d.rep0,
                 d.rep1,
                 c.out,
                 c.outSize,
                 c.op,
                 c.blockEnd,
                 c.literals + c.lit,
                 c.literals + c.literalCount};
  // Loads without checks while a whole sequence read field by field stays
  // 8 bytes before the end of the bits.
  constexpr size_t kReach = (kLastLoadReach + 7) / 8 + 8;
  const uint64_t fastStop = size > kReach ? uint64_t{size - kReach} * 8 : 0;
  bool ok;
  if (tableBits == kSequenceTableBits) {
    ok = DecodeSequenceRun<false, kSequenceTableBits>(s, fastStop) &&
         DecodeSequenceRun<true, kSequenceTableBits>(s, UINT64_MAX);
  } else if (tableBits == 11) {
    ok = DecodeSequenceRun<false, 11>(s, fastStop) && DecodeSequenceRun<true, 11>(s, UINT64_MAX);
  } else {
    ok = DecodeSequenceRun<false, 0>(s, fastStop) && DecodeSequenceRun<true, 0>(s, UINT64_MAX);
  }
  if (!ok) return false;
  if (s.pos > uint64_t{size} * 8 || (s.pos + 7) / 8 != size) return Corrupt("sequence bits");
  d.rep0 = s.rep0;
  d.rep1 = s.rep1;
  c.op = s.op;
  c.lit = static_cast<size_t>(s.lit - c.literals);
  return true;
}

}  // namespace ketrel::tessik
