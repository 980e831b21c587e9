// Animation export on motion-capture clips: per pair of position and
// orientation tolerances, the bytes of the animation (curves and track
// groups) against the raw samples, the error a skinned vertex would see, and
// the export time.
//
// Each clip is imported once (BVH through the stand-in host), then exported
// in-process at 120 Hz ("Oversampling=4" on the importer's 30 fps timeline)
// for every setting and read back. The error is measured in object space at
// virtual vertices 3 cm from each bone along its three local axes, with the
// scene scaled so that the figure is 170 cm tall; the decoded pose is built
// down the skeleton from the decoded local transforms, so errors accumulate
// as they would on a character. Raw bytes are 10 float32 per bone per
// sample (position 3, quaternion 4, scale 3); animation bytes are the track
// groups' records, arrays and curve data as read back (native layout; shared
// identity curves count nothing). The time is the whole in-process export
// (walk, skeleton, fitting, writing), without the import.
//
//   ./scripts/bench.sh animation                     the sweep on both clips
//   ./scripts/bench.sh animation POS ROT ["L=v;..."]  one setting: tolerances in
//                                                    cm and degrees, more settings
//   ./scripts/bench.sh animation budget E [KR KP ["L=v;..."]]
//                                                    per-bone tolerances from a
//                                                    skin error E in cm (the
//                                                    option --animation-error),
//                                                    with its factors
//   KETREL_BENCH_TRACKS=1 before any of these lists each track's curve
//   formats, degrees, knot counts and bytes.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "export/host/host_export.h"
#include "export/host/host_scene.h"
#include "export/host/host_scene_loader.h"
#include "export/ketrel_bone_tolerances.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_transform.h"
#include "rt/posix/posix_ketrel_file_reader.h"

namespace {

using namespace ketrel;

const char* kClips[] = {"/usr/share/assimp/models/BVH/01_01.bvh",
                        "/usr/share/assimp/models/BVH/01_03.bvh"};
constexpr float kFigureHeightCm = 170.0f;
constexpr float kVertexDistanceCm = 3.0f;
constexpr int kOversampling = 4;  // 30 fps timeline, 120 Hz samples

using Matrix = float[4][4];

struct Setting {
  float positionCm;
  float orientationDegrees;
  std::string extra;  // more "Label=value" assignments, separated by ';'
  // Above 0: per-bone tolerances from this skin error instead (the uniform
  // ones above are then not set).
  float budgetCm = 0;
  float orientationFactor = kDefaultOrientationFactor;
  float positionFactor = kDefaultPositionFactor;
};

struct Clip {
  std::string path;
  host::Scene scene;
  float unitsToCm = 1;
  // Reference world matrices per sample, per node that became a bone.
  std::map<std::string, std::vector<std::array<float, 12>>> reference;
  int32_t samples = 0;
};

void FromHost(const HostMatrix& h, float* out) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) out[3 * i + j] = h.m[i][j];
}

int32_t SampleTick(const Clip& clip, int32_t s) {
  return clip.scene.AnimationStart + clip.scene.TicksPerFrame() * s / kOversampling;
}

bool LoadClip(const char* path, Clip& clip) {
  std::string error;
  clip.path = path;
  if (!host::LoadHostScene(path, clip.scene, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  const int32_t frames =
      (clip.scene.AnimationEnd - clip.scene.AnimationStart) / clip.scene.TicksPerFrame();
  clip.samples = frames * kOversampling + 1;
  float low = 1e30f, high = -1e30f;
  for (const auto& node : clip.scene.Nodes) {
    auto& matrices = clip.reference[node->Name];
    matrices.resize(size_t(clip.samples));
    for (int32_t s = 0; s < clip.samples; ++s)
      FromHost(clip.scene.NodeTransform(node.get(), SampleTick(clip, s)),
               matrices[size_t(s)].data());
    // Host frames are Z up: the figure's height is its extent in Z at the start.
    low = std::min(low, matrices[0][11]);
    high = std::max(high, matrices[0][11]);
  }
  clip.unitsToCm = high > low ? kFigureHeightCm / (high - low) : 1.0f;
  return true;
}

struct Edits {
  std::vector<std::string> assignments;
  BoneToleranceBudget budget;  // applied when its error is above 0
};

bool ApplyEdits(SettingsItem* root, ToolInterface& tool, NodeGraph* graph, void* user) {
  const Edits& edits = *static_cast<Edits*>(user);
  for (const std::string& assignment : edits.assignments) {
    std::string message;
    if (!SetCategorySettingByLabel(root, assignment.c_str(), message)) {
      std::fprintf(stderr, "%s: %s\n", assignment.c_str(), message.c_str());
      return false;
    }
  }
  return edits.budget.Error <= 0 || ApplyBoneTolerances(tool, graph, edits.budget);
}

// Bytes of a curve's data as stored behind its track (shared identities: 0).
size_t CurveBytes(const curve2& curve) {
  if (CurveIsIdentity(&curve)) return 0;
  return size_t(GetCurveByteSize(&curve)) - sizeof(curve2);
}

size_t TrackGroupBytes(const track_group* group) {
  size_t bytes = sizeof(track_group) + sizeof(vector_track) * size_t(group->VectorTrackCount) +
                 sizeof(transform_track) * size_t(group->TransformTrackCount) +
                 sizeof(float) * size_t(group->TransformLODErrorCount) +
                 sizeof(text_track) * size_t(group->TextTrackCount);
  for (int32_t t = 0; t < group->TextTrackCount; ++t)
    bytes += sizeof(text_track_entry) * size_t(group->TextTracks[t].EntryCount);
  for (int32_t v = 0; v < group->VectorTrackCount; ++v) {
    vector_track track = group->VectorTracks[v];
    bytes += CurveBytes(track.ValueCurve);
  }
  for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
    transform_track track = group->TransformTracks[t];
    bytes += CurveBytes(track.PositionCurve) + CurveBytes(track.OrientationCurve) +
             CurveBytes(track.ScaleShearCurve);
  }
  return bytes;
}

struct Result {
  size_t animationBytes = 0, rawBytes = 0;
  double maxError = 0, p99Error = 0, seconds = 0;
  bool ok = false;
};

// A curve's value at sample s: keyframed curves ("Compress animation data"
// off) hold one value per sample and are read by index, others are evaluated.
void EvaluateAtSample(int32_t dimension, bool normalize, const curve2& curve, float duration,
                      int32_t s, float t, float* out, const float* identity) {
  if (CurveIsKeyframed(&curve)) {
    const int32_t count = GetCurveKnotCount(&curve);
    const int32_t index = s < count ? s : count - 1;
    if (index >= 0 && ExtractCurveKnotsControls(&curve, index, 1, nullptr, out, identity)) return;
    for (int32_t k = 0; k < dimension; ++k) out[k] = std::nanf("");
    return;
  }
  EvaluateCurveAtT(dimension, normalize, &curve, nullptr, nullptr, duration, t, out, identity);
}

void Multiply(const float* a, const float* b, float* out) {  // row-vector: a first, then b
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) {
      float sum = i == 3 ? b[9 + j] : 0.0f;
      for (int k = 0; k < 3; ++k) sum += a[3 * i + k] * b[3 * k + j];
      out[3 * i + j] = sum;
    }
}

void Measure(const Clip& clip, const file_info* info, Result& result) {
  const animation* clipRecord = info->AnimationCount > 0 ? info->Animations[0] : nullptr;
  if (!clipRecord || clipRecord->TrackGroupCount < 1 || info->ModelCount < 1) return;
  const track_group* group = clipRecord->TrackGroups[0];
  const skeleton* bones = info->Models[0]->Skeleton;
  if (!bones) return;
  for (int32_t g = 0; g < clipRecord->TrackGroupCount; ++g)
    result.animationBytes += TrackGroupBytes(clipRecord->TrackGroups[g]);
  if (std::getenv("KETREL_BENCH_TRACKS")) {
    for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
      transform_track track = group->TransformTracks[t];
      curve2 p = track.PositionCurve, q = track.OrientationCurve;
      std::printf("  %-20s pos f%d d%d k%d %zu B | rot f%d d%d k%d %zu B\n", track.Name,
                  GetCurveFormat(&p), GetCurveDegree(&p), GetCurveKnotCount(&p), CurveBytes(p),
                  GetCurveFormat(&q), GetCurveDegree(&q), GetCurveKnotCount(&q), CurveBytes(q));
    }
  }
  const int32_t count = bones->BoneCount;
  result.rawBytes = size_t(10 * 4) * size_t(count) * size_t(clip.samples);

  std::map<std::string, int32_t> trackOf;
  for (int32_t t = 0; t < group->TransformTrackCount; ++t)
    trackOf[group->TransformTracks[t].Name] = t;
  const float zero[3] = {0, 0, 0}, identity[4] = {0, 0, 0, 1},
              unit[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const transform placement = group->InitialPlacement;
  const float duration = clipRecord->Duration, step = clipRecord->TimeStep;
  const float d = kVertexDistanceCm / clip.unitsToCm;
  std::vector<float> worlds(size_t(count) * 12);
  std::vector<float> errors;
  errors.reserve(size_t(count) * 3 * size_t(clip.samples));
  for (int32_t s = 0; s < clip.samples; ++s) {
    const float t = float(s) * step;
    for (int32_t b = 0; b < count; ++b) {
      const bone record = bones->Bones[b];
      transform local = record.Transform;
      auto it = trackOf.find(record.Name);
      if (it != trackOf.end()) {
        transform_track track = group->TransformTracks[it->second];
        curve2 p = track.PositionCurve, q = track.OrientationCurve, m = track.ScaleShearCurve;
        float position[3], orientation[4], scale[9];
        EvaluateAtSample(3, false, p, duration, s, t, position, zero);
        EvaluateAtSample(4, true, q, duration, s, t, orientation, identity);
        EvaluateAtSample(9, false, m, duration, s, t, scale, unit);
        local = MakeTransform(position, orientation, scale);
      }
      if (record.ParentIndex < 0) local = ApplyPlacement(placement, local);
      Matrix composite;
      BuildCompositeMatrix(local, composite);
      float matrix[12];
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) matrix[3 * i + j] = composite[i][j];
      float* world = &worlds[size_t(b) * 12];
      if (record.ParentIndex < 0) {
        std::memcpy(world, matrix, sizeof matrix);
      } else {
        Multiply(matrix, &worlds[size_t(record.ParentIndex) * 12], world);
      }
      auto ref = clip.reference.find(record.Name);
      if (ref == clip.reference.end()) continue;
      const float* expected = ref->second[size_t(s)].data();
      for (int axis = 0; axis < 3; ++axis) {
        double sum = 0;
        for (int j = 0; j < 3; ++j) {
          const double e =
              d * (world[3 * axis + j] - expected[3 * axis + j]) + (world[9 + j] - expected[9 + j]);
          sum += e * e;
        }
        // A value that cannot be decoded counts as the worst error, never as none.
        const double error = std::sqrt(sum) * clip.unitsToCm;
        errors.push_back(std::isnan(error) ? INFINITY : float(error));
      }
    }
  }
  if (errors.empty()) return;
  std::sort(errors.begin(), errors.end());
  result.maxError = errors.back();
  result.p99Error = errors[std::min(errors.size() - 1, size_t(double(errors.size()) * 0.99))];
  result.ok = true;
}

// An export stores its settings in the scene, per bone too: without this a
// setting would carry over into the runs after it (the clips hold none).
void ForgetStoredSettings(host::Scene& scene) {
  scene.Root->Settings.clear();
  for (auto& node : scene.Nodes) node->Settings.clear();
  for (auto& material : scene.Materials) material->Settings.clear();
}

Result Run(Clip& clip, const Setting& setting) {
  Result result;
  ForgetStoredSettings(clip.scene);
  char position[64], orientation[64];
  std::snprintf(position, sizeof position, "Position curve tolerance=%g",
                setting.positionCm / clip.unitsToCm);
  std::snprintf(orientation, sizeof orientation, "Orientation curve tolerance=%g",
                setting.orientationDegrees);
  Edits edits;
  edits.assignments = {"Oversampling=" + std::to_string(kOversampling)};
  if (setting.budgetCm > 0) {
    // The bench's virtual vertices stand 3 cm off the bones: that is the margin.
    edits.budget.Error = setting.budgetCm / clip.unitsToCm;
    edits.budget.ReachMargin = kVertexDistanceCm / clip.unitsToCm;
    edits.budget.OrientationFactor = setting.orientationFactor;
    edits.budget.PositionFactor = setting.positionFactor;
  } else {
    edits.assignments.push_back(position);
    edits.assignments.push_back(orientation);
  }
  for (size_t at = 0; at < setting.extra.size();) {
    size_t end = setting.extra.find(';', at);
    if (end == std::string::npos) end = setting.extra.size();
    if (end > at) edits.assignments.push_back(setting.extra.substr(at, end - at));
    at = end + 1;
  }
  host::HostExportOptions options;
  options.FileName = "/tmp/ketrel_bench_animation.kt2";
  options.ShowProgress = false;
  options.EditSettings = ApplyEdits;
  options.EditSettingsUser = &edits;
  const auto start = std::chrono::steady_clock::now();
  const bool written = host::ExportHostScene(clip.scene, options);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!written) return result;
  ketrel_file* file = ReadEntireFile(options.FileName.c_str());
  if (file) Measure(clip, static_cast<file_info*>(file->RootObject), result);
  FreeFile(file);
  std::remove(options.FileName.c_str());
  return result;
}

// The setting's name in the table: its extra assignments, and for per-bone
// tolerances the error budget and factors.
std::string Describe(const Setting& setting) {
  std::string name = setting.extra.empty() ? "(defaults)" : setting.extra;
  if (setting.budgetCm <= 0) return name;
  char budget[128];
  std::snprintf(budget, sizeof budget, "--animation-error %g cm (factors %g, %g); ",
                setting.budgetCm, setting.orientationFactor, setting.positionFactor);
  return budget + name;
}

}  // namespace

// Jumps on: these clips start with a T-pose frame, which no smooth curve
// through the first samples can follow.
const char kJumps[] = "Allow orientation jumps=true;Allow position jumps=true";
// Straight spans, for comparison: motion capture jitters from sample to
// sample, so at tight tolerances the knots come nearly every sample.
const char kLinear[] = "Orientation curve type=1;Position curve type=1";
// What --animation-error turns on beside the tolerances.
const char kBudgetExtra[] =
    "Allow orientation jumps=true;Allow position jumps=true;Use sampled key curves=true";
constexpr double kTargetErrorCm = 0.01, kTargetRatio = 19.0, kTargetSeconds = 0.26;

int main(int argc, char** argv) {
  std::vector<Setting> settings;
  if (argc >= 3 && std::strcmp(argv[1], "budget") == 0) {
    Setting setting{0, 0, argc >= 6 ? argv[5] : kBudgetExtra};
    setting.budgetCm = float(std::atof(argv[2]));
    if (argc >= 5) {
      setting.orientationFactor = float(std::atof(argv[3]));
      setting.positionFactor = float(std::atof(argv[4]));
    }
    settings.push_back(setting);
  } else if (argc >= 3) {
    settings.push_back(
        {float(std::atof(argv[1])), float(std::atof(argv[2])), argc >= 4 ? argv[3] : kJumps});
  } else {
    settings.push_back({0.01f, 0.1f, ""});  // the shipped defaults but the tolerances
    for (float p : {0.002f, 0.01f})
      for (float r : {0.05f, 0.1f, 0.3f, 1.0f}) settings.push_back({p, r, kJumps});
    settings.push_back({0.002f, 0.05f, std::string(kJumps) + ";Quant. on missed tolerance=false"});
    settings.push_back({0.002f, 0.05f, std::string(kJumps) + ";Use quantized curves=false"});
    // Tight enough for 0.01 cm in object space on these clips.
    settings.push_back({0.002f, 0.005f, kJumps});
    settings.push_back({0.002f, 0.005f, std::string(kJumps) + ";" + kLinear});
    settings.push_back(
        {0.002f, 0.005f, std::string(kJumps) + ";" + kLinear + ";Use quantized curves=false"});
    // Per-bone tolerances from the target error, as --animation-error gives them.
    Setting budget{0, 0, kBudgetExtra};
    budget.budgetCm = float(kTargetErrorCm);
    settings.push_back(budget);
    settings.push_back(budget);
    settings.back().extra = kJumps;  // curves only, as files without sampled keys hold them
    settings.back().orientationFactor = kCurveOrientationFactor;
  }
  // Warnings of the host walk and the fitter would drown the table.
  for (LogOrigin origin : {LogOrigin::Host, LogOrigin::Curve, LogOrigin::Export})
    MuteLogOrigin(origin, true);
  for (const char* path : kClips) {
    Clip clip;
    if (!LoadClip(path, clip)) {
      std::fprintf(stderr, "cannot read %s (Debian package assimp-testmodels)\n", path);
      return 1;
    }
    std::printf("%s: %zu nodes, %d samples at 120 Hz, 1 unit = %.3f cm\n", path,
                clip.scene.Nodes.size(), clip.samples, clip.unitsToCm);
    std::printf("%8s %8s | %10s %10s %7s | %9s %9s | %7s | %s\n", "pos cm", "rot deg", "anim B",
                "raw B", "ratio", "max cm", "p99 cm", "time s", "more settings");
    // The setting that reaches the target; else, among those within the
    // error, the smallest; else the most accurate.
    const Setting* best = nullptr;
    Result bestResult;
    double bestRatio = 0;
    for (const Setting& setting : settings) {
      Result r = Run(clip, setting);
      if (!r.ok) {
        std::printf("%8.4f %8.3f | export or read-back failed\n", setting.positionCm,
                    setting.orientationDegrees);
        continue;
      }
      const double ratio = double(r.rawBytes) / double(r.animationBytes);
      const std::string name = Describe(setting);
      if (setting.budgetCm > 0) {
        std::printf("%8s %8s", "per bone", "");
      } else {
        std::printf("%8.4f %8.3f", setting.positionCm, setting.orientationDegrees);
      }
      std::printf(" | %10zu %10zu %6.1f:1 | %9.5f %9.5f | %7.3f | %s\n", r.animationBytes,
                  r.rawBytes, ratio, r.maxError, r.p99Error, r.seconds, name.c_str());
      const bool within = r.maxError <= kTargetErrorCm;
      const bool bestWithin = best && bestResult.maxError <= kTargetErrorCm;
      const bool better = !best || (within && !bestWithin) ||
                          (within && bestWithin && ratio > bestRatio) ||
                          (!within && !bestWithin && r.maxError < bestResult.maxError);
      if (better) {
        best = &setting;
        bestResult = r;
        bestRatio = ratio;
      }
    }
    if (best) {
      const bool reached = bestResult.maxError <= kTargetErrorCm && bestRatio >= kTargetRatio &&
                           bestResult.seconds <= kTargetSeconds;
      std::string name = Describe(*best);
      if (best->budgetCm <= 0) {
        char tolerances[96];
        std::snprintf(tolerances, sizeof tolerances, "pos %g cm, rot %g deg, ", best->positionCm,
                      best->orientationDegrees);
        name = tolerances + name;
      }
      std::printf(
          "%s: %s: max %.4f cm at %.1f:1 in %.3f s (target: max <= %g cm at >= %g:1 in <= %g "
          "s)\n\n",
          reached ? "reaches the target" : "closest to the target", name.c_str(),
          bestResult.maxError, bestRatio, bestResult.seconds, kTargetErrorCm, kTargetRatio,
          kTargetSeconds);
    }
  }
  return 0;
}
