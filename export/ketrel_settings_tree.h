#pragma once
// The settings of one scene: a tree of SettingsItems, one per exportable
// thing, each reading its values from its own Requester or, without one,
// from the nearest ancestor's.
#include "export/ketrel_settings_schema.h"
#include "export/shared/ketrel_requester.h"

namespace ketrel {

struct SettingsItem {
  SettingsItem* Parent = nullptr;
  char* Name = nullptr;                      // owned copy
  char* ChildListLabel = nullptr;            // owned; the dialog's name for the children
  ::ketrel::Requester* Requester = nullptr;  // owned; null reads through the ancestors
  SettingsItem* FirstChild = nullptr;
  SettingsItem* LastChild = nullptr;
  SettingsItem* Next = nullptr;
};

// A new item appended to `parent`'s children (null parent: a new top). Takes
// ownership of `requester` even on failure. Null (logged) when memory runs out.
SettingsItem* CreateSettingsItem(SettingsItem* parent, const char* name, Requester* requester);
// Replaces the ChildListLabel; false when memory runs out (the old one stays).
bool SetChildListLabel(SettingsItem* item, const char* label);
// Frees the item, its Requester and all its descendants. The item must be a
// top or its parent must be destroyed with it. Accepts null.
void DestroySettingsItem(SettingsItem* item);
// The first direct child with this name, or null.
SettingsItem* FindChildItem(const SettingsItem* item, const char* name);
// The item's own Requester or the nearest ancestor's; null when none has one.
Requester* ResolveRequester(const SettingsItem* item);

// Names of the items under "Settings", in order, and the category of each.
inline constexpr const char kSettingsItemName[] = "Settings";
struct CategoryItemName {
  const char* name;
  SettingsCategory category;
};
inline constexpr CategoryItemName kCategoryItems[] = {
    {"File", SettingsCategory::File},          {"Textures", SettingsCategory::Texture},
    {"Materials", SettingsCategory::Material}, {"Meshes", SettingsCategory::Mesh},
    {"Models", SettingsCategory::Model},       {"Animations", SettingsCategory::Animation},
};

// "Settings" with "Root settings" and its six category items, every value at
// its default; null (logged, nothing left allocated) when memory runs out.
SettingsItem* CreateSettingsRoot();

}  // namespace ketrel
