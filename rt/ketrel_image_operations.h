#pragma once
// Resampling 32-bit RGBA images (R at byte 0 ... A at byte 3) to another
// size: separable, horizontal then vertical, with one of three filters:
//   0  Mitchell-Netravali cubic (B = C = 1/3), support 2
//   1  tent, support 1
//   2  box, support 1/2
// When shrinking, the kernel widens by the scale so every source pixel
// counts. Weights are normalised per destination pixel; results are rounded
// and clamped to 0..255 (the cubic overshoots at edges). Pixels outside the
// source repeat its border.

#include <cstdint>

namespace ketrel {

inline constexpr int32_t kFilterMitchell = 0;
inline constexpr int32_t kFilterTent = 1;
inline constexpr int32_t kFilterBox = 2;
inline constexpr int32_t kFilterCount = 3;

// The kernel's value at x (0 for an unknown filter).
float FilterKernel(int32_t filter, float x);

// Resamples `source` (sourceWidth x sourceHeight, `sourceStride` bytes per
// row) into `destination` (width x height, `destinationStride` bytes per
// row). An unknown filter logs "Invalid pixel filter specified (%d)" and
// leaves the destination untouched; a size of 0 on either side does
// nothing. False then, or when scratch memory runs out (logged).
bool ResampleImage(const uint8_t* source, int32_t sourceWidth, int32_t sourceHeight,
                   int32_t sourceStride, uint8_t* destination, int32_t width, int32_t height,
                   int32_t destinationStride, int32_t filter);

}  // namespace ketrel
