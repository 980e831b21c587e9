#pragma once
// Settings this build reads nowhere: changed from their defaults they would
// silently do nothing, so an export says so, once per setting.
#include "export/ketrel_settings_tree.h"

namespace ketrel {

// Walks every item of the settings tree under `root` and logs the warning
// KT1601 (setting has no effect in this build) once per setting that some
// item holds at a value other than its default, naming the first such item
// and how many more there are. Accepts null.
void WarnSettingsWithoutEffect(const SettingsItem* root);

}  // namespace ketrel
