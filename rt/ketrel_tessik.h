#pragma once
// Tessik: the library's LZ coder. A stream is self-delimiting: a 5-byte
// header (format byte, uint32 expanded size) and then blocks of up to 128 KiB
// of expanded data, each behind a 3-byte header (kind and body size). A block
// is stored raw, as one repeated byte, or compressed: matches found over the
// whole stream so far, with literals and the (literal length, match length,
// offset) sequences coded by per-block Huffman codes.
//
// The decoder is safe on any input: it never writes outside the output
// buffer, never reads outside the input, and fails (false) on malformed or
// truncated data.

#include <cstddef>
#include <cstdint>

namespace ketrel {

// The level files are compressed with.
inline constexpr int kTessikFileLevel = 2;
inline constexpr int kTessikLevelCount = 48;
// Bytes of expanded data per block.
inline constexpr size_t kTessikBlockSize = 131072;
// Bytes of the stream header and of each block header.
inline constexpr size_t kTessikStreamHeaderSize = 5;
inline constexpr size_t kTessikBlockHeaderSize = 3;

// Largest stream for n input bytes: max(n + 19 + (((n + 65535) >> 15) & ~1), n).
size_t TessikBound(size_t n);

// Work memory TessikCompress needs at `level` for inputs of up to
// `maxInputSize` bytes (the tables shrink with the input; level 2 never needs
// more than 4 * 8388608 + 421695 bytes). 0 for a level outside 0..47.
size_t TessikWorkMemorySize(int level, size_t maxInputSize);

// Compresses `size` bytes into `out` (capacity bytes). `work` is
// TessikWorkMemorySize(level, size) bytes (any content). Returns the stream's
// size, or 0 when the level is invalid, the input is larger than 4 GiB - 1 or
// the stream does not fit (a capacity of TessikBound(size) always fits).
// The result is deterministic: same input and level, same bytes.
size_t TessikCompress(int level, const void* in, size_t size, void* out, size_t capacity,
                      void* work);

// Reads the expanded size a stream announces. False when fewer than 5 bytes
// are given or the format byte is wrong.
bool TessikReadExpandedSize(const void* in, size_t size, uint32_t* outExpandedSize);

// Decodes one stream from `in` (at most `size` bytes) into exactly
// `expandedSize` bytes at `out`; the stream must announce that size.
// `outConsumed` receives the stream's stored size (the next stream starts
// there). False, with a logged error, on malformed or truncated input or when
// memory runs out.
bool TessikDecompress(const void* in, size_t size, void* out, size_t expandedSize,
                      size_t* outConsumed);

// Incremental decoding of one stream whose bytes arrive in pieces.
struct tessik_stream_decoder;
// Null when memory runs out. `out` receives exactly `expandedSize` bytes.
tessik_stream_decoder* BeginTessikStreamDecoder(void* out, size_t expandedSize);
// Feeds the next piece. Bytes after the end of the stream are an error.
bool FeedTessikStreamDecoder(tessik_stream_decoder* decoder, const void* bytes, size_t size);
// True when the stream ended cleanly. Frees the decoder (accepts null).
bool EndTessikStreamDecoder(tessik_stream_decoder* decoder);

}  // namespace ketrel
