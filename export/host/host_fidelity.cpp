#include "export/host/host_fidelity.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "export/ketrel_basis_conversion.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_transform.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "rt/posix/posix_ketrel_file_writer.h"

namespace ketrel::host {
namespace {

constexpr double kAssumedFigureHeightCm = 170.0;
constexpr int64_t kMostPoints = 50'000'000;

// Row-vector affine matrices as 12 floats: three axes, then the origin.
using Affine = std::array<float, 12>;

Affine FromHost(const HostMatrix& h) {
  Affine out;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) out[size_t(3 * i + j)] = h.m[i][j];
  return out;
}

Affine Compose(const Affine& a, const Affine& b) {  // a first, then b
  Affine out;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) {
      float sum = i == 3 ? b[size_t(9 + j)] : 0.0f;
      for (int k = 0; k < 3; ++k) sum += a[size_t(3 * i + k)] * b[size_t(3 * k + j)];
      out[size_t(3 * i + j)] = sum;
    }
  return out;
}

// A curve's value at grid time t. Keyframed curves (compression off) hold
// one value per sample: between two samples the value runs straight from
// one to the next, as a player would interpolate them.
bool Evaluate(const curve2& curve, int32_t dimension, bool orientation, float duration, float step,
              float t, const float* identity, float* out) {
  if (!CurveIsKeyframed(&curve)) {
    return EvaluateCurveAtT(dimension, orientation, &curve, nullptr, nullptr, duration, t, out,
                            identity);
  }
  const int32_t count = GetCurveKnotCount(&curve);
  if (count < 1 || !(step > 0.0f)) return false;
  const float at = std::clamp(t / step, 0.0f, float(count - 1));
  const int32_t first = std::min(int32_t(at), count - 1);
  const int32_t second = std::min(first + 1, count - 1);
  float a[16], b[16];
  if (dimension > 16 || !ExtractCurveKnotsControls(&curve, first, 1, nullptr, a, identity) ||
      !ExtractCurveKnotsControls(&curve, second, 1, nullptr, b, identity)) {
    return false;
  }
  const float u = at - float(first);
  for (int32_t k = 0; k < dimension; ++k) out[k] = a[k] + u * (b[k] - a[k]);
  if (orientation) {
    const float length =
        std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2] + out[3] * out[3]);
    if (!(length > 0.0f)) return false;
    for (int32_t k = 0; k < 4; ++k) out[k] /= length;
  }
  return true;
}

const skeleton* FindSkeleton(const file_info* info, const track_group* group) {
  for (int32_t m = 0; m < info->ModelCount; ++m) {
    const model* record = info->Models[m];
    if (record && record->Skeleton && record->Name && group->Name &&
        std::strcmp(record->Name, group->Name) == 0)
      return record->Skeleton;
  }
  return nullptr;
}

// Whether animation `a` has a track group that drives a skeleton: else there
// is nothing to measure (a scene without bones, morph weights alone).
bool DrivesASkeleton(const file_info* info, int32_t a) {
  const animation* clip = info->Animations[a];
  for (int32_t g = 0; clip && g < clip->TrackGroupCount; ++g) {
    const skeleton* bones =
        clip->TrackGroups[g] ? FindSkeleton(info, clip->TrackGroups[g]) : nullptr;
    if (bones && bones->BoneCount > 0) return true;
  }
  return false;
}

bool Keyed(const Node* node) {
  const TransformController& t = node->Transform;
  return t.Position.KeyTicks.size() > 1 || t.Rotation.KeyTicks.size() > 1 ||
         t.Scale.KeyTicks.size() > 1;
}

// The conversion from the scene's frame and unit to the file's, as its
// art_tool_info records them; `converted` false when they are the same or
// the file does not say.
bool FileBasis(const Scene& scene, const file_info* info, basis_conversion& basis,
               bool& converted) {
  converted = false;
  if (!info->ArtToolInfo || !(scene.SystemUnit > 0)) return true;
  art_tool_info host = *info->ArtToolInfo;
  host.UnitsPerMeter = float(1.0 / scene.SystemUnit);
  for (int k = 0; k < 3; ++k) {
    host.Origin[k] = 0.0f;
    host.RightVector[k] = kHostRight[k];
    host.UpVector[k] = kHostUp[k];
    host.BackVector[k] = kHostBack[k];
  }
  const art_tool_info& file = *info->ArtToolInfo;
  float origin[3], right[3], up[3], back[3];
  std::memcpy(origin, file.Origin, sizeof origin);
  std::memcpy(right, file.RightVector, sizeof right);
  std::memcpy(up, file.UpVector, sizeof up);
  std::memcpy(back, file.BackVector, sizeof back);
  file_info source{};
  source.ArtToolInfo = &host;
  if (!ComputeBasisConversion(&source, file.UnitsPerMeter, origin, right, up, back, basis))
    return false;
  converted = !IsIdentityConversion(basis);
  return true;
}

// What the groups share: the grid, the units, and the errors so far.
struct Grid {
  const Scene* scene;
  int32_t start;  // the clip's first tick
  float step, duration;
  int32_t per;
  int64_t points;
  double unitsToCm;
  double vertexDistanceCm;
  // The file's coordinate system, when it is not the scene's own.
  bool converted = false;
  basis_conversion basis;
  int32_t TickAt(int64_t g) const {
    const double seconds = double(g) * step / per;
    return start + int32_t(std::lround(seconds * kTicksPerSecond));
  }
};

struct BoneEntry {
  const Node* node = nullptr;
  int32_t track = -1;
  int32_t parent = -1;
  transform rest;
};

std::vector<BoneEntry> BoneTable(const Scene& scene, const skeleton* bones,
                                 const track_group* group) {
  std::vector<BoneEntry> table(static_cast<size_t>(bones->BoneCount));
  for (int32_t b = 0; b < bones->BoneCount; ++b) {
    const bone record = bones->Bones[b];
    BoneEntry& entry = table[size_t(b)];
    entry.node = record.Name ? scene.FindNode(record.Name) : nullptr;
    entry.parent = record.ParentIndex < b ? record.ParentIndex : -1;
    entry.rest = record.Transform;
    for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
      const char* name = group->TransformTracks[t].Name;
      if (name && record.Name && std::strcmp(name, record.Name) == 0) entry.track = t;
    }
  }
  return table;
}

// Centimetres per scene unit: the scene's own, or the figure at the start
// taken as 170 cm tall (host frames are Z up).
double UnitsToCm(const Grid& grid, const std::vector<BoneEntry>& table) {
  const Scene& scene = *grid.scene;
  if (scene.UnitFromSource && scene.SystemUnit > 0) return scene.SystemUnit * 100.0;
  float low = INFINITY, high = -INFINITY;
  for (const BoneEntry& entry : table) {
    if (!entry.node) continue;
    const float z = scene.NodeTransform(entry.node, grid.TickAt(0)).m[3][2];
    low = std::min(low, z);
    high = std::max(high, z);
  }
  return high > low ? kAssumedFigureHeightCm / (high - low) : 1.0;
}

// The errors of one group's skeleton at every grid point.
void MeasureGroup(const Grid& grid, const track_group* group, const skeleton* bones,
                  const std::vector<BoneEntry>& table, std::vector<float>& errors,
                  FidelityResult& result, double& worst) {
  const Scene& scene = *grid.scene;
  const float zero[3] = {0, 0, 0}, identity[4] = {0, 0, 0, 1},
              unit[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const transform placement = group->InitialPlacement;
  const float d = float(grid.vertexDistanceCm / grid.unitsToCm);
  std::vector<Affine> worlds(table.size());
  // The scene's world transforms at one tick, each node's once: bones share
  // their ancestors.
  std::vector<HostMatrix> sceneWorlds(scene.Nodes.size());
  std::vector<int64_t> computedAt(scene.Nodes.size(), -1);
  auto sceneWorld = [&](const Node* node, int64_t g, int32_t tick) {
    // Walk up to the first node already known at this tick, then down.
    std::vector<const Node*> chain;
    for (const Node* at = node;
         at && at != scene.Root.get() && at->Index >= 0 && size_t(at->Index) < sceneWorlds.size() &&
         computedAt[size_t(at->Index)] != g && chain.size() <= scene.Nodes.size();
         at = at->Parent) {
      chain.push_back(at);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      const Node* at = *it;
      const HostMatrix local = at->Transform.Evaluate(tick);
      const Node* parent = at->Parent;
      const bool rooted = parent == nullptr || parent == scene.Root.get() || parent->Index < 0;
      sceneWorlds[size_t(at->Index)] =
          rooted ? local : Multiply(local, sceneWorlds[size_t(parent->Index)]);
      computedAt[size_t(at->Index)] = g;
    }
    return sceneWorlds[size_t(node->Index)];
  };
  for (int64_t g = 0; g < grid.points; ++g) {
    const float t = float(double(g) * grid.step / grid.per);
    const int32_t tick = grid.TickAt(g);
    for (size_t b = 0; b < table.size(); ++b) {
      const BoneEntry& entry = table[b];
      transform local = entry.rest;
      if (entry.track >= 0) {
        const transform_track track = group->TransformTracks[entry.track];
        float position[3], orientation[4], scale[9];
        const bool ok =
            Evaluate(track.PositionCurve, 3, false, grid.duration, grid.step, t, zero, position) &&
            Evaluate(track.OrientationCurve, 4, true, grid.duration, grid.step, t, identity,
                     orientation) &&
            Evaluate(track.ScaleShearCurve, 9, false, grid.duration, grid.step, t, unit, scale);
        if (!ok) {
          for (float& v : position) v = NAN;
        }
        local = MakeTransform(position, orientation, scale);
      }
      if (entry.parent < 0) local = ApplyPlacement(placement, local);
      float composite[4][4];
      BuildCompositeMatrix(local, composite);
      Affine matrix;
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) matrix[size_t(3 * i + j)] = composite[i][j];
      Affine& world = worlds[b];
      world = entry.parent < 0 ? matrix : Compose(matrix, worlds[size_t(entry.parent)]);
      if (!entry.node) continue;
      const Affine expected =
          FromHost(entry.node->Index >= 0 ? sceneWorld(entry.node, g, tick)
                                          : scene.NodeTransform(entry.node, tick));
      for (int axis = 0; axis < 3; ++axis) {
        // The vertex is a point of the bone, d from the joint in the scene's
        // pose: the same local point through both transforms, so that a
        // bone under a scaled armature is measured at d, not d times its
        // scale.
        double length = 0;
        for (int j = 0; j < 3; ++j)
          length += double(expected[size_t(3 * axis + j)]) * expected[size_t(3 * axis + j)];
        length = std::sqrt(length);
        const double along = length > 0 ? d / length : d;
        double sum = 0;
        if (grid.converted) {
          // The file's bone holds the point at L x; its world position is
          // taken back into the scene's frame to be compared.
          double file[3], back[3];
          for (int j = 0; j < 3; ++j) {
            file[j] = double(world[size_t(9 + j)]) - grid.basis.Affine[j];
            for (int k = 0; k < 3; ++k)
              file[j] += along * grid.basis.Linear[k][axis] * world[size_t(3 * k + j)];
          }
          for (int j = 0; j < 3; ++j) {
            back[j] = 0;
            for (int k = 0; k < 3; ++k) back[j] += grid.basis.InverseLinear[j][k] * file[k];
            const double e = back[j] - (along * expected[size_t(3 * axis + j)] +
                                        double(expected[size_t(9 + j)]));
            sum += e * e;
          }
        } else {
          for (int j = 0; j < 3; ++j) {
            const double e =
                along * (world[size_t(3 * axis + j)] - expected[size_t(3 * axis + j)]) +
                (world[size_t(9 + j)] - expected[size_t(9 + j)]);
            sum += e * e;
          }
        }
        // A value that cannot be decoded is the worst error, never none.
        double cm = std::sqrt(sum) * grid.unitsToCm;
        if (std::isnan(cm)) cm = INFINITY;
        errors.push_back(float(cm));
        if (g % grid.per == 0) result.MaxAtSamplesCm = std::max(result.MaxAtSamplesCm, cm);
        if (cm > worst) {
          worst = cm;
          const char* name = bones->Bones[int32_t(b)].Name;
          result.WorstBone = name ? name : "";
          result.WorstSeconds = t;
        }
      }
    }
  }
}

}  // namespace

bool MeasureAnimationFidelity(const Scene& scene, const file_info* info,
                              const FidelityOptions& options, FidelityResult& result,
                              std::string& error) {
  result = FidelityResult{};
  if (!info || options.Animation < 0 || options.Animation >= info->AnimationCount ||
      !info->Animations[options.Animation]) {
    error = "the file has no such animation";
    return false;
  }
  const animation* clip = info->Animations[options.Animation];
  // A clip of a scene with takes starts where its take does.
  int32_t start = scene.AnimationStart;
  const std::vector<std::string> takes = UniqueTakeNames(scene);
  for (size_t t = 0; t < takes.size(); ++t)
    if (clip->Name && takes[t] == clip->Name) start = scene.Takes[t].Start;
  Grid grid{
      &scene, start, clip->TimeStep,           clip->Duration, std::max(1, options.PointsPerStep),
      0,      1.0,   options.VertexDistanceCm, false,          {}};
  if (!FileBasis(scene, info, grid.basis, grid.converted)) {
    error = "the file's coordinate system cannot be related to the scene's";
    return false;
  }
  result.Samples = grid.step > 0 ? int32_t(std::lround(grid.duration / grid.step)) + 1 : 1;
  grid.points = int64_t(result.Samples - 1) * grid.per + 1;

  std::vector<float> errors;
  double worst = -1;
  for (int32_t g = 0; g < clip->TrackGroupCount; ++g) {
    const track_group* group = clip->TrackGroups[g];
    const skeleton* bones = group ? FindSkeleton(info, group) : nullptr;
    if (!bones || bones->BoneCount < 1) continue;
    if ((result.Bones + bones->BoneCount) * grid.points > kMostPoints) {
      error = "the clip is too long to measure on this grid";
      return false;
    }
    const std::vector<BoneEntry> table = BoneTable(scene, bones, group);
    result.Bones += bones->BoneCount;
    for (const BoneEntry& entry : table) result.KeyedBones += entry.node && Keyed(entry.node);
    if (result.UnitsToCm == 1 && errors.empty()) {
      grid.unitsToCm = options.UnitsToCm > 0 ? options.UnitsToCm : UnitsToCm(grid, table);
      result.UnitsToCm = grid.unitsToCm;
    }
    MeasureGroup(grid, group, bones, table, errors, result, worst);
  }
  if (errors.empty()) {
    error = "no track group of the animation drives a skeleton of the scene's bones";
    return false;
  }
  const size_t p99 = std::min(errors.size() - 1, size_t(double(errors.size()) * 0.99));
  std::nth_element(errors.begin(), errors.begin() + std::ptrdiff_t(p99), errors.end());
  result.P99Cm = errors[p99];
  result.MaxCm = *std::max_element(errors.begin() + std::ptrdiff_t(p99), errors.end());
  return true;
}

bool ExportWithinBudget(Scene& scene, const HostExportOptions& options, BudgetedExport& budget,
                        std::string& error) {
  namespace fs = std::filesystem;
  if (!budget.Tighten || !(budget.BudgetCm > 0)) {
    error = "no error budget to keep";
    return false;
  }
  // Named as the file writer names its temporary files, so that one a
  // killed export leaves behind is cleared by the next.
  HostExportOptions trial = options;
  trial.FileName = TrialFileName(options.FileName, "measuring");
  std::error_code ignored;
  // Each attempt reports its own warnings: those of an earlier one are gone.
  ExportReport* report = options.Request.Report;
  const size_t warnings = report ? report->Warnings.size() : 0;
  for (budget.Exports = 0; budget.Exports < std::max(1, budget.Attempts);) {
    ++budget.Exports;
    TruncateWarnings(report, warnings);
    if (!ExportHostScene(scene, trial)) {
      fs::remove(trial.FileName, ignored);
      error = "the export failed";
      return false;
    }
    ketrel_file* file = ReadEntireFile(trial.FileName.c_str());
    bool measured = file != nullptr;
    if (!file) error = "the written file could not be read back";
    // The worst of every animation that drives a skeleton; one that drives
    // none has nothing to keep. Samples and midpoints: each curve already
    // holds at the quarter points, and half the grid halves the time.
    budget.Result = FidelityResult{};
    const auto* info = file ? static_cast<const file_info*>(file->RootObject) : nullptr;
    for (int32_t a = 0; measured && a < info->AnimationCount; ++a) {
      if (!DrivesASkeleton(info, a)) continue;
      FidelityOptions grid;
      grid.PointsPerStep = 2;
      grid.Animation = a;
      FidelityResult result;
      measured = MeasureAnimationFidelity(scene, info, grid, result, error);
      if (measured && result.MaxCm >= budget.Result.MaxCm) budget.Result = result;
    }
    FreeFile(file);
    if (!measured) {
      fs::remove(trial.FileName, ignored);
      return false;
    }
    if (budget.Result.MaxCm <= budget.BudgetCm) break;
    if (budget.Exports == budget.Attempts) {
      fs::remove(trial.FileName, ignored);
      char text[200];
      std::snprintf(text, sizeof text,
                    "after %d exports the animation is still %.4g cm off (at %s, %.3f s), above "
                    "%.4g cm",
                    budget.Exports, budget.Result.MaxCm, budget.Result.WorstBone.c_str(),
                    budget.Result.WorstSeconds, budget.BudgetCm);
      error = text;
      return false;
    }
    // Errors shrink about as tolerances do; a little more, so that one more
    // export usually suffices.
    *budget.Tighten *= float(0.9 * budget.BudgetCm / budget.Result.MaxCm);
  }
  if (!ReplaceFileWith(options.FileName.c_str(), trial.FileName.c_str())) {
    error = "could not move the file onto " + options.FileName;
    return false;
  }
  return true;
}

}  // namespace ketrel::host
