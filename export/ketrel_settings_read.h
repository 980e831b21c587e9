#pragma once
// What the conversion phases call to read an object's export settings. Each
// reader starts at the item, goes up to the first item with its own
// Requester and looks the id up there (FindPropertyById). A missing item or
// property reads as 0, false or no choice.

#include <cstdint>

#include "export/ketrel_export_ui_tunneling.h"

namespace ketrel {

bool GetSettingBool(const SettingsItem* item, uint32_t id);
int32_t GetSettingInt(const SettingsItem* item, uint32_t id);
float GetSettingFloat(const SettingsItem* item, uint32_t id);
// The id of the selected choice; 0 when the id is no combobox or nothing is
// selected.
uint32_t GetSettingChoice(const SettingsItem* item, uint32_t comboboxId);
// Looks `propertyId` up only inside the selected choice of the combobox; 0
// when the choice does not have it. This is how ids that repeat inside
// several choices (24, 106) are read.
bool GetChoiceSettingBool(const SettingsItem* item, uint32_t comboboxId, uint32_t propertyId);
int32_t GetChoiceSettingInt(const SettingsItem* item, uint32_t comboboxId, uint32_t propertyId);
float GetChoiceSettingFloat(const SettingsItem* item, uint32_t comboboxId, uint32_t propertyId);
// Sets from an integer with the usual clamping; false when the property is
// missing or not a bool, number or range.
bool SetSettingInt(SettingsItem* item, uint32_t id, int64_t value);

// "Include reference in export". A node without settings is not included.
bool IsReferenceIncluded(const SettingsItem* item);
// "Include data in export", and also the reference when the item's
// Requester has that property.
bool IsDataIncluded(const SettingsItem* item);
bool WantsArtToolData(const SettingsItem* item);
bool WantsOnlyUserAttributes(const SettingsItem* item);

}  // namespace ketrel
