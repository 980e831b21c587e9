#include "rt/ketrel_texture_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "rt/ketrel_image_operations.h"
#include "rt/ketrel_s3tc.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using Bytes = std::vector<uint8_t>;

// A smooth photograph-like image: gradients, a few soft blobs and some
// fine noise, with an alpha ramp.
Bytes PhotoLike(int32_t width, int32_t height) {
  Bytes rgba(size_t(width) * size_t(height) * 4);
  uint32_t seed = 12345;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      double noise = double(seed >> 24) / 255.0 * 6 - 3;
      double u = double(x) / width, v = double(y) / height;
      double blob = std::exp(-((u - 0.3) * (u - 0.3) + (v - 0.6) * (v - 0.6)) * 20);
      uint8_t* px = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
      px[0] = uint8_t(std::lround(std::fmin(255, std::fmax(0, 40 + 150 * u + 60 * blob + noise))));
      px[1] = uint8_t(std::lround(std::fmin(255, std::fmax(0, 90 + 80 * std::sin(6 * v) + noise))));
      px[2] = uint8_t(std::lround(std::fmin(255, std::fmax(0, 200 - 120 * blob + noise))));
      px[3] = uint8_t(std::lround(255 * u));
    }
  }
  return rgba;
}

struct Ended {
  Bytes memory;
  texture* result = nullptr;
  int32_t Levels(int32_t image = 0) const {
    return result->Images[image].MIPLevels ? result->Images[image].MIPLevelCount : 0;
  }
  texture_mip_level Level(int32_t i, int32_t image = 0) const {
    texture_mip_level level;
    std::memcpy(&level, &result->Images[image].MIPLevels[i], sizeof level);
    return level;
  }
};

// Ends into a buffer of exactly the measured size, so the sanitizer sees any
// write beyond it.
Ended End(texture_builder* builder) {
  Ended ended;
  ended.memory.resize(size_t(GetTextureBuilderSize(builder)));
  ended.result = EndTextureInPlace(builder, ended.memory.data());
  return ended;
}

double Psnr(const Bytes& a, const Bytes& b, int channels) {
  double error = 0, samples = 0;
  for (size_t i = 0; i < a.size(); i += 4) {
    for (int k = 0; k < channels; ++k) {
      double d = double(a[i + size_t(k)]) - b[i + size_t(k)];
      error += d * d;
      samples += 1;
    }
  }
  return error == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * samples / error);
}

pixel_layout RawLayout(int32_t bytes, std::initializer_list<int32_t> shifts,
                       std::initializer_list<int32_t> bits) {
  return MakePixelLayout(bytes, shifts.begin(), bits.begin());
}

TEST(TextureBuilder, RefusesBadSizesAlignmentsAndFilters) {
  test::LogCapture log;
  const pixel_layout rgba = RawLayout(4, {0, 8, 16, 24}, {8, 8, 8, 8});
  EXPECT_EQ(BeginRawTexture(4, 4, rgba, 0), nullptr);
  EXPECT_EQ(BeginRawTexture(-1, 4, rgba, 4), nullptr);
  EXPECT_EQ(BeginRawTexture(65536, 65536, rgba, 4), nullptr);  // 16 GB per level
  EXPECT_EQ(BeginRawTexture(4, 4, RawLayout(2, {0, 8, 16, 24}, {8, 8, 8, 8}), 4), nullptr);
  EXPECT_EQ(BeginS3TCTexture(65536, 65536, kS3TCInterpolatedAlpha), nullptr);  // 4 GB
  EXPECT_EQ(BeginS3TCTexture(4, 4, 4), nullptr);
  EXPECT_TRUE(log.Contains("Unrecognized S3TC texture type (4)"));
  // 65536 x 32768 DXT1 is exactly 1 GB: allowed.
  texture_builder* big = BeginS3TCTexture(65536, 32768, kS3TCNoAlpha);
  EXPECT_NE(big, nullptr);
  AbortTexture(big);

  texture_builder* b = BeginS3TCTexture(8, 8, kS3TCNoAlpha);
  ASSERT_NE(b, nullptr);
  log.Clear();
  EXPECT_FALSE(SetTextureResizeFilter(b, 3));
  EXPECT_FALSE(SetTextureResizeFilter(b, -1));
  EXPECT_TRUE(log.Contains("Invalid pixel filter specified (3)"));
  Bytes pixels = PhotoLike(8, 8);
  EXPECT_FALSE(EncodeImage(b, 8, 8, 8 * 4, 0, pixels.data()));                  // no level
  EXPECT_FALSE(EncodeImage(b, 8, 8, 8 * 4, kMaxMipLevels + 1, pixels.data()));  // too many
  EXPECT_FALSE(EncodeImage(b, 8, 8, 8 * 3, 1, pixels.data()));                  // stride short
  EXPECT_FALSE(EncodeImage(b, 8, 8, 8 * 4, 1, nullptr));
  EXPECT_EQ(GetTextureBuilderSize(b), int32_t(sizeof(texture)));  // refusals added nothing
  AbortTexture(b);

  Bytes destination(16, 0xAB);
  EXPECT_FALSE(ResampleImage(pixels.data(), 8, 8, 32, destination.data(), 2, 2, 8, 7));
  EXPECT_TRUE(log.Contains("Invalid pixel filter specified (7)"));
  EXPECT_EQ(destination, Bytes(16, 0xAB));
}

TEST(TextureBuilder, MipLevelsHalveAndClampToOne) {
  struct Case {
    int32_t width, height, levels, subFormat;
    std::vector<std::pair<int32_t, int32_t>> sizes;  // (stride, bytes) per level
  } cases[] = {
      {1, 1, 4, kS3TCNoAlpha, {{2, 8}, {2, 8}, {2, 8}, {2, 8}}},
      {8, 2, 4, kS3TCNoAlpha, {{4, 16}, {2, 8}, {2, 8}, {2, 8}}},
      // A level of width 2 still records the pitch of width 4.
      {2, 2, 2, kS3TCInterpolatedAlpha, {{4, 16}, {4, 16}}},
      {256,
       64,
       7,
       kS3TCExplicitAlpha,
       {{256, 16384}, {128, 4096}, {64, 1024}, {32, 256}, {16, 64}, {8, 32}, {4, 16}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    texture_builder* b = BeginS3TCTexture(c.width, c.height, c.subFormat);
    Bytes pixels = PhotoLike(c.width, c.height);
    ASSERT_TRUE(EncodeImage(b, c.width, c.height, c.width * 4, c.levels, pixels.data()));
    Ended t = End(b);
    ASSERT_NE(t.result, nullptr);
    ASSERT_EQ(t.Levels(), c.levels);
    for (int32_t i = 0; i < c.levels; ++i) {
      EXPECT_EQ(t.Level(i).Stride, c.sizes[size_t(i)].first) << "level " << i;
      EXPECT_EQ(t.Level(i).PixelByteCount, c.sizes[size_t(i)].second) << "level " << i;
    }
  }
}

TEST(TextureBuilder, RawLayoutsRoundTripAndPadRows) {
  const int32_t width = 5, height = 3;
  Bytes pixels = PhotoLike(width, height);
  struct Case {
    pixel_layout layout;
    int32_t stride;
  } cases[] = {
      {RawLayout(4, {0, 8, 16, 24}, {8, 8, 8, 8}), 20},
      {RawLayout(3, {0, 8, 16, 0}, {8, 8, 8, 0}), 16},  // 15 bytes padded to 16
      {RawLayout(4, {16, 8, 0, 24}, {8, 8, 8, 8}), 20},
      {RawLayout(2, {11, 5, 0, 0}, {5, 6, 5, 0}), 12},
      {RawLayout(2, {0, 4, 8, 12}, {4, 4, 4, 4}), 12},
  };
  for (const Case& c : cases) {
    texture_builder* b = BeginRawTexture(width, height, c.layout, 4);
    ASSERT_TRUE(EncodeImage(b, width, height, width * 4, 1, pixels.data()));
    Ended t = End(b);
    ASSERT_NE(t.result, nullptr);
    texture_mip_level level = t.Level(0);
    ASSERT_EQ(level.Stride, c.stride);
    ASSERT_EQ(level.PixelByteCount, c.stride * height);
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        uint64_t value = 0;
        for (int32_t i = 0; i < c.layout.BytesPerPixel; ++i)
          value |= uint64_t(level.PixelBytes[y * c.stride + x * c.layout.BytesPerPixel + i])
                   << (8 * i);
        for (int k = 0; k < 4; ++k) {
          int32_t bits = c.layout.BitsForComponent[k];
          if (bits == 0) continue;
          uint64_t stored = (value >> c.layout.ShiftForComponent[k]) & ((1u << bits) - 1);
          uint8_t source = pixels[(size_t(y) * width + size_t(x)) * 4 + size_t(k)];
          EXPECT_EQ(stored, uint64_t(source >> (8 - bits))) << x << "," << y << " channel " << k;
        }
      }
      // Padding bytes are zero, so files are deterministic.
      for (int32_t i = width * c.layout.BytesPerPixel; i < c.stride; ++i)
        EXPECT_EQ(level.PixelBytes[y * c.stride + i], 0);
    }
  }
}

TEST(TextureBuilder, S3TCDecodesCloseToTheSource) {
  const int32_t width = 64, height = 48;
  Bytes pixels = PhotoLike(width, height);
  for (int32_t sub = 0; sub < 4; ++sub) {
    SCOPED_TRACE(sub);
    Bytes blocks(size_t(S3TCImageBytes(width, height, sub)));
    ASSERT_TRUE(EncodeS3TCImage(pixels.data(), width, height, width * 4, sub, blocks.data()));
    Bytes decoded(pixels.size());
    ASSERT_TRUE(DecodeS3TCImage(blocks.data(), width, height, sub, decoded.data(), width * 4));
    if (sub == kS3TCOneBitAlpha) {
      for (size_t i = 3; i < decoded.size(); i += 4)
        ASSERT_EQ(decoded[i], pixels[i] < 128 ? 0 : 255);
    } else {
      // 4-bit explicit alpha alone keeps a smooth ramp to about 35 dB.
      EXPECT_GT(Psnr(pixels, decoded, sub >= kS3TCExplicitAlpha ? 4 : 3),
                sub == kS3TCExplicitAlpha ? 34.0 : 38.0);
    }
  }
}

TEST(TextureBuilder, S3TCNearlyFlatBlocksKeepTheirShade) {
  // Greys one step apart: a fit that rounds both ends to one code lands up
  // to 6 levels off, where interpolated ends stay within about 1.
  const uint8_t shades[][2] = {{59, 60}, {51, 52}, {61, 62}, {242, 243}};
  for (const auto& shade : shades) {
    SCOPED_TRACE(int(shade[0]));
    Bytes pixels(64);
    for (int i = 0; i < 16; ++i) {
      const uint8_t v = shade[(i * 7) % 3 == 0 ? 0 : 1];
      pixels[size_t(4 * i)] = pixels[size_t(4 * i + 1)] = pixels[size_t(4 * i + 2)] = v;
      pixels[size_t(4 * i + 3)] = 255;
    }
    uint8_t block[8];
    ASSERT_TRUE(EncodeS3TCImage(pixels.data(), 4, 4, 16, kS3TCNoAlpha, block));
    Bytes decoded(64);
    ASSERT_TRUE(DecodeS3TCImage(block, 4, 4, kS3TCNoAlpha, decoded.data(), 16));
    EXPECT_GT(Psnr(pixels, decoded, 3), 45.0);
  }
}

TEST(TextureBuilder, S3TCNarrowAlphaSpansDecodeExactly) {
  // Eight steps hold every value of a span up to 7 wide; each must come back.
  for (int lo = 0; lo < 256; ++lo) {
    for (int width = 1; width <= 7 && lo + width < 256; ++width) {
      Bytes pixels(64, 128);
      for (int i = 0; i < 16; ++i) pixels[size_t(4 * i + 3)] = uint8_t(lo + i % (width + 1));
      uint8_t block[16];
      ASSERT_TRUE(EncodeS3TCImage(pixels.data(), 4, 4, 16, kS3TCInterpolatedAlpha, block));
      Bytes decoded(64);
      ASSERT_TRUE(DecodeS3TCImage(block, 4, 4, kS3TCInterpolatedAlpha, decoded.data(), 16));
      for (int i = 0; i < 16; ++i)
        ASSERT_EQ(decoded[size_t(4 * i + 3)], pixels[size_t(4 * i + 3)]) << lo << "+" << width;
    }
  }
}

TEST(TextureBuilder, BestMatchDecidesOnceAndRecordsIt) {
  // Smooth alpha suits interpolated alpha; two-level alpha suits explicit.
  const int32_t width = 16, height = 16;
  Bytes smooth = PhotoLike(width, height), steps = smooth;
  for (size_t i = 3; i < steps.size(); i += 4)
    steps[i] = (i / 4) % 3 == 0 ? 17 : (i / 4) % 3 == 1 ? 119 : 238;
  for (const auto& [first, expected] :
       {std::pair{&smooth, kS3TCInterpolatedAlpha}, std::pair{&steps, kS3TCExplicitAlpha}}) {
    texture_builder* b = BeginBestMatchS3TCTexture(width, height);
    ASSERT_TRUE(EncodeImage(b, width, height, width * 4, 3, first->data()));
    // A second image with the other kind of alpha keeps the first decision.
    const Bytes& other = first == &smooth ? steps : smooth;
    ASSERT_TRUE(EncodeImage(b, width, height, width * 4, 1, other.data()));
    Ended t = End(b);
    ASSERT_NE(t.result, nullptr);
    EXPECT_EQ(t.result->SubFormat, expected);
    EXPECT_EQ(t.result->ImageCount, 2);
  }
}

TEST(TextureBuilder, YCoCgLeavesTheCallersImageAlone) {
  const int32_t width = 64, height = 64;
  Bytes pixels = PhotoLike(width, height), original = pixels;
  texture_builder* b = BeginYCoCgTexture(width, height);
  ASSERT_TRUE(EncodeImage(b, width, height, width * 4, 1, pixels.data()));
  Ended t = End(b);
  ASSERT_NE(t.result, nullptr);
  EXPECT_EQ(pixels, original);
  EXPECT_EQ(t.result->Encoding, kTextureEncodingYCoCg);
  EXPECT_EQ(t.Level(0).Stride, 64);
  // Luma sits in the interpolated alpha: decode and invert.
  Bytes decoded(pixels.size());
  DecodeS3TCImage(t.Level(0).PixelBytes, width, height, kS3TCInterpolatedAlpha, decoded.data(),
                  width * 4);
  Bytes rgb(decoded.size(), 0);
  for (size_t i = 0; i < decoded.size(); i += 4) {
    int co = decoded[i] - 127, cg = decoded[i + 1] - 127, luma = decoded[i + 3];
    const int values[3] = {luma + co - cg, luma + cg, luma - co - cg};
    for (int k = 0; k < 3; ++k) rgb[i + size_t(k)] = uint8_t(std::clamp(values[k], 0, 255));
  }
  EXPECT_GT(Psnr(original, rgb, 3), 30.0);
}

TEST(ImageOperations, FiltersKeepFlatImagesAndBoxAverages) {
  Bytes flat(12 * 10 * 4);
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = uint8_t(40 + i % 4 * 50);
  for (int32_t filter = 0; filter < kFilterCount; ++filter) {
    for (auto [w, h] : {std::pair{5, 3}, std::pair{24, 31}, std::pair{1, 1}}) {
      Bytes out(size_t(w) * size_t(h) * 4);
      ASSERT_TRUE(ResampleImage(flat.data(), 12, 10, 48, out.data(), w, h, w * 4, filter));
      for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], flat[i % 4]) << filter;
    }
  }
  // Halving with the box averages 2 x 2 squares.
  const uint8_t square[] = {0, 0, 0, 0, 100, 100, 100, 100, 50, 50, 50, 50, 250, 250, 250, 250};
  uint8_t out[4];
  ASSERT_TRUE(ResampleImage(square, 2, 2, 8, out, 1, 1, 4, kFilterBox));
  EXPECT_EQ(out[0], 100);
  EXPECT_FLOAT_EQ(FilterKernel(kFilterMitchell, 0), 8.0f / 9.0f);
  EXPECT_NEAR(FilterKernel(kFilterMitchell, 1), 1.0f / 18.0f, 1e-6);
  EXPECT_EQ(FilterKernel(kFilterMitchell, 2), 0.0f);
  EXPECT_EQ(FilterKernel(kFilterBox, -0.5f), 0.0f);
  EXPECT_EQ(FilterKernel(kFilterBox, 0.5f), 1.0f);
}

}  // namespace
}  // namespace ketrel
