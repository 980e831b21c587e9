// bench_export: `ketrel export` of real scene files against `assimp export`
// of the same files to .glb (Debian's assimp-utils), in the same run: the
// best wall time of N runs each (the two alternate, so both see the same
// machine load), the best CPU time (user + system, steadier than wall time
// on a shared machine) and each one's peak memory, its own and its
// children's (ketrel imports in a child process), from wait4's rusage.
//
// ./scripts/bench.sh export [--runs N] [FILE ...]
// The ketrel program is found next to this benchmark's build (or KETREL_EXE).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Settings {
  int Runs = 5;
  std::vector<std::string> Files;
  std::string Ketrel;
  std::string Assimp = "assimp";
};

struct Measure {
  double BestSeconds = 1e30;
  double BestCpuSeconds = 1e30;  // user + system, its children included
  long PeakKiB = 0;
  bool Failed = false;
};

// Runs a command with its output thrown away; false when it did not exit 0.
bool RunOnce(const std::vector<std::string>& arguments, Measure& measure) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  measure.BestSeconds = std::min(measure.BestSeconds, seconds);
  double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  measure.BestCpuSeconds = std::min(measure.BestCpuSeconds, cpu);
  measure.PeakKiB = std::max(measure.PeakKiB, long(usage.ru_maxrss));
  return true;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

int RunBenchmark(const Settings& settings) {
  fs::path dir = fs::temp_directory_path() / ("bench_export." + std::to_string(getpid()));
  fs::create_directories(dir);
  std::printf("ketrel export vs assimp export (to .glb), best of %d runs each\n", settings.Runs);
  std::printf("load average before: %s\n", LoadAverage().c_str());
  std::printf("%-22s %9s %9s %6s %9s %9s %6s %11s %11s\n", "file", "ketrel s", "assimp s", "ratio",
              "ketrel cpu", "assimp cpu", "ratio", "ketrel MiB", "assimp MiB");
  bool failed = false;
  for (const std::string& file : settings.Files) {
    Measure ketrel, assimp;
    for (int run = 0; run < settings.Runs; ++run) {
      ketrel.Failed |= !RunOnce(
          {settings.Ketrel, "export", "--silent", file, (dir / "out.kt2").string()}, ketrel);
      assimp.Failed |=
          !RunOnce({settings.Assimp, "export", file, (dir / "out.glb").string()}, assimp);
    }
    std::string name = fs::path(file).filename().string();
    if (ketrel.Failed || assimp.Failed) {
      std::printf("%-22s failed:%s%s\n", name.c_str(), ketrel.Failed ? " ketrel" : "",
                  assimp.Failed ? " assimp" : "");
      failed = true;
      continue;
    }
    const double wall = ketrel.BestSeconds / assimp.BestSeconds;
    const double cpu = ketrel.BestCpuSeconds / std::max(assimp.BestCpuSeconds, 1e-6);
    std::printf("%-22s %9.3f %9.3f %6.2f %9.3f %9.3f %6.2f %11.1f %11.1f  (target <= 1.0x: %s)\n",
                name.c_str(), ketrel.BestSeconds, assimp.BestSeconds, wall, ketrel.BestCpuSeconds,
                assimp.BestCpuSeconds, cpu, double(ketrel.PeakKiB) / 1024,
                double(assimp.PeakKiB) / 1024, wall <= 1.0 && cpu <= 1.0 ? "met" : "not met");
  }
  std::printf("load average after: %s (machine: %ld cores)\n", LoadAverage().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));
  fs::remove_all(dir);
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--runs" && i + 1 < argc) {
      settings.Runs = std::max(1, std::atoi(argv[++i]));
    } else if (argument.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: %s [--runs N] [FILE ...]\n", argv[0]);
      return 2;
    } else {
      settings.Files.push_back(argument);
    }
  }
  if (settings.Files.empty()) {
    const std::string models = "/usr/share/assimp/models/";
    // Meshes and skins, then the captures whose dense tracks the fitter
    // works hardest on.
    settings.Files = {models + "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
                      models + "X/BCN_Epileptic.X", models + "CSM/ThomasFechten.csm",
                      models + "BVH/01_01.bvh", models + "BVH/Boxing_Toes.bvh"};
  }
  const char* exe = std::getenv("KETREL_EXE");
  settings.Ketrel = exe ? exe
                        : (fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                           "tools" / "ketrel" / "ketrel")
                              .string();
  if (!fs::exists(settings.Ketrel)) {
    std::fprintf(stderr, "no ketrel program at %s (set KETREL_EXE)\n", settings.Ketrel.c_str());
    return 2;
  }
  return RunBenchmark(settings);
}
