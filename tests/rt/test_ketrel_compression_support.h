#pragma once
// Helpers shared by the compression tests: sample data and a compressor that
// writes into a vector.
#include <cstdint>
#include <random>
#include <vector>

#include "rt/ketrel_compression.h"

namespace ketrel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// Data shaped like a KT2 section: records of floats that drift slowly,
// small integers, names, and repeats.
inline Bytes SectionLikeBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  bytes.reserve(size + 64);
  float value = 0.0f;
  const char* names[] = {"Bip01 Spine", "Bip01 L Thigh", "diffuse_map", "Position", "Normal"};
  while (bytes.size() < size) {
    switch (random() % 4) {
      case 0:
        for (int i = 0; i < 12; ++i) {
          value += static_cast<float>(random() % 200) * 0.001f - 0.1f;
          const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
          bytes.insert(bytes.end(), p, p + 4);
        }
        break;
      case 1:
        for (int i = 0; i < 16; ++i) {
          uint32_t small = random() % 64;
          const uint8_t* p = reinterpret_cast<const uint8_t*>(&small);
          bytes.insert(bytes.end(), p, p + 4);
        }
        break;
      case 2: {
        const char* name = names[random() % 5];
        while (*name) bytes.push_back(static_cast<uint8_t>(*name++));
        bytes.push_back(0);
        break;
      }
      default:
        if (bytes.size() > 64) {
          size_t from = random() % (bytes.size() - 32);
          for (int i = 0; i < 32; ++i) bytes.push_back(bytes[from + i]);
        }
        break;
    }
  }
  bytes.resize(size);
  return bytes;
}

inline bool AppendToVector(void* user, const void* bytes, size_t size) {
  auto* out = static_cast<Bytes*>(user);
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  out->insert(out->end(), p, p + size);
  return true;
}

// Compresses `streams` as one section (or array) of `type`; false when any
// step fails.
inline bool CompressStreams(uint32_t type, const std::vector<Bytes>& streams, bool byteReversed,
                            Bytes* stored) {
  uint32_t total = 0;
  for (const Bytes& s : streams) total += static_cast<uint32_t>(s.size());
  stored->clear();
  file_compressor* c =
      BeginFileCompression(total, static_cast<uint32_t>(streams.size()), type, byteReversed,
                           compression_output{AppendToVector, stored});
  if (c == nullptr) return false;
  for (const Bytes& s : streams) {
    if (!CompressContentsOfMemory(c, static_cast<uint32_t>(s.size()), s.data())) {
      AbortFileCompression(c);
      return false;
    }
  }
  uint32_t storedSize = 0;
  if (!EndFileCompression(c, &storedSize)) return false;
  return storedSize == stored->size();
}

}  // namespace ketrel::test
