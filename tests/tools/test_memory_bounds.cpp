// Memory stays bounded and running out of it is a failure, never a file
// with tracks quietly missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "rt/ketrel_standard_types.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

class MemoryBounds : public test::CommandTest {
 protected:
  // The walker scene with its animation range stretched to `end` ticks.
  std::string Stretched(long end) {
    std::string text = Slurp(std::string(KETREL_TEST_DATA) + "/animation/walker.kscene");
    const std::string from = "\"animationEnd\": 4800";
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos)
      text.replace(at, from.size(), "\"animationEnd\": " + std::to_string(end));
    const std::string path = Path("stretched" + std::to_string(end) + ".kscene");
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

// Keys spread over days of timeline: refused by name and length before a
// byte is allocated for them.
TEST_F(MemoryBounds, AClipPastTheSampleLimitIsRefused) {
  std::string err;
  EXPECT_EQ(
      Run("export " + Stretched(100000000) + " " + Path("long.kt2") + " --silent", nullptr, &err),
      1);
  EXPECT_NE(err.find("more than the 1000000 one export takes"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(Path("long.kt2")));
}

// Under a memory limit too small for a long clip's fitting, the export
// fails with the target untouched; it used to write the file without the
// tracks whose worker had no memory, and say it had succeeded. (Sanitizer
// builds reserve more address space than any such limit.)
TEST_F(MemoryBounds, RunningOutOfMemoryFailsTheExport) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "address limits do not apply under AddressSanitizer";
#else
  const std::string out = Path("tight.kt2");
  std::ofstream(out, std::ios::binary) << "old";
  std::string err;
  const int code = Run("export " + Stretched(40000000) + " " + out + " --silent", nullptr, &err,
                       "ulimit -v 700000;");
  EXPECT_EQ(code, 1) << err;
  EXPECT_EQ(Slurp(out), "old");
#endif
}

// A chain of bones thousands deep (a rope, a tail): the document's cycle
// check and the skeleton's root search used to walk each bone's whole chain,
// quadratic in its depth. The file keeps every bone under its parent.
TEST_F(MemoryBounds, ABoneChainTwentyThousandDeepExportsWhole) {
  constexpr int kDepth = 20000;
  std::string text = R"({"format": "kscene", "version": 1,
    "scene": {"frameRate": 30, "animationStart": 0, "animationEnd": 160, "systemUnit": 1.0},
    "nodes": [{"name": "Rope", "parent": -1, "object": {"type": "helper"}})";
  for (int i = 0; i < kDepth; ++i) {
    text += ",\n{\"name\": \"B" + std::to_string(i) + "\", \"parent\": " + std::to_string(i) +
            ", \"object\": {\"type\": \"bone\"}, \"position\": [0, 0, 0.01]}";
  }
  text += "]}";
  const std::string scene = Path("rope.kscene"), out = Path("rope.kt2");
  std::ofstream(scene, std::ios::binary) << text;
  std::string err;
  ASSERT_EQ(Run("export " + scene + " " + out + " --silent", nullptr, &err), 0) << err;
  test::LoadedFile info = test::Load(out);
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->SkeletonCount, 1);
  // The helper at the top is the rope's root bone.
  const skeleton* rope = info->Skeletons[0];
  ASSERT_EQ(rope->BoneCount, kDepth + 1);
  int32_t misplaced = 0;
  for (int32_t b = 0; b < rope->BoneCount; ++b) misplaced += rope->Bones[b].ParentIndex != b - 1;
  EXPECT_EQ(misplaced, 0);
}

}  // namespace
}  // namespace ketrel
