// Lorpa1: codes arbitrary input as three streams and checks the round trip
// (in both header byte orders); decodes arbitrary input as a stored Lorpa1
// block, which must never crash or touch memory it does not own.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace {

bool Append(void* user, const void* bytes, size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  out->insert(out->end(), static_cast<const uint8_t*>(bytes),
              static_cast<const uint8_t*>(bytes) + size);
  return true;
}

void RoundTrip(const uint8_t* data, uint32_t size, uint32_t stop0, uint32_t stop1, bool reversed) {
  std::vector<uint8_t> stored;
  ketrel::file_compressor* c = ketrel::BeginFileCompression(
      size, 3, ketrel::kLorpa1Compression, reversed, ketrel::compression_output{Append, &stored});
  if (c == nullptr) __builtin_trap();
  bool ok = ketrel::CompressContentsOfMemory(c, stop0, data) &&
            ketrel::CompressContentsOfMemory(c, stop1 - stop0, data + stop0) &&
            ketrel::CompressContentsOfMemory(c, size - stop1, data + stop1);
  uint32_t storedSize = 0;
  if (!ok || !ketrel::EndFileCompression(c, &storedSize) || storedSize != stored.size()) {
    __builtin_trap();
  }
  std::vector<uint8_t> out(size);
  if (!ketrel::DecompressData(ketrel::kLorpa1Compression, reversed, storedSize, stored.data(),
                              stop0, stop1, size, out.data()) ||
      (size != 0 && std::memcmp(out.data(), data, size) != 0)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ketrel::MuteLogOrigin(ketrel::LogOrigin::Compression, true);
  // Seven leading bytes: mode, two stops, an expanded size (decoding only).
  if (size < 7) return 0;
  uint32_t a = data[1] | (data[2] << 8), b = data[3] | (data[4] << 8);
  uint32_t expanded = data[5] | (data[6] << 8);
  const uint8_t* rest = data + 7;
  uint32_t restSize = static_cast<uint32_t>(size - 7);
  if (data[0] & 1) {
    uint32_t stop0 = std::min(a, restSize), stop1 = std::min(std::max(stop0, b), restSize);
    RoundTrip(rest, restSize, stop0, stop1, (data[0] & 2) != 0);
  } else {
    // Arbitrary stored bytes, with stops that may be out of order.
    std::vector<uint8_t> input(rest, rest + restSize);
    std::vector<uint8_t> out(expanded);
    ketrel::DecompressData(ketrel::kLorpa1Compression, (data[0] & 2) != 0, restSize,
                           input.data(), a, b, expanded, out.data());
    ketrel::DecompressDataChunk(ketrel::kLorpa1Compression, false, restSize, input.data(),
                                expanded, out.data());
  }
  if (ketrel::LiveBlockCount() != 0) __builtin_trap();
  return 0;
}
