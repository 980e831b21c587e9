#include "rt/ketrel_file_format.h"

#include <cstring>

namespace ketrel {

const uint32_t kPlatformMagic[PlatformCount][4] = {
    {0xC06CDE29u, 0x2B53A4BAu, 0xA5B7F525u, 0xEEE266F6u},  // 32-bit, little endian
    {0xB595110Eu, 0x4BB5A56Au, 0x502828EBu, 0x04B37825u},  // 32-bit, big endian
    {0x5E499BE5u, 0x141F636Fu, 0xA9EB131Eu, 0xC4EDBE90u},  // 64-bit, little endian
    {0xE3D49531u, 0x624FDC20u, 0x3AD036CCu, 0x89FF82B1u},  // 64-bit, big endian
};
const uint32_t kOlderMagic32Little[4] = {0xCAB067B8u, 0x0FB16DF8u, 0x7E8C7284u, 0x1E00195Eu};

platform_info GetPlatformInfo(file_platform platform) {
  platform_info info{platform, 8, false};
  info.PointerBytes = (platform == Platform32Little || platform == Platform32Big) ? 4 : 8;
  info.BigEndian = platform == Platform32Big || platform == Platform64Big;
  return info;
}

const char* GetPlatformName(file_platform platform) {
  switch (platform) {
    case Platform32Little:
      return "32-bit, little endian";
    case Platform32Big:
      return "32-bit, big endian";
    case Platform64Little:
      return "64-bit, little endian";
    case Platform64Big:
      return "64-bit, big endian";
    default:
      return "unknown platform";
  }
}

static bool WordsMatch(const uint32_t words[4], const uint32_t row[4], bool reversed) {
  for (int i = 0; i < 4; ++i) {
    if ((reversed ? ByteSwap32(words[i]) : words[i]) != row[i]) return false;
  }
  return true;
}

// Compares words (already in this machine's order) with each row, as they are
// and byte-reversed.
static bool RecognizeWords(const uint32_t words[4], file_platform* outPlatform) {
  for (int reversed = 0; reversed < 2; ++reversed) {
    for (uint32_t p = 0; p < PlatformCount; ++p) {
      if (WordsMatch(words, kPlatformMagic[p], reversed != 0)) {
        *outPlatform = file_platform(p);
        return true;
      }
    }
    if (WordsMatch(words, kOlderMagic32Little, reversed != 0)) {
      // Only for the older value does the reversed form tell the byte order.
      *outPlatform = reversed ? Platform32Big : Platform32Little;
      return true;
    }
  }
  return false;
}

bool RecognizeMagic(const unsigned char bytes[16], file_platform* outPlatform) {
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) {
    const unsigned char* b = bytes + 4 * i;
    words[i] = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  }
  return RecognizeWords(words, outPlatform);
}

bool GetMagicRecordPlatform(const file_magic_record& record, file_platform* outPlatform) {
  return RecognizeWords(record.MagicValue, outPlatform);
}

file_magic_record MakeMagicRecord(file_platform platform) {
  file_magic_record record{};
  if (platform < PlatformCount) {
    std::memcpy(record.MagicValue, kPlatformMagic[platform], sizeof(record.MagicValue));
  }
  return record;
}

const char* GetStandardSectionName(uint32_t index) {
  static const char* const kNames[kStandardSectionCount] = {
      "0 - StandardMainSection",
      "1 - StandardRigidVertexSection",
      "2 - StandardRigidIndexSection",
      "3 - StandardDeformableVertexSection",
      "4 - StandardDeformableIndexSection",
      "5 - StandardTextureSection",
      "6 - StandardDiscardableSection",
      "7 - StandardUnloadedSection",
  };
  return index < kStandardSectionCount ? kNames[index] : "(non-standard section)";
}

}  // namespace ketrel
