// S3TC encoders compared on the same photographs and textures: ours
// (rt/ketrel_s3tc), stb_dxt (libstb-dev, normal mode) and libsquish
// (libsquish-dev, cluster fit, uniform channel weights). DXT1 for colour and
// DXT5 for colour with alpha.
//
// Every result is decoded by one decoder (ours, as DXT decoders round) and
// measured against the source: PSNR over R, G, B (and A for DXT5) of all
// images together. Besides the benchmark lines it prints, per encoder and
// format, PSNR and megapixels per second (of the encoding thread's CPU
// time), and the ratios to stb_dxt.
// The images are those of assimp-testmodels; set KETREL_BENCH_IMAGES to a
// colon-separated list of files to use others.
#include <benchmark/benchmark.h>
#include <squish.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#include <stb/stb_dxt.h>
#pragma GCC diagnostic pop

#include "rt/ketrel_s3tc.h"

namespace {

const char* const kDefaultImages[] = {
    "/usr/share/assimp/models/LWO/LWO2/MappingModes/earthSpherical.jpg",
    "/usr/share/assimp/models/IRRMesh/crackedground_1-6.jpg",
    "/usr/share/assimp/models/IRRMesh/brownground_1-1.jpg",
    "/usr/share/assimp/models/Ogre/TheThing/Wrinkles.jpg",
    "/usr/share/assimp/models/3DS/CWALL02.jpg",
    "/usr/share/assimp/models/OBJ/drkwood2.jpg",
    "/usr/share/assimp/models/MS3D/jeep1.jpg",
    "/usr/share/assimp/models/IQM/Body.jpg",
    "/usr/share/assimp/models/IQM/Head.jpg",
    "/usr/share/assimp/models/glTF/CesiumMilkTruck/CesiumMilkTruck.png",
};

struct Image {
  std::string name;
  int width = 0, height = 0;  // multiples of 4 (cropped)
  std::vector<uint8_t> rgba;
};

// Alpha for the DXT5 runs: a soft radial mask with a hard-edged hole, so
// both smooth ramps and 0/255 steps occur.
void AddAlpha(Image& image) {
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      double dx = (x - image.width / 2.0) / image.width,
             dy = (y - image.height / 2.0) / image.height;
      double d = std::sqrt(dx * dx + dy * dy);
      int a = d < 0.08 ? 0 : int(std::fmax(0.0, std::fmin(255.0, 255.0 * (1.2 - 1.6 * d))));
      image.rgba[(size_t(y) * image.width + x) * 4 + 3] = uint8_t(a);
    }
  }
}

std::vector<Image> LoadImages() {
  std::vector<std::string> paths;
  if (const char* list = std::getenv("KETREL_BENCH_IMAGES")) {
    std::string all = list;
    for (size_t start = 0; start <= all.size();) {
      size_t end = all.find(':', start);
      if (end == std::string::npos) end = all.size();
      if (end > start) paths.push_back(all.substr(start, end - start));
      start = end + 1;
    }
  } else {
    paths.assign(std::begin(kDefaultImages), std::end(kDefaultImages));
  }
  std::vector<Image> images;
  for (const std::string& path : paths) {
    int w, h, channels;
    stbi_uc* pixels = stbi_load(path.c_str(), &w, &h, &channels, 4);
    if (!pixels) {
      std::fprintf(stderr, "skipped %s: %s\n", path.c_str(), stbi_failure_reason());
      continue;
    }
    Image image;
    image.name = path.substr(path.find_last_of('/') + 1);
    image.width = w & ~3;
    image.height = h & ~3;
    image.rgba.resize(size_t(image.width) * image.height * 4);
    for (int y = 0; y < image.height; ++y)
      std::memcpy(&image.rgba[size_t(y) * image.width * 4], pixels + size_t(y) * w * 4,
                  size_t(image.width) * 4);
    stbi_image_free(pixels);
    AddAlpha(image);
    images.push_back(std::move(image));
  }
  return images;
}

struct Encoder {
  const char* name;
  void (*encode)(const Image& image, int subFormat, uint8_t* out);
};

void GatherBlock(const Image& image, int bx, int by, uint8_t block[64]) {
  for (int y = 0; y < 4; ++y)
    std::memcpy(block + 16 * y, &image.rgba[(size_t(by * 4 + y) * image.width + bx * 4) * 4], 16);
}

void EncodeOurs(const Image& image, int subFormat, uint8_t* out) {
  ketrel::EncodeS3TCImage(image.rgba.data(), image.width, image.height, image.width * 4, subFormat,
                          out);
}

void EncodeStb(const Image& image, int subFormat, uint8_t* out) {
  const int blockBytes = ketrel::S3TCBlockBytes(subFormat);
  uint8_t block[64];
  for (int by = 0; by < image.height / 4; ++by) {
    for (int bx = 0; bx < image.width / 4; ++bx, out += blockBytes) {
      GatherBlock(image, bx, by, block);
      stb_compress_dxt_block(out, block, subFormat == ketrel::kS3TCInterpolatedAlpha,
                             STB_DXT_NORMAL);
    }
  }
}

void EncodeSquish(const Image& image, int subFormat, uint8_t* out) {
  const int blockBytes = ketrel::S3TCBlockBytes(subFormat);
  const int flags = (subFormat == ketrel::kS3TCInterpolatedAlpha ? squish::kDxt5 : squish::kDxt1) |
                    squish::kColourClusterFit;
  uint8_t block[64];
  for (int by = 0; by < image.height / 4; ++by) {
    for (int bx = 0; bx < image.width / 4; ++bx, out += blockBytes) {
      GatherBlock(image, bx, by, block);
      // squish codes DXT1 pixels below half alpha as transparent; the DXT1
      // run measures colour only, as the other encoders code it.
      if (subFormat == ketrel::kS3TCNoAlpha)
        for (int i = 0; i < 16; ++i) block[4 * i + 3] = 255;
      squish::Compress(block, out, flags);
    }
  }
}

const Encoder kEncoders[] = {
    {"ketrel", EncodeOurs}, {"stb_dxt", EncodeStb}, {"squish", EncodeSquish}};
const int kFormats[] = {ketrel::kS3TCNoAlpha, ketrel::kS3TCInterpolatedAlpha};

struct Result {
  double squaredError = 0;
  double samples = 0;
  double pixels = 0;
  double seconds = 0;
};

std::vector<Image>& Images() {
  static std::vector<Image> images = LoadImages();
  return images;
}

double Psnr(const Result& r) {
  return r.squaredError > 0 ? 10.0 * std::log10(255.0 * 255.0 * r.samples / r.squaredError) : 99.0;
}

// The encoding thread's own CPU time: on a machine busy with other work the
// time this thread waits for a core counts for neither encoder, so runs
// taken minutes apart compare.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Per encoder and format: the decoded error and the time spent encoding.
Result g_results[3][2];

// Decodes `blocks` and adds its error against the source to `result`.
void Measure(const Image& image, int subFormat, const std::vector<uint8_t>& blocks,
             Result& result) {
  const int channels = subFormat == ketrel::kS3TCNoAlpha ? 3 : 4;
  std::vector<uint8_t> decoded(image.rgba.size());
  ketrel::DecodeS3TCImage(blocks.data(), image.width, image.height, subFormat, decoded.data(),
                          image.width * 4);
  double squared = 0;
  for (size_t i = 0; i < decoded.size(); i += 4) {
    for (int k = 0; k < channels; ++k) {
      double d = double(decoded[i + size_t(k)]) - image.rgba[i + size_t(k)];
      squared += d * d;
    }
  }
  result.squaredError += squared;
  result.samples += double(image.rgba.size() / 4) * channels;
}

// One round: every image encoded by every encoder in turn, image by image,
// ours and stb_dxt taking turns at going first, so that whatever else the
// machine does falls on both alike. The errors are taken in the first round.
void Encode(benchmark::State& state, int formatIndex) {
  const int subFormat = kFormats[formatIndex];
  int round = 0;
  Result totals[3];
  for (auto _ : state) {
    for (const Image& image : Images()) {
      std::vector<uint8_t> blocks(
          size_t(ketrel::S3TCImageBytes(image.width, image.height, subFormat)));
      for (int k = 0; k < 3; ++k) {
        // squish, a hundred times slower, takes part in the first round only.
        const int e = round == 0 ? k : k == 2 ? 2 : (k + round) % 2;
        if (round > 0 && e == 2) continue;
        const double start = ThreadSeconds();
        kEncoders[e].encode(image, subFormat, blocks.data());
        totals[e].seconds += ThreadSeconds() - start;
        totals[e].pixels += double(image.rgba.size() / 4);
        if (round == 0) Measure(image, subFormat, blocks, totals[e]);
      }
    }
    ++round;
  }
  for (int e = 0; e < 3; ++e) {
    g_results[e][formatIndex] = totals[e];
    state.counters[std::string(kEncoders[e].name) + " MP/s"] =
        totals[e].pixels / totals[e].seconds / 1e6;
    state.counters[std::string(kEncoders[e].name) + " PSNR"] = Psnr(totals[e]);
  }
}

void PrintSummary() {
  std::printf("\n%zu images\n", Images().size());
  for (int f = 0; f < 2; ++f) {
    const Result& stb = g_results[1][f];
    std::printf("%s\n", f == 0 ? "DXT1 (RGB PSNR)" : "DXT5 (RGBA PSNR)");
    for (int e = 0; e < 3; ++e) {
      const Result& r = g_results[e][f];
      if (r.seconds <= 0 || stb.seconds <= 0) continue;
      double speed = r.pixels / r.seconds / 1e6, stbSpeed = stb.pixels / stb.seconds / 1e6;
      std::printf("  %-8s PSNR %7.3f dB (%+.3f vs stb_dxt)  %8.2f MP/s (x%.2f of stb_dxt)\n",
                  kEncoders[e].name, Psnr(r), Psnr(r) - Psnr(stb), speed, speed / stbSpeed);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (Images().empty()) {
    std::fprintf(stderr, "no images (install assimp-testmodels or set KETREL_BENCH_IMAGES)\n");
    return 1;
  }
  for (int f = 0; f < 2; ++f)
    benchmark::RegisterBenchmark(f == 0 ? "dxt1" : "dxt5", Encode, f)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(9);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
