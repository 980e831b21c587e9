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
//   ./scripts/bench.sh animation                 every clip, every setting
//   ./scripts/bench.sh animation 0.005cm ...     --animation-error at these distances
//   KETREL_BENCH_TRACKS=1 before either lists each track's curve formats,
//   degrees, knot counts and bytes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char** argv) {
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
  std::printf("\n");
  for (const std::string& verdict : verdicts) std::printf("%s\n", verdict.c_str());
  return 0;
}
