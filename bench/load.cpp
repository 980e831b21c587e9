// Loading a KT2 file as a game does: a 9 MB export of a motion capture
// (01_01.bvh with every sample kept, the default "File platform" 32-bit
// little endian and Tessik2 compression) read with LoadFileInfoFromMemory,
// which checks, decompresses, converts to this machine's layout and fixes up.
// The peer is the least any reader must do: zstd -3's decoder (libzstd-dev)
// expanding the same sections' bytes, measured in the same run.
//
// Each round loads the file once and decodes the zstd sections once, the
// two taking turns at going first; times are this thread's CPU time, so a
// busy machine weighs on both alike. Prints the ratio and the target.
//
// crc32/file times the CRC-32 of the whole file (the reader checks it before
// anything else) three ways in turns: ours, the slicing-by-8 loop it
// replaced (kept here as it was), and zlib's crc32 when libz.so.1 can be
// opened; prints each one's median speed.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_load.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double kTarget = 1.5;

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Inputs {
  Bytes file;                         // the KT2 file
  std::vector<Bytes> zstdSections;    // each section's expanded bytes, zstd -3
  std::vector<size_t> expandedSizes;  // and their sizes
  size_t expandedTotal = 0;
};

// Exports the capture with the ketrel program and splits the file into its
// expanded sections (decoded with our own reader's decompressor).
bool MakeInputs(Inputs& in) {
  const std::string dir = std::filesystem::temp_directory_path() / "ketrel_bench_load";
  std::filesystem::create_directories(dir);
  const std::string out = dir + "/01_01.kt2";
  const std::string command = std::string(KETREL_EXE) +
                              " export /usr/share/assimp/models/BVH/01_01.bvh " + out +
                              " --silent --set \"Compress animation data=false\" 2>/dev/null";
  if (std::system(command.c_str()) != 0) return false;
  in.file = ReadFile(out);
  if (in.file.size() < ketrel::kFileOpeningSize) return false;
  ketrel::file_header header;
  std::memcpy(&header, in.file.data() + ketrel::kMagicRecordSize, sizeof header);
  for (uint32_t s = 0; s < header.SectionArrayCount; ++s) {
    ketrel::file_section_header section;
    const size_t at = ketrel::kMagicRecordSize + header.SectionArrayOffset +
                      size_t(s) * ketrel::kSectionHeaderSize;
    if (at + sizeof section > in.file.size()) return false;
    std::memcpy(&section, in.file.data() + at, sizeof section);
    if (section.ExpandedDataSize == 0) continue;
    Bytes expanded(section.ExpandedDataSize);
    if (!ketrel::DecompressDataChunk(section.Compression, false, section.DataSize,
                                     in.file.data() + section.DataOffset, section.ExpandedDataSize,
                                     expanded.data()))
      return false;
    Bytes stored(ZSTD_compressBound(expanded.size()));
    stored.resize(ZSTD_compress(stored.data(), stored.size(), expanded.data(), expanded.size(), 3));
    in.zstdSections.push_back(std::move(stored));
    in.expandedSizes.push_back(expanded.size());
    in.expandedTotal += expanded.size();
  }
  return !in.zstdSections.empty();
}

Inputs& TheInputs() {
  static Inputs inputs;
  static const bool made = MakeInputs(inputs);
  if (!made) inputs.file.clear();
  return inputs;
}

double g_ours = 0, g_zstd = 0;
std::vector<double> g_ratios;

void Load(benchmark::State& state) {
  Inputs& in = TheInputs();
  if (in.file.empty()) {
    state.SkipWithError("could not export 01_01.bvh");
    return;
  }
  Bytes out(*std::max_element(in.expandedSizes.begin(), in.expandedSizes.end()));
  int round = 0;
  for (auto _ : state) {
    double ours = 0, zstd = 0;
    for (int k = 0; k < 2; ++k) {
      const double start = CpuSeconds();
      if ((k + round) % 2 == 0) {
        ketrel::file_info* info = ketrel::LoadFileInfoFromMemory(in.file.data(), in.file.size());
        if (!info) {
          state.SkipWithError("the file did not load");
          return;
        }
        ketrel::FreeFileInfo(info);
        ours += CpuSeconds() - start;
      } else {
        for (size_t s = 0; s < in.zstdSections.size(); ++s) {
          const Bytes& stored = in.zstdSections[s];
          if (ZSTD_decompress(out.data(), in.expandedSizes[s], stored.data(), stored.size()) !=
              in.expandedSizes[s]) {
            state.SkipWithError("zstd round trip failed");
            return;
          }
        }
        zstd += CpuSeconds() - start;
      }
    }
    g_ours += ours;
    g_zstd += zstd;
    g_ratios.push_back(ours / zstd);
    ++round;
  }
  state.counters["ours ms"] = g_ours * 1e3 / round;
  state.counters["zstd ms"] = g_zstd * 1e3 / round;
}

// The CRC-32 loop the library used before folding: slicing by 8, one
// dependent chain of table look-ups.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

CrcTables MakeOldTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    tables[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int t = 1; t < 8; ++t)
      tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFF];
  return tables;
}

uint32_t OldCrc32(const uint8_t* p, size_t size) {
  static const CrcTables kTables = MakeOldTables();
  uint32_t state = 0xFFFFFFFFu;
  while (size >= 8) {
    uint32_t low =
        uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    state ^= low;
    state = kTables[7][state & 0xFF] ^ kTables[6][(state >> 8) & 0xFF] ^
            kTables[5][(state >> 16) & 0xFF] ^ kTables[4][state >> 24] ^ kTables[3][p[4]] ^
            kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) state = (state >> 8) ^ kTables[0][(state ^ *p++) & 0xFF];
  return ~state;
}

// zlib's crc32, opened at run time so that nothing else links libz.
using ZlibCrc32 = unsigned long (*)(unsigned long, const unsigned char*, unsigned int);

ZlibCrc32 OpenZlibCrc32() {
  void* library = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
  return library ? reinterpret_cast<ZlibCrc32>(dlsym(library, "crc32")) : nullptr;
}

struct CrcContender {
  const char* name;
  uint32_t (*crc)(const uint8_t*, size_t);
  std::vector<double> speeds;  // GB/s per round
};

ZlibCrc32 g_zlibCrc32 = OpenZlibCrc32();

std::vector<CrcContender> MakeCrcContenders() {
  std::vector<CrcContender> contenders = {
      {"ours", [](const uint8_t* p, size_t n) { return ketrel::ComputeCrc32(p, n); }, {}},
      {"slicing-by-8 (before)", OldCrc32, {}},
  };
  if (g_zlibCrc32)
    contenders.push_back(
        {"zlib",
         [](const uint8_t* p, size_t n) { return uint32_t(g_zlibCrc32(0, p, unsigned(n))); },
         {}});
  return contenders;
}

std::vector<CrcContender> g_crcs = MakeCrcContenders();

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Crc(benchmark::State& state) {
  const Inputs& in = TheInputs();
  if (in.file.empty()) {
    state.SkipWithError("could not export 01_01.bvh");
    return;
  }
  const size_t n = g_crcs.size();
  int round = 0;
  for (auto _ : state) {
    uint32_t first = 0;
    for (size_t k = 0; k < n; ++k) {
      CrcContender& contender = g_crcs[(k + size_t(round)) % n];
      const double start = CpuSeconds();
      const uint32_t crc = contender.crc(in.file.data(), in.file.size());
      contender.speeds.push_back(double(in.file.size()) / (CpuSeconds() - start) * 1e-9);
      if (k > 0 && crc != first) {
        state.SkipWithError("the CRCs differ");
        return;
      }
      first = crc;
    }
    ++round;
  }
  for (const CrcContender& contender : g_crcs)
    state.counters[std::string(contender.name) + " GB/s"] = Median(contender.speeds);
}

void PrintSummary() {
  const Inputs& in = TheInputs();
  if (!g_crcs.empty() && !g_crcs[0].speeds.empty()) {
    std::printf("\nCRC-32 of the file, median GB/s over %zu rounds:", g_crcs[0].speeds.size());
    for (const CrcContender& contender : g_crcs)
      std::printf(" %s %.2f;", contender.name, Median(contender.speeds));
    std::printf(" ours / before %.2fx\n", Median(g_crcs[0].speeds) / Median(g_crcs[1].speeds));
    if (!g_zlibCrc32) std::printf("(zlib left out: libz.so.1 could not be opened)\n");
  }
  if (g_ratios.empty()) return;
  std::vector<double> sorted = g_ratios;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  std::printf("\nfile %zu bytes, %zu sections expanding to %zu bytes, %zu rounds\n", in.file.size(),
              in.zstdSections.size(), in.expandedTotal, g_ratios.size());
  std::printf("load (ours) %.2f ms, zstd -3 decode of the sections %.2f ms per round\n",
              g_ours * 1e3 / double(g_ratios.size()), g_zstd * 1e3 / double(g_ratios.size()));
  std::printf("CPU ratio ours / zstd: %.2fx overall, median round %.2fx (target <= %.1fx: %s)\n",
              g_ours / g_zstd, median, kTarget, median <= kTarget ? "met" : "not met");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("load/01_01_tessik2", Load)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(21);
  benchmark::RegisterBenchmark("crc32/file", Crc)->Unit(benchmark::kMillisecond)->Iterations(31);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
