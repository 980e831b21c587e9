// Curve fitting on a motion-capture clip: per tolerance, the bytes stored
// against the raw samples, the largest error of each channel kind and the
// fitting time; then Google Benchmarks of one full fit of the clip and of
// evaluating a pose (every joint's orientation at one time), with the curves
// a tight tolerance gives, without and with sampled key curves.
//
// The clip is read with a few lines of BVH parsing (joint offsets, channel
// lists, the motion rows); each joint becomes a position, an orientation and
// a scale/shear channel, as the exporter samples bones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"

namespace {

using namespace ketrel;

const char* kClip = "/usr/share/assimp/models/BVH/01_01.bvh";

struct Joint {
  float offset[3] = {0, 0, 0};
  std::vector<std::string> channels;
  int firstChannel = 0;
};

struct Clip {
  std::vector<Joint> joints;
  int frames = 0;
  float frameTime = 0;
  std::vector<float> motion;  // frames x channels
  int channels = 0;
  // Per joint: frames x 3 positions, x 4 quaternions, x 9 scale/shear.
  std::vector<std::vector<float>> positions, orientations, scales;
};

bool ReadClip(const char* path, Clip* clip) {
  std::ifstream in(path);
  if (!in) return false;
  std::string word;
  Joint* current = nullptr;
  while (in >> word) {
    if (word == "ROOT" || word == "JOINT") {
      clip->joints.emplace_back();
      current = &clip->joints.back();
      in >> word;  // name
    } else if (word == "End") {
      current = nullptr;  // an end site has an offset but no channels
    } else if (word == "OFFSET") {
      float o[3];
      in >> o[0] >> o[1] >> o[2];
      if (current != nullptr) std::copy(o, o + 3, current->offset);
    } else if (word == "CHANNELS") {
      int count;
      in >> count;
      current->firstChannel = clip->channels;
      for (int c = 0; c < count; ++c) {
        in >> word;
        current->channels.push_back(word);
      }
      clip->channels += count;
    } else if (word == "Frames:") {
      in >> clip->frames;
    } else if (word == "Time:") {
      in >> clip->frameTime;
      clip->motion.resize(static_cast<size_t>(clip->frames) * clip->channels);
      for (float& v : clip->motion) in >> v;
      break;
    }
  }
  return clip->frames > 1 && !clip->joints.empty() && in;
}

void Multiply(const double* a, const double* b, double* out) {
  double r[4] = {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1],
                 a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
                 a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3],
                 a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
  std::copy(r, r + 4, out);
}

void SampleJoints(Clip* clip) {
  size_t n = clip->joints.size();
  clip->positions.assign(n, {});
  clip->orientations.assign(n, {});
  clip->scales.assign(n, {});
  for (size_t j = 0; j < n; ++j) {
    const Joint& joint = clip->joints[j];
    float previous[4] = {0, 0, 0, 1};
    for (int f = 0; f < clip->frames; ++f) {
      const float* row =
          &clip->motion[static_cast<size_t>(f) * clip->channels + joint.firstChannel];
      float position[3] = {joint.offset[0], joint.offset[1], joint.offset[2]};
      double q[4] = {0, 0, 0, 1};
      for (size_t c = 0; c < joint.channels.size(); ++c) {
        const std::string& name = joint.channels[c];
        int axis = name[0] - 'X';
        if (name.find("position") != std::string::npos) {
          position[axis] += row[c];
        } else {
          double half = row[c] * M_PI / 360.0, r[4] = {0, 0, 0, std::cos(half)};
          r[axis] = std::sin(half);
          Multiply(q, r, q);  // channels apply in the order listed
        }
      }
      float out[4] = {float(q[0]), float(q[1]), float(q[2]), float(q[3])};
      // Keep neighbouring samples in one hemisphere, as the exporter does.
      if (out[0] * previous[0] + out[1] * previous[1] + out[2] * previous[2] +
              out[3] * previous[3] <
          0) {
        for (float& v : out) v = -v;
      }
      std::copy(out, out + 4, previous);
      clip->positions[j].insert(clip->positions[j].end(), position, position + 3);
      clip->orientations[j].insert(clip->orientations[j].end(), out, out + 4);
      const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
      clip->scales[j].insert(clip->scales[j].end(), identity, identity + 9);
    }
  }
}

struct Tolerance {
  float position;  // scene units
  float degrees;
  float scale;
};

struct Totals {
  long bytes = 0;
  double maxPosition = 0, maxDegrees = 0, maxScale = 0;
  int missed = 0;
};

double Distance(const float* a, const float* b, int d) {
  double sum = 0;
  for (int k = 0; k < d; ++k) sum += double(a[k] - b[k]) * (a[k] - b[k]);
  return std::sqrt(sum);
}

double Degrees(const float* a, const float* b) {
  double dot = std::fabs(double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2] +
                         double(a[3]) * b[3]);
  return 2.0 * std::acos(std::fmin(1.0, dot)) * 180.0 / M_PI;
}

// Fits every channel of the clip; measures errors when `totals` is given.
void FitClip(const Clip& clip, const Tolerance& tolerance, BSplineSolver* solver, Totals* totals) {
  static const float kZero[3] = {0, 0, 0}, kUnit[4] = {0, 0, 0, 1};
  static const float kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  struct Channel {
    const std::vector<std::vector<float>>* samples;
    int dimension, flags;
    float tolerance;
    data_type_definition* const* formats;
    int formatCount;
    data_type_definition* constant;
    const float* identity;
  };
  const Channel kinds[3] = {
      {&clip.positions, 3, 0x30, tolerance.position, PositionCurveFormats, 6, D3Constant32fType,
       kZero},
      {&clip.orientations, 4, 0x31, OrientationToleranceFromDegrees(tolerance.degrees),
       OrientationCurveFormats, 3, D4Constant32fType, kUnit},
      {&clip.scales, 9, 0x30, tolerance.scale, ScaleShearCurveFormats, 7, DaConstant32fType,
       kIdentity}};
  for (size_t j = 0; j < clip.joints.size(); ++j) {
    for (int k = 0; k < 3; ++k) {
      const Channel& kind = kinds[k];
      const std::vector<float>& samples = (*kind.samples)[j];
      CurveFitParameters p;
      p.Degree = 3;
      p.ReduceToConstant = 1;
      p.Tolerance = kind.tolerance;
      p.CandidateFormats = kind.formats;
      p.CandidateFormatCount = kind.formatCount;
      p.ConstantFormat = kind.constant;
      p.IdentityFormat = DaIdentityType;
      p.IdentityValue = kind.identity;
      bool achieved = false;
      curve2* curve = CompressCurve(solver, kind.flags, p, samples.data(), kind.dimension,
                                    clip.frames, clip.frameTime, &achieved);
      if (curve == nullptr) continue;
      if (totals != nullptr) {
        totals->bytes += CurveIsIdentity(curve) ? 0 : GetCurveByteSize(curve);
        totals->missed += achieved ? 0 : 1;
        float value[9];
        for (int f = 0; f < clip.frames; ++f) {
          const float* s = &samples[static_cast<size_t>(f) * kind.dimension];
          EvaluateCurveAtT(kind.dimension, k == 1, curve, nullptr, nullptr, 0, f * clip.frameTime,
                           value, kind.identity);
          if (k == 0) totals->maxPosition = std::fmax(totals->maxPosition, Distance(value, s, 3));
          if (k == 1) totals->maxDegrees = std::fmax(totals->maxDegrees, Degrees(value, s));
          if (k == 2) totals->maxScale = std::fmax(totals->maxScale, Distance(value, s, 9));
        }
      }
      FreeCurve(curve);
    }
  }
}

const Tolerance kTolerances[] = {
    {0.001f, 0.01f, 0.001f}, {0.01f, 0.1f, 0.001f}, {0.1f, 0.5f, 0.01f}, {0.5f, 2.0f, 0.01f}};

Clip* LoadedClip() {
  static Clip clip;
  static bool loaded = ReadClip(kClip, &clip) && (SampleJoints(&clip), true);
  return loaded ? &clip : nullptr;
}

void PrintTable(const Clip& clip) {
  long raw = static_cast<long>(clip.joints.size()) * clip.frames * 10 * 4;
  std::printf("%s: %zu bones, %d samples at %.4f s\n", kClip, clip.joints.size(), clip.frames,
              clip.frameTime);
  std::printf("%9s %8s | %10s %10s %7s | %10s %9s %9s | %6s %8s\n", "pos tol", "rot deg",
              "stored B", "raw B", "ratio", "max pos", "max deg", "max scale", "missed", "fit ms");
  BSplineSolver* solver = CreateBSplineSolver(3, clip.frames, 9);
  for (const Tolerance& tolerance : kTolerances) {
    Totals totals;
    std::clock_t start = std::clock();
    FitClip(clip, tolerance, solver, &totals);
    double ms = 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC;
    std::printf("%9.3f %8.2f | %10ld %10ld %6.1fx | %10.5f %9.4f %9.5f | %6d %8.0f\n",
                tolerance.position, tolerance.degrees, totals.bytes, raw,
                double(raw) / double(totals.bytes > 0 ? totals.bytes : 1), totals.maxPosition,
                totals.maxDegrees, totals.maxScale, totals.missed, ms);
  }
  std::printf(
      "(fit ms: processor time of one thread, measuring every sample included; misses\n"
      " are capture glitches no span of 3 or more samples can follow)\n\n");
  DestroyBSplineSolver(solver);
}

void BM_FitClip(benchmark::State& state) {
  Clip* clip = LoadedClip();
  if (clip == nullptr) {
    state.SkipWithError("BVH clip not found");
    return;
  }
  BSplineSolver* solver = CreateBSplineSolver(3, clip->frames, 9);
  for (auto _ : state) FitClip(*clip, kTolerances[state.range(0)], solver, nullptr);
  DestroyBSplineSolver(solver);
}
BENCHMARK(BM_FitClip)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Every joint's orientation fitted at `degrees`, the candidates of an
// orientation channel with or without sampled keys.
std::vector<curve2*> FitOrientations(const Clip& clip, float degrees, bool sampledKeys) {
  static const float kUnit[4] = {0, 0, 0, 1};
  BSplineSolver* solver = CreateBSplineSolver(3, clip.frames, 4);
  std::vector<curve2*> curves;
  for (const std::vector<float>& samples : clip.orientations) {
    CurveFitParameters p;
    p.Degree = 2;
    p.ReduceToConstant = 1;
    p.Tolerance = OrientationToleranceFromDegrees(degrees);
    p.CandidateFormats = GetCurveCandidateFormats(curve_channel::Orientation, 4, true, true,
                                                  &p.CandidateFormatCount, sampledKeys);
    p.ConstantFormat = D4Constant32fType;
    p.IdentityFormat = DaIdentityType;
    p.IdentityValue = kUnit;
    curve2* curve =
        CompressCurve(solver, 0x31, p, samples.data(), 4, clip.frames, clip.frameTime, nullptr);
    if (curve != nullptr) curves.push_back(curve);
  }
  DestroyBSplineSolver(solver);
  return curves;
}

void BM_EvaluatePose(benchmark::State& state) {
  static const float kUnit[4] = {0, 0, 0, 1};
  Clip* clip = LoadedClip();
  if (clip == nullptr) {
    state.SkipWithError("BVH clip not found");
    return;
  }
  std::vector<curve2*> curves = FitOrientations(*clip, 0.01f, state.range(0) != 0);
  long bytes = 0, sampled = 0;
  for (curve2* curve : curves) {
    bytes += CurveIsIdentity(curve) ? 0 : GetCurveByteSize(curve);
    sampled += GetCurveFormat(curve) == CurveFormatDaSampledBits;
  }
  const float duration = float(clip->frames - 1) * clip->frameTime;
  float t = 0, value[4];
  for (auto _ : state) {
    for (curve2* curve : curves) {
      EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, t, value, kUnit);
      benchmark::DoNotOptimize(value);
    }
    t += 0.0137f;  // a new time each pose, as a game's clock moves
    if (t > duration) t -= duration;
  }
  state.counters["curves"] = double(curves.size());
  state.counters["sampled"] = double(sampled);
  state.counters["bytes"] = double(bytes);
  for (curve2* curve : curves) FreeCurve(curve);
}
// 0: curves only; 1: sampled key curves offered too (0.01 degrees).
BENCHMARK(BM_EvaluatePose)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  Clip* clip = LoadedClip();
  if (clip == nullptr) {
    std::fprintf(stderr, "cannot read %s (Debian package assimp-testmodels)\n", kClip);
    return 1;
  }
  PrintTable(*clip);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
