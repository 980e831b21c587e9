#pragma once
// Section compression of KT2 files: the five compression types, the
// compressor that the file builder and the platform converter write through,
// and the decoders that readers use.
//
// Types (the `Compression` word of a section header):
//   0 none     stored = the expanded bytes
//   1 Lorpa0   obsolete; never written, not decoded
//   2 Lorpa1   one block: 12-byte header per stream, then one arithmetic-coded
//              bit stream holding all streams back to back
//   3 Tessik   one self-delimiting Tessik stream per stream, back to back
//   4 Tessik2  one Tessik stream for the whole section; fix-up and
//              marshalling arrays are stored as a uint32 stored size followed
//              by one Tessik stream of the raw records
//
// The compressor does not know about the file writer: it writes through a
// `compression_output` (a function and a user word), and
// `CompressContentsOfReader` reads through a `compression_input`. Callers wrap
// their writer or reader in a few lines.
//
// Every decoder treats the stored bytes as hostile: it writes only inside
// [0, expandedSize) of its output, reads only inside [0, storedSize) of its
// input (no decoder relies on the padding bytes it asks for), and fails with
// a logged error on anything malformed or truncated.

#include <cstddef>
#include <cstdint>

namespace ketrel {

enum CompressionType : uint32_t {
  kNoCompression = 0,
  kLorpa0Compression = 1,
  kLorpa1Compression = 2,
  kTessikCompression = 3,
  kTessik2Compression = 4,
};

// Capability bits returned by GetCompressionCapabilities.
inline constexpr uint32_t kCompressionCompressesArrays = 1;  // fix-up/marshalling arrays too
inline constexpr uint32_t kCompressionJoinsStreams = 2;      // a section is one joined stream
inline constexpr uint32_t kCompressionDecodesArrays = 4;     // readers can decode its arrays

// Type 0 -> 4, type 4 -> 7, any other type -> 0.
uint32_t GetCompressionCapabilities(uint32_t type);
// Zero bytes a reader allocates after the stored data before decoding:
// 4 for types 1 and 2, else 0.
uint32_t GetCompressionPaddingSize(uint32_t type);
// Number of streams a section of this type is compressed as: 1 for types 0
// and 4, 3 for the others.
uint32_t GetCompressionStreamCount(uint32_t type);

// Where a compressor puts its result. `write` returns false on failure.
struct compression_output {
  bool (*write)(void* user, const void* bytes, size_t size) = nullptr;
  void* user = nullptr;
};

// Where CompressContentsOfReader takes its bytes: `read` fills `size` bytes
// starting at `offset` of the source and returns false when it cannot.
struct compression_input {
  bool (*read)(void* user, size_t offset, size_t size, void* bytes) = nullptr;
  void* user = nullptr;
};

struct file_compressor;

// Begins compressing one section (or one array) of `expandedSize` bytes in
// `streamCount` streams (1..3; type 4 requires exactly 1). `byteReversed`
// asks for the Lorpa1 stream headers in the opposite byte order (a file for a
// big-endian platform). Returns null on an unknown type ("Unrecognized
// compression type %d"), for type 1, on a bad stream count, or when memory
// runs out. Nothing is written to `output` until EndFileCompression.
file_compressor* BeginFileCompression(uint32_t expandedSize, uint32_t streamCount, uint32_t type,
                                      bool byteReversed, compression_output output);

// Compresses one stream. The streams' sizes must add up to at most the
// expanded size given to Begin, and at most streamCount streams are accepted.
// A failure marks the compressor failed; EndFileCompression then writes
// nothing and returns false.
bool CompressContentsOfMemory(file_compressor* compressor, uint32_t size, const void* bytes);

// Reads `size` bytes from the start of `input` and compresses them as one
// stream (type 0 copies them to the output).
bool CompressContentsOfReader(file_compressor* compressor, uint32_t size, compression_input input);

// Writes the stored block to the output and reports its exact size (not
// rounded; the caller pads to its file alignment). Every stream announced to
// Begin must have been given; a missing stream is a failure. Frees the
// compressor in every case; false (and nothing written) after any failure.
bool EndFileCompression(file_compressor* compressor, uint32_t* outStoredSize);

// Frees a compressor without writing anything. Accepts null.
void AbortFileCompression(file_compressor* compressor);

// Decodes a section's stored data into `out` (expandedSize bytes). Types 2
// and 3 hold three streams ending at stop0, stop1 and expandedSize (the
// section's First16BitOffset and First8BitOffset); stops must be ordered and
// inside the expanded size. Type 0 copies (storedSize must be at least
// expandedSize); type 4 is one Tessik stream. `byteReversed` tells that the
// file's byte order differs from this machine's (Lorpa1 headers).
bool DecompressData(uint32_t type, bool byteReversed, uint32_t storedSize, const void* stored,
                    uint32_t stop0, uint32_t stop1, uint32_t expandedSize, void* out);

// Decodes a one-stream block: type 0 copy, a Lorpa1 block with a single
// stream, a single Tessik stream (types 3 and 4).
bool DecompressDataChunk(uint32_t type, bool byteReversed, uint32_t storedSize,
                         const void* stored, uint32_t expandedSize, void* out);

// Decodes a stored fix-up or marshalling array of `expandedSize` bytes from
// the `availableSize` bytes at `stored` (what the file holds from the array's
// offset on). For type 4 the array is a uint32 stored size (in the file's byte
// order) followed by one Tessik stream; the stored size is checked against
// availableSize. For every other type the array is raw. `outStoredSize`
// (optional) receives the bytes the array occupies in the file.
bool DecompressFileArray(uint32_t type, bool byteReversed, uint32_t availableSize,
                         const void* stored, uint32_t expandedSize, void* out,
                         uint32_t* outStoredSize);

// Incremental decoding (types 0 and 4): the stored bytes arrive in chunks of
// any size, the expanded bytes go to `out` (expandedSize bytes, owned by the
// caller and valid until the end call).
struct file_decompressor;

// Null for any type other than 0 and 4 (logged), or when memory runs out.
file_decompressor* BeginFileDecompression(uint32_t type, uint32_t expandedSize, void* out);
// Feeds the next `size` stored bytes. False once the data is found malformed;
// later calls then do nothing and return false.
bool DecompressFileChunk(file_decompressor* decompressor, uint32_t size, const void* bytes);
// True only when the stream ended cleanly: every expanded byte was produced
// and no stored byte was left over. Frees the decompressor.
bool EndFileDecompression(file_decompressor* decompressor);

}  // namespace ketrel
