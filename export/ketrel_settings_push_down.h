#pragma once
// Values pushed down from a category to the objects under it: locked values
// stay unless forced.
#include "export/ketrel_settings_tree.h"

namespace ketrel {

// For each property of `destination`, copies the property with the same id in
// `source`: unless forced, a Locked destination keeps its lock and value.
// Child Requesters are copied from the source's child of the same id.
void CopyRequesterValues(Requester* destination, const Requester* source, bool force);
// Copies one property the same way (ids are not compared).
void CopyRequesterProperty(RequesterProperty* destination, const RequesterProperty* source,
                           bool force);
// Copies `source` into the item's Requester (forced by `forceItem`) and into
// every descendant's (forced by `forceChildren`).
void PushDown(const Requester* source, SettingsItem* item, bool forceItem, bool forceChildren);

}  // namespace ketrel
