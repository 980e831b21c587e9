// Bitmap decoding: tiny images made in the test in every format we read,
// and hostile ones (truncated at every byte, lying headers, garbage).
#include <gtest/gtest.h>
#include <stb/stb_image_write.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/host/host_bitmap.h"
#include "export/host/host_scene.h"

namespace ketrel::host {
namespace {

using Bytes = std::vector<uint8_t>;

// A 3 x 2 image with distinct colours and alpha: top row red, green, blue;
// bottom row white half-transparent, black, grey.
const uint8_t kPixels[6][4] = {{255, 0, 0, 255},     {0, 255, 0, 255}, {0, 0, 255, 255},
                               {255, 255, 255, 128}, {0, 0, 0, 255},   {128, 128, 128, 255}};

void Append(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

Bytes Encode(const std::string& format) {
  Bytes out;
  if (format == "png") stbi_write_png_to_func(Append, &out, 3, 2, 4, kPixels, 12);
  if (format == "bmp") stbi_write_bmp_to_func(Append, &out, 3, 2, 4, kPixels);
  if (format == "tga") stbi_write_tga_to_func(Append, &out, 3, 2, 4, kPixels);
  if (format == "jpg") stbi_write_jpg_to_func(Append, &out, 3, 2, 4, kPixels, 100);
  return out;
}

void Put32(Bytes& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// A DDS header for a width x height image of the given pixel format.
Bytes DdsHeader(uint32_t width, uint32_t height, uint32_t flags, const char* fourCc,
                uint32_t bits = 0, uint32_t r = 0, uint32_t g = 0, uint32_t b = 0, uint32_t a = 0) {
  Bytes out(128, 0);
  std::memcpy(out.data(), "DDS ", 4);
  Put32(out, 4, 124);
  Put32(out, 8, 0x1007);
  Put32(out, 12, height);
  Put32(out, 16, width);
  Put32(out, 76, 32);
  Put32(out, 80, flags);
  if (fourCc) std::memcpy(&out[84], fourCc, 4);
  Put32(out, 88, bits);
  Put32(out, 92, r);
  Put32(out, 96, g);
  Put32(out, 100, b);
  Put32(out, 104, a);
  return out;
}

Bytes Dds32(bool bgra) {
  Bytes out = bgra ? DdsHeader(3, 2, 0x41, nullptr, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u)
                   : DdsHeader(3, 2, 0x41, nullptr, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u);
  for (const auto& p : kPixels) {
    if (bgra) {
      out.insert(out.end(), {p[2], p[1], p[0], p[3]});
    } else {
      out.insert(out.end(), {p[0], p[1], p[2], p[3]});
    }
  }
  return out;
}

void ExpectPixels(const Bitmap& bitmap, int tolerance) {
  ASSERT_EQ(bitmap.Width, 3);
  ASSERT_EQ(bitmap.Height, 2);
  ASSERT_EQ(bitmap.Pixels.size(), 24u);
  for (int i = 0; i < 6; ++i) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR(bitmap.Pixels[size_t(i * 4 + c)], kPixels[i][c], tolerance)
          << "pixel " << i << " channel " << c;
    }
  }
}

TEST(HostBitmap, EveryFormatDecodesToTheSameTopDownRgba) {
  for (const char* format : {"png", "bmp", "tga", "jpg"}) {
    SCOPED_TRACE(format);
    Bytes file = Encode(format);
    ASSERT_FALSE(file.empty());
    Bitmap bitmap;
    std::string error;
    ASSERT_TRUE(DecodeBitmap(file.data(), file.size(), bitmap, error)) << error;
    if (std::string(format) == "jpg") {
      // Lossy and without alpha: only the size and an opaque image.
      EXPECT_EQ(bitmap.Width, 3);
      EXPECT_EQ(bitmap.Pixels[3 * 4 + 3], 255);
    } else {
      ExpectPixels(bitmap, 0);
    }
  }
  for (bool bgra : {false, true}) {
    Bytes file = Dds32(bgra);
    Bitmap bitmap;
    std::string error;
    ASSERT_TRUE(DecodeBitmap(file.data(), file.size(), bitmap, error)) << error;
    ExpectPixels(bitmap, 0);
  }
}

TEST(HostBitmap, DdsMaskedFormatsScaleEachChannelToEightBits) {
  // 16-bit 5:6:5 (no alpha) and 8-bit luminance.
  Bytes rgb565 = DdsHeader(2, 1, 0x40, nullptr, 16, 0xF800, 0x07E0, 0x001F);
  rgb565.insert(rgb565.end(), {0x00, 0xF8, 0xE0, 0x07});  // red, green
  Bitmap bitmap;
  std::string error;
  ASSERT_TRUE(DecodeDds(rgb565.data(), rgb565.size(), bitmap, error)) << error;
  EXPECT_EQ(bitmap.Pixels, (Bytes{255, 0, 0, 255, 0, 255, 0, 255}));

  Bytes luminance = DdsHeader(2, 1, 0x20000, nullptr, 8, 0xFF);
  luminance.insert(luminance.end(), {0x40, 0xC0});
  ASSERT_TRUE(DecodeDds(luminance.data(), luminance.size(), bitmap, error)) << error;
  EXPECT_EQ(bitmap.Pixels, (Bytes{0x40, 0x40, 0x40, 255, 0xC0, 0xC0, 0xC0, 255}));

  // RGBA behind a DX10 header (DXGI R8G8B8A8_UNORM).
  Bytes dx10 = DdsHeader(1, 1, 0x4, "DX10");
  dx10.resize(dx10.size() + 20, 0);
  Put32(dx10, 128, 28);
  dx10.insert(dx10.end(), {10, 20, 30, 40});
  ASSERT_TRUE(DecodeDds(dx10.data(), dx10.size(), bitmap, error)) << error;
  EXPECT_EQ(bitmap.Pixels, (Bytes{10, 20, 30, 40}));
}

TEST(HostBitmap, DdsBlockFormatsDecodeTheirPalettes) {
  // BC1, 4 colours (c0 > c1): red, blue, 2/3 red + 1/3 blue, 1/3 red + 2/3 blue
  // along the first row; a 5 x 3 image clips its second block column.
  Bytes bc1 = DdsHeader(5, 3, 0x4, "DXT1");
  const uint8_t block4[8] = {0x00, 0xF8, 0x1F, 0x00, 0b11100100, 0, 0, 0};
  bc1.insert(bc1.end(), block4, block4 + 8);
  bc1.insert(bc1.end(), block4, block4 + 8);
  Bitmap bitmap;
  std::string error;
  ASSERT_TRUE(DecodeDds(bc1.data(), bc1.size(), bitmap, error)) << error;
  ASSERT_EQ(bitmap.Width, 5);
  ASSERT_EQ(bitmap.Height, 3);
  auto pixel = [&bitmap](int x, int y) {
    const uint8_t* p = &bitmap.Pixels[size_t(y * bitmap.Width + x) * 4];
    return Bytes(p, p + 4);
  };
  EXPECT_EQ(pixel(0, 0), (Bytes{255, 0, 0, 255}));
  EXPECT_EQ(pixel(1, 0), (Bytes{0, 0, 255, 255}));
  EXPECT_EQ(pixel(2, 0), (Bytes{170, 0, 85, 255}));
  EXPECT_EQ(pixel(3, 0), (Bytes{85, 0, 170, 255}));
  EXPECT_EQ(pixel(4, 0), (Bytes{255, 0, 0, 255}));
  EXPECT_EQ(pixel(4, 2), (Bytes{255, 0, 0, 255}));

  // BC1 with c0 <= c1: index 3 is transparent black.
  Bytes punch = DdsHeader(4, 4, 0x4, "DXT1");
  punch.insert(punch.end(), {0x1F, 0x00, 0x00, 0xF8, 0b11, 0, 0, 0});
  ASSERT_TRUE(DecodeDds(punch.data(), punch.size(), bitmap, error)) << error;
  EXPECT_EQ(pixel(0, 0), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(pixel(1, 0), (Bytes{0, 0, 255, 255}));

  // BC2: explicit 4-bit alpha; BC3: interpolated alpha (a0 255, a1 0,
  // index 2 is 6/7 of a0).
  Bytes bc2 = DdsHeader(4, 4, 0x4, "DXT3");
  bc2.insert(bc2.end(), {0xF0, 0, 0, 0, 0, 0, 0, 0});
  bc2.insert(bc2.end(), block4, block4 + 8);
  ASSERT_TRUE(DecodeDds(bc2.data(), bc2.size(), bitmap, error)) << error;
  EXPECT_EQ(pixel(0, 0), (Bytes{255, 0, 0, 0}));
  EXPECT_EQ(pixel(1, 0), (Bytes{0, 0, 255, 255}));
  Bytes bc3 = DdsHeader(4, 4, 0x4, "DXT5");
  bc3.insert(bc3.end(), {255, 0, 0b010001, 0, 0, 0, 0, 0});
  bc3.insert(bc3.end(), block4, block4 + 8);
  ASSERT_TRUE(DecodeDds(bc3.data(), bc3.size(), bitmap, error)) << error;
  EXPECT_EQ(pixel(0, 0)[3], 0);    // index 1: a1
  EXPECT_EQ(pixel(1, 0)[3], 218);  // index 2
  EXPECT_EQ(pixel(2, 0)[3], 255);  // index 0: a0
}

TEST(HostBitmap, TruncatedAtEveryByteIsAnErrorNeverACrash) {
  for (const char* format : {"png", "bmp", "tga", "jpg", "dds", "dxt"}) {
    SCOPED_TRACE(format);
    Bytes file = std::string(format) == "dds" ? Dds32(true) : Encode(format);
    if (std::string(format) == "dxt") {
      file = DdsHeader(8, 8, 0x4, "DXT5");
      file.resize(file.size() + 64, 0x5A);
    }
    // A PNG cut inside its closing (empty) chunk still has every pixel.
    size_t end = std::string(format) == "png" ? file.size() - 4 : file.size();
    for (size_t size = 0; size < end; ++size) {
      Bytes cut(file.begin(), file.begin() + long(size));
      Bitmap bitmap;
      bitmap.Width = 77;
      std::string error;
      EXPECT_FALSE(DecodeBitmap(cut.data(), cut.size(), bitmap, error)) << size;
      EXPECT_FALSE(error.empty()) << size;
      EXPECT_EQ(bitmap.Width, 77) << "untouched on failure";
    }
  }
}

TEST(HostBitmap, LyingOrUnknownHeadersAreRefusedByName) {
  Bytes huge = DdsHeader(16384, 16384, 0x4, "DXT1");  // 16 bytes of a 16384 x 16384 image
  huge.resize(huge.size() + 16, 0);
  Bytes ati2 = DdsHeader(4, 4, 0x4, "ATI2");
  ati2.resize(ati2.size() + 16, 0);
  Bytes badMask = DdsHeader(1, 1, 0x40, nullptr, 8, 0xFF00);
  badMask.push_back(0);
  Bytes damaged = Dds32(false);
  Put32(damaged, 4, 100);
  // A PNG whose header claims a side beyond the cap: refused before decoding.
  Bytes png = Encode("png");
  png[16] = 0, png[17] = 0, png[18] = 0x50, png[19] = 0;  // width 20480
  const struct {
    Bytes file;
    const char* said;  // a part of the error
  } cases[] = {
      {huge, "truncated"},
      {DdsHeader(kMaxBitmapSide + 1, 1, 0x4, "DXT1"), "16385 x 1"},
      {DdsHeader(0, 4, 0x4, "DXT1"), ""},
      {ati2, "FourCC 'ATI2'"},
      {badMask, ""},
      {damaged, "damaged"},
      {png, ""},
      {Bytes(64, 0x37), "not an image"},
  };
  for (const auto& c : cases) {
    Bitmap bitmap;
    std::string error;
    EXPECT_FALSE(DecodeBitmap(c.file.data(), c.file.size(), bitmap, error)) << c.said;
    EXPECT_FALSE(error.empty()) << c.said;
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
    EXPECT_EQ(bitmap.Width, 0);
  }
}

TEST(HostBitmap, HostBitmapsComeFromTheirEmbeddedImageOrTheirFile) {
  Material map;
  map.Class = kBitmapTextureClass;
  map.FileName = "*0";
  Bytes png = Encode("png");
  map.EmbeddedImage = png;
  Bitmap bitmap;
  std::string error;
  ASSERT_TRUE(LoadHostBitmap(map, bitmap, error)) << error;
  ExpectPixels(bitmap, 0);

  std::filesystem::path dir = std::filesystem::path(KETREL_BINARY_DIR) / "test_host_bitmap";
  std::filesystem::create_directories(dir);
  std::string path = (dir / "pixels.tga").string();
  Bytes tga = Encode("tga");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(tga.data()), std::streamsize(tga.size()));
  map.EmbeddedImage.clear();
  map.ResolvedFileName = path;
  ASSERT_TRUE(LoadHostBitmap(map, bitmap, error)) << error;
  ExpectPixels(bitmap, 0);
  map.ResolvedFileName = (dir / "missing.png").string();
  EXPECT_FALSE(LoadHostBitmap(map, bitmap, error));
  EXPECT_NE(error.find("missing.png"), std::string::npos) << error;
}

}  // namespace
}  // namespace ketrel::host
