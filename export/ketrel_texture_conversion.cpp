#include "export/ketrel_texture_conversion.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_data_tree_writer.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_texture_builder.h"

namespace ketrel {
namespace {

// Texture settings.
constexpr uint32_t kForceWidthPow2 = 12, kMaxWidth = 13, kForceHeightPow2 = 15, kMaxHeight = 16;
constexpr uint32_t kGenerateMips = 27, kFullMipSeries = 253;
constexpr uint32_t kFlipVertically = 233, kFlipHorizontally = 234, kOpaqueAsRGB = 248;
constexpr uint32_t kNoAlphaFormat = 19, kAlphaFormat = 36;
constexpr uint32_t kBumpNoAlphaFormat = 103, kBumpAlphaFormat = 105;
// File settings: the section for pixel bytes, and where it goes by default.
constexpr uint32_t kPixelDataPlacement = 132, kTextureSection = 5;

// Raw layouts: the current choices and the older ids stored scenes may carry.
struct RawChoice {
  uint32_t id;
  int32_t bytes;
  int32_t shift[4];
  int32_t bits[4];
};
const RawChoice kRawChoices[] = {
    {20, 3, {0, 8, 16, 0}, {8, 8, 8, 0}},  {42, 4, {0, 8, 16, 24}, {8, 8, 8, 8}},
    {38, 2, {0, 5, 10, 0}, {5, 5, 5, 0}},  {43, 2, {0, 5, 10, 0}, {5, 5, 5, 0}},
    {39, 2, {0, 5, 11, 0}, {5, 6, 5, 0}},  {40, 2, {0, 5, 10, 15}, {5, 5, 5, 1}},
    {41, 2, {0, 4, 8, 12}, {4, 4, 4, 4}},  {44, 2, {11, 5, 0, 0}, {5, 6, 5, 0}},
    {45, 2, {10, 5, 0, 15}, {5, 5, 5, 1}}, {46, 2, {8, 4, 0, 12}, {4, 4, 4, 4}},
    {47, 3, {16, 8, 0, 0}, {8, 8, 8, 0}},  {48, 4, {16, 8, 0, 24}, {8, 8, 8, 8}},
};
constexpr int32_t kRawAlignment = 4;

bool IsMurra(uint32_t choice) {
  return choice == 134 || choice == 135 || choice == 21 || choice == 37;
}

const RawChoice* FindRaw(uint32_t choice) {
  for (const RawChoice& raw : kRawChoices)
    if (raw.id == choice) return &raw;
  return nullptr;
}

texture_builder* BeginRaw(const RawChoice& raw, int32_t width, int32_t height) {
  return BeginRawTexture(width, height, MakePixelLayout(raw.bytes, raw.shift, raw.bits),
                         kRawAlignment);
}

}  // namespace

texture_builder* BeginTextureForFormat(uint32_t choice, int32_t width, int32_t height,
                                       bool& known) {
  known = true;
  if (const RawChoice* raw = FindRaw(choice)) return BeginRaw(*raw, width, height);
  switch (choice) {
    case texture_format::S3TCNoAlpha:
      return BeginS3TCTexture(width, height, kS3TCNoAlpha);
    case texture_format::S3TCOneBitAlpha:
      return BeginS3TCTexture(width, height, kS3TCOneBitAlpha);
    case texture_format::S3TCExplicitAlpha:
      return BeginS3TCTexture(width, height, kS3TCExplicitAlpha);
    case texture_format::S3TCInterpolatedAlpha:
      return BeginS3TCTexture(width, height, kS3TCInterpolatedAlpha);
    case texture_format::S3TCAutoAlpha:
      return BeginBestMatchS3TCTexture(width, height);
    case texture_format::YCoCg:
      return BeginYCoCgTexture(width, height);
    default:
      known = false;
      return nullptr;
  }
}

namespace {

texture_builder* BeginEmpty() { return BeginRaw(*FindRaw(texture_format::RawRGBA8888), 0, 0); }

bool EndsWithDds(const char* name) {
  size_t length = name ? std::strlen(name) : 0;
  if (length < 4) return false;
  const char* tail = name + length - 4;
  const char* dds = ".dds";
  for (int i = 0; i < 4; ++i)
    if (std::tolower(static_cast<unsigned char>(tail[i])) != dds[i]) return false;
  return true;
}

bool AllOpaque(const ToolImage& image) {
  for (int32_t y = 0; y < image.Height; ++y) {
    const uint8_t* row = image.Pixels.data() + size_t(y) * size_t(image.Stride);
    for (int32_t x = 0; x < image.Width; ++x)
      if (row[4 * x + 3] != 255) return false;
  }
  return true;
}

void Flip(ToolImage& image, bool vertically, bool horizontally) {
  const size_t stride = size_t(image.Stride);
  uint8_t* pixels = image.Pixels.data();
  if (vertically) {
    for (int32_t top = 0, bottom = image.Height - 1; top < bottom; ++top, --bottom)
      std::swap_ranges(pixels + stride * size_t(top), pixels + stride * size_t(top + 1),
                       pixels + stride * size_t(bottom));
  }
  if (horizontally) {
    for (int32_t y = 0; y < image.Height; ++y) {
      uint32_t* row = reinterpret_cast<uint32_t*>(pixels + stride * size_t(y));
      std::reverse(row, row + image.Width);
    }
  }
}

// Sizes, mip levels and the format choice of an image under its settings.
TexturePlan PlanTexture(const SettingsItem* settings, const ToolImage& image, bool bump,
                        const char* fileName) {
  TexturePlan plan;
  auto side = [settings](int32_t size, uint32_t forceId, uint32_t maxId) {
    if (GetSettingBool(settings, forceId)) size = NearestPowerOfTwo(size);
    const int32_t limit = GetSettingInt(settings, maxId);
    if (limit > 0 && size > limit) size = limit;
    return size < 1 ? 1 : size;
  };
  plan.Width = side(image.Width, kForceWidthPow2, kMaxWidth);
  plan.Height = side(image.Height, kForceHeightPow2, kMaxHeight);
  plan.MipLevels =
      GetSettingBool(settings, kGenerateMips)
          ? CountMipLevels(plan.Width, plan.Height, GetSettingBool(settings, kFullMipSeries))
          : 1;
  bool alpha = image.HasAlpha;
  if (alpha && GetSettingBool(settings, kOpaqueAsRGB) && AllOpaque(image)) alpha = false;
  const uint32_t combobox = bump ? (alpha ? kBumpAlphaFormat : kBumpNoAlphaFormat)
                                 : (alpha ? kAlphaFormat : kNoAlphaFormat);
  plan.Format = GetSettingChoice(settings, combobox);
  if (plan.Format == texture_format::DetermineFromSource)
    plan.Format = FormatFromSource(fileName, alpha, image);
  return plan;
}

void PlacePixels(SceneParser* parser, const texture* object) {
  if (!parser->writer) return;
  const uint32_t section = GetFilePlacement(parser, kPixelDataPlacement, kTextureSection);
  for (int32_t i = 0; i < object->ImageCount; ++i) {
    texture_image image;
    std::memcpy(&image, &object->Images[i], sizeof image);
    for (int32_t l = 0; l < image.MIPLevelCount; ++l) {
      texture_mip_level level;
      std::memcpy(&level, &image.MIPLevels[l], sizeof level);
      if (level.PixelBytes) SetFileSectionForObject(parser->writer, level.PixelBytes, section);
    }
  }
}

// Encodes the node's image as its settings say; null with a warning
// (the caller then stores the empty texture) when it cannot.
texture_builder* EncodeTexture(SceneParser* parser, TextureNode* node, const char* name,
                               const char* fileName) {
  ToolImage image;
  std::string error;
  if (!parser->tool->GetTextureImage(node, image, error)) {
    KT_LOG_WARNING_CODE(Export, warning::TextureByReference, name,
                        "Texture %s stored by reference only: %s", name, error.c_str());
    return nullptr;
  }
  // The host's answer is checked like any input before its rows are read.
  if (image.Width <= 0 || image.Height <= 0 || image.Width > (INT32_MAX - 3) / 4 ||
      image.Stride < image.Width * 4 ||
      image.Pixels.size() / size_t(image.Stride) < size_t(image.Height)) {
    KT_LOG_WARNING_CODE(
        Export, warning::TextureByReference, name,
        "Texture %s stored by reference only: the host gave a damaged %d x %d image", name,
        image.Width, image.Height);
    return nullptr;
  }
  TexturePlan plan = PlanTexture(node->Settings, image, node->Bump, fileName);
  if (GetSettingBool(node->Settings, kFlipVertically) ||
      GetSettingBool(node->Settings, kFlipHorizontally)) {
    Flip(image, GetSettingBool(node->Settings, kFlipVertically),
         GetSettingBool(node->Settings, kFlipHorizontally));
  }
  // Murra has no codec here: the nearest we offer keeps alpha and compresses.
  if (IsMurra(plan.Format)) {
    KT_LOG_WARNING_CODE(Export, warning::TextureFormatSubstituted, name,
                        "Texture %s: Murra still-image compression is not available; stored as "
                        "8-bit S3TC auto alpha",
                        name);
    plan.Format = texture_format::S3TCAutoAlpha;
  }
  bool known = true;
  texture_builder* builder = BeginTextureForFormat(plan.Format, plan.Width, plan.Height, known);
  if (!known) {
    KT_LOG_WARNING_CODE(Export, warning::TextureFormatUnknown, name,
                        "Unrecognized image format identifier for texture %s", name);
    return nullptr;
  }
  if (!builder && plan.Format == texture_format::S3TCAutoAlpha) {
    KT_LOG_WARNING_CODE(Export, warning::TextureFormatSubstituted, name,
                        "Texture %s cannot be compressed at %d x %d; stored as Raw RGBA 8888", name,
                        plan.Width, plan.Height);
    builder = BeginTextureForFormat(texture_format::RawRGBA8888, plan.Width, plan.Height, known);
  }
  if (builder && !EncodeImage(builder, image.Width, image.Height, image.Stride, plan.MipLevels,
                              image.Pixels.data())) {
    AbortTexture(builder);
    builder = nullptr;
  }
  if (!builder) {
    KT_LOG_WARNING_CODE(Export, warning::TextureByReference, name,
                        "Texture %s (%d x %d) could not be encoded; stored by reference only", name,
                        plan.Width, plan.Height);
  }
  return builder;
}

bool ConvertTexture(SceneParser* parser, TextureNode* node) {
  const char* name = parser->tool->GetTextureName(node);
  const char* fileName = parser->tool->GetTextureFileName(node);
  texture_builder* builder = nullptr;
  if (IsReferenceIncluded(node->Settings) && GetSettingBool(node->Settings, setting::IncludeData))
    builder = EncodeTexture(parser, node, name, fileName);
  if (!builder) builder = BeginEmpty();
  const int32_t size = GetTextureBuilderSize(builder);
  void* memory = size > 0 ? KT_PARSER_ALLOCATE(parser, size_t(size)) : nullptr;
  texture* object = EndTextureInPlace(builder, memory);
  if (!object) return false;
  object->FromFileName = InternString(parser, fileName);
  if (!AppendFileObject(parser, object)) return false;
  node->Object = object;
  PlacePixels(parser, object);
  return true;
}

}  // namespace

int32_t NearestPowerOfTwo(int32_t size) {
  if (size <= 1) return 1;
  int64_t below = 1;
  while (below * 2 <= size) below *= 2;
  const int64_t above = below * 2;
  const int64_t nearest = size - below < above - size ? below : above;
  return int32_t(nearest > (int64_t(1) << 30) ? (int64_t(1) << 30) : nearest);
}

int32_t CountMipLevels(int32_t width, int32_t height, bool full) {
  int32_t levels = 0;
  while (full ? (width > 0 || height > 0) : (width > 0 && height > 0)) {
    ++levels;
    width /= 2;
    height /= 2;
  }
  return std::clamp(levels, 1, kMaxMipLevels);
}

uint32_t FormatFromSource(const char* fileName, bool alpha, const ToolImage& image) {
  if (!EndsWithDds(fileName))
    return alpha ? texture_format::RawRGBA8888 : texture_format::RawRGB888;
  if (!alpha) return texture_format::S3TCNoAlpha;
  if (image.Pixels.empty()) return texture_format::S3TCOneBitAlpha;
  for (int32_t y = 0; y < image.Height; ++y) {
    const uint8_t* row = image.Pixels.data() + size_t(y) * size_t(image.Stride);
    for (int32_t x = 0; x < image.Width; ++x)
      if (row[4 * x + 3] != 0 && row[4 * x + 3] != 255) return texture_format::S3TCAutoAlpha;
  }
  return texture_format::S3TCOneBitAlpha;
}

bool ConvertTextures(SceneParser* parser) {
  for (TextureNode* node = parser->graph->Textures; node; node = node->Next) {
    if (!ProgressShouldContinue(parser->progress)) return false;
    const char* name = parser->tool->GetTextureName(node);
    ProgressItem(parser->progress, name && *name ? name : "(unnamed)");
    if (IsReferenceIncluded(node->Settings) && !ConvertTexture(parser, node)) return false;
  }
  return true;
}

}  // namespace ketrel
