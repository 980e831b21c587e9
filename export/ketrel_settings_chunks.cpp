// Settings stored per host object as chunks, and loaded back.
#include "export/ketrel_settings_chunks.h"

#include "export/ketrel_settings_blob.h"
#include "rt/ketrel_log.h"

namespace ketrel {

uint32_t SettingsChunkSubId(uint32_t kind, int32_t index) {
  return (static_cast<uint32_t>(index + 1) << 16) ^ kind;
}

bool ApplyStoredSettings(SettingsItem* item, SettingsChunkStore* store,
                         const SettingsHandle* handle) {
  if (!KT_CHECK_PARAMETER(Settings, item != nullptr)) return false;
  if (item->Requester == nullptr) {
    Requester* ancestor = ResolveRequester(item->Parent);
    Requester* copy = ancestor != nullptr ? DuplicateRequester(ancestor, HeapAllocator()) : nullptr;
    if (copy == nullptr) {
      KT_LOG_ERROR(Settings, "Unable to duplicate a requestor for a settings item");
      return false;
    }
    item->Requester = copy;
  }
  if (store == nullptr || handle == nullptr || handle->object == nullptr) return true;
  std::vector<uint8_t> chunk;
  if (!store->ReadSettingsChunk(handle->object, handle->kind, handle->index, chunk)) return true;
  return ReadRequester(item->Requester, chunk.data(), chunk.size());
}

namespace {

template <typename Size, typename Write>
bool StoreBlob(SettingsChunkStore& store, HostHandle object, uint32_t kind, int32_t index,
               Size size, Write write) {
  size_t bytes = size();
  auto* buffer = static_cast<uint8_t*>(KT_ALLOCATE(bytes));
  if (buffer == nullptr) return false;
  bool ok = write(buffer, bytes) == bytes;
  if (ok) {
    store.RemoveSettingsChunk(object, kind, index);
    ok = store.WriteSettingsChunk(object, kind, index, buffer, bytes);
    if (!ok) KT_LOG_ERROR(Settings, "Unable to store settings of kind %u in the scene", kind);
  }
  FreeBlock(buffer);
  return ok;
}

}  // namespace

bool StoreSettings(const SettingsItem* item, SettingsChunkStore& store,
                   const SettingsHandle& handle) {
  if (item == nullptr || item->Requester == nullptr || handle.object == nullptr) return true;
  const Requester* r = item->Requester;
  return StoreBlob(
      store, handle.object, handle.kind, handle.index, [r] { return RequesterBlobSize(r); },
      [r](uint8_t* out, size_t capacity) { return WriteRequester(r, out, capacity); });
}

bool StoreSettingsItemChunk(const SettingsItem* root, SettingsChunkStore& store,
                            HostHandle sceneRoot) {
  if (root == nullptr || root->Requester == nullptr || sceneRoot == nullptr) return true;
  return StoreBlob(
      store, sceneRoot, kChunkSettings, -1, [root] { return SettingsItemBlobSize(root, 1); },
      [root](uint8_t* out, size_t capacity) { return WriteSettingsItem(root, 1, out, capacity); });
}

bool ApplySettingsItemChunk(SettingsItem* root, SettingsChunkStore& store, HostHandle sceneRoot) {
  if (root == nullptr || sceneRoot == nullptr) return true;
  std::vector<uint8_t> chunk;
  if (!store.ReadSettingsChunk(sceneRoot, kChunkSettings, -1, chunk)) return true;
  return ReadSettingsItem(root, chunk.data(), chunk.size());
}

}  // namespace ketrel
