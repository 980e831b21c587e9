#include "export/ketrel_settings_schema.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/export/test_ketrel_settings_support.h"

namespace ketrel {
namespace {

TEST(SettingsSchema, ListingMatchesTheGoldenListing) {
  std::vector<uint8_t> golden =
      test::ReadFileBytes(std::string(KETREL_TEST_DATA) + "/settings/schema.txt");
  ASSERT_FALSE(golden.empty());
  std::string listing = FormatSchemaListing();
  EXPECT_EQ(listing, std::string(golden.begin(), golden.end()))
      << "the settings vocabulary changed; ids are stored in scenes and files";
  // The per-category counts, stated here as well so a change is read twice.
  const char* const kCounts[] = {
      "Root settings (id 1): 4 properties, 0 more inside choices\n",
      "File settings (id 69): 48 properties, 0 more inside choices\n",
      "Texture settings (id 10): 17 properties, 16 more inside choices\n",
      "Material settings (id 9): 4 properties, 0 more inside choices\n",
      "Bone settings (id 17): 4 properties, 0 more inside choices\n",
      "Model settings (id 17): 5 properties, 0 more inside choices\n",
      "Mesh settings (id 6): 43 properties, 23 more inside choices\n",
      "Animation settings (id 4): 45 properties, 6 more inside choices\n",
      "TrackGroup settings (id 283): 41 properties, 6 more inside choices\n",
      "Bone animation settings (id 65): 36 properties, 0 more inside choices\n",
      "MorphTrack settings (id 293): 21 properties, 0 more inside choices\n",
  };
  size_t at = 0;
  for (const char* line : kCounts) {
    size_t found = listing.find(line, at);
    ASSERT_NE(found, std::string::npos) << line;
    at = found;
  }
}

TEST(SettingsSchema, CategoriesAreFreshAndJsonIsWellFormed) {
  for (uint32_t i = 0; i < static_cast<uint32_t>(SettingsCategory::Count); ++i) {
    auto category = static_cast<SettingsCategory>(i);
    Requester* a = CreateCategoryRequester(category);
    Requester* b = CreateCategoryRequester(category);
    ASSERT_NE(a, nullptr) << SettingsCategoryLabel(category);
    EXPECT_EQ(a->Id, SettingsCategoryId(category));
    SetPropertyInt(FindPropertyById(a, setting::IncludeReference), 0);
    // No shared state: the second copy keeps its default.
    if (RequesterProperty* p = FindPropertyById(b, setting::IncludeReference)) {
      EXPECT_EQ(GetPropertyInt(p), 1);
    }
    DestroyRequester(a);
    DestroyRequester(b);
  }
  std::string json = FormatSchemaJson();
  ASSERT_FALSE(json.empty());
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (inString) {
      if (c == '\\') ++i;
      if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      ASSERT_GE(--depth, 0);
    }
  }
  EXPECT_EQ(depth, 0);
  EXPECT_NE(json.find("\"label\":\"Tessik2 Compression\""), std::string::npos);
}

}  // namespace
}  // namespace ketrel
