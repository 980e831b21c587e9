#pragma once
// A fixture for tests that run the ketrel program: a fresh directory per
// test and a way to run a command and read what it printed.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "export/host/host_scene.h"
#include "rt/ketrel_load.h"
#include "tests/support/packed_value.h"

namespace ketrel::test {

// The shipped example scene: a skinned, morphing, animated figure.
inline const std::string kFigure = std::string(KETREL_SOURCE_DIR) + "/examples/figure.kscene";

struct FileInfoDeleter {
  void operator()(file_info* info) const { FreeFileInfo(info); }
};
// A written file read back through the run-time; freed with the test.
using LoadedFile = std::unique_ptr<file_info, FileInfoDeleter>;
inline LoadedFile Load(const std::string& path) { return LoadedFile(LoadFileInfo(path.c_str())); }

// Degrees between two unit quaternions, from the chord (acos of a float dot
// product cannot tell angles below about 0.03 degrees).
inline double Degrees(const float* a, const float* b) {
  double dot = 0, apart = 0, together = 0;
  for (int i = 0; i < 4; ++i) dot += double(a[i]) * b[i];
  for (int i = 0; i < 4; ++i) {
    const double x = a[i], y = dot < 0 ? -b[i] : b[i];
    apart += (x - y) * (x - y);
    together += (x + y) * (x + y);
  }
  return 4 * std::atan2(std::sqrt(apart), std::sqrt(together)) * 180 / M_PI;
}

// A bone's scene node. Bones of equal names are told apart in the file by
// their parents' names: "ClavicleL|Arm" is the Arm under ClavicleL.
inline const host::Node* FindBoneNode(const host::Scene& scene, const std::string& name) {
  const size_t bar = name.rfind('|');
  if (bar == std::string::npos) return scene.FindNode(name);
  const std::string own = name.substr(bar + 1), parent = name.substr(0, bar);
  const std::string parentOwn = parent.substr(parent.rfind('|') + 1);
  for (const auto& node : scene.Nodes)
    if (node->Name == own && node->Parent != nullptr && node->Parent->Name == parentOwn)
      return node.get();
  return nullptr;
}

class CommandTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(KETREL_BINARY_DIR) / "test_tools" / info->test_suite_name() /
           info->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Runs `ketrel ARGUMENTS` with ENVIRONMENT assignments in front; returns
  // its exit code (128 + signal when killed) and what it printed.
  int Run(const std::string& arguments, std::string* out = nullptr, std::string* err = nullptr,
          const std::string& environment = "") {
    std::string outPath = Path("stdout.txt"), errPath = Path("stderr.txt");
    std::string command =
        environment + " " + KETREL_EXE + " " + arguments + " >" + outPath + " 2>" + errPath;
    int status = std::system(command.c_str());
    if (out) *out = Slurp(outPath);
    if (err) *err = Slurp(errPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::filesystem::path dir_;
};

}  // namespace ketrel::test
