// Loads arbitrary bytes as a game would (with the CRC repaired, so damaged
// objects reach the run-time) and plays whatever loads: binding, sampling
// with and without a cursor at odd times, root motion, world and skinning
// matrices, morph weights and events, then once more after converting the
// file to other axes and units. Any crash, leak or read outside the
// file's objects is a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_transform_file.h"
#include "tests/support/play_everything.h"

namespace {

void Quiet(ketrel::LogType, ketrel::LogOrigin, const char*, int, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ketrel::ScopedLogCallback quiet(Quiet, nullptr);
  std::vector<unsigned char> bytes(data, data + size);
  ketrel::file_platform platform;
  if (size > 104 && ketrel::RecognizeMagic(bytes.data(), &platform)) {
    uint32_t crc = ketrel::ComputeCrc32(bytes.data() + 104, size - 104);
    if (ketrel::GetPlatformInfo(platform).BigEndian) crc = ketrel::ByteSwap32(crc);
    std::memcpy(bytes.data() + 40, &crc, 4);
  }
  ketrel::file_info* info = ketrel::LoadFileInfoFromMemory(bytes.data(), bytes.size());
  if (info != nullptr) {
    ketrel::test::PlayEverything(info);
    // Converted to Y up and centimetres, as a game may do after loading,
    // then played again.
    ketrel::Arena* arena = ketrel::NewArena();
    ketrel::basis_conversion toYUp;
    const float linear[3][3] = {{100, 0, 0}, {0, 0, 100}, {0, -100, 0}};
    if (arena && ketrel::SetBasisLinear(toYUp, linear)) {
      toYUp.Memory = ketrel::ArenaAllocator(arena);
      ketrel::TransformFile(info, toYUp);
      ketrel::test::PlayEverything(info);
    }
    ketrel::FreeArena(arena);
  }
  ketrel::FreeFileInfo(info);
  return 0;
}
