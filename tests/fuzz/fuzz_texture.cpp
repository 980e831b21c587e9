// The texture builder on arbitrary images and settings: any size (small),
// stride, mip count, filter and encoding. Raw layouts of 8 bits per channel
// must give the source pixels back exactly; S3TC levels must decode; the
// same input must give the same bytes twice (deterministic output); the
// caller's pixels must stay as they were.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_image_operations.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_s3tc.h"
#include "rt/ketrel_texture_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

ketrel::texture_builder* Begin(uint8_t kind, int32_t width, int32_t height) {
  static const int32_t kShift[4] = {0, 8, 16, 24}, kBits[4] = {8, 8, 8, 8};
  switch (kind % 7) {
    case 0:
      return ketrel::BeginRawTexture(width, height, ketrel::MakePixelLayout(4, kShift, kBits), 4);
    case 1:
      return ketrel::BeginS3TCTexture(width, height, ketrel::kS3TCNoAlpha);
    case 2:
      return ketrel::BeginS3TCTexture(width, height, ketrel::kS3TCOneBitAlpha);
    case 3:
      return ketrel::BeginS3TCTexture(width, height, ketrel::kS3TCExplicitAlpha);
    case 4:
      return ketrel::BeginS3TCTexture(width, height, ketrel::kS3TCInterpolatedAlpha);
    case 5:
      return ketrel::BeginBestMatchS3TCTexture(width, height);
    default:
      return ketrel::BeginYCoCgTexture(width, height);
  }
}

Bytes Build(uint8_t kind, int32_t width, int32_t height, int32_t sourceWidth, int32_t sourceHeight,
            int32_t stride, int32_t mips, int32_t filter, const uint8_t* pixels) {
  ketrel::texture_builder* b = Begin(kind, width, height);
  if (!b) __builtin_trap();  // small sizes are always accepted
  ketrel::SetTextureResizeFilter(b, filter);
  ketrel::EncodeImage(b, sourceWidth, sourceHeight, stride, mips, pixels);
  Bytes memory(size_t(ketrel::GetTextureBuilderSize(b)));
  ketrel::texture* t = ketrel::EndTextureInPlace(b, memory.data());
  if (!t) __builtin_trap();
  // The block holds pointers into itself: compare the pixel bytes only.
  Bytes levels;
  for (int32_t i = 0; i < t->ImageCount; ++i) {
    for (int32_t l = 0; l < t->Images[i].MIPLevelCount; ++l) {
      ketrel::texture_mip_level level;
      std::memcpy(&level, &t->Images[i].MIPLevels[l], sizeof level);
      if (level.PixelByteCount < 0) __builtin_trap();
      levels.insert(levels.end(), level.PixelBytes, level.PixelBytes + level.PixelByteCount);
    }
  }
  if (kind % 7 == 0 && width == sourceWidth && height == sourceHeight && t->ImageCount == 1) {
    // Raw RGBA at the source's size: the first level is the source.
    for (int32_t y = 0; y < height; ++y)
      if (std::memcmp(levels.data() + size_t(y) * size_t(width) * 4, pixels + ptrdiff_t(y) * stride,
                      size_t(width) * 4) != 0)
        __builtin_trap();
  }
  if (kind % 7 >= 1 && kind % 7 <= 4 && t->ImageCount == 1) {
    Bytes decoded(size_t(width) * size_t(height) * 4);
    if (!ketrel::DecodeS3TCImage(levels.data(), width, height, kind % 7 - 1, decoded.data(),
                                 width * 4))
      __builtin_trap();
  }
  return levels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ketrel::MuteLogOrigin(ketrel::LogOrigin::Texture, true);
  // Eight leading bytes: kind, target size, source size, stride padding,
  // mip count and filter; the rest are pixels.
  if (size < 8) return 0;
  const uint8_t kind = data[0];
  const int32_t width = data[1] % 33, height = data[2] % 33;
  const int32_t sourceWidth = data[3] % 33 + 1, sourceHeight = data[4] % 33 + 1;
  const int32_t stride = sourceWidth * 4 + (data[5] % 3) * 4;
  const int32_t mips = data[6] % 8;    // 0 is refused
  const int32_t filter = data[7] % 4;  // 3 is refused
  Bytes pixels(size_t(stride) * size_t(sourceHeight));
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = size > 8 ? data[8 + i % (size - 8)] : 0;
  const Bytes before = pixels;
  Bytes first =
      Build(kind, width, height, sourceWidth, sourceHeight, stride, mips, filter, pixels.data());
  if (pixels != before) __builtin_trap();
  Bytes second =
      Build(kind, width, height, sourceWidth, sourceHeight, stride, mips, filter, pixels.data());
  if (first != second) __builtin_trap();
  return 0;
}
