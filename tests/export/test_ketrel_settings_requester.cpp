#include "export/shared/ketrel_requester.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

struct Category {
  explicit Category(SettingsCategory c) : r(CreateCategoryRequester(c)) {}
  ~Category() { DestroyRequester(r); }
  RequesterProperty* operator[](const char* label) const { return FindPropertyByLabel(r, label); }
  Requester* r;
};

std::string Text(const RequesterProperty* p) {
  char text[512];
  FormatPropertyText(p, text, sizeof(text));
  return text;
}

TEST(SettingsRequester, IntegerReadingsRoundHalfAwayFromZero) {
  EXPECT_EQ(RoundToInt(2.5), 3);
  EXPECT_EQ(RoundToInt(2.49), 2);
  EXPECT_EQ(RoundToInt(-2.5), -3);  // +0.5 then truncation would give -2
  EXPECT_EQ(RoundToInt(-0.4), 0);
  EXPECT_EQ(RoundToInt(1e20), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(RoundToInt(-1e20), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(RoundToInt(std::nan("")), 0);

  Requester* r = AddRequester(nullptr, HeapAllocator(), 0, 1, "test", nullptr, nullptr);
  RequesterProperty* n = AddNumberProperty(r, 1, 0, "n", -10, 10, -2.5, "");
  EXPECT_EQ(GetPropertyInt(n), -3);
  EXPECT_EQ(Text(n), "-2.500000");
  RequesterProperty* b = AddBoolProperty(r, 2, 0, "b", false, "");
  EXPECT_TRUE(SetPropertyFloat(b, 0.6));
  EXPECT_EQ(GetPropertyInt(b), 1);
  EXPECT_FLOAT_EQ(GetPropertyFloat(b), 1.0f);
  EXPECT_FALSE(SetPropertyFloat(n, std::nan("")));  // NaN never becomes a value
  EXPECT_EQ(GetPropertyInt(n), -3);
  RequesterProperty* s = AddSeparator(r, 3);
  EXPECT_FALSE(SetPropertyInt(s, 1));
  EXPECT_EQ(Text(s), "");
  DestroyRequester(r);
}

TEST(SettingsRequester, SettersClampToBoundsAndPositions) {
  Category animation(SettingsCategory::Animation);
  RequesterProperty* tolerance = animation["Position curve tolerance"];
  ASSERT_NE(tolerance, nullptr);
  EXPECT_EQ(Text(tolerance), "0.010000");
  SetPropertyFloat(tolerance, 0);
  EXPECT_FLOAT_EQ(tolerance->Number.Current, 0.00001f);
  SetPropertyInt(tolerance, 20000);
  EXPECT_FLOAT_EQ(tolerance->Number.Current, 10000.0f);

  Category mesh(SettingsCategory::Mesh);
  RequesterProperty* bones = mesh["Bones per vertex"];
  SetPropertyInt(bones, 0);
  EXPECT_EQ(GetPropertyInt(bones), 1);
  SetPropertyInt(bones, 99);
  EXPECT_EQ(GetPropertyInt(bones), 16);

  Category file(SettingsCategory::File);
  RequesterProperty* alignment = file["object ALIGNMENT"];  // labels ignore case
  ASSERT_NE(alignment, nullptr);
  EXPECT_EQ(GetPropertyInt(alignment), 4);
  SetPropertyInt(alignment, 16);
  EXPECT_EQ(alignment->Range.Current, 4);
  EXPECT_EQ(GetPropertyInt(alignment), 16);
  EXPECT_EQ(Text(alignment), "16.000000");
  SetPropertyInt(alignment, 24);  // equally far from 16 and 32: the lower position wins
  EXPECT_EQ(alignment->Range.Current, 4);
  SetPropertyInt(alignment, 1 << 20);
  EXPECT_EQ(alignment->Range.Current, 12);
  SetPropertyInt(alignment, -5);
  EXPECT_EQ(alignment->Range.Current, 0);
  SetPropertyFloat(alignment, 31.6);  // rounds to 32
  EXPECT_EQ(GetPropertyInt(alignment), 32);
  // Choices are found by label whatever its case, and only those there are.
  EXPECT_EQ(FindChoiceByLabel(file["File platform"], "NATIVE")->Id, setting::PlatformNative);
  EXPECT_EQ(FindChoiceByLabel(file["File platform"], "nothing"), nullptr);
}

TEST(SettingsRequester, EnabledFollowsTheWholeControlChain) {
  Category animation(SettingsCategory::Animation);
  RequesterProperty* jump = animation["Position jump tolerance"];
  RequesterProperty* allow = animation["Allow position jumps"];
  RequesterProperty* compress = animation["Compress animation data"];
  EXPECT_FALSE(IsPropertyEnabled(jump));
  SetPropertyInt(allow, 1);
  EXPECT_TRUE(IsPropertyEnabled(jump));
  SetPropertyInt(compress, 0);
  EXPECT_FALSE(IsPropertyEnabled(jump));
  EXPECT_TRUE(IsPropertyEnabled(compress));
  // A cycle made by mistake ends as disabled instead of looping.
  SetControllingProperty(compress, jump);
  EXPECT_FALSE(IsPropertyEnabled(jump));
}

TEST(SettingsRequester, DuplicateIsDeepAndRelinked) {
  Category texture(SettingsCategory::Texture);
  RequesterProperty* noAlpha = texture["No alpha"];
  SelectChoice(noAlpha, FindChoiceById(noAlpha, 22));
  texture["Full mip series"]->Locked = 1;
  Requester* copy = DuplicateRequester(texture.r, HeapAllocator());
  ASSERT_NE(copy, nullptr);
  RequesterProperty* mips = FindPropertyByLabel(copy, "Full mip series");
  EXPECT_EQ(mips->Locked, 1u);
  EXPECT_EQ(mips->ControllingProperty, FindPropertyById(copy, 27));
  EXPECT_NE(mips->ControllingProperty, texture["Generate MIP maps"]);
  RequesterProperty* copiedNoAlpha = FindPropertyById(copy, 19);
  ASSERT_NE(copiedNoAlpha->Combobox.Selected, nullptr);
  EXPECT_EQ(copiedNoAlpha->Combobox.Selected->Id, 22u);
  EXPECT_NE(copiedNoAlpha->Combobox.Choices, noAlpha->Combobox.Choices);
  SetPropertyInt(FindPropertyById(copy, 12), 0);
  EXPECT_EQ(GetPropertyInt(texture["Force width to closest power of 2"]), 1);
  EXPECT_EQ(RequesterBlobSize(copy), RequesterBlobSize(texture.r));
  DestroyRequester(copy);

  // Running out of memory at any step gives null and leaks nothing (the
  // test main checks for live blocks).
  test::LogCapture log;
  for (long failAt = 0; failAt < 400; failAt += 7) {
    SetAllocationFailureCountdown(failAt);
    Requester* partial = DuplicateRequester(texture.r, HeapAllocator());
    SetAllocationFailureCountdown(-1);
    DestroyRequester(partial);
  }
}

TEST(SettingsRead, ChoiceScopedReadsAndInclusion) {
  SettingsItem* root = CreateSettingsRoot();
  ASSERT_NE(root, nullptr);
  SettingsItem* textures = FindChildItem(root, "Textures");
  SettingsItem* texture = CreateSettingsItem(textures, "wall.png", nullptr);
  // Without its own Requester the item reads through "Textures".
  EXPECT_EQ(GetSettingInt(texture, 24), 15);
  // Plain id 24 finds the one in the first codec choice of "No alpha".
  SetPropertyInt(FindPropertyById(textures->Requester, 24), 40);
  EXPECT_EQ(GetSettingInt(texture, 24), 40);
  EXPECT_EQ(GetChoiceSettingInt(texture, 103, 24), 15);
  EXPECT_EQ(GetChoiceSettingBool(texture, 19, 106), true);
  EXPECT_EQ(GetChoiceSettingBool(texture, 103, 106), false);  // normal maps default to RGB
  RequesterProperty* normal = FindPropertyById(textures->Requester, 103);
  SelectChoice(normal, FindChoiceById(normal, 22));
  EXPECT_EQ(GetSettingChoice(texture, 103), 22u);
  EXPECT_EQ(GetChoiceSettingInt(texture, 103, 24), 0);
  EXPECT_EQ(GetSettingChoice(texture, 12), 0u);  // not a combobox

  EXPECT_TRUE(IsReferenceIncluded(texture));
  EXPECT_TRUE(IsDataIncluded(texture));
  SetSettingInt(texture, setting::IncludeReference, 0);
  EXPECT_FALSE(IsDataIncluded(texture));
  EXPECT_TRUE(GetSettingBool(texture, setting::IncludeData));
  // A node without settings is not included; missing ids read as 0.
  EXPECT_FALSE(IsReferenceIncluded(nullptr));
  EXPECT_EQ(GetSettingInt(texture, 99999), 0);
  // File settings have no reference flag: data alone decides.
  SettingsItem* file = FindChildItem(root, "File");
  EXPECT_FALSE(IsDataIncluded(file));
  EXPECT_TRUE(WantsArtToolData(file));
  EXPECT_FALSE(WantsOnlyUserAttributes(texture));
  DestroySettingsItem(root);
}

}  // namespace
}  // namespace ketrel
