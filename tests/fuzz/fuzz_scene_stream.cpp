// Scene stream (the importer child's hand-back): arbitrary bytes must be
// read or refused with a message, never crash, overrun or allocate what the
// input does not back. What is read writes a stream that reads back to the
// same scene (the input itself may spell flags or settings differently).
#include <cstdint>
#include <string>

#include "export/host/host_scene_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string stream(reinterpret_cast<const char*>(data), size);
  ketrel::host::Scene scene;
  std::string error;
  if (ketrel::host::ReadSceneStream(stream, scene, error)) {
    std::string written = ketrel::host::WriteSceneStream(scene);
    ketrel::host::Scene again;
    if (!ketrel::host::ReadSceneStream(written, again, error) ||
        ketrel::host::WriteSceneStream(again) != written) {
      __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
