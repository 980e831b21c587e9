// Feeds arbitrary bytes to the settings readers: as a settings file (the
// "Settings" blob) and as a per-object chunk (a Requester blob). A read that
// succeeds must leave values within their bounds and must write back to a
// blob that reads again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "rt/ketrel_log.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void MuteSettingsLog() {
  static bool muted = false;
  if (!muted) {
    ketrel::MuteLogOrigin(ketrel::LogOrigin::Settings, true);
    muted = true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ketrel;
  MuteSettingsLog();
  SettingsItem* root = CreateSettingsRoot();
  if (root == nullptr) return 0;
  if (ReadSettingsItem(root, data, size)) {
    SettingsItem* file = FindChildItem(root, "File");
    SettingsItem* meshes = FindChildItem(root, "Meshes");
    int32_t alignment = GetSettingInt(file, 74);
    Check(alignment >= 1 && alignment <= 4096);
    int32_t bones = GetSettingInt(meshes, 8);
    Check(bones >= 1 && bones <= 16);
    float units = GetSettingFloat(file, 145);
    Check(units >= 0.0001f && units <= 1000.0f);
    std::vector<uint8_t> out(SettingsItemBlobSize(root, 1));
    Check(WriteSettingsItem(root, 1, out.data(), out.size()) == out.size());
    SettingsItem* again = CreateSettingsRoot();
    if (again != nullptr) {
      Check(ReadSettingsItem(again, out.data(), out.size()));
      std::vector<uint8_t> twice(SettingsItemBlobSize(again, 1));
      WriteSettingsItem(again, 1, twice.data(), twice.size());
      Check(twice == out);
      DestroySettingsItem(again);
    }
  }
  // The same bytes as one object's chunk.
  SettingsItem* textures = FindChildItem(root, "Textures");
  ReadRequester(textures->Requester, data, size);
  DestroySettingsItem(root);
  return 0;
}
