#pragma once
// S3TC (DXT1-DXT5, also known as BC1-BC3) block encoding and decoding.
//
// Sub-formats, as textures record them:
//   0  DXT1 without alpha: 8 bytes per 4 x 4 block, four colours;
//   1  DXT1 with 1-bit alpha: pixels whose alpha is below 128 become
//      transparent (three-colour blocks), other blocks keep four colours;
//   2  DXT3: 16 bytes, explicit 4-bit alpha, then a four-colour DXT1 block;
//   3  DXT5: 16 bytes, interpolated alpha (8 or 6 steps), then the colours.
// Colour blocks of DXT3/5 always use the four-colour order (colour 0 > 1),
// since many decoders ignore the three-colour order there.
//
// The colour encoder fits the block's principal axis, then refines the two
// end points by least squares against the indices it picked, measuring the
// error with the palette exactly as a decoder rounds it, and keeps the best
// pair it met. Flat blocks use the best single-colour pair from a table, and
// so do nearly flat ones whose fitted ends round to one code, if better.
//
// Pixels are 4 bytes (R, G, B, A); a partial block at the right or bottom
// edge repeats the last column or row. Encoding is deterministic.

#include <cstddef>
#include <cstdint>

namespace ketrel {

inline constexpr int32_t kS3TCNoAlpha = 0;
inline constexpr int32_t kS3TCOneBitAlpha = 1;
inline constexpr int32_t kS3TCExplicitAlpha = 2;
inline constexpr int32_t kS3TCInterpolatedAlpha = 3;

// 8 for sub-formats 0 and 1, 16 for 2 and 3, 0 for anything else.
int32_t S3TCBlockBytes(int32_t subFormat);
// The encoded size of a width x height image, or -1 when a side is negative,
// the sub-format is unknown or the count does not fit in an int32.
int64_t S3TCImageBytes(int32_t width, int32_t height, int32_t subFormat);

// Encodes one image into `out` (S3TCImageBytes bytes, rows of blocks top
// down). `stride` is the source's bytes per row. False for an unknown
// sub-format or a negative size; nothing is written then.
bool EncodeS3TCImage(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                     int32_t subFormat, uint8_t* out);

// The squared alpha error summed over the image when its alpha is coded as
// DXT3 (explicit) or DXT5 (interpolated); the colours do not depend on the
// choice. Used to choose one 8-bit alpha sub-format for a whole texture.
void MeasureS3TCAlphaErrors(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                            uint64_t* explicitError, uint64_t* interpolatedError);

// Decodes one block into 16 RGBA pixels (row by row), as a DXT decoder does
// (integer thirds and halves; 1/7 and 1/5 steps for DXT5 alpha). False for
// an unknown sub-format.
bool DecodeS3TCBlock(const uint8_t* block, int32_t subFormat, uint8_t rgba[64]);

// Decodes a whole image (the inverse of EncodeS3TCImage) into width x height
// RGBA pixels with `stride` bytes per row.
bool DecodeS3TCImage(const uint8_t* blocks, int32_t width, int32_t height, int32_t subFormat,
                     uint8_t* pixels, int32_t stride);

}  // namespace ketrel
