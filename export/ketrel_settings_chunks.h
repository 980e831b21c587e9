#pragma once
// Settings stored per host object as chunks of the host scene, and loaded
// back into the tree.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "export/ketrel_settings_tree.h"

namespace ketrel {

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

}  // namespace ketrel
