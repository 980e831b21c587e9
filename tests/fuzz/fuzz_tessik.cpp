// Tessik: compresses arbitrary input and checks that it decodes back (one
// shot and incremental) and compresses the same way twice; decodes arbitrary
// input as a stream, which must never crash or touch memory it does not own.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_tessik.h"

namespace {

void RoundTrip(const uint8_t* data, size_t size, int level) {
  // One work buffer for every run: whatever an earlier run left in it must
  // not change the output.
  static std::vector<uint8_t> work;
  if (work.size() < ketrel::TessikWorkMemorySize(level, size)) {
    work.resize(ketrel::TessikWorkMemorySize(level, size), 0xA5);
  }
  std::vector<uint8_t> stream(ketrel::TessikBound(size));
  size_t stored = ketrel::TessikCompress(level, data, size, stream.data(), stream.size(), work.data());
  if (stored == 0) __builtin_trap();
  std::vector<uint8_t> again(stream.size());
  if (ketrel::TessikCompress(level, data, size, again.data(), again.size(), work.data()) != stored ||
      std::memcmp(stream.data(), again.data(), stored) != 0) {
    __builtin_trap();  // not deterministic
  }
  std::vector<uint8_t> out(size);
  size_t consumed = 0;
  if (!ketrel::TessikDecompress(stream.data(), stored, out.data(), size, &consumed) ||
      consumed != stored || (size != 0 && std::memcmp(out.data(), data, size) != 0)) {
    __builtin_trap();
  }
  std::vector<uint8_t> pieces(size);
  ketrel::tessik_stream_decoder* d = ketrel::BeginTessikStreamDecoder(pieces.data(), size);
  size_t chunk = 1 + (size % 997);
  for (size_t at = 0; at < stored; at += chunk) {
    if (!ketrel::FeedTessikStreamDecoder(d, stream.data() + at, std::min(chunk, stored - at))) {
      __builtin_trap();
    }
  }
  if (!ketrel::EndTessikStreamDecoder(d) || pieces != out) __builtin_trap();
}

void DecodeArbitrary(const uint8_t* data, size_t size) {
  uint32_t expanded = 0;
  if (!ketrel::TessikReadExpandedSize(data, size, &expanded) || expanded > (1u << 20)) return;
  std::vector<uint8_t> input(data, data + size);  // exactly sized, so ASan sees over-reads
  std::vector<uint8_t> out(expanded);
  size_t consumed = 0;
  if (ketrel::TessikDecompress(input.data(), input.size(), out.data(), expanded, &consumed) &&
      consumed > size) {
    __builtin_trap();
  }
  // The same bytes through the section decoder, with three streams.
  uint32_t stop0 = expanded / 3, stop1 = expanded / 2;
  ketrel::DecompressData(ketrel::kTessikCompression, false, static_cast<uint32_t>(size),
                         input.data(), stop0, stop1, expanded, out.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ketrel::MuteLogOrigin(ketrel::LogOrigin::Compression, true);
  if (size == 0) return 0;
  if (data[0] & 1) {
    RoundTrip(data + 1, size - 1, (data[0] >> 1) % 4);
  } else {
    DecodeArbitrary(data + 1, size - 1);
  }
  if (ketrel::LiveBlockCount() != 0) __builtin_trap();
  return 0;
}
