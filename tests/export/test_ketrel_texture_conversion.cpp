#include "export/ketrel_texture_conversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/shared/ketrel_requester.h"
#include "rt/ketrel_texture_builder.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/support/log_capture.h"
#include "tests/support/packed_value.h"

namespace ketrel {
namespace {

using test::Value;

// Images, names and material maps answered from tables.
class TextureTool : public test::NeutralTool {
 public:
  struct Source {
    std::string name, file, error;  // error set: the image cannot be had
    ToolImage image;
  };
  std::map<const TextureNode*, Source> textures;
  std::map<const MaterialNode*, std::string> names;
  std::map<const MaterialNode*, std::vector<std::pair<MaterialNode*, std::string>>> maps;
  std::map<const MaterialNode*, TextureNode*> mapTextures;

  const char* GetTextureName(const TextureNode* t) override { return textures[t].name.c_str(); }
  const char* GetTextureFileName(const TextureNode* t) override { return textures[t].file.c_str(); }
  bool GetTextureImage(const TextureNode* t, ToolImage& image, std::string& error) override {
    const Source& source = textures[t];
    if (!source.error.empty()) {
      error = source.error;
      return false;
    }
    image = source.image;
    return true;
  }
  const char* GetMaterialName(const MaterialNode* m) override { return names[m].c_str(); }
  int32_t GetMaterialMapCount(const MaterialNode* m) override { return int32_t(maps[m].size()); }
  MaterialNode* GetMaterialMap(const MaterialNode* m, int32_t i, const char** slot) override {
    *slot = maps[m][size_t(i)].second.c_str();
    return maps[m][size_t(i)].first;
  }
  TextureNode* GetMaterialTexture(const MaterialNode* m) override {
    return mapTextures.count(m) ? mapTextures[m] : nullptr;
  }
};

ToolImage Image(int32_t width, int32_t height, bool alpha, uint8_t alphaValue = 255) {
  ToolImage image;
  image.Width = width;
  image.Height = height;
  image.Stride = width * 4;
  image.HasAlpha = alpha;
  image.Pixels.resize(size_t(width) * size_t(height) * 4);
  for (size_t i = 0; i < image.Pixels.size(); ++i)
    image.Pixels[i] = i % 4 == 3 ? alphaValue : uint8_t(i * 7);
  return image;
}

void Choose(SettingsItem* item, uint32_t combobox, uint32_t choice) {
  RequesterProperty* property = FindPropertyById(item->Requester, combobox);
  ASSERT_NE(property, nullptr);
  ASSERT_TRUE(SelectChoice(property, FindChoiceById(property, choice)));
}

struct Scene : test::ParserHarness {
  TextureTool tool;
  Scene() : ParserHarness(&tool) {
    parser.info = static_cast<file_info*>(KT_PARSER_ALLOCATE(&parser, sizeof(file_info)));
    ReserveFileList(&parser, FileList::Textures, 8);
    ReserveFileList(&parser, FileList::Materials, 8);
  }
  TextureNode* Add(const char* name, const char* file, ToolImage image, std::string error = "") {
    TextureNode* node = AddTextureNode(graph, file);
    node->Settings = Settings(SettingsCategory::Texture);
    tool.textures[node] = {name, file, error, std::move(image)};
    return node;
  }
  MaterialNode* Material(const char* name) {
    MaterialNode* node = AddMaterialNode(graph);
    node->Settings = Settings(SettingsCategory::Material);
    tool.names[node] = name;
    return node;
  }
  texture* Converted(TextureNode* node) {
    EXPECT_TRUE(ConvertTextures(&parser));
    return static_cast<texture*>(node->Object);
  }
};

int32_t Levels(const texture* t) { return t->ImageCount ? t->Images[0].MIPLevelCount : 0; }

TEST(TextureConversion, PowersOfTwoTieUpAndMipCountsFollowTheSides) {
  const std::pair<int32_t, int32_t> nearest[] = {{0, 1},     {1, 1},     {3, 4},     {5, 4},
                                                 {6, 8},     {300, 256}, {384, 512}, {1000, 1024},
                                                 {200, 256}, {96, 128}};
  for (auto [size, expected] : nearest) EXPECT_EQ(NearestPowerOfTwo(size), expected) << size;
  EXPECT_EQ(CountMipLevels(256, 64, false), 7);
  EXPECT_EQ(CountMipLevels(256, 64, true), 9);
  EXPECT_EQ(CountMipLevels(1, 1, false), 1);
  EXPECT_EQ(CountMipLevels(8, 2, true), 4);
}

TEST(TextureConversion, SizesMipsAndFormatFollowTheSettings) {
  struct Case {
    int32_t width, height;
    int32_t maxWidth;  // 0: the default 1024
    bool mips, full;
    int32_t expectWidth, expectHeight, expectLevels;
  } cases[] = {
      {300, 64, 0, false, false, 256, 64, 1},   {384, 64, 0, false, false, 512, 64, 1},
      {384, 64, 256, false, false, 256, 64, 1}, {256, 64, 0, true, false, 256, 64, 7},
      {256, 64, 0, true, true, 256, 64, 9},
  };
  for (const Case& c : cases) {
    Scene scene;
    TextureNode* node = scene.Add("wall", "wall.png", Image(c.width, c.height, false));
    Choose(node->Settings, 19, texture_format::S3TCNoAlpha);
    if (c.maxWidth) {
      ASSERT_TRUE(SetSettingInt(node->Settings, 13, c.maxWidth));
    }
    SetSettingInt(node->Settings, 27, c.mips);
    SetSettingInt(node->Settings, 253, c.full);
    texture* t = scene.Converted(node);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Width, c.expectWidth) << c.width;
    EXPECT_EQ(t->Height, c.expectHeight);
    EXPECT_EQ(Levels(t), c.expectLevels);
    EXPECT_EQ(t->Encoding, kTextureEncodingS3TC);
    EXPECT_EQ(t->SubFormat, kS3TCNoAlpha);
    EXPECT_STREQ(t->FromFileName, "wall.png");
  }
}

TEST(TextureConversion, UnreadableImagesAndMurraWarnNamingTheTexture) {
  test::LogCapture log;
  Scene scene;
  TextureNode* missing = scene.Add("brick", "/maps/brick.png", {}, "cannot open /maps/brick.png");
  TextureNode* murra = scene.Add("skin", "skin.png", Image(16, 16, true, 128));  // default: Murra
  ToolImage shortRows = Image(16, 16, false);
  shortRows.Pixels.resize(16 * 4 * 15);  // a row short
  TextureNode* damaged = scene.Add("short", "short.png", shortRows);
  TextureNode* excluded = scene.Add("off", "off.png", Image(16, 16, false));
  SetSettingInt(excluded->Settings, setting::IncludeData, 0);
  ASSERT_TRUE(ConvertTextures(&scene.parser));
  EXPECT_EQ(scene.parser.info->TextureCount, 4);

  auto* empty = static_cast<texture*>(missing->Object);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->Width, 0);
  EXPECT_EQ(empty->ImageCount, 0);
  EXPECT_EQ(empty->Encoding, kTextureEncodingRaw);
  EXPECT_EQ(empty->Layout.BytesPerPixel, 4);
  EXPECT_STREQ(empty->FromFileName, "/maps/brick.png");
  EXPECT_TRUE(log.Contains("Texture brick stored by reference only: cannot open /maps/brick.png"));

  auto* fallback = static_cast<texture*>(murra->Object);
  EXPECT_EQ(fallback->Encoding, kTextureEncodingS3TC);
  EXPECT_TRUE(fallback->SubFormat == kS3TCExplicitAlpha ||
              fallback->SubFormat == kS3TCInterpolatedAlpha);
  EXPECT_TRUE(log.Contains("Texture skin: Murra"));

  EXPECT_EQ(static_cast<texture*>(damaged->Object)->ImageCount, 0);
  EXPECT_TRUE(
      log.Contains("Texture short stored by reference only: the host gave a damaged 16 x 16"));

  // Excluded data: the empty texture, and nothing to warn about.
  EXPECT_EQ(static_cast<texture*>(excluded->Object)->ImageCount, 0);
  EXPECT_FALSE(log.Contains("off"));
  EXPECT_EQ(log.warnings(), 3u);
}

TEST(TextureConversion, DetermineFromSourceReadsTheFileAndItsAlpha) {
  struct Case {
    const char* file;
    bool alpha;
    uint8_t alphaValue;
    uint32_t expected;
  } cases[] = {
      {"a.dds", false, 255, texture_format::S3TCNoAlpha},
      {"a.DDS", true, 0, texture_format::S3TCOneBitAlpha},  // only 0 and 255
      {"a.Dds", true, 128, texture_format::S3TCAutoAlpha},
      {"a.png", true, 128, texture_format::RawRGBA8888},
      {"a.png", false, 255, texture_format::RawRGB888},
      {"dds", true, 128, texture_format::RawRGBA8888},
  };
  for (const Case& c : cases) {
    ToolImage image = Image(8, 8, c.alpha, c.alphaValue);
    if (c.alphaValue == 0) image.Pixels[3] = 255;  // 0 and 255 both present
    EXPECT_EQ(FormatFromSource(c.file, c.alpha, image), c.expected) << c.file;
  }
  ToolImage alphaWithoutPixels;
  EXPECT_EQ(FormatFromSource("x.dds", true, alphaWithoutPixels), texture_format::S3TCOneBitAlpha);
}

TEST(TextureConversion, OlderFormatIdsStillExportTheirPixels) {
  const std::pair<uint32_t, int32_t> bytes[] = {{38, 2}, {39, 2}, {40, 2}, {41, 2},
                                                {43, 2}, {44, 2}, {45, 2}, {46, 2},
                                                {47, 3}, {48, 4}, {20, 3}, {42, 4}};
  for (auto [id, perPixel] : bytes) {
    bool known = false;
    texture_builder* b = BeginTextureForFormat(id, 4, 4, known);
    ASSERT_TRUE(known);
    ASSERT_NE(b, nullptr) << id;
    ToolImage image = Image(4, 4, true);
    ASSERT_TRUE(EncodeImage(b, 4, 4, 16, 1, image.Pixels.data()));
    std::vector<uint8_t> memory(size_t(GetTextureBuilderSize(b)));
    texture* t = EndTextureInPlace(b, memory.data());
    EXPECT_EQ(t->Layout.BytesPerPixel, perPixel) << id;
    EXPECT_EQ(t->Images[0].MIPLevels[0].PixelByteCount, 16 * perPixel) << id;
  }
  bool known = true;
  EXPECT_EQ(BeginTextureForFormat(999, 4, 4, known), nullptr);
  EXPECT_FALSE(known);
}

// Settings stored by an older exporter name texture formats that no choice
// has any more: reading keeps such an id (and only such), storing keeps it,
// the textures phase honours it, and selecting a choice replaces it.
TEST(TextureConversion, StoredOlderFormatIdsReachTheTexturesPhase) {
  test::LogCapture log;
  auto stored = [](uint32_t id) {
    Requester* source = CreateCategoryRequester(SettingsCategory::Texture);
    FindPropertyById(source, 19)->Combobox.Legacy = id;  // as an older scene stored it
    std::vector<uint8_t> blob(RequesterBlobSize(source));
    EXPECT_EQ(WriteRequester(source, blob.data(), blob.size()), blob.size());
    DestroyRequester(source);
    return blob;
  };
  Scene scene;
  TextureNode* node = scene.Add("old", "old.png", Image(4, 4, false));
  std::vector<uint8_t> blob = stored(44);
  ASSERT_TRUE(ReadRequester(node->Settings->Requester, blob.data(), blob.size()));
  EXPECT_EQ(GetSettingChoice(node->Settings, 19), 44u);
  EXPECT_EQ(stored(44), blob);  // stored again as it was read
  texture* t = scene.Converted(node);
  ASSERT_NE(t, nullptr);
  const pixel_layout layout = Value(t->Layout);
  EXPECT_EQ(layout.BytesPerPixel, 2);  // 5-6-5 with red at bit 11
  EXPECT_EQ(layout.ShiftForComponent[0], 11);
  EXPECT_EQ(layout.BitsForComponent[1], 6);

  std::vector<uint8_t> unknown = stored(999);
  ASSERT_TRUE(ReadRequester(node->Settings->Requester, unknown.data(), unknown.size()));
  EXPECT_TRUE(log.Contains("Unknown choice 999"));
  EXPECT_EQ(GetSettingChoice(node->Settings, 19), 44u);  // the older id stays
  Choose(node->Settings, 19, texture_format::RawRGB888);
  EXPECT_EQ(GetSettingChoice(node->Settings, 19), texture_format::RawRGB888);
}

TEST(TextureConversion, FlipsMirrorTheImage) {
  Scene scene;
  ToolImage image = Image(2, 2, true);
  const uint32_t pixels[4] = {0x01010101, 0x02020202, 0x03030303, 0x04040404};
  std::memcpy(image.Pixels.data(), pixels, sizeof pixels);
  TextureNode* node = scene.Add("flip", "flip.png", image);
  Choose(node->Settings, 36, texture_format::RawRGBA8888);
  SetSettingInt(node->Settings, 233, 1);
  SetSettingInt(node->Settings, 234, 1);
  texture* t = scene.Converted(node);
  ASSERT_NE(t, nullptr);
  uint32_t out[4];
  std::memcpy(out, t->Images[0].MIPLevels[0].PixelBytes, sizeof out);
  EXPECT_EQ(out[0], pixels[3]);
  EXPECT_EQ(out[1], pixels[2]);
  EXPECT_EQ(out[2], pixels[1]);
  EXPECT_EQ(out[3], pixels[0]);
}

TEST(TextureConversion, MaterialsMapExportedMaterialsAndTheirTextures) {
  test::LogCapture log;
  Scene scene;
  TextureNode* diffuse = scene.Add("diffuse", "d.png", Image(4, 4, false));
  MaterialNode* body = scene.Material("body");
  MaterialNode* map = scene.Material("body diffuse");
  MaterialNode* hidden = scene.Material("hidden bump");
  SetSettingInt(hidden->Settings, setting::IncludeReference, 0);
  scene.tool.maps[body] = {{map, "Diffuse"}, {hidden, "Bump"}, {map, ""}, {nullptr, "Opacity"}};
  scene.tool.mapTextures[map] = diffuse;
  ASSERT_TRUE(ConvertTextures(&scene.parser));
  ASSERT_TRUE(CreateMaterials(&scene.parser));
  ASSERT_TRUE(FillMaterials(&scene.parser));
  EXPECT_EQ(scene.parser.info->MaterialCount, 2);
  auto* object = static_cast<material*>(body->Object);
  ASSERT_EQ(object->MapCount, 1);
  EXPECT_STREQ(object->Maps[0].Usage, "Diffuse");
  EXPECT_EQ(Value(object->Maps[0].Map), map->Object);
  EXPECT_EQ(Value(static_cast<material*>(map->Object)->Texture), diffuse->Object);
  EXPECT_EQ(Value(object->Texture), nullptr);
  EXPECT_TRUE(log.Contains("Material body: its Bump map (hidden bump) is not exported"));
}

}  // namespace
}  // namespace ketrel
