// Feeds arbitrary bytes to the file reader: once as they are (the opening and
// CRC checks), and once with the CRC repaired so that the section, fix-up and
// type-graph checks of the converter are reached too. Any crash, leak or read
// outside the input is a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_log.h"

namespace {

void Quiet(ketrel::LogType, ketrel::LogOrigin, const char*, int, const char*, void*) {}

void ReadAll(const unsigned char* bytes, size_t size) {
  ketrel::FreeFile(ketrel::ReadEntireFileFromMemory(bytes, size));
  ketrel::file_image image;
  if (ketrel::OpenFileImage(bytes, size, &image)) {
    (void)ketrel::ComputeFileImageCrc(&image);
    (void)ketrel::LoadAllFileImageSections(&image);
    ketrel::CloseFileImage(&image);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ketrel::ScopedLogCallback quiet(Quiet, nullptr);
  // An exact-size copy, so that reading one byte past the input is caught.
  std::vector<unsigned char> bytes(data, data + size);
  ReadAll(bytes.data(), bytes.size());
  ketrel::file_platform platform;
  if (size > 104 && ketrel::RecognizeMagic(bytes.data(), &platform)) {
    uint32_t crc = ketrel::ComputeCrc32(bytes.data() + 104, size - 104);
    if (ketrel::GetPlatformInfo(platform).BigEndian) crc = ketrel::ByteSwap32(crc);
    std::memcpy(bytes.data() + 40, &crc, 4);
    ReadAll(bytes.data(), bytes.size());
  }
  return 0;
}
