// The blocks of settings that several categories share: inclusion, curve
// fitting, root motion and the codec settings of the texture formats.
#include "export/ketrel_settings_schema_rows.h"

namespace ketrel::schema {
namespace {

const PropertyRow kInclusion[] = {
    Bool(75, "Include reference in export", true, 0, 0,
         "Whether this item appears in the file at all."),
    Bool(2, "Include data in export", true, 1, 75,
         "Whether this item's data is stored; without it only a bare reference may remain."),
    Bool(66, "Include art tool specific data", true, 1, 0,
         "Exports the extra attributes and properties that the modelling tool keeps for this "
         "item."),
    Bool(251, "Only User Attributes", false, 1, 66,
         "Exports only the attributes that the user created (best effort).", kUserAttributes),
    Separator(80),
};

constexpr double kMinTolerance = 0.00001;

const PropertyRow kCurve[] = {
    Bool(68, "Reduce curves where possible", true, 1, 0,
         "Lowers a curve's degree when the data allows it."),
    Bool(52, "Compress animation data", true, 1, 0,
         "Fits b-spline curves to the samples; off stores the raw sample at every time step."),
    Bool(219, "Use quantized curves", true, 1, 52, "Uses quantized curve formats where they fit."),
    Bool(220, "Quant. on missed tolerance", true, 1, 219,
         "Still tries to shrink curves that miss their tolerance."),
    Bool(263, "Allow 16-bit orientation formats", true, 1, 219,
         "Permits the 16-bit orientation curve format."),
    Bool(301, "Use sampled key curves", false, 1, 52,
         "Lets a track keep one small key per sample where that is smaller than a curve "
         "(tight tolerances on captured motion); such files need a runtime that reads "
         "DaSampledBits curves."),
    Bool(227, "Aggressive animation compression", false, 1, 52,
         "Runs a knot-removal pass after fitting."),

    Range(53, "Position curve type", 2, 0, 3, 1, 52, "B-spline degree for translation.",
          kPerComponent),
    Number(149, "Position curve tolerance", 0.01, kMinTolerance, 10000, 0, 52,
           "Allowed position error, in the scene's system units.", kPerComponent),
    Bool(114, "Allow position jumps", false, 1, 52, "Allows discontinuities in position.",
         kPerComponent),
    Number(152, "Position jump tolerance", 10, kMinTolerance, 10000, 1, 114,
           "Jump size that counts as a teleport.", kPerComponent),
    Bool(115, "Allow position creasing", false, 1, 52, "Allows sharp creases in position.",
         kPerComponent),
    Number(153, "Position crease tolerance", 10, kMinTolerance, 10000, 1, 115,
           "Turn sharpness that counts as a crease.", kPerComponent),
    Separator(55, 52, kPerComponent),
    Range(56, "Orientation curve type", 2, 0, 3, 1, 52, "B-spline degree for rotation.",
          kPerComponent),
    Number(150, "Orientation curve tolerance", 0.1, kMinTolerance, 720, 0, 52,
           "Allowed rotation error, in degrees.", kPerComponent),
    Bool(117, "Allow orientation jumps", false, 1, 52, "Allows discontinuities in rotation.",
         kPerComponent),
    Number(154, "Orientation jump tolerance", 10, kMinTolerance, 720, 1, 117,
           "Rotation jump, in degrees, that counts as a discontinuity.", kPerComponent),
    Bool(118, "Allow orientation creasing", false, 1, 52, "Allows sharp creases in rotation.",
         kPerComponent),
    Number(155, "Orientation crease tolerance", 10, kMinTolerance, 720, 1, 118,
           "Turn sharpness, in degrees, that counts as a crease.", kPerComponent),
    Separator(58, 52, kPerComponent),
    Range(59, "Scale/shear curve type", 2, 0, 3, 1, 52, "B-spline degree for scale and shear.",
          kPerComponent),
    Number(151, "Scale/shear curve tolerance", 0.001, kMinTolerance, 10000, 0, 52,
           "Allowed scale/shear error.", kPerComponent),
    Bool(120, "Allow scale/shear jumps", false, 1, 52, "Allows discontinuities in scale/shear.",
         kPerComponent),
    Number(156, "Scale/shear jump tolerance", 1, kMinTolerance, 10000, 1, 120,
           "Scale/shear jump that counts as a discontinuity.", kPerComponent),
    Bool(121, "Allow scale/shear creasing", false, 1, 52, "Allows sharp creases in scale/shear.",
         kPerComponent),
    Number(157, "Scale/shear crease tolerance", 1, kMinTolerance, 10000, 1, 121,
           "Turn sharpness that counts as a crease.", kPerComponent),
    Separator(61, 52, kPerComponent),

    Range(221, "VectorTrack Curve type", 2, 0, 3, 1, 52, "B-spline degree for vector tracks."),
    Number(222, "VectorTrack Curve tolerance", 0.001, kMinTolerance, 10000, 0, 52,
           "Allowed vector track error."),
    Bool(225, "Allow VectorTrack jumps", false, 1, 52, "Allows discontinuities in vector tracks."),
    Number(223, "VectorTrack jump tolerance", 10, kMinTolerance, 10000, 1, 225,
           "Jump size that counts as a discontinuity."),
    Bool(226, "Allow VectorTrack creasing", false, 1, 52, "Allows sharp creases in vector tracks."),
    Number(224, "VectorTrack crease tolerance", 10, kMinTolerance, 10000, 1, 226,
           "Turn sharpness that counts as a crease."),

    Bool(261, "Include vector tracks", true, 1, 0, "Includes vector tracks in the track group.",
         kDontOversample | kProtectConstant),
    Bool(245, "Don't oversample vector tracks", false, 1, 261,
         "Samples vector tracks on frame boundaries only.", kDontOversample),
    Bool(252, "Protect constant tracks", false, 1, 261,
         "Keeps vector tracks whose value never changes.", kProtectConstant),

    Separator(262),
    Bool(229, "Use Accumulator Neighborhood", false, 1, 0,
         "Blends with the neighbourhood-to-rest-pose mode when appropriate."),
};

constexpr const char kMotionToleranceHelp[] =
    "Lower values detect smaller displacements as motion.";

const PropertyRow kMotionTolerances[] = {
    Number(158, "X Position Tolerance", 10, kMinTolerance, 10000, 1, 0, kMotionToleranceHelp),
    Number(159, "Y Position Tolerance", 10, kMinTolerance, 10000, 1, 0, kMotionToleranceHelp),
    Number(160, "Z Position Tolerance", 10, kMinTolerance, 10000, 1, 0, kMotionToleranceHelp),
    Number(161, "X Rotation Tolerance", 10, kMinTolerance, 360, 1, 0, kMotionToleranceHelp),
    Number(162, "Y Rotation Tolerance", 10, kMinTolerance, 360, 1, 0, kMotionToleranceHelp),
    Number(163, "Z Rotation Tolerance", 10, kMinTolerance, 360, 1, 0, kMotionToleranceHelp),
};

const ChoiceRow kRootMotionChoices[] = {
    {176, "No root motion accumulation", "The root bone's motion stays in its tracks.", {}},
    {177, "Constant Motion Extraction (CME)",
     "Extracts the root's motion where it moves at a constant rate.", Table(kMotionTolerances)},
    {178,
     "Variable Delta Accumulation (VDA)",
     "Accumulates the root's motion as per-step deltas.",
     {}},
};
const ChoiceList kRootMotionTypes = {175, "Root Motion Types", true, kRootMotionChoices,
                                     sizeof(kRootMotionChoices) / sizeof(kRootMotionChoices[0])};

const PropertyRow kRootMotion[] = {
    Bool(97, "Move to Origin", true, 1, 0,
         "Extracts the root bone's initial displacement and stores it separately."),
    Combo(185, "Root Motion Type", &kRootMotionTypes, 178, 1, 0,
          "How the root bone's motion is accumulated."),
};

const PropertyRow kCodecYuv[] = {
    Range(24, "Compression", 15, 1, 64, 1, 0, "Higher values give smaller, blurrier images."),
    Bool(106, "Compress in YUV space", true, 1, 0, "Compresses in YUV rather than RGB space."),
};
const PropertyRow kCodecRgb[] = {
    Range(24, "Compression", 15, 1, 64, 1, 0, "Higher values give smaller, blurrier images."),
    Bool(106, "Compress in YUV space", false, 1, 0, "Compresses in YUV rather than RGB space."),
};

}  // namespace

const RowTable kInclusionRows = Table(kInclusion);
const RowTable kCurveRows = Table(kCurve);
const RowTable kRootMotionRows = Table(kRootMotion);
const RowTable kCodecRowsYuv = Table(kCodecYuv);
const RowTable kCodecRowsRgb = Table(kCodecRgb);

}  // namespace ketrel::schema
