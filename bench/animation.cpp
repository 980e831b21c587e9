// Animation export as a game meets it: per clip and setting, the bytes of
// the animation against the raw samples, the error a skinned vertex sees
// between samples as well as at them, and the export time.
//
// Clips: two motion captures (120 Hz BVH) and a glTF character (30 Hz keys,
// several clips) written by scripts/make_test_character.py, also under an
// armature scaled by 100 and by 0.01. Each is imported once through the
// stand-in host, then exported in-process per setting and read back. The
// error is measured by the host's fidelity measure: the file's curves on a
// grid of 4 points per sample step, composed down the skeleton, virtual
// vertices 3 cm from each joint along its axes, against the scene's own
// transforms at the same times, in centimetres (BVH, which has no unit,
// with the figure taken as 170 cm tall). Raw bytes are 10 float32 per bone
// per key of the source (position 3, quaternion 4, scale 3), over the bones
// that move and over all bones; animation bytes are the track groups'
// records, arrays and curve data as read back (shared identity curves count
// nothing). The time is the whole in-process export, without the import.
//
// Then how export time grows with the length of a clip: the first frames of
// 01_01 played forward and back (so that one pass meets the next without a
// jump), that played 1, 4 and 16 times end to end, each exported at
// --animation-error 0.01cm in one export on one fitting thread; the
// process's CPU time per sample, the median of a few runs so that other
// work on the machine does not decide it, against the single pass's.
//
//   ./scripts/bench.sh animation                 every clip, every setting
//   ./scripts/bench.sh animation 0.005cm ...     --animation-error at these distances
//   ./scripts/bench.sh animation --length        the time against length alone
//   KETREL_BENCH_TRACKS=1 before either lists each track's curve formats,
//   degrees, knot counts and bytes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "export/host/host_export.h"
#include "export/host/host_fidelity.h"
#include "export/host/host_scene.h"
#include "export/host/host_scene_loader.h"
#include "export/ketrel_animation_sampling.h"
#include "export/ketrel_bone_tolerances.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_log.h"
#include "rt/posix/posix_ketrel_file_reader.h"

namespace {

using namespace ketrel;

const char kCharacterDir[] = "/tmp/ketrel_bench_character";

struct ClipSource {
  std::string path, take, label;
  const char* unscaled;  // label of the rig this one must match, or null
};

struct Clip {
  ClipSource source;
  host::Scene scene;
};

struct Setting {
  std::string name;
  double errorMeters = 0;  // --animation-error; 0: none
  std::vector<std::string> assignments;
};

struct Result {
  bool ok = false;
  size_t animationBytes = 0;
  host::FidelityResult fidelity;
  double seconds = 0;
  int32_t keys = 0;     // of the source
  int32_t exports = 1;  // runs an error budget took
};

struct Edits {
  const Setting* setting;
  int32_t keyOversampling = 1;
  float tighten = 1.0f;
};

bool ApplyEdits(SettingsItem* root, ToolInterface& tool, NodeGraph* graph, void* user) {
  const Edits& edits = *static_cast<Edits*>(user);
  std::vector<std::string> assignments;
  if (edits.setting->errorMeters > 0)
    assignments = AnimationErrorAssignments(edits.keyOversampling);
  assignments.insert(assignments.end(), edits.setting->assignments.begin(),
                     edits.setting->assignments.end());
  for (const std::string& assignment : assignments) {
    std::string message;
    if (!SetCategorySettingByLabel(root, assignment.c_str(), message)) {
      std::fprintf(stderr, "%s: %s\n", assignment.c_str(), message.c_str());
      return false;
    }
  }
  return edits.setting->errorMeters <= 0 ||
         ApplyAnimationError(root, tool, graph, edits.setting->errorMeters, nullptr, edits.tighten);
}

// Bytes of a curve's data as stored behind its track (shared identities: 0).
size_t CurveBytes(const curve2& curve) {
  if (CurveIsIdentity(&curve)) return 0;
  return size_t(GetCurveByteSize(&curve)) - sizeof(curve2);
}

size_t TrackGroupBytes(const track_group* group, bool list) {
  size_t bytes = sizeof(track_group) + sizeof(vector_track) * size_t(group->VectorTrackCount) +
                 sizeof(transform_track) * size_t(group->TransformTrackCount) +
                 sizeof(float) * size_t(group->TransformLODErrorCount) +
                 sizeof(text_track) * size_t(group->TextTrackCount);
  for (int32_t t = 0; t < group->TextTrackCount; ++t)
    bytes += sizeof(text_track_entry) * size_t(group->TextTracks[t].EntryCount);
  for (int32_t v = 0; v < group->VectorTrackCount; ++v)
    bytes += CurveBytes(group->VectorTracks[v].ValueCurve);
  for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
    const transform_track track = group->TransformTracks[t];
    const curve2 p = track.PositionCurve, q = track.OrientationCurve, m = track.ScaleShearCurve;
    bytes += CurveBytes(p) + CurveBytes(q) + CurveBytes(m);
    if (list) {
      std::printf("  %-16s pos f%d d%d k%d %zu B | rot f%d d%d k%d %zu B\n", track.Name,
                  GetCurveFormat(&p), GetCurveDegree(&p), GetCurveKnotCount(&p), CurveBytes(p),
                  GetCurveFormat(&q), GetCurveDegree(&q), GetCurveKnotCount(&q), CurveBytes(q));
    }
  }
  return bytes;
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
  Edits edits{&setting, host::KeyRateOversampling(clip.scene, kMaxOversampling)};
  host::HostExportOptions options;
  options.FileName = "/tmp/ketrel_bench_animation.kt2";
  options.Request.ShowProgress = false;
  options.Request.EditSettings = ApplyEdits;
  options.Request.EditSettingsUser = &edits;
  // As ketrel export does it: with an error budget, measured and exported
  // again tighter while above it (the time counts every export).
  const auto start = std::chrono::steady_clock::now();
  bool written = false;
  if (setting.errorMeters > 0) {
    host::BudgetedExport budget;
    budget.BudgetCm = setting.errorMeters * 100;
    budget.Tighten = &edits.tighten;
    std::string error;
    written = host::ExportWithinBudget(clip.scene, options, budget, error);
    result.exports = budget.Exports;
    if (!written) std::fprintf(stderr, "%s: %s\n", clip.source.label.c_str(), error.c_str());
  } else {
    written = host::ExportHostScene(clip.scene, options);
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!written) return result;
  ketrel_file* file = ReadEntireFile(options.FileName.c_str());
  const auto* info = file ? static_cast<const file_info*>(file->RootObject) : nullptr;
  std::string error;
  if (info && info->AnimationCount > 0) {
    const animation* record = info->Animations[0];
    for (int32_t g = 0; g < record->TrackGroupCount; ++g)
      result.animationBytes +=
          TrackGroupBytes(record->TrackGroups[g], std::getenv("KETREL_BENCH_TRACKS") != nullptr);
    result.ok = host::MeasureAnimationFidelity(clip.scene, info, host::FidelityOptions{},
                                               result.fidelity, error);
    if (!result.ok) std::fprintf(stderr, "%s: %s\n", clip.source.label.c_str(), error.c_str());
  }
  FreeFile(file);
  std::remove(options.FileName.c_str());
  result.keys =
      (clip.scene.AnimationEnd - clip.scene.AnimationStart) / clip.scene.TicksPerFrame() + 1;
  return result;
}

constexpr double kTargetErrorCm = 0.01, kTargetRatio = 18.0, kBetweenFactor = 1.5;

// ---- Time against clip length ----------------------------------------------

constexpr int32_t kScalingFrames = 600;  // of the clip, before it turns back
constexpr int32_t kScalingRuns = 5;      // per length; the median counts
constexpr double kScalingTarget = 1.2;   // per-sample time against the single pass

double ProcessSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// The keys in [start, start + span] (`stride` values each) played forward
// and back, `times` times over; keys before `start` (the rest pose) stay.
template <typename Value>
void RepeatKeys(std::vector<int32_t>& ticks, std::vector<Value>& values, size_t stride,
                int32_t start, int32_t span, int32_t times) {
  std::vector<int32_t> outTicks;
  std::vector<Value> outValues;
  std::vector<size_t> clip;
  for (size_t k = 0; k < ticks.size(); ++k) {
    if (ticks[k] < start) {
      outTicks.push_back(ticks[k]);
      outValues.insert(outValues.end(), values.begin() + k * stride,
                       values.begin() + (k + 1) * stride);
    } else if (ticks[k] <= start + span) {
      clip.push_back(k);
    }
  }
  if (clip.empty()) return;
  std::vector<std::pair<int32_t, size_t>> unit;  // offset from start, source key
  for (size_t k : clip) unit.push_back({ticks[k] - start, k});
  for (size_t i = clip.size() - 1; i-- > 0;)
    unit.push_back({2 * span - (ticks[clip[i]] - start), clip[i]});
  for (int32_t pass = 0; pass < times; ++pass) {
    for (size_t i = pass == 0 ? 0 : 1; i < unit.size(); ++i) {
      outTicks.push_back(start + pass * 2 * span + unit[i].first);
      outValues.insert(outValues.end(), values.begin() + unit[i].second * stride,
                       values.begin() + (unit[i].second + 1) * stride);
    }
  }
  ticks.swap(outTicks);
  values.swap(outValues);
}

// The scene's clip cut to its first kScalingFrames frames, forward and
// back, `times` times; the frames per pass (2 kScalingFrames).
int32_t RepeatClip(host::Scene& scene, int32_t times) {
  const int32_t start = scene.Takes.empty() ? scene.AnimationStart : scene.Takes[0].Start;
  const int32_t frame =
      scene.Takes.empty() ? scene.TicksPerFrame() : scene.TakeTicksPerFrame(scene.Takes[0]);
  const int32_t span = kScalingFrames * frame;
  for (auto& node : scene.Nodes) {
    host::TransformController& t = node->Transform;
    RepeatKeys(t.Position.KeyTicks, t.Position.KeyValues, size_t(t.Position.Dimension), start, span,
               times);
    RepeatKeys(t.Scale.KeyTicks, t.Scale.KeyValues, size_t(t.Scale.Dimension), start, span, times);
    RepeatKeys(t.Rotation.KeyTicks, t.Rotation.KeyValues, 1, start, span, times);
  }
  scene.AnimationEnd = start + times * 2 * span;
  for (host::Take& take : scene.Takes) take.End = scene.AnimationEnd;
  return 2 * kScalingFrames;
}

struct ScalingRun {
  int32_t times = 0, samples = 0;
  double secondsPerSample = 0;  // median
  long bytes = 0;
};

// Per-sample CPU time of one export of the clip repeated `times` times;
// false when it cannot be read or exported.
bool MeasureScaling(const std::string& path, int32_t times, ScalingRun& run) {
  host::Scene scene;
  std::string error;
  if (!host::LoadHostScene(path, scene, error)) {
    std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  run.times = times;
  run.samples = times * RepeatClip(scene, times) + 1;
  const Setting setting{"--animation-error 0.01cm", kTargetErrorCm / 100, {}};
  Edits edits{&setting, host::KeyRateOversampling(scene, kMaxOversampling)};
  host::HostExportOptions options;
  options.FileName = "/tmp/ketrel_bench_scaling.kt2";
  options.Request.ShowProgress = false;
  options.Request.EditSettings = ApplyEdits;
  options.Request.EditSettingsUser = &edits;
  options.Request.FitWorkers = 1;
  std::vector<double> seconds;
  for (int32_t r = 0; r < kScalingRuns; ++r) {
    ForgetStoredSettings(scene);
    const double before = ProcessSeconds();
    if (!host::ExportHostScene(scene, options)) return false;
    seconds.push_back(ProcessSeconds() - before);
  }
  std::sort(seconds.begin(), seconds.end());
  run.secondsPerSample = seconds[seconds.size() / 2] / run.samples;
  if (FILE* file = std::fopen(options.FileName.c_str(), "rb")) {
    std::fseek(file, 0, SEEK_END);
    run.bytes = std::ftell(file);
    std::fclose(file);
  }
  std::remove(options.FileName.c_str());
  return true;
}

// The lines and the verdict of the time-against-length measure.
void ReportScaling(const std::string& path, std::vector<std::string>& verdicts) {
  std::printf(
      "\ntime against length: %s, first %d frames forward and back, repeated; "
      "--animation-error 0.01cm, 1 fitting thread, process CPU, median of %d\n",
      path.c_str(), kScalingFrames, kScalingRuns);
  std::vector<ScalingRun> runs;
  for (int32_t times : {1, 4, 16}) {
    ScalingRun run;
    if (!MeasureScaling(path, times, run)) {
      verdicts.push_back("missed: time against length, export of x" + std::to_string(times) +
                         " failed");
      return;
    }
    runs.push_back(run);
    std::printf("  x%-3d %7d samples %9ld B  %8.2f us/sample  %5.2fx the single pass\n", times,
                run.samples, run.bytes, 1e6 * run.secondsPerSample,
                run.secondsPerSample / runs[0].secondsPerSample);
  }
  const double four = runs[1].secondsPerSample / runs[0].secondsPerSample;
  const double sixteen = runs[2].secondsPerSample / runs[0].secondsPerSample;
  const bool met = four <= kScalingTarget && sixteen <= kScalingTarget &&
                   runs[0].secondsPerSample <= kScalingTarget * std::min(runs[1].secondsPerSample,
                                                                         runs[2].secondsPerSample);
  char line[256];
  std::snprintf(line, sizeof line,
                "%s: time per sample of the clip x4 %.2fx and x16 %.2fx its single pass's "
                "(target: within %gx across the three)",
                met ? "met" : "missed", four, sixteen, kScalingTarget);
  verdicts.push_back(line);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--length") == 0) {
    MuteLogOrigin(LogOrigin::Host, true);
    std::vector<std::string> verdicts;
    ReportScaling("/usr/share/assimp/models/BVH/01_01.bvh", verdicts);
    for (const std::string& verdict : verdicts) std::printf("%s\n", verdict.c_str());
    return 0;
  }
  std::vector<Setting> settings;
  std::vector<double> errors;
  for (int a = 1; a < argc; ++a) {
    double meters = 0;
    std::string message;
    if (!ParseDistance(argv[a], &meters, &message)) {
      std::fprintf(stderr, "%s: %s\n", argv[a], message.c_str());
      return 2;
    }
    errors.push_back(meters);
  }
  if (errors.empty()) {
    settings.push_back({"shipped defaults", 0, {}});
    errors.push_back(kTargetErrorCm / 100);
  }
  for (double meters : errors) {
    char name[96];
    std::snprintf(name, sizeof name, "--animation-error %gcm", meters * 100);
    settings.push_back({name, meters, {}});
    settings.push_back(
        {std::string(name) + ", sampled keys off", meters, {"Use sampled key curves=false"}});
  }

  const std::string script = std::string(KETREL_SOURCE_DIR) + "/scripts/make_test_character.py";
  const std::string make =
      "mkdir -p " + std::string(kCharacterDir) + " && python3 " + script + " " + kCharacterDir;
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "could not write the test character (%s)\n", make.c_str());
    return 1;
  }
  const std::string character = std::string(kCharacterDir) + "/character";
  const std::vector<ClipSource> sources = {
      {"/usr/share/assimp/models/BVH/01_01.bvh", "", "01_01", nullptr},
      {"/usr/share/assimp/models/BVH/01_03.bvh", "", "01_03", nullptr},
      {character + ".gltf", "Walk", "character Walk", nullptr},
      {character + "_x100.gltf", "Walk", "character Walk x100", "character Walk"},
      {character + "_x0.01.gltf", "Walk", "character Walk x0.01", "character Walk"},
      {character + ".gltf", "Wave", "character Wave", nullptr},
  };
  // Warnings of the host walk and the fitter would drown the table.
  for (LogOrigin origin : {LogOrigin::Host, LogOrigin::Curve, LogOrigin::Export})
    MuteLogOrigin(origin, true);

  std::printf("%-22s %-38s | %9s %6s %6s | %8s %8s %8s | %6s %s | %s\n", "clip", "setting",
              "anim B", "ratio", "(all)", "max cm", "at smp", "p99 cm", "time s", "n", "worst");
  // Grid maxima of the unscaled rigs, per setting, for their scaled twins.
  std::vector<std::pair<std::string, double>> unscaledMax;
  std::vector<std::string> verdicts;
  for (const ClipSource& source : sources) {
    Clip clip{source, {}};
    std::string error;
    host::ImportOptions import;
    if (!source.take.empty()) import.Takes = {source.take};
    if (!host::LoadHostScene(source.path, clip.scene, error, import)) {
      std::fprintf(stderr, "cannot read %s: %s (Debian package assimp-testmodels)\n",
                   source.path.c_str(), error.c_str());
      return 1;
    }
    for (const Setting& setting : settings) {
      const Result r = Run(clip, setting);
      if (!r.ok) {
        std::printf("%-22s %-38s | export or read-back failed\n", source.label.c_str(),
                    setting.name.c_str());
        verdicts.push_back("missed: " + source.label + ", " + setting.name + " failed");
        continue;
      }
      const host::FidelityResult& f = r.fidelity;
      const double raw = 40.0 * f.KeyedBones * r.keys, rawAll = 40.0 * f.Bones * r.keys;
      const double ratio = raw / double(r.animationBytes),
                   ratioAll = rawAll / double(r.animationBytes);
      std::printf("%-22s %-38s | %9zu %5.1f:1 %5.1f:1 | %8.5f %8.5f %8.5f | %6.3f %d | %s %.3f s\n",
                  source.label.c_str(), setting.name.c_str(), r.animationBytes, ratio, ratioAll,
                  f.MaxCm, f.MaxAtSamplesCm, f.P99Cm, r.seconds, r.exports, f.WorstBone.c_str(),
                  f.WorstSeconds);
      char line[256];
      if (setting.errorMeters > 0 && setting.assignments.empty()) {
        const double budget = setting.errorMeters * 100;
        const bool ratioTarget = source.label == "01_01";
        const bool met = f.MaxCm <= budget && (!ratioTarget || ratio >= kTargetRatio);
        std::snprintf(line, sizeof line, "%s: %s, %s: max %.4f cm between samples (target <= %g)%s",
                      met ? "met" : "missed", source.label.c_str(), setting.name.c_str(), f.MaxCm,
                      budget, ratioTarget ? "" : "");
        std::string text = line;
        if (ratioTarget) {
          std::snprintf(line, sizeof line, ", %.1f:1 over %d moving bones (target >= %g:1)", ratio,
                        f.KeyedBones, kTargetRatio);
          text += line;
        }
        verdicts.push_back(text);
      } else if (setting.errorMeters <= 0) {
        const bool met = f.MaxCm <= kBetweenFactor * f.MaxAtSamplesCm;
        std::snprintf(line, sizeof line,
                      "%s: %s, %s: max %.4f cm between samples, %.2fx the max at samples "
                      "(target <= %gx)",
                      met ? "met" : "missed", source.label.c_str(), setting.name.c_str(), f.MaxCm,
                      f.MaxCm / std::max(f.MaxAtSamplesCm, 1e-12), kBetweenFactor);
        verdicts.push_back(line);
      }
      const std::string key = setting.name;
      if (source.unscaled == nullptr) {
        unscaledMax.push_back({source.label + "|" + key, f.MaxCm});
      } else {
        for (const auto& [name, max] : unscaledMax) {
          if (name != std::string(source.unscaled) + "|" + key) continue;
          const bool met = f.MaxCm <= kBetweenFactor * std::max(max, 1e-6);
          std::snprintf(line, sizeof line,
                        "%s: %s, %s: max %.4f cm, %.2fx the unscaled rig's %.4f (target <= %gx)",
                        met ? "met" : "missed", source.label.c_str(), key.c_str(), f.MaxCm,
                        f.MaxCm / std::max(max, 1e-12), max, kBetweenFactor);
          verdicts.push_back(line);
        }
      }
    }
  }
  ReportScaling(sources[0].path, verdicts);
  std::printf("\n");
  for (const std::string& verdict : verdicts) std::printf("%s\n", verdict.c_str());
  return 0;
}
