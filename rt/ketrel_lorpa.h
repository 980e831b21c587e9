#pragma once
// Lorpa1: an adaptive order-0 range coder over bytes. Several streams are
// coded one after the other into one coded byte sequence; each stream starts
// a fresh frequency model whose size is described by a 12-byte header
// (three uint32: alphabet size, frequency increment, frequency limit) that
// the decoder sizes its model from.

#include <cstddef>
#include <cstdint>

namespace ketrel {

struct lorpa_stream_header {
  uint32_t alphabetSize = 0;  // 1 + the largest byte of the stream; 0 for an empty stream
  uint32_t increment = 0;     // added to a symbol's frequency each time it is coded
  uint32_t limit = 0;         // the frequencies are halved when their total passes this
};
inline constexpr size_t kLorpaStreamHeaderSize = 12;

// Model parameters the encoder uses; the decoder accepts any header within
// these bounds: alphabet <= 256, 1 <= increment <= kLorpaMaxIncrement,
// 2 * (alphabet + increment) <= limit <= kLorpaMaxLimit.
inline constexpr uint32_t kLorpaMaxSymbol = 255;
inline constexpr uint32_t kLorpaAlphabet = 256;
inline constexpr uint32_t kLorpaMaxLimit = 0x3FFFF;
inline constexpr uint32_t kLorpaMaxIncrement = 4096;

struct lorpa_encoder;

// `initialCapacity` is the expected coded size; the output grows beyond it
// when the input needs more (an adaptive model can cost more than 9 bits per
// byte on adversarial input). Null when memory runs out.
lorpa_encoder* BeginLorpaEncoder(size_t initialCapacity);
// Codes one stream with a fresh model and reports its header.
bool LorpaEncodeStream(lorpa_encoder* encoder, const void* bytes, size_t size,
                       lorpa_stream_header* outHeader);
// Flushes the coder. The coded bytes (whole bytes, the last partial one
// included) stay owned by the encoder until it is freed.
bool FinishLorpaEncoder(lorpa_encoder* encoder, const uint8_t** outBytes, size_t* outSize);
// Accepts null.
void FreeLorpaEncoder(lorpa_encoder* encoder);

// Checks a header read from a file.
bool IsValidLorpaHeader(const lorpa_stream_header& header, size_t streamSize);

// Decodes `streamCount` streams from the coded bytes into `out`: stream i
// fills [stops[i-1], stops[i]) (stream 0 starts at 0); stops must be
// ascending. The decoder reads exactly the bytes the encoder stored, so
// `codedSize` may include zero padding but a stream that needs more than
// `codedSize` bytes is corrupt or truncated (nothing past it is touched). False (logged) on a bad
// header, corrupt data, or when memory runs out.
bool LorpaDecode(const void* coded, size_t codedSize, const lorpa_stream_header* headers,
                 const uint32_t* stops, int streamCount, void* out);

}  // namespace ketrel
