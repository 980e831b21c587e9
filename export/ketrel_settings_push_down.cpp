// Push-down: a category's values copied to the objects under it, locked
// values kept unless forced.
#include "export/ketrel_settings_push_down.h"

namespace ketrel {

void CopyRequesterProperty(RequesterProperty* destination, const RequesterProperty* source,
                           bool force) {
  if (force || !destination->Locked) {
    destination->Locked = source->Locked;
    if (destination->Kind == source->Kind) {
      switch (destination->Kind) {
        case PropertyKind::Bool:
          destination->Bool.Current = source->Bool.Current;
          break;
        case PropertyKind::Number:
          SetPropertyFloat(destination, source->Number.Current);
          break;
        case PropertyKind::Range:
          destination->Range.Current = source->Range.Current;
          if (destination->Range.Current < destination->Range.Minimum) {
            destination->Range.Current = destination->Range.Minimum;
          }
          if (destination->Range.Current > destination->Range.Maximum) {
            destination->Range.Current = destination->Range.Maximum;
          }
          break;
        case PropertyKind::Combobox:
          destination->Combobox.Selected =
              source->Combobox.Selected != nullptr
                  ? FindChoiceById(destination, source->Combobox.Selected->Id)
                  : nullptr;
          destination->Combobox.Legacy = source->Combobox.Legacy;
          break;
        default:
          break;
      }
    }
  }
  // A choice's own properties follow even when the combobox itself is locked.
  if (destination->Kind == PropertyKind::Combobox && source->Kind == PropertyKind::Combobox &&
      destination->Combobox.Choices != nullptr && source->Combobox.Choices != nullptr) {
    CopyRequesterValues(destination->Combobox.Choices, source->Combobox.Choices, force);
  }
}

void CopyRequesterValues(Requester* destination, const Requester* source, bool force) {
  if (destination == nullptr || source == nullptr) return;
  for (RequesterProperty* p = destination->FirstProperty; p != nullptr; p = p->Next) {
    if (p->Kind == PropertyKind::Separator) continue;
    const RequesterProperty* from = FindPropertyById(source, p->Id);
    if (from != nullptr && from != p) CopyRequesterProperty(p, from, force);
  }
  for (Requester* c = destination->FirstChild; c != nullptr; c = c->Next) {
    CopyRequesterValues(c, FindChildRequester(source, c->Id), force);
  }
}

void PushDown(const Requester* source, SettingsItem* item, bool forceItem, bool forceChildren) {
  if (item == nullptr || source == nullptr) return;
  if (item->Requester != source) CopyRequesterValues(item->Requester, source, forceItem);
  for (SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
    PushDown(source, c, forceChildren, forceChildren);
  }
}

}  // namespace ketrel
