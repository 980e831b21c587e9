#pragma once
// Settings values in their two binary forms (the Requester blob and the
// SettingsItem blob, little-endian). Readers treat stored data as hostile:
// every count and size is checked against the buffer, a blob is applied
// all-or-nothing (a corrupt blob changes nothing), numbers and range
// positions are clamped to their bounds, NaN is refused, and a combobox keeps
// its selection when the stored choice id is 0 or names no choice (the latter
// with a warning).
#include <cstddef>
#include <cstdint>

#include "export/ketrel_settings_tree.h"

namespace ketrel {

inline constexpr uint32_t kRequesterBlobMagic = 0xCA5EEEEEu;
inline constexpr uint32_t kSettingsItemBlobMagic = 0xCA5EBABAu;

size_t RequesterBlobSize(const Requester* requester);
// Writes the blob into `out`; returns the bytes written, 0 (logged) when
// `capacity` is smaller than RequesterBlobSize.
size_t WriteRequester(const Requester* requester, uint8_t* out, size_t capacity);
// Applies a Requester blob that fills `data` exactly. Unknown ids are skipped.
// On a fault ("Corrupted settings data encountered") nothing is changed and
// the result is false.
bool ReadRequester(Requester* requester, const uint8_t* data, size_t size);

// Depth 0 writes no child items; otherwise each child item that has its own
// Requester is written with depth - 1.
size_t SettingsItemBlobSize(const SettingsItem* item, int depth);
size_t WriteSettingsItem(const SettingsItem* item, int depth, uint8_t* out, size_t capacity);
// Applies a SettingsItem blob that fills `data` exactly, child records going to
// the first child item whose Requester id matches. All-or-nothing, as above.
bool ReadSettingsItem(SettingsItem* item, const uint8_t* data, size_t size);

}  // namespace ketrel
