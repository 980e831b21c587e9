#pragma once
// The settings of one scene: a tree of SettingsItems, one per exportable
// thing, each reading its values from its own Requester or, without one,
// from the nearest ancestor's. Values travel in two binary forms (the
// Requester blob and the SettingsItem blob, little-endian), are stored per
// host object as settings chunks, are pushed down from a category to the
// objects under it (locked values stay), and are saved to and loaded from
// .kes settings files.
//
// Readers treat stored data as hostile: every count and size is checked
// against the buffer, a blob is applied all-or-nothing (a corrupt blob
// changes nothing), numbers and range positions are clamped to their bounds,
// NaN is refused, and a combobox keeps its selection when the stored choice
// id is 0 or names no choice (the latter with a warning).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// ---- Blobs ----

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

// ---- Push-down ----

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

// ---- Settings chunks in the host scene ----

using HostHandle = const void*;

enum SettingsChunkKind : uint32_t {
  kChunkModel = 0,
  kChunkModelBone = 1,
  kChunkTexture = 2,
  kChunkMaterial = 3,
  kChunkMesh = 4,
  kChunkAnimation = 5,
  kChunkSettings = 6,
  kChunkTrackGroupBone = 7,
  kChunkTrackGroup = 8,
  kChunkFile = 9,
  kChunkMorphTrack = 11,
};

// Addresses one item's chunk: host object, kind and index (-1 unless a
// texture's sub-map slot).
struct SettingsHandle {
  HostHandle object = nullptr;
  uint32_t kind = 0;
  int32_t index = -1;
};

// The host's key of a chunk: ((index + 1) << 16) XOR kind.
uint32_t SettingsChunkSubId(uint32_t kind, int32_t index);

// The host's chunk storage, as the tool interface provides it.
class SettingsChunkStore {
 public:
  virtual ~SettingsChunkStore() = default;
  // False when the object holds no such chunk.
  virtual bool ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                                 std::vector<uint8_t>& out) = 0;
  virtual bool WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                                  const uint8_t* data, size_t size) = 0;
  virtual void RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) = 0;
};

// Gives an item without a Requester a duplicate of its nearest ancestor's
// ("Unable to duplicate a requestor for a settings item" when that fails),
// then loads the handle's chunk into it when the host holds one. A handle
// without a host object, or no handle, loads nothing. False on a failed
// duplicate or a corrupt chunk (which changes nothing).
bool ApplyStoredSettings(SettingsItem* item, SettingsChunkStore* store,
                         const SettingsHandle* handle);
// Replaces the handle's chunk with the item's Requester blob. Does nothing
// (true) for an item without a Requester or a handle without a host object.
bool StoreSettings(const SettingsItem* item, SettingsChunkStore& store,
                   const SettingsHandle& handle);
// Stores "Settings" itself as a SettingsItem blob of depth 1 (kind 6).
bool StoreSettingsItemChunk(const SettingsItem* root, SettingsChunkStore& store,
                            HostHandle sceneRoot);
// Applies a kind 6 chunk of the scene root to "Settings" when there is one.
bool ApplySettingsItemChunk(SettingsItem* root, SettingsChunkStore& store, HostHandle sceneRoot);

// ---- Settings files (.kes) ----

// Writes the "Settings" blob at depth 1 to a temporary file beside `path`
// and renames it over `path`, so a failed save leaves an old file intact.
bool SaveSettingsFile(const SettingsItem* root, const char* path);
// Loads a settings file into "Settings" and pushes each category down to the
// objects under it, except into Locked properties. A missing, unreadable,
// corrupt or wrong file is reported and changes nothing.
bool LoadSettingsFile(SettingsItem* root, const char* path);
// The text dump of a "Settings" tree: each category's label, then
// "  label: text" for each of its properties except separators.
std::string FormatSettingsDump(const SettingsItem* root);
// Reads a settings file into a fresh default tree (the caller's scene is not
// touched) and gives its text dump in `out`. False (logged) on any fault.
bool DumpSettingsFileToText(const char* settingsPath, std::string& out);
// Same, writing the dump to `textPath` through a temporary file.
bool DumpSettingsFile(const char* settingsPath, const char* textPath);

// ---- Command-line edits ----

// Applies "Label=value" to the categories of "Settings": the label is looked
// up (case-insensitive) in "Root settings" and in each category, and every
// category that has it takes the value, which is then pushed down to the
// objects under that category (Locked properties keep theirs). Values: bools
// true/false/on/off/yes/no/1/0; numbers and ranges within their bounds
// (power-of-two ranges take the byte value, 16 not 4); combobox choices by
// label. False with a message listing the valid labels or values otherwise;
// nothing changes then.
bool SetCategorySettingByLabel(SettingsItem* root, const char* assignment, std::string& message);
// Applies "Label=value" to one animation (the item of that name under
// "Animations"): its own settings, its track groups' and their bones', each
// item that has the label taking the value (Locked properties keep theirs).
// False with a message, and nothing changed, when there is no such
// animation, no such setting in it, or the value does not fit.
bool SetClipSettingByLabel(SettingsItem* root, const char* clip, const char* assignment,
                           std::string& message);

}  // namespace ketrel
