#pragma once
// Per-bone animation tolerances from one error budget for the skin.
//
// A rotation error of a radians on a bone moves a point at distance R from
// it by about R a, so a uniform orientation tolerance is far tighter than
// needed on hands, feet and heads when it is right for the hips. Given the
// largest error E a point of the skin may see, each animated bone gets its
// own "Bone animation settings" tolerances from its reach R (the farthest
// origin of its descendants at the first frame, plus the margin by which
// the skin stands off the bones) and the number n of bones on the longest
// chain through it, whose errors add up at the chain's end:
//
//   orientation  a = OrientationFactor * E / (R * sqrt(n))   (radians)
//   position     p = PositionFactor * E / sqrt(n)
//   scale/shear  s = a                                        (relative)
//
// The square root treats the errors of a chain as independent (they peak at
// different samples); a strict sum (1 / n) comes out tighter than a uniform
// setting on the hips and buys nothing. The default factors were measured on
// motion capture (bench/animation.cpp, two clips at 120 Hz, E = 0.01 cm)
// with sampled key curves on, as --animation-error exports: their rounding
// uses the whole tolerance at many samples, so the decoded error peaks at
// 0.82 E to 0.88 E with these factors and passes E from an orientation factor
// of about 1.1. Curves alone peak at 0.73 E to 0.83 E with the factor 1.4.
// Skins are not read: the margin stands for them.

#include <cstdint>
#include <string>
#include <vector>

#include "export/ketrel_tool_interface.h"

namespace ketrel {

// The margin, when none is given, as a fraction of the model's size (the
// largest distance from its root bone to another of its bones): about 3 cm
// on a figure 170 cm tall.
inline constexpr float kDefaultReachMarginFraction = 1.0f / 30.0f;
inline constexpr float kDefaultOrientationFactor = 1.0f;
// With curves only (sampled key curves off).
inline constexpr float kCurveOrientationFactor = 1.4f;
inline constexpr float kDefaultPositionFactor = 0.5f;

struct BoneToleranceBudget {
  float Error = 0.0f;        // the largest error of a point of the skin, scene units
  float ReachMargin = 0.0f;  // how far the skin lies from a bone; 0: from the model's size
  float OrientationFactor = kDefaultOrientationFactor;
  float PositionFactor = kDefaultPositionFactor;
};

// What one bone gets; the tolerances as the settings store them (clamped to
// their bounds).
struct BoneTolerance {
  const BoneNode* Bone = nullptr;
  float Reach = 0.0f;  // scene units, margin included
  int32_t ChainLength = 0;
  float PositionTolerance = 0.0f;  // scene units
  float OrientationDegrees = 0.0f;
  float ScaleShearTolerance = 0.0f;
};

// Sets "Position curve tolerance", "Orientation curve tolerance" and
// "Scale/shear curve tolerance" in the "Bone animation settings" of every
// bone of the graph that has them (a bone whose item reads through an
// ancestor first gets a Requester of its own, as the dialog gives one to an
// edited bone). Reads the bones' world placements at the start of the
// animation (the sample time is left there). Bones without animation
// settings (a scene without animation) are skipped. `applied`, when given,
// receives one record per bone set. False (logged, nothing set) for an error
// or margin that is not a finite number, an error not above zero, or factors
// not above zero; false also when memory for a Requester runs out (bones
// before it keep their new values).
bool ApplyBoneTolerances(ToolInterface& tool, NodeGraph* graph, const BoneToleranceBudget& budget,
                         std::vector<BoneTolerance>* applied = nullptr);

// A distance with its unit, as a user types it: "0.01cm", "0.1mm",
// "0.0001m" (a space before the unit is allowed). False, with `error` saying
// which forms are taken, for a bare number, an unknown unit or a distance
// that is not a finite number above zero.
bool ParseDistance(const std::string& text, double* meters, std::string* error);

// The figure's height in scene units: the extent of the bones' origins
// along the host's up axis (Z) at the start of the animation; 0 without
// bones.
float MeasureFigureHeight(ToolInterface& tool, NodeGraph* graph);

// Height a figure is taken to have when its scene carries no unit.
inline constexpr double kAssumedFigureHeightMeters = 1.70;

// `meters` in scene units: through the scene's unit, or for a scene whose
// source gave none, with the figure taken as 1.70 m tall (`note` then says
// so, for the user). 0 when neither can be had (no unit and no bones).
double SceneUnitsFromMeters(ToolInterface& tool, NodeGraph* graph, double meters,
                            std::string* note);

// What an error budget for the skin asks of the settings besides the bones'
// tolerances ("Use sampled key curves" on, "Oversampling" at the source's key
// rate), as "Label=value" assignments to apply before the user's own.
std::vector<std::string> AnimationErrorAssignments(int32_t keyOversampling);

// Gives every animated bone its tolerances from `meters` (a distance a point
// of the skin may stray), through the scene's unit (SceneUnitsFromMeters;
// `note` as there). The orientation factor follows "Use sampled key curves"
// as the settings under `root` now hold it. False (logged) when the distance
// cannot be had in scene units or the tolerances cannot be set.
// `tighten` (0 to 1) scales the tolerances down from what the factors give,
// for a second export when the first one measured above the budget.
bool ApplyAnimationError(SettingsItem* root, ToolInterface& tool, NodeGraph* graph, double meters,
                         std::string* note, float tighten = 1.0f);

}  // namespace ketrel
