#pragma once
// Internal to the Tessik decoder: the state of one stream's block decoding,
// shared by the block reader (ketrel_tessik_decode.cpp), the literal decoder
// (ketrel_tessik_literals.cpp) and the sequence decoder
// (ketrel_tessik_sequences.cpp).

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_huffman.h"
#include "rt/ketrel_tessik.h"
#include "rt/ketrel_tessik_format.h"

namespace ketrel::tessik {

// The sequence look-up reads this many bits: a token code and the offset
// code after it fit together more often than in kHuffmanMaxLength bits.
inline constexpr unsigned kSequenceTableBits = 12;
inline constexpr size_t kSequenceTableSize = size_t{1} << kSequenceTableBits;

// A sequence's token and offset code when the look-up's bits hold both,
// and the bits of the whole sequence: the reader moves on before the fields
// are taken apart. totalBits 0: the look-up holds the token alone (headBits
// its length; 0 for bits no token code starts with), or one load does not
// hold the whole sequence.
struct sequence_entry {
  uint8_t token;
  uint8_t offsetCode;
  uint8_t headBits;  // token and offset code
  uint8_t totalBits;
};

// Bytes the literal buffer holds behind the literals, so that they can be
// copied 32 bytes at a time.
inline constexpr size_t kLiteralSlack = 32;

// The state carried from block to block of one stream.
struct block_decoder {
  uint32_t rep0 = kFirstRep0;
  uint32_t rep1 = kFirstRep1;
  huffman_entry literalTable[kHuffmanTableSize];
  huffman_entry tokenTable[kHuffmanTableSize];
  huffman_entry offsetTable[kHuffmanTableSize];
  sequence_entry sequenceTable[kSequenceTableSize];
  uint8_t literals[kTessikBlockSize + kLiteralSlack];
};

// Logs why a stream is rejected; returns false.
bool Corrupt(const char* reason);

// Decodes the four Huffman streams of a block's literals (stream sizes from
// body[*p], code lengths `lengths`, table in d.literalTable) into `target`.
// *p moves past the streams.
bool DecodeLiteralStreams(block_decoder& d, const uint8_t* lengths, const uint8_t* body,
                          size_t bodySize, size_t* p, size_t literalCount, uint8_t* target);

// Where the sequence decoder starts and where it left off.
struct sequence_cursor {
  uint8_t* out;     // the stream's output
  size_t outSize;   // its size
  size_t op;        // next output byte
  size_t blockEnd;  // end of the block in the output
  const uint8_t* literals;
  size_t lit;           // next literal
  size_t literalCount;  // kLiteralSlack readable bytes follow them
};

// Reads the token and offset codes at body[*p] and decodes `count`
// sequences from the bits up to bodySize, which must all be used.
bool DecodeSequences(block_decoder& d, const uint8_t* body, size_t bodySize, size_t p,
                     uint32_t count, sequence_cursor& c);

}  // namespace ketrel::tessik
