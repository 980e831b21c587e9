#include "export/ketrel_settings_schema.h"

#include <gtest/gtest.h>

#include "tests/export/test_ketrel_settings_support.h"

namespace ketrel {
namespace {

// The listing itself is held to the golden listing by the settings command's
// test; here, every category's requester is its own.
TEST(SettingsSchema, CategoriesAreFresh) {
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
}

}  // namespace
}  // namespace ketrel
