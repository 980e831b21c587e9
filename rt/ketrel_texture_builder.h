#pragma once
// The texture builder: turns 32-bit RGBA source images (R at byte 0, G 1,
// B 2, A 3) into one `texture` block with each image's chain of mip levels,
// every level resampled from the full-size source and encoded as raw pixels
// in a given layout, S3TC blocks (DXT1/3/5) or YCoCg (luma in DXT5's alpha).
//
//   texture_builder* b = BeginS3TCTexture(256, 64, kS3TCNoAlpha);
//   SetTextureResizeFilter(b, kFilterTent);           // optional, 0 by default
//   EncodeImage(b, sourceWidth, sourceHeight, stride, mipCount, pixels);
//   int32_t size = GetTextureBuilderSize(b);
//   texture* t = EndTextureInPlace(b, memoryOfSize);  // frees b
//
// Level sizes: level 0 is the builder's size; each next level halves both
// sides (at least 1), so an 8 x 2 image with 4 levels gives 8 x 2, 4 x 1,
// 2 x 1, 1 x 1. The caller's pixels are only read, never rewritten.
//
// Failures are logged and returned: Begin* gives null for a negative size, a
// size whose stride x height or S3TC byte count does not fit in an int32, a
// stride alignment below 1 or a pixel layout that does not fit its bytes;
// EncodeImage refuses a bad source or a texture that would outgrow an int32.
// A refused call leaves the builder as it was.

#include <cstdint>

#include "rt/ketrel_s3tc.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

// texture.Encoding
inline constexpr int32_t kTextureEncodingUser = 0;
inline constexpr int32_t kTextureEncodingRaw = 1;
inline constexpr int32_t kTextureEncodingS3TC = 2;
inline constexpr int32_t kTextureEncodingMurra = 3;
inline constexpr int32_t kTextureEncodingYCoCg = 4;
// The sub-format a best-match builder starts with; the texture records the
// one chosen (2 or 3).
inline constexpr int32_t kS3TCBestMatch = 65535;
// Mip chains longer than this are refused (a 2^31 side halves to 1 in 32).
inline constexpr int32_t kMaxMipLevels = 32;

struct texture_builder;

// A raw layout: bytes per pixel and, for R, G, B, A, the shift and bit count
// of each component (0 bits: not stored).
pixel_layout MakePixelLayout(int32_t bytesPerPixel, const int32_t shift[4], const int32_t bits[4]);
// The printed name of an encoding and an S3TC sub-format ("Raw texture
// format", "S3TC RGB555 (DXT1)", ...); "Unknown" otherwise.
const char* TextureEncodingName(int32_t encoding);
const char* S3TCSubFormatName(int32_t subFormat);

// Raw pixels: each row padded to a multiple of `strideAlignment` bytes.
texture_builder* BeginRawTexture(int32_t width, int32_t height, const pixel_layout& layout,
                                 int32_t strideAlignment);
// S3TC sub-format 0-3 (see rt/ketrel_s3tc.h).
texture_builder* BeginS3TCTexture(int32_t width, int32_t height, int32_t subFormat);
// Explicit or interpolated 8-bit alpha, whichever codes the first image's
// alpha more faithfully; decided once, so every level and image shares it.
texture_builder* BeginBestMatchS3TCTexture(int32_t width, int32_t height);
// Co in byte 0, Cg in byte 1, Y in the alpha; coded as DXT5 blocks.
texture_builder* BeginYCoCgTexture(int32_t width, int32_t height);

// 0 Mitchell, 1 tent, 2 box (rt/ketrel_image_operations.h). Anything else
// logs "Invalid pixel filter specified (%d)" and keeps the filter.
bool SetTextureResizeFilter(texture_builder* builder, int32_t filter);

// Appends one image with `mipCount` levels (1..kMaxMipLevels) made from the
// source (width x height, `stride` bytes per row, may be negative for a
// bottom-up image). False (logged) for a bad source or when memory runs out.
bool EncodeImage(texture_builder* builder, int32_t width, int32_t height, int32_t stride,
                 int32_t mipCount, const uint8_t* pixels);

// The bytes EndTextureInPlace writes; 0 for a null builder.
int32_t GetTextureBuilderSize(const texture_builder* builder);
// Lays the texture out in `memory` (GetTextureBuilderSize bytes, any
// alignment): the texture, its images, their mip levels, then the pixel
// bytes. Frees the builder. FromFileName and ExtendedData are null. Null for
// a null builder or memory (the builder is freed all the same).
texture* EndTextureInPlace(texture_builder* builder, void* memory);
// Frees the builder without writing anything. Accepts null.
void AbortTexture(texture_builder* builder);

}  // namespace ketrel
