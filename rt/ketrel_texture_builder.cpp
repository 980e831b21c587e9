#include "rt/ketrel_texture_builder.h"

#include <cstring>

#include "rt/ketrel_image_operations.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

struct builder_level {
  int32_t Stride;
  int32_t ByteCount;
  uint8_t* Bytes;
};

struct builder_image {
  int32_t LevelCount;
  builder_level* Levels;
  builder_image* Next;
};

struct texture_builder {
  int32_t Encoding;
  int32_t SubFormat;
  pixel_layout Layout;
  int32_t StrideAlignment;
  int32_t Filter;
  int32_t Width;
  int32_t Height;
  int32_t ImageCount;
  int32_t LevelCount;  // over all images
  int64_t ByteCount;   // pixel bytes over all images
  builder_image* First;
  builder_image* Last;
};

namespace {

constexpr int64_t kMaxBytes = INT32_MAX;

void LevelSize(const texture_builder* b, int32_t level, int32_t& width, int32_t& height) {
  width = b->Width;
  height = b->Height;
  for (int32_t i = 0; i < level; ++i) {
    width = width / 2 > 0 ? width / 2 : (width > 0 ? 1 : 0);
    height = height / 2 > 0 ? height / 2 : (height > 0 ? 1 : 0);
  }
}

// The stride and byte count of a level; false when they do not fit an int32.
bool MeasureLevel(const texture_builder* b, int32_t width, int32_t height, int32_t& stride,
                  int64_t& bytes) {
  if (b->Encoding == kTextureEncodingRaw) {
    int64_t row = int64_t(width) * b->Layout.BytesPerPixel;
    row = (row + b->StrideAlignment - 1) / b->StrideAlignment * b->StrideAlignment;
    bytes = row * height;
    stride = int32_t(row <= kMaxBytes ? row : 0);
    return row <= kMaxBytes && bytes <= kMaxBytes;
  }
  // Best match and YCoCg take 16-byte blocks, as sub-format 3.
  int32_t sub = b->Encoding == kTextureEncodingS3TC && b->SubFormat != kS3TCBestMatch
                    ? b->SubFormat
                    : kS3TCInterpolatedAlpha;
  bytes = S3TCImageBytes(width, height, sub);
  int32_t pitch = width > 4 ? width : 4;
  stride = S3TCBlockBytes(sub) == 8 ? pitch / 2 : pitch;
  return bytes >= 0;
}

bool LayoutFits(const pixel_layout& layout) {
  if (layout.BytesPerPixel < 1 || layout.BytesPerPixel > 8) return false;
  for (int k = 0; k < 4; ++k) {
    int32_t shift = layout.ShiftForComponent[k], bits = layout.BitsForComponent[k];
    if (bits < 0 || bits > 32 || shift < 0) return false;
    if (bits > 0 && shift + bits > 8 * layout.BytesPerPixel) return false;
  }
  return true;
}

texture_builder* Begin(int32_t width, int32_t height, int32_t encoding, int32_t subFormat,
                       const pixel_layout& layout, int32_t alignment) {
  auto* b = static_cast<texture_builder*>(KT_ALLOCATE_CLEARED(sizeof(texture_builder)));
  if (!b) return nullptr;
  b->Encoding = encoding;
  b->SubFormat = subFormat;
  b->Layout = layout;
  b->StrideAlignment = alignment;
  b->Filter = kFilterMitchell;
  b->Width = width;
  b->Height = height;
  int32_t stride;
  int64_t bytes;
  if (!MeasureLevel(b, width, height, stride, bytes)) {
    KT_LOG_ERROR(Texture, "A %d x %d texture does not fit in 2 GB per level", width, height);
    FreeBlock(b);
    return nullptr;
  }
  return b;
}

pixel_layout Layout(int32_t bytes, int32_t r, int32_t g, int32_t bl, int32_t a, int32_t rb,
                    int32_t gb, int32_t bb, int32_t ab) {
  const int32_t shift[4] = {r, g, bl, a}, bits[4] = {rb, gb, bb, ab};
  return MakePixelLayout(bytes, shift, bits);
}

// Source pixels into the builder's layout: the top bits of each component
// line up (narrowing keeps the high bits, widening leaves zeros below).
void WriteRaw(const pixel_layout& layout, const uint8_t* pixels, int32_t width, int32_t height,
              int32_t sourceStride, int32_t stride, uint8_t* out) {
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = pixels + ptrdiff_t(y) * sourceStride;
    uint8_t* to = out + size_t(y) * size_t(stride);
    std::memset(to, 0, size_t(stride));
    for (int32_t x = 0; x < width; ++x) {
      uint64_t value = 0;
      for (int k = 0; k < 4; ++k) {
        int32_t bits = layout.BitsForComponent[k];
        if (bits == 0) continue;
        uint64_t c = row[4 * x + k];
        c = bits <= 8 ? c >> (8 - bits) : c << (bits - 8);
        value |= c << layout.ShiftForComponent[k];
      }
      for (int32_t i = 0; i < layout.BytesPerPixel; ++i) to[i] = uint8_t(value >> (8 * i));
      to += layout.BytesPerPixel;
    }
  }
}

// Rewrites a level buffer (ours, never the caller's) as Co, Cg, 0, Y.
void ToYCoCg(uint8_t* pixels, size_t count) {
  for (size_t i = 0; i < count; ++i, pixels += 4) {
    int r = pixels[0], g = pixels[1], b = pixels[2];
    pixels[0] = uint8_t(((2 * r - 2 * b + 2) >> 2) + 127);
    pixels[1] = uint8_t(((2 * g - r - b + 2) >> 2) + 127);
    pixels[2] = 0;
    pixels[3] = uint8_t((r + 2 * g + b + 2) >> 2);
  }
}

void FreeImage(builder_image* image) {
  if (!image) return;
  for (int32_t i = 0; i < image->LevelCount; ++i) FreeBlock(image->Levels[i].Bytes);
  FreeBlock(image->Levels);
  FreeBlock(image);
}

// Encodes one level from `pixels` (level-sized, 4 bytes per pixel, packed).
bool EncodeLevel(texture_builder* b, uint8_t* pixels, int32_t width, int32_t height,
                 builder_level& level) {
  const int32_t packed = width * 4;
  switch (b->Encoding) {
    case kTextureEncodingRaw:
      WriteRaw(b->Layout, pixels, width, height, packed, level.Stride, level.Bytes);
      return true;
    case kTextureEncodingYCoCg:
      ToYCoCg(pixels, size_t(width) * size_t(height));
      return EncodeS3TCImage(pixels, width, height, packed, kS3TCInterpolatedAlpha, level.Bytes);
    case kTextureEncodingS3TC:
      if (b->SubFormat == kS3TCBestMatch) {
        uint64_t explicitError = 0, interpolatedError = 0;
        MeasureS3TCAlphaErrors(pixels, width, height, packed, &explicitError, &interpolatedError);
        b->SubFormat =
            interpolatedError <= explicitError ? kS3TCInterpolatedAlpha : kS3TCExplicitAlpha;
      }
      return EncodeS3TCImage(pixels, width, height, packed, b->SubFormat, level.Bytes);
    default:
      KT_LOG_ERROR(Texture, "Unrecognized texture encoding %d.", b->Encoding);
      return false;
  }
}

}  // namespace

pixel_layout MakePixelLayout(int32_t bytesPerPixel, const int32_t shift[4], const int32_t bits[4]) {
  pixel_layout layout;
  layout.BytesPerPixel = bytesPerPixel;
  for (int k = 0; k < 4; ++k) {
    layout.ShiftForComponent[k] = shift[k];
    layout.BitsForComponent[k] = bits[k];
  }
  return layout;
}

const char* TextureEncodingName(int32_t encoding) {
  switch (encoding) {
    case kTextureEncodingUser:
      return "User-defined texture format";
    case kTextureEncodingRaw:
      return "Raw texture format";
    case kTextureEncodingS3TC:
      return "S3TC format";
    case kTextureEncodingMurra:
      return "Murra texture format";
    case kTextureEncodingYCoCg:
      return "YCoCg (S3TC blocks)";
    default:
      return "Unknown";
  }
}

const char* S3TCSubFormatName(int32_t subFormat) {
  switch (subFormat) {
    case kS3TCNoAlpha:
      return "S3TC RGB555 (DXT1)";
    case kS3TCOneBitAlpha:
      return "S3TC RGBA5551 (DXT1 with alpha)";
    case kS3TCExplicitAlpha:
      return "S3TC RGBA8888, mapped alpha (DXT2/3)";
    case kS3TCInterpolatedAlpha:
      return "S3TC RGBA8888, interpolated alpha (DXT4/5)";
    default:
      return "Unknown";
  }
}

texture_builder* BeginRawTexture(int32_t width, int32_t height, const pixel_layout& layout,
                                 int32_t strideAlignment) {
  if (!KT_CHECK_PARAMETER(
          Texture, width >= 0 && height >= 0 && strideAlignment >= 1 && LayoutFits(layout))) {
    return nullptr;
  }
  return Begin(width, height, kTextureEncodingRaw, 0, layout, strideAlignment);
}

texture_builder* BeginS3TCTexture(int32_t width, int32_t height, int32_t subFormat) {
  if (!KT_CHECK_PARAMETER(Texture, width >= 0 && height >= 0)) return nullptr;
  if (S3TCBlockBytes(subFormat) == 0) {
    KT_LOG_ERROR(Texture, "Unrecognized S3TC texture type (%d)", subFormat);
    return nullptr;
  }
  // Alpha layouts for the 8-bit alpha sub-formats, 5-6-5 for DXT1.
  pixel_layout layout = subFormat == kS3TCNoAlpha       ? Layout(2, 11, 5, 0, 0, 5, 6, 5, 0)
                        : subFormat == kS3TCOneBitAlpha ? Layout(2, 11, 6, 1, 0, 5, 5, 5, 1)
                                                        : Layout(4, 0, 8, 16, 24, 8, 8, 8, 8);
  return Begin(width, height, kTextureEncodingS3TC, subFormat, layout, 1);
}

texture_builder* BeginBestMatchS3TCTexture(int32_t width, int32_t height) {
  if (!KT_CHECK_PARAMETER(Texture, width >= 0 && height >= 0)) return nullptr;
  return Begin(width, height, kTextureEncodingS3TC, kS3TCBestMatch,
               Layout(4, 0, 8, 16, 24, 8, 8, 8, 8), 1);
}

texture_builder* BeginYCoCgTexture(int32_t width, int32_t height) {
  if (!KT_CHECK_PARAMETER(Texture, width >= 0 && height >= 0)) return nullptr;
  return Begin(width, height, kTextureEncodingYCoCg, 0, Layout(3, 16, 8, 0, 0, 8, 8, 8, 0), 1);
}

bool SetTextureResizeFilter(texture_builder* builder, int32_t filter) {
  if (!builder) return false;
  if (filter < 0 || filter >= kFilterCount) {
    KT_LOG_ERROR(Texture, "Invalid pixel filter specified (%d)", filter);
    return false;
  }
  builder->Filter = filter;
  return true;
}

bool EncodeImage(texture_builder* b, int32_t width, int32_t height, int32_t stride,
                 int32_t mipCount, const uint8_t* pixels) {
  if (!b) return false;
  const int64_t rowBytes = int64_t(width) * 4;
  const int64_t absStride = stride < 0 ? -int64_t(stride) : stride;
  if (!KT_CHECK_PARAMETER(Texture, pixels && width > 0 && height > 0 && absStride >= rowBytes &&
                                       mipCount >= 1 && mipCount <= kMaxMipLevels)) {
    return false;
  }
  // Sizing pass: every level's bytes, so nothing is encoded for a texture
  // that would not fit.
  int64_t total = 0;
  builder_level sized[kMaxMipLevels];
  for (int32_t i = 0; i < mipCount; ++i) {
    int32_t w, h;
    int64_t bytes;
    LevelSize(b, i, w, h);
    if (!MeasureLevel(b, w, h, sized[i].Stride, bytes)) return false;
    sized[i].ByteCount = int32_t(bytes);
    total += bytes;
  }
  if (b->ByteCount + total > kMaxBytes) {
    KT_LOG_ERROR(Texture, "The texture's pixels would pass 2 GB");
    return false;
  }

  auto* image = static_cast<builder_image*>(KT_ALLOCATE_CLEARED(sizeof(builder_image)));
  builder_level* levels = image ? KT_ALLOCATE_ARRAY(builder_level, size_t(mipCount)) : nullptr;
  if (!levels) {
    FreeBlock(image);
    KT_LOG_ERROR(Texture, "Out of memory in texture image builder");
    return false;
  }
  image->Levels = levels;
  for (int32_t i = 0; i < mipCount; ++i) {
    levels[i] = sized[i];
    levels[i].Bytes = nullptr;
  }
  image->LevelCount = mipCount;

  // Encoding pass: each level from the full-size source, into a buffer of
  // our own (encoders such as YCoCg rewrite it).
  bool ok = true;
  for (int32_t i = 0; ok && i < mipCount; ++i) {
    int32_t w, h;
    LevelSize(b, i, w, h);
    builder_level& level = levels[i];
    level.Bytes =
        static_cast<uint8_t*>(KT_ALLOCATE(size_t(level.ByteCount > 0 ? level.ByteCount : 1)));
    if (!level.Bytes) {
      ok = false;
      break;
    }
    if (w == 0 || h == 0) continue;
    const size_t packed = size_t(w) * 4;
    auto* buffer = static_cast<uint8_t*>(KT_ALLOCATE(packed * size_t(h)));
    if (!buffer) {
      KT_LOG_ERROR(Texture, "Out of memory in texture image builder");
      ok = false;
      break;
    }
    if (w == width && h == height) {
      for (int32_t y = 0; y < h; ++y)
        std::memcpy(buffer + packed * size_t(y), pixels + ptrdiff_t(y) * stride, packed);
    } else {
      ok = ResampleImage(pixels, width, height, stride, buffer, w, h, int32_t(packed), b->Filter);
    }
    ok = ok && EncodeLevel(b, buffer, w, h, level);
    FreeBlock(buffer);
  }
  if (!ok) {
    FreeImage(image);
    return false;
  }
  if (b->Last) {
    b->Last->Next = image;
  } else {
    b->First = image;
  }
  b->Last = image;
  b->ImageCount += 1;
  b->LevelCount += mipCount;
  b->ByteCount += total;
  return true;
}

int32_t GetTextureBuilderSize(const texture_builder* b) {
  if (!b) return 0;
  int64_t size = int64_t(sizeof(texture)) + int64_t(sizeof(texture_image)) * b->ImageCount +
                 int64_t(sizeof(texture_mip_level)) * b->LevelCount + b->ByteCount;
  return size <= kMaxBytes ? int32_t(size) : 0;
}

texture* EndTextureInPlace(texture_builder* b, void* memory) {
  if (!b) return nullptr;
  texture* result = nullptr;
  const int32_t size = GetTextureBuilderSize(b);
  if (memory && size > 0) {
    auto* base = static_cast<uint8_t*>(memory);
    auto* t = reinterpret_cast<texture*>(base);
    uint8_t* at = base + sizeof(texture);
    std::memset(static_cast<void*>(t), 0, sizeof(texture));
    t->TextureType = 0;
    t->Width = b->Width;
    t->Height = b->Height;
    t->Encoding = b->Encoding;
    // A best-match builder that met no pixels still records a real format.
    t->SubFormat = b->SubFormat == kS3TCBestMatch ? kS3TCInterpolatedAlpha : b->SubFormat;
    t->Layout = b->Layout;
    t->ImageCount = b->ImageCount;
    auto* images = reinterpret_cast<texture_image*>(at);
    t->Images = b->ImageCount ? images : nullptr;
    at += sizeof(texture_image) * size_t(b->ImageCount);
    int32_t n = 0;
    for (const builder_image* image = b->First; image; image = image->Next, ++n) {
      auto* levels = reinterpret_cast<texture_mip_level*>(at);
      at += sizeof(texture_mip_level) * size_t(image->LevelCount);
      texture_image record;
      record.MIPLevelCount = image->LevelCount;
      record.MIPLevels = levels;
      std::memcpy(static_cast<void*>(images + n), &record, sizeof record);
      for (int32_t i = 0; i < image->LevelCount; ++i) {
        const builder_level& from = image->Levels[i];
        texture_mip_level level;
        level.Stride = from.Stride;
        level.PixelByteCount = from.ByteCount;
        level.PixelBytes = from.ByteCount > 0 ? at : nullptr;
        std::memcpy(static_cast<void*>(levels + i), &level, sizeof level);
        if (from.ByteCount > 0) std::memcpy(at, from.Bytes, size_t(from.ByteCount));
        at += from.ByteCount;
      }
    }
    // Measured and written must agree, or a caller's block was overrun.
    if (at - base != size)
      KT_LOG_ERROR(Texture, "Texture layout wrote %d of %d bytes", int(at - base), size);
    result = t;
  } else {
    KT_PARAMETER_CHECK_FAILED(Texture);
  }
  AbortTexture(b);
  return result;
}

void AbortTexture(texture_builder* b) {
  if (!b) return;
  for (builder_image* image = b->First; image;) {
    builder_image* next = image->Next;
    FreeImage(image);
    image = next;
  }
  FreeBlock(b);
}

}  // namespace ketrel
