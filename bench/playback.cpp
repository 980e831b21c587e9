// Sampling a pose through the run-time: ns per bone to fill a local pose at
// a time, beside the floor, linear interpolation of the raw samples of the
// same bones (position and scale/shear lerped, the quaternion nlerped),
// measured in the same run.
//
// Clips, each exported with the ketrel program three ways (fitted curves at
// the default settings; sampled key curves through --animation-error, 0.001cm
// for the capture and 0.02cm for the character, whose fingers no tighter
// budget holds; the raw samples with "Compress animation data" off, for the
// floor):
//   01_01      /usr/share/assimp/models/BVH/01_01.bvh: 31 joints (38 bones
//              with the end sites), 22.9 s
//   character  a 50-bone figure made here: hips, spine, neck, head, two legs
//              and two arms with five three-joint fingers each, 10 s at 30
//              frames per second, every joint turning on slow waves with
//              a little jitter, as a captured performance would
// Times step by 1/60 s through the clip, looping, as a game plays it, with
// a playback cursor (the targets' figures) and without one.
//
//   ./scripts/bench.sh playback
//   KETREL_BENCH_KEEP=1 before it keeps the exported files for `ketrel info`;
//   KETREL_BENCH_REUSE=1 then samples the kept files without exporting again
//   (for profiling the player alone: the exporter must not have changed).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "export/host/host_scene.h"
#include "export/host/host_scene_document.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_runtime.h"

namespace {

using namespace ketrel;

const char* kMotionCapture = "/usr/share/assimp/models/BVH/01_01.bvh";

enum Kind { kCurves, kSampledKeys, kRaw };
const char* const kKindNames[] = {"curves", "sampled_keys", "raw"};
const char* const kKindSettings[] = {"", " --animation-error ",
                                     " --set \"Compress animation data=false\""};

// The 50-bone character: a chain with limbs, each joint turning about its
// own axis on two slow waves plus a small deterministic jitter.
std::string MakeCharacter(const std::filesystem::path& dir) {
  host::Scene scene;
  scene.SystemUnit = 0.01;  // its numbers are centimetres, as the error budget's
  scene.FrameRate = 30;
  scene.AnimationStart = 0;
  scene.AnimationEnd = 300 * scene.TicksPerFrame();
  uint32_t noise = 12345;
  auto jitter = [&noise]() {
    noise = noise * 1664525u + 1013904223u;
    return float(noise >> 8) / float(1u << 24) - 0.5f;
  };
  int index = 0;
  auto add = [&](const std::string& name, host::Node* parent, float x, float y, float z) {
    host::Node* node = scene.AddNode(name, parent);
    node->Transform.Position.Dimension = 3;
    node->Transform.Position.Value = {x, y, z};
    const float phase = 0.7f * float(index), amplitude = 0.3f + 0.02f * float(index % 7);
    const Vector3 axis = {float(index % 3 == 0), float(index % 3 == 1), float(index % 3 == 2)};
    for (int f = 0; f <= 300; ++f) {
      const float t = float(f) / 30.0f;
      const float angle = amplitude * std::sin(2.0f * t + phase) +
                          0.1f * std::sin(7.3f * t + 2 * phase) + 0.004f * jitter();
      node->Transform.Rotation.KeyTicks.push_back(f * scene.TicksPerFrame());
      node->Transform.Rotation.KeyValues.push_back(QuaternionFromAxisAngle(axis, angle));
    }
    ++index;
    return node;
  };
  host::Node* hips = add("Hips", nullptr, 0, 95, 0);
  for (int f = 0; f <= 300; ++f) {
    const float t = float(f) / 30.0f;
    hips->Transform.Position.KeyTicks.push_back(f * scene.TicksPerFrame());
    for (float v : {40.0f * t, 95.0f + 3.0f * std::sin(6.0f * t), 2.0f * std::sin(3.0f * t)})
      hips->Transform.Position.KeyValues.push_back(v);
  }
  host::Node* spine = add("Spine", hips, 0, 10, 0);
  host::Node* chest = add("Chest", add("Spine1", spine, 0, 12, 0), 0, 12, 0);
  add("Head", add("Neck", chest, 0, 15, 0), 0, 10, 0);
  for (const char* side : {"L", "R"}) {
    const float s = side[0] == 'L' ? 1.0f : -1.0f;
    host::Node* thigh = add(std::string("Thigh") + side, hips, s * 10, -5, 0);
    add(std::string("Foot") + side, add(std::string("Shin") + side, thigh, 0, -45, 0), 0, -42, 0);
    host::Node* hand =
        add(std::string("Hand") + side,
            add(std::string("Forearm") + side,
                add(std::string("UpperArm") + side,
                    add(std::string("Clavicle") + side, chest, s * 5, 10, 0), s * 15, 0, 0),
                s * 28, 0, 0),
            s * 25, 0, 0);
    for (int finger = 0; finger < 5; ++finger) {
      host::Node* joint = hand;
      for (int segment = 0; segment < 3; ++segment) {
        joint = add("Finger" + std::to_string(finger) + std::to_string(segment) + side, joint,
                    s * (segment == 0 ? 8.0f : 3.0f), 0, 2.0f * float(finger - 2));
      }
    }
  }
  const std::string path = (dir / "character.kscene").string();
  std::string error;
  if (index != 50 || !host::SaveSceneDocument(scene, path, &error)) {
    std::fprintf(stderr, "could not make the character (%d bones): %s\n", index, error.c_str());
    std::exit(1);
  }
  return path;
}

struct FileInfoDeleter {
  void operator()(file_info* info) const { FreeFileInfo(info); }
};

struct Clip {
  std::unique_ptr<file_info, FileInfoDeleter> info;
  track_binding* binding = nullptr;
  std::vector<transform> pose;
  std::vector<uint64_t> cursorMemory;
  playback_cursor* cursor = nullptr;
};

// The raw samples of every bound bone, sample after sample: position 3,
// quaternion 4, scale/shear 9.
struct RawSamples {
  int32_t bones = 0, samples = 0;
  float step = 0, duration = 0;
  std::vector<int32_t> boneIndex;
  std::vector<float> positions, orientations, scales;
  std::vector<transform> pose;
};

std::map<std::string, Clip[3]> gClips;
std::map<std::string, RawSamples> gRaw;

void Export(const std::string& scene, const std::string& out, Kind kind, const char* error) {
  if (std::getenv("KETREL_BENCH_REUSE") != nullptr && std::filesystem::exists(out)) return;
  const std::string command = std::string(KETREL_EXE) + " export \"" + scene + "\" \"" + out +
                              "\" --silent" + kKindSettings[kind] +
                              (kind == kSampledKeys ? error : "") + " >/dev/null";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "export failed: %s\n", command.c_str());
    std::exit(1);
  }
}

bool Decode(const curve2& source, int32_t dimension, int32_t samples, float* out) {
  curve2 curve = source;
  if (CurveIsKeyframed(&curve) && GetCurveKnotCount(&curve) == samples)
    return ExtractCurveKnotsControls(&curve, 0, samples, nullptr, out, nullptr);
  // A channel that never moves is stored as a constant even uncompressed.
  static const float kZero[3] = {0, 0, 0}, kQuaternion[4] = {0, 0, 0, 1},
                     kMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const float* identity = dimension == 3 ? kZero : dimension == 4 ? kQuaternion : kMatrix;
  float value[9];
  if (!EvaluateCurveAtT(dimension, dimension == 4, &curve, nullptr, nullptr, 0, 0, value, identity))
    return false;
  for (int32_t s = 0; s < samples; ++s)
    std::memcpy(out + size_t(s) * dimension, value, size_t(dimension) * sizeof(float));
  return true;
}

void Load(const std::string& name, const std::string& scene, const char* error,
          const std::filesystem::path& dir) {
  for (int kind = 0; kind < 3; ++kind) {
    const std::string out = (dir / (name + "_" + kKindNames[kind] + ".kt2")).string();
    Export(scene, out, Kind(kind), error);
    Clip& clip = gClips[name][kind];
    clip.info.reset(LoadFileInfo(out.c_str()));
    file_info* info = clip.info.get();
    if (!info || info->ModelCount < 1 || info->AnimationCount < 1) std::exit(1);
    const model* m = info->Models[0];
    const animation* a = info->Animations[0];
    clip.binding = BindTrackGroup(m->Skeleton, a, FindTrackGroup(a, m->Name));
    if (!clip.binding) std::exit(1);
    clip.pose.resize(size_t(m->Skeleton->BoneCount));
    clip.cursorMemory.resize((GetPlaybackCursorSize(clip.binding) + 7) / 8);
    clip.cursor = InitPlaybackCursor(clip.binding, clip.cursorMemory.data());
  }
  // The floor's samples come from the uncompressed file: the same bones,
  // the same samples the curves were fitted to.
  const track_binding* b = gClips[name][kRaw].binding;
  RawSamples& raw = gRaw[name];
  raw.step = b->TimeStep;
  raw.duration = b->Duration;
  raw.samples = int32_t(std::lround(b->Duration / b->TimeStep)) + 1;
  raw.bones = b->BoundCount;
  raw.pose.resize(size_t(b->BoneCount));
  raw.positions.resize(size_t(raw.bones) * raw.samples * 3);
  raw.orientations.resize(size_t(raw.bones) * raw.samples * 4);
  raw.scales.resize(size_t(raw.bones) * raw.samples * 9);
  for (int32_t i = 0; i < raw.bones; ++i) {
    const transform_track& track = b->Group->TransformTracks[b->Bound[i].Track];
    raw.boneIndex.push_back(b->Bound[i].Bone);
    if (!Decode(track.PositionCurve, 3, raw.samples, &raw.positions[size_t(i) * raw.samples * 3]) ||
        !Decode(track.OrientationCurve, 4, raw.samples,
                &raw.orientations[size_t(i) * raw.samples * 4]) ||
        !Decode(track.ScaleShearCurve, 9, raw.samples, &raw.scales[size_t(i) * raw.samples * 9])) {
      std::fprintf(stderr, "%s: raw track %s cannot be read\n", name.c_str(), track.Name);
      std::exit(1);
    }
  }
}

constexpr float kFrame = 1.0f / 60.0f;

// The floor: what a player of raw samples must at least do per bone.
void SampleRaw(const RawSamples& raw, float t, transform* pose) {
  float s = t / raw.step;
  int32_t i = int32_t(s);
  if (i >= raw.samples - 1) i = raw.samples - 2;
  const float f = s - float(i);
  for (int32_t b = 0; b < raw.bones; ++b) {
    transform& out = pose[raw.boneIndex[size_t(b)]];
    const float* p = &raw.positions[(size_t(b) * raw.samples + i) * 3];
    const float* q = &raw.orientations[(size_t(b) * raw.samples + i) * 4];
    const float* m = &raw.scales[(size_t(b) * raw.samples + i) * 9];
    float position[3], orientation[4], scale[9];
    for (int k = 0; k < 3; ++k) position[k] = p[k] + (p[k + 3] - p[k]) * f;
    const float dot = q[0] * q[4] + q[1] * q[5] + q[2] * q[6] + q[3] * q[7];
    const float sign = dot < 0 ? -1.0f : 1.0f;
    float length = 0;
    for (int k = 0; k < 4; ++k) {
      orientation[k] = q[k] + (sign * q[k + 4] - q[k]) * f;
      length += orientation[k] * orientation[k];
    }
    const float inverse = 1.0f / std::sqrt(length);
    for (int k = 0; k < 4; ++k) orientation[k] *= inverse;
    for (int k = 0; k < 9; ++k) scale[k] = m[k] + (m[k + 9] - m[k]) * f;
    out.Flags = HasPosition | HasOrientation | HasScaleShear;
    std::memcpy(out.Position, position, sizeof position);
    std::memcpy(out.Orientation, orientation, sizeof orientation);
    std::memcpy(out.ScaleShear, scale, sizeof scale);
  }
}

void PerBone(benchmark::State& state, int32_t bones) {
  state.counters["per_bone"] =
      benchmark::Counter(double(state.iterations()) * bones,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["bones"] = bones;
}

void BM_Raw(benchmark::State& state, const std::string& name) {
  RawSamples& raw = gRaw[name];
  float t = 0;
  for (auto _ : state) {
    SampleRaw(raw, t, raw.pose.data());
    benchmark::DoNotOptimize(raw.pose.data());
    t += kFrame;
    if (t >= raw.duration) t -= raw.duration;
  }
  PerBone(state, raw.bones);
}

// With a playback cursor, as a game playing the clip keeps one; without,
// every sample starts from nothing.
void BM_Sample(benchmark::State& state, const std::string& name, Kind kind, bool withCursor) {
  Clip& clip = gClips[name][kind];
  playback_cursor* cursor = withCursor ? clip.cursor : nullptr;
  float t = 0;
  for (auto _ : state) {
    SampleLocalPose(clip.binding, t, PlaybackLoop, clip.pose.data(), cursor);
    benchmark::DoNotOptimize(clip.pose.data());
    t += kFrame;
    if (t >= clip.binding->Duration) t -= clip.binding->Duration;
  }
  PerBone(state, clip.binding->BoundCount);
}

double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// The targets' figures: the floor and the two curve kinds (with a cursor)
// take turns, each playing a loop of the clip untimed and then a few
// thousand frames timed per round, and a round's ratios come from the same
// moment of the machine; the median over
// the rounds is printed. Measured one after another, a busy machine could
// tilt the floor or the player by itself (the floor of 01_01, whose raw
// samples do not fit in the caches, moved between 21 and 93 ns per bone).
void PrintRatios() {
  constexpr int kRounds = 31, kFrames = 4000;
  for (const char* name : {"01_01", "character"}) {
    RawSamples& raw = gRaw[name];
    Clip* clips = gClips[name];
    float times[3] = {0, 0, 0};
    std::vector<double> ratios[2];
    std::vector<double> perBone[3];
    for (int round = 0; round < kRounds; ++round) {
      double seconds[3];
      for (int turn = 0; turn < 3; ++turn) {
        const int kind = (turn + round) % 3;  // each goes first in turn
        // A whole loop of the clip untimed first, so that each is timed
        // with its data as warm as the others' left the caches.
        const int warm = int(raw.duration / kFrame) + 1;
        double start = 0;
        float& t = times[kind];
        for (int frame = -warm; frame < kFrames; ++frame) {
          if (frame == 0) start = ThreadSeconds();
          if (kind == kRaw) {
            SampleRaw(raw, t, raw.pose.data());
            benchmark::DoNotOptimize(raw.pose.data());
          } else {
            Clip& clip = clips[kind];
            SampleLocalPose(clip.binding, t, PlaybackLoop, clip.pose.data(), clip.cursor);
            benchmark::DoNotOptimize(clip.pose.data());
          }
          t += kFrame;
          if (t >= raw.duration) t -= raw.duration;
        }
        seconds[kind] = (ThreadSeconds() - start) / (double(kFrames) * raw.bones);
      }
      for (int kind = 0; kind < 3; ++kind) perBone[kind].push_back(seconds[kind]);
      ratios[0].push_back(seconds[kCurves] / seconds[kRaw]);
      ratios[1].push_back(seconds[kSampledKeys] / seconds[kRaw]);
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    const double curves = median(ratios[0]), keys = median(ratios[1]);
    std::printf(
        "%-10s raw lerp %6.2f ns/bone   curves %6.2f ns/bone = %.2fx (target <= 2x: %s)   "
        "sampled_keys %6.2f ns/bone = %.2fx (target <= 3x: %s)   [medians of %d interleaved "
        "rounds]\n",
        name, median(perBone[kRaw]) * 1e9, median(perBone[kCurves]) * 1e9, curves,
        curves <= 2.0 ? "met" : "not met", median(perBone[kSampledKeys]) * 1e9, keys,
        keys <= 3.0 ? "met" : "not met", kRounds);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MuteLogOrigin(LogOrigin::Export, true);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / "ketrel_bench_playback";
  std::filesystem::create_directories(dir);
  Load("01_01", kMotionCapture, "0.001cm", dir);
  Load("character", MakeCharacter(dir), "0.02cm", dir);
  for (const char* clip : {"01_01", "character"}) {
    benchmark::RegisterBenchmark((std::string("raw_lerp/") + clip).c_str(), BM_Raw, clip);
    for (bool cursor : {true, false}) {
      const std::string suffix = std::string(cursor ? "/" : "_no_cursor/") + clip;
      benchmark::RegisterBenchmark(("curves" + suffix).c_str(), BM_Sample, clip, kCurves, cursor);
      benchmark::RegisterBenchmark(("sampled_keys" + suffix).c_str(), BM_Sample, clip, kSampledKeys,
                                   cursor);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintRatios();
  for (auto& [name, clips] : gClips)
    for (Clip& clip : clips) FreeTrackBinding(clip.binding);
  gClips.clear();
  if (std::getenv("KETREL_BENCH_KEEP") == nullptr) {
    std::filesystem::remove_all(dir);
  } else {
    std::printf("exported files kept in %s\n", dir.c_str());
  }
  benchmark::Shutdown();
  return 0;
}
