#pragma once
// Shared by the settings tests: an in-memory chunk store standing in for the
// host scene, and small helpers.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "export/ketrel_export_ui_tunneling.h"

namespace ketrel::test {

class MemoryChunkStore : public SettingsChunkStore {
 public:
  using Key = std::tuple<HostHandle, uint32_t, int32_t>;
  bool ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                         std::vector<uint8_t>& out) override {
    auto found = chunks.find(Key{object, kind, index});
    if (found == chunks.end()) return false;
    out = found->second;
    return true;
  }
  bool WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index, const uint8_t* data,
                          size_t size) override {
    chunks[Key{object, kind, index}] = std::vector<uint8_t>(data, data + size);
    return true;
  }
  void RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) override {
    chunks.erase(Key{object, kind, index});
  }
  std::map<Key, std::vector<uint8_t>> chunks;
};

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
  }
  return bytes;
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

inline std::vector<uint8_t> RequesterBytes(const Requester* r) {
  std::vector<uint8_t> bytes(RequesterBlobSize(r));
  bytes.resize(WriteRequester(r, bytes.data(), bytes.size()));
  return bytes;
}

inline std::vector<uint8_t> SettingsBytes(const SettingsItem* item, int depth) {
  std::vector<uint8_t> bytes(SettingsItemBlobSize(item, depth));
  bytes.resize(WriteSettingsItem(item, depth, bytes.data(), bytes.size()));
  return bytes;
}

// A scratch path under the build tree, unique per test name.
inline std::string ScratchPath(const std::string& name) {
  return std::string(KETREL_BINARY_DIR) + "/h5_settings_" + name;
}

}  // namespace ketrel::test
