// "Texture settings": sizes, mip maps, flips and the pixel formats of
// exported textures.
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_settings_schema_rows.h"

namespace ketrel::schema {
namespace {

const PropertyRow kTexture[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Bool(12, "Force width to closest power of 2", true, 1, 0,
         "Resizes the texture so that its width is a power of two."),
    Pow2(13, "Maximum width", 10, 0, 12, 1, 0, "Wider textures are reduced to this width."),
    Separator(11),
    Bool(15, "Force height to closest power of 2", true, 1, 0,
         "Resizes the texture so that its height is a power of two."),
    Pow2(16, "Maximum height", 10, 0, 12, 1, 0, "Taller textures are reduced to this height."),
    Separator(14),
    Bool(27, "Generate MIP maps", false, 1, 0, "Builds a series of mip levels."),
    Bool(253, "Full mip series", false, 1, 27,
         "For non-square textures, continues the series down to 1x1."),
    Separator(28),
    Bool(233, "Flip texture vertically", false, 1, 0, "Mirrors the image top to bottom."),
    Bool(234, "Flip texture horizontally", false, 1, 0, "Mirrors the image left to right."),
    Separator(235),
    Bool(248, "Treat Alpha = 1 textures as RGB", false, 1, 0,
         "Scans the alpha channel; textures that are opaque everywhere use the no-alpha format."),
    TextureFormats(19, "No alpha", 134, kFormatYuvDefault | kFormatOfferYCoCg,
                   "Format for colour textures without alpha."),
    Separator(79),
    TextureFormats(36, "Alpha", 135, kFormatYuvDefault, "Format for colour textures with alpha."),
    Separator(102),
    TextureFormats(103, "Normal/bump without alpha", 134, kFormatOfferYCoCg,
                   "Format for normal or bump maps without alpha."),
    Separator(104),
    TextureFormats(105, "Normal/bump with alpha", 135, 0,
                   "Format for normal or bump maps with alpha."),
};

}  // namespace

const CategoryTable kTextureCategory = {SettingsCategory::Texture, 10, "Texture settings",
                                        "Settings of the exported textures.", Table(kTexture)};

}  // namespace ketrel::schema

namespace ketrel {

bool IsLegacyChoice(uint32_t listId, uint32_t choiceId) {
  constexpr uint32_t kCompressionTypes = 23;
  return listId == kCompressionTypes &&
         (choiceId == 21 || choiceId == 37 || (choiceId >= 38 && choiceId <= 48));
}

}  // namespace ketrel
