// Tessik encoder: a hash-chain match finder over the whole stream, a greedy
// or lazy parser chosen by the level, and per-block Huffman coding of the
// literals and of the sequences.

#include "rt/ketrel_tessik.h"

#include <algorithm>
#include <cstring>

#include "rt/ketrel_huffman.h"
#include "rt/ketrel_tessik_format.h"
#include "rt/ketrel_tessik_match.h"

namespace ketrel {

using namespace tessik;

namespace {

struct tessik_level {
  uint8_t hashLog;      // ceiling of the head table, log2 entries
  uint8_t chainLog;     // ceiling of the chain table (and window), log2 entries; 0 = no chain
  uint16_t depth;       // chain candidates tried per position
  uint16_t niceLength;  // a match this long ends the search
  uint8_t lazy;         // 0 greedy, 1 or 2 positions of lazy evaluation
};

// Levels 0..2 use the fast tables (one 8-byte and one 5-byte candidate per
// position, no chain) and suit files: level 2, the files' level, adds one
// step of lazy evaluation, which matters more than deeper search. Levels 3
// and up walk hash chains ever deeper; 12 and up look two positions ahead.
// Every level keeps its tables within 8388608 entries.
constexpr tessik_level MakeLevel(int level) {
  if (level == 0) return {15, 0, 1, 32, 0};
  if (level == 1) return {16, 0, 1, 32, 0};
  if (level == 2) return {16, 0, 1, 32, 1};
  int depth = 8 << std::min(6, (level - 3) / 6);
  uint8_t lazy = level >= 12 ? 2 : 1;
  uint8_t log = static_cast<uint8_t>(std::min(22, 19 + (level - 3) / 8));
  return {log, log, static_cast<uint16_t>(depth),
          static_cast<uint16_t>(std::min(1024, 64 + 16 * level)), lazy};
}

struct level_table {
  tessik_level levels[kTessikLevelCount];
  constexpr level_table() : levels() {
    for (int i = 0; i < kTessikLevelCount; ++i) levels[i] = MakeLevel(i);
  }
};
constexpr level_table kLevels;

unsigned CeilLog2(size_t n) {
  unsigned log = 0;
  while ((size_t{1} << log) < n) ++log;
  return log;
}

struct table_sizes {
  unsigned hashLog;
  unsigned chainLog;
};

table_sizes SizesFor(const tessik_level& level, size_t inputSize) {
  // Tables never need to be much larger than the input.
  unsigned inputLog = std::max(8u, CeilLog2(inputSize) + 1);
  table_sizes sizes;
  sizes.hashLog = std::min<unsigned>(level.hashLog, inputLog);
  sizes.chainLog = level.chainLog == 0 ? 0 : std::min<unsigned>(level.chainLog, inputLog);
  return sizes;
}

struct sequence {
  uint32_t literalLength;
  uint32_t matchLength;  // including kMinMatch
  uint32_t offset;
};

constexpr size_t kScratchSize = kTessikBlockSize + 64;
constexpr size_t kSequenceBytes = kMaxSequences * sizeof(sequence);

class encoder {
 public:
  encoder(const tessik_level& level, const uint8_t* in, size_t size, uint8_t* work)
      : level_(level), in_(in), size_(size) {
    table_sizes sizes = SizesFor(level, size);
    hashLog_ = sizes.hashLog;
    chainMask_ = sizes.chainLog == 0 ? 0 : (uint32_t{1} << sizes.chainLog) - 1;
    head_ = reinterpret_cast<uint32_t*>(work);
    chain_ = head_ + (size_t{1} << hashLog_);
    // Without a chain, a second table indexes 5-byte prefixes while the head
    // table indexes 8-byte ones. The second table is the larger one: for the
    // same memory (and cache misses) it finds more of the matches.
    shortLog_ = hashLog_ + 1;
    size_t second = chainMask_ ? size_t{chainMask_} + 1 : size_t{1} << shortLog_;
    if (!chainMask_) std::memset(chain_, 0xFF, second * sizeof(uint32_t));
    uint8_t* after = reinterpret_cast<uint8_t*>(chain_ + second);
    sequences_ = reinterpret_cast<sequence*>(after);
    literals_ = after + kSequenceBytes;
    scratch_ = literals_ + kTessikBlockSize;
    offsetCodes_ = scratch_ + kScratchSize;
    std::memset(head_, 0xFF, (size_t{1} << hashLog_) * sizeof(uint32_t));
  }

  size_t Compress(uint8_t* out, size_t capacity);

 private:
  // Chain levels only.
  void Insert(size_t pos) {
    uint32_t h = Hash4(in_ + pos, hashLog_);
    chain_[pos & chainMask_] = head_[h];
    head_[h] = static_cast<uint32_t>(pos);
  }
  // Inserts every position in [next, upTo) that can start a match.
  void InsertUpTo(size_t upTo) {
    if (!chainMask_) {
      // The fast tables hash 8 bytes.
      size_t end = size_ >= 8 ? std::min(upTo, size_ - 7) : 0;
      fast_tables<0>{in_, head_, chain_, hashLog_, shortLog_}.IndexRange(inserted_, end);
      inserted_ = std::max(inserted_, upTo);
      return;
    }
    // Only positions with kMinMatch bytes behind them can be hashed.
    size_t end = size_ >= kMinMatch ? std::min(upTo, size_ - kMinMatch + 1) : 0;
    for (; inserted_ < end; ++inserted_) Insert(inserted_);
    inserted_ = std::max(inserted_, upTo);
  }
  match FindMatch(size_t pos, size_t limit) const;
  void EmitSequence(size_t anchor, size_t pos, const match& m);
  template <unsigned kLongLog>
  void ParseFastBlock(size_t start, size_t end);
  match Search(size_t pos, size_t limit) {
    InsertUpTo(pos);
    return FindMatch(pos, limit);
  }
  void ParseBlock(size_t start, size_t end);
  size_t EncodeBlock(size_t start, size_t end);

  const tessik_level& level_;
  const uint8_t* in_;
  size_t size_;
  unsigned hashLog_;
  unsigned shortLog_;
  uint32_t chainMask_;
  uint32_t* head_;
  uint32_t* chain_;
  sequence* sequences_;
  uint8_t* literals_;
  uint8_t* scratch_;
  uint8_t* offsetCodes_;
  size_t inserted_ = 0;
  size_t sequenceCount_ = 0;
  size_t literalCount_ = 0;
  uint32_t rep0_ = kFirstRep0;
  uint32_t rep1_ = kFirstRep1;
  uint32_t blockRep0_ = kFirstRep0;  // the repeat offsets when the block began
  uint32_t blockRep1_ = kFirstRep1;
};

// The repeat offsets after a match at `offset`, as the decoder keeps them.
inline void UpdateRepeats(uint32_t offset, uint32_t& rep0, uint32_t& rep1) {
  if (offset == rep1) {
    std::swap(rep0, rep1);
  } else if (offset != rep0) {
    rep1 = rep0;
    rep0 = offset;
  }
}

// Emits the literals of [anchor, pos) and the match at pos, and updates the
// repeat offsets as the decoder will.
void encoder::EmitSequence(size_t anchor, size_t pos, const match& m) {
  size_t literalLength = pos - anchor;
  std::memcpy(literals_ + literalCount_, in_ + anchor, literalLength);
  literalCount_ += literalLength;
  sequences_[sequenceCount_++] = {static_cast<uint32_t>(literalLength), m.length, m.offset};
  UpdateRepeats(m.offset, rep0_, rep1_);
}

// Copies a run of literals. Runs are mostly short: one 16-byte copy covers
// them where the input has 16 bytes to read (the literal buffer is followed
// by the scratch buffer, so writing past the run is harmless).
inline void CopyLiterals(uint8_t* to, const uint8_t* from, size_t n, const uint8_t* inputEnd) {
  if (n <= 16 && inputEnd - from >= 16) {
    std::memcpy(to, from, 16);
  } else {
    std::memcpy(to, from, n);
  }
}

// The parse of the chainless levels: like ParseBlock, but every lookup also
// indexes, and the positions inside a match are indexed in one tight loop.
template <unsigned kLongLog>
[[gnu::noinline]] void encoder::ParseFastBlock(size_t start, size_t end) {
  const fast_tables<kLongLog> tables{in_, head_, chain_, hashLog_, shortLog_};
  const uint8_t* const in = in_;
  const uint8_t* const blockEnd = in + end;
  const uint8_t* const inputEnd = in + size_;
  // A match must start early enough to read kMinMatch bytes and end inside
  // the block; below hashEnd a position also has the 8 bytes the tables hash.
  const size_t searchEnd = end >= kMinMatch ? end - kMinMatch + 1 : 0;
  const size_t hashEnd = size_ >= 8 ? size_ - 7 : 0;
  const size_t fastEnd = std::min(searchEnd, hashEnd);
  const bool lazy = level_.lazy != 0;
  const uint32_t niceLength = level_.niceLength;
  uint8_t* const literals = literals_;
  sequence* const sequences = sequences_;
  size_t literalCount = 0, sequenceCount = 0;
  uint32_t rep0 = rep0_, rep1 = rep1_;
  size_t inserted = inserted_;
  size_t anchor = start;
  size_t pos = start;
  size_t misses = 0;
  for (;;) {
    match m;
    // Skip faster through data that does not compress; skipped positions
    // are not indexed.
    while (pos < fastEnd) {
      m = FindFastMatch<false>(tables, pos, blockEnd, rep0, rep1);
      inserted = pos + 1;
      if (m.length != 0) break;
      ++misses;
      pos += 1 + (misses >> 6);
    }
    if (pos >= fastEnd) {
      // The last few positions of the input only try the last offset.
      while (pos < searchEnd) {
        m = FindTailMatch(in, pos, blockEnd, rep0, rep1);
        if (m.length != 0) break;
        ++misses;
        pos += 1 + (misses >> 6);
      }
      if (pos >= searchEnd) break;
    }
    misses = 0;
    // One lazy step that only tries the last offset and the long table: a
    // 5-byte match one position later seldom pays for its lookup.
    if (lazy && m.length < niceLength && pos + 1 < searchEnd) {
      match next;
      if (pos + 1 < hashEnd) {
        next = FindFastMatch<true>(tables, pos + 1, blockEnd, rep0, rep1);
        inserted = pos + 2;
      } else {
        next = FindTailMatch(in, pos + 1, blockEnd, rep0, rep1);
      }
      if (next.length != 0) {
        int gainNow = static_cast<int>(m.length) * 4 - OffsetCost(m.offset, rep0, rep1) + 4;
        int gainNext = static_cast<int>(next.length) * 4 - OffsetCost(next.offset, rep0, rep1);
        if (gainNext > gainNow) {
          m = next;
          ++pos;
        }
      }
    }
    // The sequence, with the repeat offsets updated as the decoder will.
    size_t literalLength = pos - anchor;
    CopyLiterals(literals + literalCount, in + anchor, literalLength, inputEnd);
    literalCount += literalLength;
    sequences[sequenceCount++] = {static_cast<uint32_t>(literalLength), m.length, m.offset};
    UpdateRepeats(m.offset, rep0, rep1);
    // The positions inside the match are indexed but not searched.
    size_t matchEnd = pos + m.length;
    tables.IndexRange(std::max(inserted, pos + 1), std::min(matchEnd, hashEnd));
    inserted = std::max(inserted, matchEnd);
    pos = matchEnd;
    anchor = pos;
  }
  std::memcpy(literals + literalCount, in + anchor, end - anchor);
  literalCount_ = literalCount + (end - anchor);
  sequenceCount_ = sequenceCount;
  rep0_ = rep0;
  rep1_ = rep1;
  inserted_ = std::max(inserted, pos);
  InsertUpTo(end);
}

match encoder::FindMatch(size_t pos, size_t limit) const {
  match best;
  const uint8_t* p = in_ + pos;
  const uint8_t* end = in_ + limit;
  int bestGain = 0;
  auto consider = [&](uint32_t offset) {
    if (offset == 0 || offset > pos) return;
    size_t length = CommonLength(p, p - offset, end);
    if (length < kMinMatch) return;
    int gain = static_cast<int>(length) * 4 - OffsetCost(offset, rep0_, rep1_);
    if (gain > bestGain) {
      bestGain = gain;
      best.length = static_cast<uint32_t>(length);
      best.offset = offset;
    }
  };
  consider(rep0_);
  if (rep1_ != rep0_) consider(rep1_);
  if (best.length >= level_.niceLength) return best;
  uint32_t window = chainMask_ ? chainMask_ : 0xFFFFFFFFu;
  uint32_t candidate = head_[Hash4(p, hashLog_)];
  for (unsigned tries = 0; tries < level_.depth; ++tries) {
    if (candidate == 0xFFFFFFFFu || candidate >= pos || pos - candidate > window) break;
    const uint8_t* c = in_ + candidate;
    // Cheap reject: the candidate must at least match at the current best end.
    if (best.length == 0 || (pos + best.length < limit && c[best.length] == p[best.length])) {
      consider(static_cast<uint32_t>(pos - candidate));
      if (best.length >= level_.niceLength) break;
    }
    if (!chainMask_) break;
    uint32_t next = chain_[candidate & chainMask_];
    if (next == 0xFFFFFFFFu || next >= candidate) break;
    candidate = next;
  }
  return best;
}

void encoder::ParseBlock(size_t start, size_t end) {
  sequenceCount_ = 0;
  literalCount_ = 0;
  size_t anchor = start;
  size_t pos = start;
  // A match must start early enough to read kMinMatch bytes and end inside
  // the block, so every block decodes on its own extent.
  size_t lastStart = end >= kMinMatch ? end - kMinMatch : start;
  size_t misses = 0;
  while (pos < lastStart + 1 && end - pos >= kMinMatch) {
    match m = Search(pos, end);
    if (m.length == 0) {
      // Skip faster through data that does not compress.
      ++misses;
      pos += 1 + (misses >> 7);
      continue;
    }
    misses = 0;
    // A long match is taken as it is; a short one may be beaten one
    // position later.
    for (unsigned step = 0;
         step < level_.lazy && m.length < level_.niceLength && pos + 1 < lastStart + 1; ++step) {
      match next = Search(pos + 1, end);
      int gainNow = static_cast<int>(m.length) * 4 - OffsetCost(m.offset, rep0_, rep1_) + 4;
      int gainNext = static_cast<int>(next.length) * 4 - OffsetCost(next.offset, rep0_, rep1_);
      if (next.length == 0 || gainNext <= gainNow) break;
      m = next;
      ++pos;
    }
    EmitSequence(anchor, pos, m);
    pos += m.length;
    anchor = pos;
  }
  std::memcpy(literals_ + literalCount_, in_ + anchor, end - anchor);
  literalCount_ += end - anchor;
  InsertUpTo(end);
}

// Writes the compressed body of [start, end) into scratch_; returns its size,
// or 0 when it would not be smaller than the raw block.
size_t encoder::EncodeBlock(size_t start, size_t end) {
  const size_t raw = end - start;
  uint8_t* out = scratch_;
  size_t n = 0;
  n += PutVarint(out + n, static_cast<uint32_t>(literalCount_));
  n += PutVarint(out + n, static_cast<uint32_t>(sequenceCount_));
  if (n + 1 >= raw) return 0;

  // Literals: Huffman when it pays for its table.
  // One histogram per literal stream: their sum drives the code and each
  // one gives its stream's size without another pass over the literals.
  uint32_t streamFrequencies[4][256] = {};
  size_t first[5];
  first[0] = 0;
  for (int k = 0; k < 4; ++k) {
    first[k + 1] = first[k] + LiteralStreamCount(literalCount_, k);
    for (size_t i = first[k]; i < first[k + 1]; ++i) streamFrequencies[k][literals_[i]]++;
  }
  uint32_t literalFrequencies[256];
  for (int s = 0; s < 256; ++s) {
    literalFrequencies[s] = streamFrequencies[0][s] + streamFrequencies[1][s] +
                            streamFrequencies[2][s] + streamFrequencies[3][s];
  }
  uint8_t literalLengths[256];
  int used = BuildHuffmanLengths(literalFrequencies, 256, literalLengths);
  uint64_t huffmanBits = 0;
  for (int s = 0; s < 256; ++s) huffmanBits += uint64_t{literalFrequencies[s]} * literalLengths[s];
  bool huffman = used > 1 && huffmanBits / 8 + 160 < literalCount_;
  if (!huffman) {
    if (n + 1 + literalCount_ >= raw) return 0;
    out[n++] = 0;
    std::memcpy(out + n, literals_, literalCount_);
    n += literalCount_;
  } else {
    out[n++] = 1;
    size_t tableSize = WriteHuffmanLengths(literalLengths, 256, out + n, raw - n);
    if (tableSize == 0) return 0;
    n += tableSize;
    // Four streams over the four quarters of the literals, so that the
    // decoder can work on them side by side.
    size_t streamBytes[4];
    size_t total = 0;
    for (int k = 0; k < 4; ++k) {
      uint64_t bits = 0;
      for (int s = 0; s < 256; ++s) bits += uint64_t{streamFrequencies[k][s]} * literalLengths[s];
      streamBytes[k] = (bits + 7) / 8;
      total += streamBytes[k];
    }
    if (n + 20 + total >= raw) return 0;
    for (int k = 0; k < 4; ++k) n += PutVarint(out + n, static_cast<uint32_t>(streamBytes[k]));
    uint16_t codes[256];
    BuildHuffmanCodes(literalLengths, 256, codes);
    for (int k = 0; k < 4; ++k) {
      bit_writer writer{out + n, streamBytes[k]};
      // Codes are at most kHuffmanMaxLength bits: two go in one write.
      static_assert(2 * kHuffmanMaxLength <= 32);
      size_t i = first[k];
      for (; i + 2 <= first[k + 1]; i += 2) {
        uint8_t a = literals_[i], b = literals_[i + 1];
        writer.Put(codes[a] | (uint32_t{codes[b]} << literalLengths[a]),
                   literalLengths[a] + literalLengths[b]);
      }
      if (i < first[k + 1]) writer.Put(codes[literals_[i]], literalLengths[literals_[i]]);
      if (!writer.Finish() || writer.position != streamBytes[k]) return 0;
      n += streamBytes[k];
    }
  }
  if (sequenceCount_ == 0) return n < raw ? n : 0;

  // Sequences: codes first (with the repeat offsets as the decoder sees them).
  uint32_t tokenFrequencies[256] = {};
  uint32_t offsetFrequencies[kOffsetCodes] = {};
  uint32_t rep0 = blockRep0_, rep1 = blockRep1_;
  for (size_t i = 0; i < sequenceCount_; ++i) {
    sequence& s = sequences_[i];
    unsigned token = LengthCode(s.literalLength) | (LengthCode(s.matchLength - kMinMatch) << 4);
    tokenFrequencies[token]++;
    unsigned code;
    if (s.offset == rep0) {
      code = 0;
    } else if (s.offset == rep1) {
      code = 1;
      std::swap(rep0, rep1);
    } else {
      code = 2 + FloorLog2(s.offset);
      rep1 = rep0;
      rep0 = s.offset;
    }
    offsetFrequencies[code]++;
    offsetCodes_[i] = static_cast<uint8_t>(code);
  }
  uint8_t tokenLengths[256];
  uint8_t offsetLengths[kOffsetCodes];
  BuildHuffmanLengths(tokenFrequencies, 256, tokenLengths);
  BuildHuffmanLengths(offsetFrequencies, kOffsetCodes, offsetLengths);
  size_t tableSize = WriteHuffmanLengths(tokenLengths, 256, out + n, raw - n);
  if (tableSize == 0) return 0;
  n += tableSize;
  tableSize = WriteHuffmanLengths(offsetLengths, kOffsetCodes, out + n, raw - n);
  if (tableSize == 0) return 0;
  n += tableSize;
  uint16_t tokenCodes[256];
  uint16_t offsetCodeBits[kOffsetCodes];
  BuildHuffmanCodes(tokenLengths, 256, tokenCodes);
  BuildHuffmanCodes(offsetLengths, kOffsetCodes, offsetCodeBits);
  bit_writer writer{out + n, raw - n};
  for (size_t i = 0; i < sequenceCount_; ++i) {
    const sequence& s = sequences_[i];
    uint32_t matchValue = s.matchLength - kMinMatch;
    unsigned literalCode = LengthCode(s.literalLength);
    unsigned matchCode = LengthCode(matchValue);
    unsigned token = literalCode | (matchCode << 4);
    unsigned code = offsetCodes_[i];
    // Both codes are at most kHuffmanMaxLength bits: one write.
    writer.Put(tokenCodes[token] | (uint32_t{offsetCodeBits[code]} << tokenLengths[token]),
               tokenLengths[token] + offsetLengths[code]);
    writer.Put(s.literalLength - LengthBase(literalCode), LengthExtraBits(literalCode));
    writer.Put(matchValue - LengthBase(matchCode), LengthExtraBits(matchCode));
    if (code >= 2) writer.Put(s.offset - (1u << (code - 2)), code - 2);
    if (writer.overflow) return 0;
  }
  if (!writer.Finish()) return 0;
  n += writer.position;
  return n < raw ? n : 0;
}

size_t encoder::Compress(uint8_t* out, size_t capacity) {
  if (capacity < kTessikStreamHeaderSize) return 0;
  out[0] = kFormatByte;
  for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<uint8_t>(size_ >> (8 * i));
  size_t n = kTessikStreamHeaderSize;
  for (size_t start = 0; start < size_; start += kTessikBlockSize) {
    size_t end = std::min(size_, start + kTessikBlockSize);
    size_t raw = end - start;
    const uint8_t* block = in_ + start;
    BlockKind kind = kRawBlock;
    size_t bodySize = raw;
    const uint8_t* body = block;
    blockRep0_ = rep0_;
    blockRep1_ = rep1_;
    if (raw > kTessikBlockHeaderSize + 1 &&
        std::all_of(block + 1, block + raw, [&](uint8_t b) { return b == block[0]; })) {
      kind = kRepeatBlock;
      bodySize = 1;
      InsertUpTo(end);
    } else {
      if (chainMask_) {
        ParseBlock(start, end);
      } else if (hashLog_ == 16) {
        ParseFastBlock<16>(start, end);
      } else if (hashLog_ == 15) {
        ParseFastBlock<15>(start, end);
      } else {
        ParseFastBlock<0>(start, end);
      }
      size_t compressed = EncodeBlock(start, end);
      if (compressed != 0) {
        kind = kCompressedBlock;
        bodySize = compressed;
        body = scratch_;
      } else {
        // The decoder never sees this block's sequences: its repeat offsets
        // stay as they were.
        rep0_ = blockRep0_;
        rep1_ = blockRep1_;
      }
    }
    if (n + kTessikBlockHeaderSize + bodySize > capacity) return 0;
    uint32_t header = static_cast<uint32_t>(kind) | static_cast<uint32_t>(bodySize << 2);
    for (int i = 0; i < 3; ++i) out[n + i] = static_cast<uint8_t>(header >> (8 * i));
    n += kTessikBlockHeaderSize;
    std::memcpy(out + n, body, bodySize);
    n += bodySize;
  }
  return n;
}

}  // namespace

size_t TessikBound(size_t n) {
  size_t bound = n + 19 + (((n + 65535) >> 15) & ~size_t{1});
  return std::max(bound, n);
}

size_t TessikWorkMemorySize(int level, size_t maxInputSize) {
  if (level < 0 || level >= kTessikLevelCount) return 0;
  table_sizes sizes = SizesFor(kLevels.levels[level], maxInputSize);
  size_t tables = (size_t{1} << sizes.hashLog) +
                  (sizes.chainLog ? size_t{1} << sizes.chainLog : size_t{1} << (sizes.hashLog + 1));
  return tables * sizeof(uint32_t) + kSequenceBytes + kTessikBlockSize + kScratchSize +
         kMaxSequences;
}

size_t TessikCompress(int level, const void* in, size_t size, void* out, size_t capacity,
                      void* work) {
  if (level < 0 || level >= kTessikLevelCount || size > 0xFFFFFFFFu || out == nullptr ||
      work == nullptr || (in == nullptr && size != 0)) {
    return 0;
  }
  encoder coder(kLevels.levels[level], static_cast<const uint8_t*>(in), size,
                static_cast<uint8_t*>(work));
  return coder.Compress(static_cast<uint8_t*>(out), capacity);
}

}  // namespace ketrel
