#pragma once
// The textures and materials phases of an export.
//
// Textures: every included texture node becomes one `texture`, sized, flipped,
// mip-mapped and encoded by the texture builder in the format its settings
// choose; its pixel bytes go to the "Pixel data" section. A texture whose
// image cannot be had, or whose data is excluded, becomes an empty named
// texture (0 x 0, raw RGBA), with a warning naming it and the file when its
// image could not be read.
//
// Materials: pass one makes a `material` for every included material node so
// that pass two can point maps at any material of the file; pass two fills
// each material's maps and, for a texture map, its `Texture`.
//
// Both return false only when the export must stop (memory, a full array, or
// cancel); everything about a single texture is a warning.

#include <cstdint>

#include "export/ketrel_scene_parser.h"

namespace ketrel {

struct texture_builder;

bool ConvertTextures(SceneParser* parser);
// ketrel_material_conversion.cpp
bool CreateMaterials(SceneParser* parser);
bool FillMaterials(SceneParser* parser);

// The texture settings' format choices ("Compression Types").
namespace texture_format {
inline constexpr uint32_t RawRGB888 = 20;
inline constexpr uint32_t RawRGBA8888 = 42;
inline constexpr uint32_t S3TCNoAlpha = 22;
inline constexpr uint32_t S3TCOneBitAlpha = 49;
inline constexpr uint32_t S3TCExplicitAlpha = 50;
inline constexpr uint32_t S3TCInterpolatedAlpha = 51;
inline constexpr uint32_t S3TCAutoAlpha = 34;
inline constexpr uint32_t YCoCg = 285;
inline constexpr uint32_t Murra = 134;
inline constexpr uint32_t MurraAlpha = 135;
inline constexpr uint32_t DetermineFromSource = 236;
}  // namespace texture_format

// What the textures phase decides for one image, apart from encoding it.
struct TexturePlan {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t MipLevels = 1;
  uint32_t Format = 0;  // a choice id, after "Determine from Source"
};

// Begins the builder of a format choice (current and older raw ids, S3TC,
// YCoCg); null with `known` false for a choice this exporter does not know
// (Murra included), null with `known` true when the builder refuses the size.
texture_builder* BeginTextureForFormat(uint32_t choice, int32_t width, int32_t height, bool& known);

// The nearer power of two around `size` (ties go up), at least 1.
int32_t NearestPowerOfTwo(int32_t size);
// Mip levels of a width x height texture: halving until either side is 0,
// or with `full` until both are.
int32_t CountMipLevels(int32_t width, int32_t height, bool full);
// "Determine from Source": the choice a source file name (".dds" in any
// case) and its image suggest; `alpha` says whether the image counts as
// having alpha.
uint32_t FormatFromSource(const char* fileName, bool alpha, const ToolImage& image);

}  // namespace ketrel
