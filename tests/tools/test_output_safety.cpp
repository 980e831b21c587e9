// The target of a command is handled with care: never one of its own inputs,
// never a device, directory or fifo, written through links, keeping its mode,
// never cutting hard links apart, and never leaving temporary files behind
// for good. Memory stays bounded, and running out of it is a failure, never
// a file with tracks quietly missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rt/ketrel_standard_types.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

namespace fs = std::filesystem;

class OutputSafety : public test::CommandTest {
 protected:
  std::string Scene() {
    const std::string copy = Path("scene.kscene");
    if (!fs::exists(copy)) fs::copy_file(test::kFigure, copy);
    return copy;
  }
  void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  // Exports the scene to `target`; returns the exit code, stderr in `err`.
  int Export(const std::string& target, std::string* err = nullptr, const std::string& more = "",
             const std::string& before = "") {
    return Run("export " + Scene() + " " + target + " --silent " + more, nullptr, err, before);
  }
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

// Writing over an input would destroy what the command reads.
TEST_F(OutputSafety, AnOutputIsNeverAnInput) {
  const std::string scene = Scene(), before = Slurp(scene);
  const std::string kes = Path("s.kes"), link = Path("alias.kscene");
  fs::create_symlink(scene, link);
  struct Case {
    std::string arguments;
  };
  const Case cases[] = {
      {"export " + scene + " " + scene},
      {"export " + scene + " " + link},
      {"export " + scene + " " + Path("a.kt2") + " --save-scene " + link},
      {"export " + scene + " " + Path("a.kt2") + " --save-scene " + Path("a.kt2")},
      {"import " + scene + " " + link},
      {"settings save " + scene + " " + scene},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(Run(c.arguments, nullptr, &err), 2) << c.arguments;
    EXPECT_NE(err.find("which this command reads"), std::string::npos) << err;
    EXPECT_EQ(Slurp(scene), before) << c.arguments;
  }
  ASSERT_EQ(Run("settings save " + scene + " " + kes), 0);
  EXPECT_EQ(Export(Path("b.kt2"), nullptr, "--settings " + kes + " --attach " + kes), 0);
  EXPECT_EQ(Export(kes, nullptr, "--settings " + kes), 2);
}

// A directory or a fifo is refused and stays what it was; a symbolic link
// is written through; an existing file keeps its mode; a file with other
// hard links is refused rather than cut from them.
TEST_F(OutputSafety, TargetsAreWrittenAsTheyAre) {
  std::string err;
  const std::string directory = Path("folder.kt2"), fifo = Path("pipe.kt2");
  fs::create_directory(directory);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& target : {directory, fifo}) {
    EXPECT_EQ(Export(target, &err), 1) << target;
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
  }
  EXPECT_TRUE(fs::is_directory(directory));
  EXPECT_TRUE(fs::is_fifo(fifo));

  const std::string real = Path("real.kt2"), link = Path("link.kt2");
  Write(real, "old");
  fs::create_symlink("real.kt2", link);  // relative, as links often are
  ASSERT_EQ(Export(link, &err), 0) << err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_NE(Slurp(real), "old");
  EXPECT_EQ(Slurp(real), Slurp(link));

  const std::string secret = Path("secret.kt2");
  Write(secret, "old");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(Export(secret, &err, "--atomic"), 0) << err;
  struct stat info;
  ASSERT_EQ(stat(secret.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const std::string first = Path("first.kt2"), second = Path("second.kt2");
  Write(first, "shared");
  fs::create_hard_link(first, second);
  EXPECT_EQ(Export(second, &err), 1);
  EXPECT_NE(err.find("hard links"), std::string::npos) << err;
  EXPECT_EQ(Slurp(first), "shared");
  EXPECT_EQ(Slurp(second), "shared");
}

// A write past the file size limit fails as an error, not a dead process,
// and leaves nothing beside the target; temporary files of a process that
// is gone (a killed export) are cleared by the next export, those of a
// live one are not.
TEST_F(OutputSafety, TemporaryFilesNeverOutliveTheirExport) {
  const std::string out = Path("out.kt2");
  Write(out, "old");
  std::string err;
  EXPECT_EQ(Export(out, &err, "", "ulimit -f 4;"), 1);
  EXPECT_NE(err.find("cannot write " + out + ": file too large"), std::string::npos) << err;
  EXPECT_EQ(Slurp(out), "old");

  const std::string stale = out + ".tmp-999999999-abcdef", live = out + ".tmp-1-abcdef";
  Write(stale, "left by a killed export");
  Write(live, "another export's, still running");
  ASSERT_EQ(Export(out, &err), 0) << err;
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live));
  fs::remove(live);
  for (const auto& entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

// One signal policy for every phase: the first SIGINT or SIGTERM stops the
// command at its next check (the fitting workers and the import included),
// it exits 130 or 143, the old target stays and nothing is left beside it.
// Under --silent a Ctrl-C used to kill the program outright, and while
// packaging it was ignored and the target replaced.
TEST_F(OutputSafety, SignalsCancelEveryPhaseAndKeepTheOldFile) {
#if defined(__SANITIZE_ADDRESS__)
  const double limit = 4.0;  // a single fit runs several times slower
#else
  const double limit = 1.0;
#endif
  // The walker with its keys spread over days: each track is one fit of a
  // quarter of a million samples, seconds long; a Ctrl-C must not wait for it.
  const std::string longTracks = Stretched(20000000);
  const std::string bvh = "/usr/share/assimp/models/BVH/01_03.bvh";
  struct Case {
    int signal;
    std::string scene;
    const char* options;  // words split at spaces
    double after;         // seconds before the signal
  };
  const Case cases[] = {
      {SIGINT, bvh, "--silent", 0.8},
      {SIGTERM, bvh, "", 0.8},
      {SIGINT, bvh, "--silent --test-import-fault hang", 0.3},
      {SIGINT, longTracks, "--threads 1", 0.2},  // while sampling
      {SIGINT, longTracks, "--threads 1", 1.0},
      {SIGINT, longTracks, "--threads 1", 3.0},
  };
  for (const Case& c : cases) {
    const std::string out = Path("signalled.kt2");
    Write(out, "old");
    std::vector<std::string> words = {KETREL_EXE, "export", c.scene, out};
    std::istringstream options(c.options);
    for (std::string word; options >> word;) words.push_back(word);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    usleep(useconds_t(c.after * 1e6));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(child, c.signal), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal) << c.options;
    EXPECT_LE(took, limit) << c.options;
    EXPECT_EQ(Slurp(out), "old");
    for (const auto& entry : fs::directory_iterator(dir_))
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

// The importer runs in a child that must not outlive ketrel: killed with
// SIGKILL (no handler runs), the parent takes its child along.
TEST_F(OutputSafety, TheImportChildDiesWithItsParent) {
  const std::string pidFile = Path("parent.pid");
  const std::string start =
      std::string(KETREL_EXE) +
      " import --test-import-fault hang /usr/share/assimp/models/BVH/01_01.bvh " +
      Path("hang.kscene") + " >/dev/null 2>&1 & echo $! > " + pidFile;
  ASSERT_EQ(std::system(start.c_str()), 0);
  const pid_t parent = pid_t(std::stol(Slurp(pidFile)));
  // Its child, once it has one.
  pid_t child = 0;
  for (int wait = 0; wait < 100 && child == 0; ++wait) {
    usleep(50000);
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                           "/children");
    children >> child;
  }
  ASSERT_GT(child, 0) << "no import child appeared";
  ASSERT_EQ(kill(parent, SIGKILL), 0);
  bool gone = false;
  for (int wait = 0; wait < 40 && !gone; ++wait) {
    usleep(50000);
    // Gone, or a zombie waiting for a new parent to reap it.
    std::ifstream status("/proc/" + std::to_string(child) + "/stat");
    std::string pid, name, state;
    gone = !(status >> pid >> name >> state) || state == "Z";
  }
  EXPECT_TRUE(gone) << "the import child " << child << " outlived its parent";
  if (!gone) kill(child, SIGKILL);
  int ignored = 0;
  waitpid(parent, &ignored, WNOHANG);
}

class MemoryBounds : public OutputSafety {};

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
