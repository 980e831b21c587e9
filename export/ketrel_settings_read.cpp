#include "export/ketrel_settings_read.h"

#include "export/ketrel_settings_schema.h"

namespace ketrel {
namespace {

const RequesterProperty* Find(const SettingsItem* item, uint32_t id) {
  return FindPropertyById(ResolveRequester(item), id);
}

const RequesterProperty* FindInChoice(const SettingsItem* item, uint32_t comboboxId,
                                      uint32_t propertyId) {
  const RequesterProperty* combobox = Find(item, comboboxId);
  if (combobox == nullptr || combobox->Kind != PropertyKind::Combobox) return nullptr;
  return FindPropertyById(combobox->Combobox.Selected, propertyId);
}

}  // namespace

bool GetSettingBool(const SettingsItem* item, uint32_t id) {
  return GetPropertyInt(Find(item, id)) != 0;
}

int32_t GetSettingInt(const SettingsItem* item, uint32_t id) {
  return GetPropertyInt(Find(item, id));
}

float GetSettingFloat(const SettingsItem* item, uint32_t id) {
  return GetPropertyFloat(Find(item, id));
}

uint32_t GetSettingChoice(const SettingsItem* item, uint32_t comboboxId) {
  const RequesterProperty* p = Find(item, comboboxId);
  if (p != nullptr && p->Kind == PropertyKind::Combobox && p->Combobox.Legacy != 0) {
    return p->Combobox.Legacy;
  }
  if (p == nullptr || p->Kind != PropertyKind::Combobox || p->Combobox.Selected == nullptr) {
    return 0;
  }
  return p->Combobox.Selected->Id;
}

bool GetChoiceSettingBool(const SettingsItem* item, uint32_t comboboxId, uint32_t propertyId) {
  return GetPropertyInt(FindInChoice(item, comboboxId, propertyId)) != 0;
}

int32_t GetChoiceSettingInt(const SettingsItem* item, uint32_t comboboxId, uint32_t propertyId) {
  return GetPropertyInt(FindInChoice(item, comboboxId, propertyId));
}

float GetChoiceSettingFloat(const SettingsItem* item, uint32_t comboboxId, uint32_t propertyId) {
  return GetPropertyFloat(FindInChoice(item, comboboxId, propertyId));
}

bool SetSettingInt(SettingsItem* item, uint32_t id, int64_t value) {
  return SetPropertyInt(FindPropertyById(ResolveRequester(item), id), value);
}

bool IsReferenceIncluded(const SettingsItem* item) {
  return GetSettingBool(item, setting::IncludeReference);
}

bool IsDataIncluded(const SettingsItem* item) {
  if (Find(item, setting::IncludeReference) != nullptr) {
    return GetSettingBool(item, setting::IncludeReference) &&
           GetSettingBool(item, setting::IncludeData);
  }
  return GetSettingBool(item, setting::IncludeData);
}

bool WantsArtToolData(const SettingsItem* item) {
  return GetSettingBool(item, setting::IncludeArtToolData);
}

bool WantsOnlyUserAttributes(const SettingsItem* item) {
  return GetSettingBool(item, setting::OnlyUserAttributes);
}

}  // namespace ketrel
