// DDS images: the header, uncompressed pixels described by bit masks, and the
// block-compressed BC1/BC2/BC3 (DXT1, DXT3, DXT5) formats. Standard library
// only. Every size is checked against the bytes present before anything is
// allocated or read.
#include <cstring>

#include "export/host/host_bitmap.h"

namespace ketrel::host {
namespace {

constexpr size_t kMagicSize = 4;
constexpr size_t kHeaderSize = 124;
constexpr size_t kDx10HeaderSize = 20;
constexpr uint32_t kFourCcFlag = 0x4;
constexpr uint32_t kAlphaPixelsFlag = 0x1;
constexpr uint32_t kAlphaOnlyFlag = 0x2;
constexpr uint32_t kLuminanceFlag = 0x20000;

uint32_t Read32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t FourCc(const char (&code)[5]) {
  return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 |
         uint32_t(uint8_t(code[2])) << 16 | uint32_t(uint8_t(code[3])) << 24;
}

std::string FourCcText(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = char((code >> (8 * i)) & 0xFF);
    text += c >= 32 && c < 127 ? c : '?';
  }
  return text;
}

enum class Format { Masked, Bc1, Bc2, Bc3 };

struct Layout {
  Format Kind = Format::Masked;
  uint32_t BitCount = 0;
  uint32_t Masks[4] = {0, 0, 0, 0};  // r, g, b, a
  bool Luminance = false;
};

// One channel out of a pixel by its mask, scaled to 0..255.
uint8_t Channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  int shift = 0;
  while (!(mask & (1u << shift))) ++shift;
  uint32_t max = mask >> shift;
  uint32_t value = (pixel & mask) >> shift;
  return uint8_t((uint64_t(value) * 255 + max / 2) / max);
}

void DecodeMasked(const uint8_t* data, const Layout& layout, uint32_t width, uint32_t height,
                  uint8_t* out) {
  size_t bytes = layout.BitCount / 8;
  bool alpha = layout.Masks[3] != 0;
  for (size_t i = 0; i < size_t(width) * height; ++i) {
    uint32_t pixel = 0;
    for (size_t b = 0; b < bytes; ++b) pixel |= uint32_t(data[i * bytes + b]) << (8 * b);
    uint8_t* o = out + i * 4;
    if (layout.Luminance) {
      o[0] = o[1] = o[2] = Channel(pixel, layout.Masks[0]);
    } else if (layout.Masks[0] | layout.Masks[1] | layout.Masks[2]) {
      o[0] = Channel(pixel, layout.Masks[0]);
      o[1] = Channel(pixel, layout.Masks[1]);
      o[2] = Channel(pixel, layout.Masks[2]);
    } else {  // alpha only: white with that alpha
      o[0] = o[1] = o[2] = 255;
    }
    o[3] = alpha ? Channel(pixel, layout.Masks[3]) : 255;
  }
}

void Expand565(uint16_t c, int out[3]) {
  out[0] = ((c >> 11) & 31) * 255 / 31;
  out[1] = ((c >> 5) & 63) * 255 / 63;
  out[2] = (c & 31) * 255 / 31;
}

// A BC1 colour block into 16 RGBA texels; `fourColour` is forced for BC2/BC3.
void DecodeColourBlock(const uint8_t* block, bool fourColour, uint8_t texels[16][4]) {
  uint16_t c0 = uint16_t(block[0] | block[1] << 8), c1 = uint16_t(block[2] | block[3] << 8);
  int palette[4][4];
  Expand565(c0, palette[0]);
  Expand565(c1, palette[1]);
  palette[0][3] = palette[1][3] = 255;
  if (fourColour || c0 > c1) {
    for (int k = 0; k < 3; ++k) {
      palette[2][k] = (2 * palette[0][k] + palette[1][k]) / 3;
      palette[3][k] = (palette[0][k] + 2 * palette[1][k]) / 3;
    }
    palette[2][3] = palette[3][3] = 255;
  } else {
    for (int k = 0; k < 3; ++k) palette[2][k] = (palette[0][k] + palette[1][k]) / 2;
    palette[2][3] = 255;
    palette[3][0] = palette[3][1] = palette[3][2] = palette[3][3] = 0;
  }
  uint32_t indices = Read32(block + 4);
  for (int t = 0; t < 16; ++t) {
    const int* c = palette[(indices >> (2 * t)) & 3];
    for (int k = 0; k < 4; ++k) texels[t][k] = uint8_t(c[k]);
  }
}

void DecodeInterpolatedAlpha(const uint8_t* block, uint8_t texels[16][4]) {
  int a[8] = {block[0], block[1]};
  if (a[0] > a[1]) {
    for (int k = 1; k < 7; ++k) a[k + 1] = ((7 - k) * a[0] + k * a[1]) / 7;
  } else {
    for (int k = 1; k < 5; ++k) a[k + 1] = ((5 - k) * a[0] + k * a[1]) / 5;
    a[6] = 0;
    a[7] = 255;
  }
  uint64_t bits = 0;
  for (int b = 0; b < 6; ++b) bits |= uint64_t(block[2 + b]) << (8 * b);
  for (int t = 0; t < 16; ++t) texels[t][3] = uint8_t(a[(bits >> (3 * t)) & 7]);
}

void DecodeBlocks(const uint8_t* data, Format kind, uint32_t width, uint32_t height, uint8_t* out) {
  size_t blockSize = kind == Format::Bc1 ? 8 : 16;
  uint32_t blocksWide = (width + 3) / 4, blocksHigh = (height + 3) / 4;
  for (uint32_t by = 0; by < blocksHigh; ++by) {
    for (uint32_t bx = 0; bx < blocksWide; ++bx) {
      const uint8_t* block = data + (size_t(by) * blocksWide + bx) * blockSize;
      uint8_t texels[16][4];
      if (kind == Format::Bc1) {
        DecodeColourBlock(block, false, texels);
      } else {
        DecodeColourBlock(block + 8, true, texels);
        if (kind == Format::Bc2) {
          for (int t = 0; t < 16; ++t)
            texels[t][3] = uint8_t(((block[t / 2] >> (4 * (t & 1))) & 15) * 17);
        } else {
          DecodeInterpolatedAlpha(block, texels);
        }
      }
      for (uint32_t y = 0; y < 4 && by * 4 + y < height; ++y) {
        for (uint32_t x = 0; x < 4 && bx * 4 + x < width; ++x) {
          std::memcpy(out + ((size_t(by) * 4 + y) * width + bx * 4 + x) * 4, texels[y * 4 + x], 4);
        }
      }
    }
  }
}

// The DXGI formats of a DX10 header that we read.
bool LayoutFromDxgi(uint32_t format, Layout& layout) {
  switch (format) {
    case 71:  // BC1_UNORM
    case 72:  // BC1_UNORM_SRGB
      layout.Kind = Format::Bc1;
      return true;
    case 74:
    case 75:
      layout.Kind = Format::Bc2;
      return true;
    case 77:
    case 78:
      layout.Kind = Format::Bc3;
      return true;
    case 28:  // R8G8B8A8_UNORM
    case 29:
      layout = {Format::Masked, 32, {0xFF, 0xFF00, 0xFF0000, 0xFF000000u}, false};
      return true;
    case 87:  // B8G8R8A8_UNORM
    case 91:
      layout = {Format::Masked, 32, {0xFF0000, 0xFF00, 0xFF, 0xFF000000u}, false};
      return true;
    case 88:  // B8G8R8X8_UNORM
    case 93:
      layout = {Format::Masked, 32, {0xFF0000, 0xFF00, 0xFF, 0}, false};
      return true;
    default:
      return false;
  }
}

}  // namespace

bool IsDds(const uint8_t* data, size_t size) {
  return data && size >= kMagicSize && std::memcmp(data, "DDS ", kMagicSize) == 0;
}

bool DecodeDds(const uint8_t* data, size_t size, Bitmap& out, std::string& error) {
  if (!IsDds(data, size)) {
    error = "not a DDS file";
    return false;
  }
  if (size < kMagicSize + kHeaderSize) {
    error = "the DDS file is truncated: its header needs " +
            std::to_string(kMagicSize + kHeaderSize) + " bytes, the file has " +
            std::to_string(size);
    return false;
  }
  const uint8_t* header = data + kMagicSize;
  uint32_t headerSize = Read32(header), height = Read32(header + 8), width = Read32(header + 12);
  uint32_t formatSize = Read32(header + 72), formatFlags = Read32(header + 76);
  uint32_t fourCc = Read32(header + 80);
  if (headerSize != kHeaderSize || formatSize != 32) {
    error = "the DDS header is damaged (sizes " + std::to_string(headerSize) + " and " +
            std::to_string(formatSize) + " instead of 124 and 32)";
    return false;
  }
  if (width == 0 || height == 0 || width > uint32_t(kMaxBitmapSide) ||
      height > uint32_t(kMaxBitmapSide)) {
    error = "the DDS image is " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels (1 to " + std::to_string(kMaxBitmapSide) + " on each side are read)";
    return false;
  }
  size_t offset = kMagicSize + kHeaderSize;
  Layout layout;
  if (formatFlags & kFourCcFlag) {
    if (fourCc == FourCc("DXT1")) {
      layout.Kind = Format::Bc1;
    } else if (fourCc == FourCc("DXT2") || fourCc == FourCc("DXT3")) {
      layout.Kind = Format::Bc2;
    } else if (fourCc == FourCc("DXT4") || fourCc == FourCc("DXT5")) {
      layout.Kind = Format::Bc3;
    } else if (fourCc == FourCc("DX10")) {
      if (size < offset + kDx10HeaderSize) {
        error = "the DDS file is truncated inside its DX10 header";
        return false;
      }
      uint32_t dxgi = Read32(data + offset);
      offset += kDx10HeaderSize;
      if (!LayoutFromDxgi(dxgi, layout)) {
        error = "unsupported DDS pixel format (DXGI format " + std::to_string(dxgi) + ")";
        return false;
      }
    } else {
      error = "unsupported DDS pixel format (FourCC '" + FourCcText(fourCc) + "')";
      return false;
    }
  } else {
    layout.BitCount = Read32(header + 84);
    for (int k = 0; k < 4; ++k) layout.Masks[k] = Read32(header + 88 + 4 * k);
    layout.Luminance = formatFlags & kLuminanceFlag;
    if (!(formatFlags & (kAlphaPixelsFlag | kAlphaOnlyFlag))) layout.Masks[3] = 0;
    bool sized = layout.BitCount == 8 || layout.BitCount == 16 || layout.BitCount == 24 ||
                 layout.BitCount == 32;
    uint64_t limit = layout.BitCount >= 32 ? ~0u : (1ull << layout.BitCount) - 1;
    bool masksFit =
        sized && (layout.Masks[0] | layout.Masks[1] | layout.Masks[2] | layout.Masks[3]) <= limit;
    if (!masksFit || (layout.Masks[0] | layout.Masks[1] | layout.Masks[2] | layout.Masks[3]) == 0) {
      error = "unsupported DDS pixel format (" + std::to_string(layout.BitCount) +
              " bits per pixel with masks that do not fit them)";
      return false;
    }
  }

  uint64_t needed = layout.Kind == Format::Masked ? uint64_t(width) * height * (layout.BitCount / 8)
                                                  : uint64_t((width + 3) / 4) * ((height + 3) / 4) *
                                                        (layout.Kind == Format::Bc1 ? 8 : 16);
  if (size - offset < needed) {
    error = "the DDS file is truncated: its pixels need " + std::to_string(needed) +
            " bytes, the file has " + std::to_string(size - offset);
    return false;
  }
  Bitmap result;
  result.Width = int32_t(width);
  result.Height = int32_t(height);
  result.Pixels.resize(size_t(width) * height * 4);
  if (layout.Kind == Format::Masked) {
    DecodeMasked(data + offset, layout, width, height, result.Pixels.data());
  } else {
    DecodeBlocks(data + offset, layout.Kind, width, height, result.Pixels.data());
  }
  // DXT1 has alpha only where a block uses its transparent colour.
  result.HasAlpha = layout.Kind == Format::Bc2 || layout.Kind == Format::Bc3 ||
                    (layout.Kind == Format::Masked && layout.Masks[3] != 0);
  for (size_t i = 3; layout.Kind == Format::Bc1 && !result.HasAlpha && i < result.Pixels.size();
       i += 4)
    result.HasAlpha = result.Pixels[i] != 255;
  out = std::move(result);
  return true;
}

}  // namespace ketrel::host
