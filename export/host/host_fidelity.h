#pragma once
// How faithfully an exported animation plays the host scene it came from,
// measured as a game meets it: the file's curves evaluated on a dense grid
// of times (samples and the points between them), the bones composed down
// the skeleton, and virtual vertices a few centimetres from each joint along
// its three axes compared in the figure's space with the scene's own
// transforms at the same times.

#include <cstdint>
#include <string>

#include "export/host/host_export.h"
#include "export/host/host_scene.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel::host {

struct FidelityOptions {
  int32_t PointsPerStep = 4;  // grid points per sample step (1: the samples only)
  double VertexDistanceCm = 3.0;
  // Centimetres per scene unit; 0: from the scene's unit, or for a scene
  // without one, with the figure taken as 170 cm tall.
  double UnitsToCm = 0;
  int32_t Animation = 0;  // which animation of the file
};

struct FidelityResult {
  double MaxCm = 0;           // over the whole grid
  double P99Cm = 0;           // 99th percentile over the grid
  double MaxAtSamplesCm = 0;  // at the sample instants alone
  std::string WorstBone;
  double WorstSeconds = 0;
  int32_t Bones = 0;       // of the measured skeletons
  int32_t KeyedBones = 0;  // whose scene node has keys (two or more) of its own
  int32_t Samples = 0;     // sample instants of the animation
  double UnitsToCm = 1;
};

// Measures the file's animation `options.Animation`: each of its track
// groups that drives a skeleton (the model of the group's name) against
// `scene` from its take's start (the take of its name; else the animation
// start). False with `error` when the file holds
// no such animation, no group of it drives a skeleton of bones the scene
// has, or the grid is too large to measure (over 50 million points).
bool MeasureAnimationFidelity(const Scene& scene, const file_info* info,
                              const FidelityOptions& options, FidelityResult& result,
                              std::string& error);

// An export that must keep its animation within a budget, as measured
// above (at the samples and the midpoints between them; every curve is held
// at the quarter points by the fitter): the file is written beside the
// target, measured, and moved onto
// the target only once it is within `BudgetCm`. While it is not, the
// export runs again with `*Tighten` (which the caller's settings edits
// apply to the tolerances) scaled down by how far it missed.
struct BudgetedExport {
  double BudgetCm = 0;
  int32_t Attempts = 4;
  float* Tighten = nullptr;  // starts at 1; the edits read it on every export
  FidelityResult Result;     // the last file's worst animation
  int32_t Exports = 0;
};

// True when the target holds a file within the budget. False with `error`
// when an export fails, the file cannot be measured, or the last attempt is
// still above the budget; the target is then left as it was.
bool ExportWithinBudget(Scene& scene, const HostExportOptions& options, BudgetedExport& budget,
                        std::string& error);

}  // namespace ketrel::host
