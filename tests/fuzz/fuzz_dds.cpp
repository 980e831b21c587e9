// DDS reader: arbitrary bytes must decode or be refused with a message,
// never crash, read outside the input or allocate what the input does not
// back; a decoded image has exactly its 4 bytes per pixel.
#include <cstdint>
#include <string>

#include "export/host/host_bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ketrel::host::Bitmap bitmap;
  std::string error;
  if (ketrel::host::DecodeDds(data, size, bitmap, error)) {
    if (bitmap.Width <= 0 || bitmap.Height <= 0 ||
        bitmap.Pixels.size() != size_t(bitmap.Width) * size_t(bitmap.Height) * 4) {
      __builtin_trap();
    }
    // Every pixel needs input bytes: the image never outgrows the input.
    if (size_t(bitmap.Width) * size_t(bitmap.Height) > size * 16) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
