#include "tests/support/curve_walk.h"

#include "rt/ketrel_curve.h"

namespace ketrel::test {

void ForEachCurve(const file_info* info,
                  const std::function<void(const std::string& where, const curve2& curve)>& visit) {
  if (info == nullptr) return;
  for (int32_t g = 0; g < info->TrackGroupCount; ++g) {
    const track_group* group = info->TrackGroups[g];
    if (group == nullptr) continue;
    const std::string base = "TrackGroups[" + std::to_string(g) + "].";
    for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
      // Copies: the records are packed.
      const transform_track track = group->TransformTracks[t];
      const std::string name = base + (track.Name ? track.Name : "?");
      visit(name + ".Position", track.PositionCurve);
      visit(name + ".Orientation", track.OrientationCurve);
      visit(name + ".ScaleShear", track.ScaleShearCurve);
    }
    for (int32_t v = 0; v < group->VectorTrackCount; ++v) {
      const vector_track track = group->VectorTracks[v];
      visit(base + (track.Name ? track.Name : "?"), track.ValueCurve);
    }
  }
}

std::string DecreasingKnots(const file_info* info) {
  std::string found;
  ForEachCurve(info, [&](const std::string& where, const curve2& curve) {
    const int32_t at = FindDecreasingKnot(&curve);
    if (at != -1)
      found += where + (at == -2 ? ": knots unreadable\n" : ": knot " + std::to_string(at) + "\n");
  });
  return found;
}

}  // namespace ketrel::test
