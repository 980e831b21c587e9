// Memory stays bounded and running out of it is a failure, never a file
// with tracks quietly missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

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

}  // namespace
}  // namespace ketrel
