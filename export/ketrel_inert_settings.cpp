#include "export/ketrel_inert_settings.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "export/ketrel_warning_codes.h"
#include "export/shared/ketrel_requester.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

constexpr uint32_t kRootCategory = 1;
constexpr uint32_t kAnyCategory = 0;

struct InertSetting {
  uint32_t Id;
  uint32_t Category;  // the category whose items hold it inertly; 0: every one
  const char* Why;
};

// Kept in step with what the phases read: a row goes when its setting gets
// an effect.
const InertSetting kInert[] = {
    {147, kRootCategory, "there is no settings dialog to size"},
    {148, kRootCategory, "there is no settings dialog to size"},
    {228, kRootCategory, "there is no settings dialog to show details in"},
    {67, kRootCategory, "there is no settings dialog or progress window to close"},
    {90, kAnyCategory, "vertex annotation is not exported"},
    {91, kAnyCategory, "vertex annotation is not exported"},
    {92, kAnyCategory, "triangle annotation is not exported"},
    {93, kAnyCategory, "triangle annotation is not exported"},
};
constexpr int kInertCount = int(sizeof kInert / sizeof kInert[0]);

struct Finding {
  const char* Label = nullptr;
  const char* FirstItem = nullptr;
  int32_t Items = 0;
};

bool DiffersFromDefault(const RequesterProperty* p) {
  switch (p->Kind) {
    case PropertyKind::Bool:
      return (p->Bool.Current != 0) != (p->Bool.Default != 0);
    case PropertyKind::Number:
      return std::fabs(double(p->Number.Current) - double(p->Number.Default)) > 1e-6;
    case PropertyKind::Range:
      return p->Range.Current != p->Range.Default;
    default:
      return false;
  }
}

// The properties of `requester` and of the requesters nested in it.
void CheckRequester(const Requester* requester, uint32_t category, const char* itemName,
                    Finding* findings) {
  for (const RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    for (int i = 0; i < kInertCount; ++i) {
      const InertSetting& row = kInert[i];
      if (p->Id != row.Id || (row.Category != kAnyCategory && row.Category != category) ||
          !DiffersFromDefault(p))
        continue;
      Finding& f = findings[i];
      if (f.Items++ == 0) {
        f.Label = p->Label;
        f.FirstItem = itemName;
      }
    }
  }
  for (const Requester* child = requester->FirstChild; child != nullptr; child = child->Next)
    CheckRequester(child, category, itemName, findings);
}

void CheckItems(const SettingsItem* item, Finding* findings) {
  // Depth-first without recursion over the items: trees of many bones stay
  // flat on the stack.
  for (const SettingsItem* at = item; at != nullptr;) {
    if (at->Requester) {
      CheckRequester(at->Requester, at->Requester->Id, at->Name ? at->Name : "(unnamed)", findings);
    }
    if (at->FirstChild) {
      at = at->FirstChild;
      continue;
    }
    while (at != nullptr && at != item && at->Next == nullptr) at = at->Parent;
    if (at == nullptr || at == item) break;
    at = at->Next;
  }
}

}  // namespace

void WarnSettingsWithoutEffect(const SettingsItem* root) {
  if (!root) return;
  Finding findings[kInertCount];
  CheckItems(root, findings);
  for (int i = 0; i < kInertCount; ++i) {
    const Finding& f = findings[i];
    if (f.Items == 0) continue;
    const std::string more =
        f.Items > 1 ? " and " + std::to_string(f.Items - 1) + " more" : std::string();
    KT_LOG_WARNING_CODE(Settings, warning::SettingWithoutEffect, f.Label,
                        "Setting \"%s\" (%s%s) is changed but has no effect in this build: %s",
                        f.Label ? f.Label : "?", f.FirstItem, more.c_str(), kInert[i].Why);
  }
}

}  // namespace ketrel
