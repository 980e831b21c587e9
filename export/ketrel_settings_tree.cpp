// The settings tree: items, their names and Requesters, the category root.
#include "export/ketrel_settings_tree.h"

#include <cstring>
#include <new>

#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

char* CopyText(const char* text) {
  if (text == nullptr) text = "";
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(KT_ALLOCATE(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

SettingsItem* CreateSettingsItem(SettingsItem* parent, const char* name, Requester* requester) {
  auto* item = static_cast<SettingsItem*>(KT_ALLOCATE(sizeof(SettingsItem)));
  if (item == nullptr) {
    DestroyRequester(requester);
    return nullptr;
  }
  new (item) SettingsItem();
  item->Requester = requester;
  item->Name = CopyText(name);
  item->ChildListLabel = CopyText(name);
  if (item->Name == nullptr || item->ChildListLabel == nullptr) {
    DestroySettingsItem(item);
    return nullptr;
  }
  item->Parent = parent;
  if (parent != nullptr) {
    if (parent->LastChild != nullptr) {
      parent->LastChild->Next = item;
    } else {
      parent->FirstChild = item;
    }
    parent->LastChild = item;
  }
  return item;
}

bool SetChildListLabel(SettingsItem* item, const char* label) {
  if (!KT_CHECK_PARAMETER(Settings, item != nullptr)) return false;
  char* copy = CopyText(label);
  if (copy == nullptr) return false;
  FreeBlock(item->ChildListLabel);
  item->ChildListLabel = copy;
  return true;
}

void DestroySettingsItem(SettingsItem* item) {
  if (item == nullptr) return;
  SettingsItem* child = item->FirstChild;
  while (child != nullptr) {
    SettingsItem* next = child->Next;
    DestroySettingsItem(child);
    child = next;
  }
  DestroyRequester(item->Requester);
  FreeBlock(item->Name);
  FreeBlock(item->ChildListLabel);
  item->~SettingsItem();
  FreeBlock(item);
}

SettingsItem* FindChildItem(const SettingsItem* item, const char* name) {
  if (item == nullptr || name == nullptr) return nullptr;
  for (SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
    if (c->Name != nullptr && std::strcmp(c->Name, name) == 0) return c;
  }
  return nullptr;
}

Requester* ResolveRequester(const SettingsItem* item) {
  for (; item != nullptr; item = item->Parent) {
    if (item->Requester != nullptr) return item->Requester;
  }
  return nullptr;
}

SettingsItem* CreateSettingsRoot() {
  SettingsItem* root = CreateSettingsItem(nullptr, kSettingsItemName,
                                          CreateCategoryRequester(SettingsCategory::Root));
  if (root == nullptr || root->Requester == nullptr) {
    DestroySettingsItem(root);
    return nullptr;
  }
  for (const CategoryItemName& category : kCategoryItems) {
    SettingsItem* item =
        CreateSettingsItem(root, category.name, CreateCategoryRequester(category.category));
    if (item == nullptr || item->Requester == nullptr) {
      DestroySettingsItem(root);
      return nullptr;
    }
  }
  return root;
}

}  // namespace ketrel
