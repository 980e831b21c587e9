#pragma once
// Decoding the host's bitmap files into RGBA pixels: PNG, JPEG, TGA and BMP
// through stb_image, DDS (uncompressed masks, DXT1/3/5 i.e. BC1/2/3, also
// behind a DX10 header) through our own reader (host_dds.cpp, standard
// library only, so the fuzzers build it without the host's libraries).
//
// Every input is treated as hostile: a truncated, corrupt or oversized image
// gives false and a message naming what is wrong, never a crash or an
// allocation the file's own size does not back. On failure `out` is left
// untouched.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ketrel::host {

struct Material;

// Images beyond this width or height are refused.
inline constexpr int32_t kMaxBitmapSide = 16384;

struct Bitmap {
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<uint8_t> Pixels;  // 4 bytes (r, g, b, a) per pixel, top row first
  bool HasAlpha = false;        // the file stores alpha (else every alpha is 255)
};

// An image file's bytes, in any of the formats above (told by their content).
bool DecodeBitmap(const uint8_t* data, size_t size, Bitmap& out, std::string& error);
bool LoadBitmapFile(const std::string& path, Bitmap& out, std::string& error);
// A host bitmap map: the image the scene embeds, else its resolved file.
bool LoadHostBitmap(const Material& map, Bitmap& out, std::string& error);

// DDS only: the top mip level of the first surface.
bool IsDds(const uint8_t* data, size_t size);
bool DecodeDds(const uint8_t* data, size_t size, Bitmap& out, std::string& error);

}  // namespace ketrel::host
