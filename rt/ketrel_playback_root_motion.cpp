#include "rt/ketrel_playback_root_motion.h"

#include <cmath>

#include "rt/ketrel_log.h"
#include "rt/ketrel_transform.h"

namespace ketrel {

bool TrackGroupHasRootMotion(const track_group* group) {
  if (group == nullptr || (group->AccumulationFlags & AccumulationConstantExtraction) == 0)
    return false;
  if (group->PeriodicLoop != nullptr) return true;
  return group->LoopTranslation[0] != 0.0f || group->LoopTranslation[1] != 0.0f ||
         group->LoopTranslation[2] != 0.0f;
}

bool GetRootMotion(const track_group* group, float duration, float t, transform* motion) {
  if (!KT_CHECK_PARAMETER(TrackGroup, group != nullptr && motion != nullptr)) return false;
  *motion = IdentityTransform();
  if (!TrackGroupHasRootMotion(group) || !std::isfinite(t)) return true;
  float position[3] = {0, 0, 0};
  float orientation[4] = {0, 0, 0, 1};
  if (group->PeriodicLoop != nullptr) {
    // The helix in closed form: advancing a placement sample by sample
    // along it, as the export unwound the root, lands on the same point.
    const periodic_loop& loop = *group->PeriodicLoop;
    const float a = t * loop.dAngle;
    const float c = std::cos(a) - 1.0f, s = std::sin(a);
    for (int i = 0; i < 3; ++i)
      position[i] =
          loop.Radius * (c * loop.BasisX[i] + s * loop.BasisY[i]) + t * loop.dZ * loop.Axis[i];
    const float half = std::sin(a / 2);
    for (int i = 0; i < 3; ++i) orientation[i] = half * loop.Axis[i];
    orientation[3] = std::cos(a / 2);
  } else if (duration > 0.0f) {
    // The export took (i / (N - 1)) of the loop's travel from sample i.
    const float part = t / duration;
    for (int i = 0; i < 3; ++i) position[i] = part * group->LoopTranslation[i];
  }
  *motion = MakeTransform(position, orientation, nullptr);
  return true;
}

bool GetRootMotionDelta(const track_group* group, float duration, float t0, float t1,
                        transform* delta) {
  if (!KT_CHECK_PARAMETER(TrackGroup, group != nullptr && delta != nullptr)) return false;
  transform from, to;
  if (!GetRootMotion(group, duration, t0, &from) || !GetRootMotion(group, duration, t1, &to))
    return false;
  *delta = RemovePlacement(from, to);
  return true;
}

}  // namespace ketrel
