#include "export/host/host_bitmap.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "export/host/host_scene.h"

// Our own copy of stb_image, private to this file: only the four formats we
// read (less to trust with hostile input), built with our flags (sanitizers
// see into it), no stdio (we read files ourselves), sides capped.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_TGA
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STBI_MAX_DIMENSIONS 16384
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace ketrel::host {
namespace {

// What the file's first bytes say it is, for messages.
const char* Kind(const uint8_t* data, size_t size) {
  if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) return "PNG";
  if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return "JPEG";
  if (size >= 2 && data[0] == 'B' && data[1] == 'M') return "BMP";
  return nullptr;
}

uint32_t Little(const uint8_t* p, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint32_t(p[i]) << (8 * i);
  return value;
}

// stb_image reads zeros past the end of a BMP or TGA, so a truncated file
// would decode as an image with black rows. The pixels these formats need
// are counted from their headers (and TGA's run-length packets) first.
bool BmpComplete(const uint8_t* data, size_t size) {
  if (size < 30) return false;
  uint32_t offset = Little(data + 10, 4), headerSize = Little(data + 14, 4);
  int64_t width, height;
  uint32_t bits;
  if (headerSize == 12) {
    width = Little(data + 18, 2);
    height = Little(data + 20, 2);
    bits = Little(data + 24, 2);
  } else {
    width = int32_t(Little(data + 18, 4));
    height = int32_t(Little(data + 22, 4));
    bits = Little(data + 28, 2);
  }
  if (width <= 0 || height == 0 || bits == 0 || bits > 32) return true;  // stb refuses these
  uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
  return uint64_t(offset) + stride * uint64_t(height < 0 ? -height : height) <= size;
}

bool TgaComplete(const uint8_t* data, size_t size) {
  if (size < 18) return false;
  uint32_t type = data[2], bits = data[16];
  uint64_t mapBytes = data[1] ? uint64_t(Little(data + 5, 2)) * ((data[7] + 7) / 8) : 0;
  uint64_t pixels = uint64_t(Little(data + 12, 2)) * Little(data + 14, 2);
  uint64_t pixelBytes = (bits + 7) / 8;
  uint64_t at = 18 + uint64_t(data[0]) + mapBytes;
  if (type < 8) return at + pixels * pixelBytes <= size;
  for (uint64_t done = 0; done < pixels;) {  // run-length packets
    if (at >= size) return false;
    uint8_t packet = data[at++];
    uint64_t count = (packet & 0x7F) + 1;
    at += packet & 0x80 ? pixelBytes : count * pixelBytes;
    done += count;
  }
  return at <= size;
}

}  // namespace

bool DecodeBitmap(const uint8_t* data, size_t size, Bitmap& out, std::string& error) {
  if (!data || size == 0) {
    error = "the image is empty";
    return false;
  }
  if (IsDds(data, size)) return DecodeDds(data, size, out, error);
  if (size > size_t(INT32_MAX)) {
    error = "the image file is too large";
    return false;
  }
  const char* kind = Kind(data, size);
  int width = 0, height = 0, channels = 0;
  // The header first: nothing is allocated for sides beyond the cap.
  if (!stbi_info_from_memory(data, int(size), &width, &height, &channels)) {
    error = kind ? std::string("the ") + kind + " image is damaged (" + stbi_failure_reason() + ")"
                 : "not an image in a format we read (PNG, JPEG, TGA, BMP, DDS)";
    return false;
  }
  if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide) {
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels (1 to " + std::to_string(kMaxBitmapSide) + " on each side are read)";
    return false;
  }
  bool bmp = kind && std::strcmp(kind, "BMP") == 0;
  if (bmp ? !BmpComplete(data, size) : !kind && !TgaComplete(data, size)) {
    error = std::string("the ") + (bmp ? "BMP" : "TGA") + " image is truncated";
    return false;
  }
  stbi_uc* pixels = stbi_load_from_memory(data, int(size), &width, &height, &channels, 4);
  if (!pixels) {
    error = std::string("the ") + (kind ? kind : "TGA") + " image is damaged (" +
            stbi_failure_reason() + ")";
    return false;
  }
  Bitmap result;
  result.Width = width;
  result.Height = height;
  result.Pixels.assign(pixels, pixels + size_t(width) * size_t(height) * 4);
  result.HasAlpha = channels == 2 || channels == 4;
  stbi_image_free(pixels);
  out = std::move(result);
  return true;
}

bool LoadBitmapFile(const std::string& path, Bitmap& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  if (!DecodeBitmap(bytes.data(), bytes.size(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool LoadHostBitmap(const Material& map, Bitmap& out, std::string& error) {
  if (!map.EmbeddedImage.empty()) {
    if (DecodeBitmap(map.EmbeddedImage.data(), map.EmbeddedImage.size(), out, error)) return true;
    error = "the image embedded as " + map.FileName + ": " + error;
    return false;
  }
  const std::string& file = map.ResolvedFileName.empty() ? map.FileName : map.ResolvedFileName;
  if (file.empty()) {
    error = "the bitmap " + map.Name + " names no file";
    return false;
  }
  return LoadBitmapFile(file, out, error);
}

}  // namespace ketrel::host
