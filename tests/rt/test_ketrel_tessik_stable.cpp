// Exported files must stay byte-identical from release to release, so the
// Tessik encoder's output is pinned: a CRC and size per input and level,
// recorded in tests/data/tessik_digests.txt. A change to the encoder that
// moves a single byte fails here; KETREL_UPDATE_GOLDEN=1 rewrites the record
// after a deliberate format change.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_tessik.h"
#include "tests/rt/test_ketrel_compression_support.h"

namespace ketrel {
namespace {

using test::Bytes;

struct stable_input {
  std::string name;
  Bytes data;
  bool everyLevel;  // all 48 levels, or only the chainless ones and a few others
};

Bytes ReadDataFile(const char* name) {
  std::ifstream in(std::string(KETREL_TEST_DATA) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Text-like bytes: words from a small vocabulary, so matches of every
// length and distance show up.
Bytes WordBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  const char* words[] = {"mesh ", "Bip01 ", "vertex", "_", "normal ", "\n", "0.25 ", "uv1 "};
  Bytes bytes;
  while (bytes.size() < size) {
    const char* word = words[random() % 8];
    while (*word) bytes.push_back(static_cast<uint8_t>(*word++));
  }
  bytes.resize(size);
  return bytes;
}

std::vector<stable_input> StableInputs() {
  std::vector<stable_input> inputs;
  // Sizes around the minimum match, the 8-byte reads and the block size.
  for (size_t size : {0, 1, 3, 4, 5, 7, 8, 9, 12, 17, 64, 1000}) {
    inputs.push_back({"words-" + std::to_string(size), WordBytes(size, 3), true});
  }
  for (size_t size : {131071, 131072, 131073, 131079, 262152}) {
    inputs.push_back({"section-" + std::to_string(size), test::SectionLikeBytes(size, 5), false});
  }
  inputs.push_back({"section-50000", test::SectionLikeBytes(50000, 21), true});
  inputs.push_back({"words-30000", WordBytes(30000, 9), true});
  inputs.push_back({"words-200000", WordBytes(200000, 9), false});
  inputs.push_back({"random-70000", test::RandomBytes(70000, 11), false});
  // Incompressible stretches between compressible ones, and a block of one
  // repeated byte.
  Bytes mixed = test::RandomBytes(40000, 13);
  Bytes words = WordBytes(60000, 17);
  mixed.insert(mixed.end(), words.begin(), words.end());
  mixed.insert(mixed.end(), 140000, 0x2A);
  Bytes tail = test::RandomBytes(30000, 19);
  mixed.insert(mixed.end(), tail.begin(), tail.end());
  mixed.insert(mixed.end(), words.begin(), words.begin() + 20000);
  inputs.push_back({"mixed", std::move(mixed), false});
  for (const char* file : {"golden_64le.kt2", "golden_32be.kt2", "textured_skin/textured_skin.glb",
                           "extras/extras.gltf"}) {
    inputs.push_back({file, ReadDataFile(file), false});
  }
  return inputs;
}

std::string DigestLine(const std::string& name, int level, const Bytes& data) {
  Bytes work(TessikWorkMemorySize(level, data.size()), 0xA5);
  Bytes stream(TessikBound(data.size()));
  size_t stored =
      TessikCompress(level, data.data(), data.size(), stream.data(), stream.size(), work.data());
  char line[160];
  std::snprintf(line, sizeof line, "%s %d %zu %zu %08x", name.c_str(), level, data.size(), stored,
                ComputeCrc32(stream.data(), stored));
  return line;
}

TEST(TessikStable, EncoderOutputMatchesTheRecord) {
  const std::string path = std::string(KETREL_TEST_DATA) + "/tessik_digests.txt";
  std::ostringstream today;
  for (const stable_input& input : StableInputs()) {
    ASSERT_FALSE(input.data.empty() && input.name.find('.') != std::string::npos)
        << input.name << " is missing";
    for (int level = 0; level < kTessikLevelCount; ++level) {
      if (!input.everyLevel && level > 3 && level % 11 != 1) continue;
      today << DigestLine(input.name, level, input.data) << "\n";
    }
  }
  if (std::getenv("KETREL_UPDATE_GOLDEN") != nullptr) std::ofstream(path) << today.str();
  std::ifstream in(path);
  std::string recorded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(recorded.empty()) << path << " is missing";
  // Line by line, so a failure names the input and level that moved.
  std::istringstream want(recorded), got(today.str());
  for (;;) {
    std::string a, b;
    bool more = static_cast<bool>(std::getline(want, a));
    more = static_cast<bool>(std::getline(got, b)) || more;
    if (!more) break;
    EXPECT_EQ(a, b);
  }
}

}  // namespace
}  // namespace ketrel
