#include "export/ketrel_bone_tolerances.h"

#include "export/ketrel_settings_hierarchy.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "export/ketrel_animation_sampling.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

namespace id = animation_setting;

constexpr double kDegreesPerRadian = 57.29577951308232;

struct BoneEntry {
  const BoneNode* bone = nullptr;
  int32_t parent = -1;  // index into the entries, -1 for a top bone
  float world[3] = {0, 0, 0};
  float reach = 0.0f;  // farthest descendant origin, margin not yet added
  int32_t above = 0;   // ancestors
  int32_t below = 0;   // bones on the longest path down, itself excluded
  int32_t top = -1;    // its top bone
};

float Distance(const float* a, const float* b) {
  const float x = a[0] - b[0], y = a[1] - b[1], z = a[2] - b[2];
  return std::sqrt(x * x + y * y + z * z);
}

// Sets one tolerance and reads back what the settings kept (clamped).
float Store(SettingsItem* item, uint32_t which, double value) {
  RequesterProperty* property = FindPropertyById(item->Requester, which);
  if (property == nullptr) return 0.0f;
  SetPropertyFloat(property, value);
  return GetPropertyFloat(property);
}

}  // namespace

bool ApplyBoneTolerances(ToolInterface& tool, NodeGraph* graph, const BoneToleranceBudget& budget,
                         std::vector<BoneTolerance>* applied) {
  if (applied != nullptr) applied->clear();
  if (!KT_CHECK_PARAMETER(Settings, graph != nullptr)) return false;
  if (!(budget.Error > 0.0f) || !std::isfinite(budget.Error) || !(budget.ReachMargin >= 0.0f) ||
      !std::isfinite(budget.ReachMargin) || !(budget.OrientationFactor > 0.0f) ||
      !(budget.PositionFactor > 0.0f)) {
    KT_LOG_ERROR(Settings,
                 "The animation error must be a distance above zero (and the margin one of zero "
                 "or more), not %g (margin %g)",
                 double(budget.Error), double(budget.ReachMargin));
    return false;
  }

  std::vector<BoneEntry> bones;
  std::unordered_map<const BoneNode*, int32_t> indexOf;
  for (BoneNode* bone : GraphBones(graph)) {
    indexOf[bone] = int32_t(bones.size());
    BoneEntry entry;
    entry.bone = bone;
    bones.push_back(entry);
  }
  if (bones.empty()) return true;
  tool.SetSampleTimeToStart();
  for (BoneEntry& entry : bones) {
    TransformParts local, world;
    tool.GetBoneTransforms(entry.bone, local, world);  // parts are usable either way
    std::copy(world.Position, world.Position + 3, entry.world);
    auto parent = indexOf.find(tool.GetParentBone(entry.bone));
    if (parent != indexOf.end()) entry.parent = parent->second;
  }
  // Every bone's origin widens the reach of each of its ancestors and
  // lengthens their longest chain down. A broken host answering with a
  // cycle stops after as many steps as there are bones.
  const int32_t count = int32_t(bones.size());
  for (int32_t b = 0; b < count; ++b) {
    int32_t steps = 0;
    int32_t a = b;
    for (int32_t up = bones[size_t(b)].parent; up >= 0 && steps < count;
         up = bones[size_t(up)].parent) {
      ++steps;
      BoneEntry& ancestor = bones[size_t(up)];
      ancestor.reach = std::max(ancestor.reach, Distance(ancestor.world, bones[size_t(b)].world));
      ancestor.below = std::max(ancestor.below, steps);
      a = up;
    }
    bones[size_t(b)].above = steps;
    bones[size_t(b)].top = a;
  }
  // The default margin follows the size of each skeleton.
  std::vector<float> margins(size_t(count), budget.ReachMargin);
  if (!(budget.ReachMargin > 0.0f)) {
    for (int32_t b = 0; b < count; ++b) {
      const BoneEntry& top = bones[size_t(bones[size_t(b)].top)];
      margins[size_t(b)] = std::max(top.reach, 0.0f) * kDefaultReachMarginFraction;
    }
  }

  const double error = budget.Error;
  for (int32_t b = 0; b < count; ++b) {
    const BoneEntry& entry = bones[size_t(b)];
    SettingsItem* item = entry.bone->AnimationSettings;
    if (item == nullptr) continue;
    if (item->Requester == nullptr && !ApplyStoredSettings(item, nullptr, nullptr)) return false;
    BoneTolerance record;
    record.Bone = entry.bone;
    record.ChainLength = entry.above + 1 + entry.below;
    record.Reach = entry.reach + margins[size_t(b)];
    const double share = error / std::sqrt(double(record.ChainLength));
    // A bone without reach (a lone point and no margin) cannot move the
    // skin by turning: it keeps the loosest setting.
    const double radians =
        record.Reach > 0.0f ? budget.OrientationFactor * share / record.Reach : 1e30;
    record.PositionTolerance = Store(item, id::PositionTolerance, budget.PositionFactor * share);
    record.OrientationDegrees = Store(item, id::OrientationTolerance, radians * kDegreesPerRadian);
    record.ScaleShearTolerance = Store(item, id::ScaleShearTolerance, radians);
    if (applied != nullptr) applied->push_back(record);
  }
  return true;
}

bool ParseDistance(const std::string& text, double* meters, std::string* error) {
  static const struct {
    const char* suffix;
    double meters;
  } kUnits[] = {{"mm", 0.001}, {"cm", 0.01}, {"m", 1.0}};
  const char* forms = "a distance with its unit, such as 0.01cm, 0.1mm or 0.0001m";
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(start, &end);
  if (end == start || errno == ERANGE) {
    if (error) *error = std::string("needs ") + forms + ", not \"" + text + "\"";
    return false;
  }
  while (*end == ' ') ++end;
  for (const auto& unit : kUnits) {
    if (std::strcmp(end, unit.suffix) != 0) continue;
    if (!(value > 0) || !std::isfinite(value)) {
      if (error) *error = "needs a distance above zero, not \"" + text + "\"";
      return false;
    }
    *meters = value * unit.meters;
    return true;
  }
  if (error) {
    *error = *end == '\0' ? std::string("needs a unit: ") + forms + ", not \"" + text + "\""
                          : std::string("needs ") + forms + ", not \"" + text + "\"";
  }
  return false;
}

float MeasureFigureHeight(ToolInterface& tool, NodeGraph* graph) {
  if (graph == nullptr) return 0.0f;
  tool.SetSampleTimeToStart();
  float low = INFINITY, high = -INFINITY;
  for (BoneNode* bone : GraphBones(graph)) {
    TransformParts local, world;
    tool.GetBoneTransforms(bone, local, world);
    low = std::min(low, world.Position[2]);
    high = std::max(high, world.Position[2]);
  }
  return high > low && std::isfinite(high - low) ? high - low : 0.0f;
}

double SceneUnitsFromMeters(ToolInterface& tool, NodeGraph* graph, double meters,
                            std::string* note) {
  const double unit = tool.GetSystemUnitInMeters();
  if (tool.IsSystemUnitKnown() && unit > 0 && std::isfinite(unit)) return meters / unit;
  const float height = MeasureFigureHeight(tool, graph);
  if (!(height > 0.0f)) return 0.0;
  const double perUnit = kAssumedFigureHeightMeters / height;
  if (note) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "the scene gives no unit: its figure is taken as %.2f m tall (1 unit = %.3g cm)",
                  kAssumedFigureHeightMeters, perUnit * 100.0);
    *note = text;
  }
  return meters / perUnit;
}

std::vector<std::string> AnimationErrorAssignments(int32_t keyOversampling) {
  return {"Use sampled key curves=true", "Oversampling=" + std::to_string(keyOversampling)};
}

bool ApplyAnimationError(SettingsItem* root, ToolInterface& tool, NodeGraph* graph, double meters,
                         std::string* note, float tighten) {
  BoneToleranceBudget budget;
  budget.Error = float(SceneUnitsFromMeters(tool, graph, meters, note));
  if (!(budget.Error > 0.0f)) {
    KT_LOG_ERROR(Settings, "The scene has no unit and no bones to measure the distance %g m by",
                 meters);
    return false;
  }
  // Curves alone leave room that sampled keys use up: a looser factor then.
  const SettingsItem* animations = FindChildItem(root, "Animations");
  if (!GetSettingBool(animations, id::UseSampledKeys))
    budget.OrientationFactor = kCurveOrientationFactor;
  if (tighten > 0.0f && tighten < 1.0f) {
    budget.OrientationFactor *= tighten;
    budget.PositionFactor *= tighten;
  }
  // Every animation's bones have their own settings items.
  bool ok = graph->Animations == nullptr ? ApplyBoneTolerances(tool, graph, budget) : true;
  for (const AnimationNode* a = graph->Animations; a != nullptr && ok; a = a->Next) {
    LinkAnimationSettings(graph, a);
    ok = ApplyBoneTolerances(tool, graph, budget);
  }
  return ok;
}

}  // namespace ketrel
