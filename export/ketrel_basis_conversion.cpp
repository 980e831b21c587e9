#include "export/ketrel_basis_conversion.h"

#include <cmath>
#include <cstring>

#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// A frame by its right, up and back axes: +-1..3 for +-X..Z.
struct axis_frame {
  uint32_t Choice;
  int8_t Right, Up, Back;
};

// "Tool Coordinate System" choices, in list order.
constexpr axis_frame kToolFrames[] = {
    {265, 1, 3, -2},  {266, -2, 3, -1}, {267, -1, 3, 2},  {268, 2, 3, 1},
    {269, 1, 2, 3},   {270, 3, 2, -1},  {271, -1, 2, -3}, {272, -3, 2, 1},
    {273, -1, 3, -2}, {274, -2, 3, 1},  {275, 1, 3, 2},   {276, 2, 3, -1},
    {277, -1, 2, 3},  {278, 3, 2, 1},   {279, 1, 2, -3},  {280, -3, 2, -1},
};

// "Coordinate system" choices other than "Use tool's coordinates".
constexpr axis_frame kFileFrames[] = {
    {138, 1, 2, 3},   // Right-handed, Y up
    {139, 1, 3, -2},  // Right-handed, Z up
    {140, 1, 2, -3},  // Left-handed, Y up
    {141, 1, 3, 2},   // Left-handed, Z up
};

constexpr uint32_t kUseToolCoordinates = 142;
constexpr uint32_t kDefaultToolFrame = 264;

void AxisVector(int8_t axis, float out[3]) {
  out[0] = out[1] = out[2] = 0.0f;
  out[(axis < 0 ? -axis : axis) - 1] = axis < 0 ? -1.0f : 1.0f;
}

template <size_t N>
const axis_frame* FindFrame(const axis_frame (&table)[N], uint32_t choice) {
  for (const axis_frame& frame : table)
    if (frame.Choice == choice) return &frame;
  return nullptr;
}

// The matrix whose columns are the three axes.
void Columns(const float right[3], const float up[3], const float back[3], float m[3][3]) {
  for (int32_t r = 0; r < 3; ++r) m[r][0] = right[r], m[r][1] = up[r], m[r][2] = back[r];
}

bool Usable(float units) { return std::isfinite(units) && units > 0.0f; }

}  // namespace

bool ComputeBasisConversion(const file_info* info, float desiredUnitsPerMeter,
                            const float desiredOrigin[3], const float desiredRight[3],
                            const float desiredUp[3], const float desiredBack[3],
                            basis_conversion& conversion) {
  if (!KT_CHECK_PARAMETER(Basis, info && info->ArtToolInfo && desiredOrigin && desiredRight &&
                                     desiredUp && desiredBack))
    return false;
  const art_tool_info source = *info->ArtToolInfo;
  if (!Usable(source.UnitsPerMeter) || !Usable(desiredUnitsPerMeter)) {
    KT_LOG_ERROR(Basis, "Units per meter must be positive: the file has %g, %g is asked for",
                 double(source.UnitsPerMeter), double(desiredUnitsPerMeter));
    return false;
  }
  // S takes source coordinates to amounts of its right, up and back (the
  // inverse of the matrix of its axes, which is its transpose for the usual
  // orthonormal frames); D takes those amounts to desired coordinates.
  float axes[3][3], s[3][3], d[3][3], l[3][3];
  float sourceRight[3], sourceUp[3], sourceBack[3];  // packed record: copied out
  std::memcpy(sourceRight, source.RightVector, sizeof sourceRight);
  std::memcpy(sourceUp, source.UpVector, sizeof sourceUp);
  std::memcpy(sourceBack, source.BackVector, sizeof sourceBack);
  Columns(sourceRight, sourceUp, sourceBack, axes);
  if (!InvertLinear(axes, s)) {
    KT_LOG_ERROR(Basis, "The file's right, up and back vectors do not span space - cannot convert");
    return false;
  }
  Columns(desiredRight, desiredUp, desiredBack, d);
  const float scale = desiredUnitsPerMeter / source.UnitsPerMeter;
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t c = 0; c < 3; ++c)
      l[r][c] = scale * (d[r][0] * s[0][c] + d[r][1] * s[1][c] + d[r][2] * s[2][c]);
  if (!SetBasisLinear(conversion, l)) {
    KT_LOG_ERROR(Basis,
                 "The coordinate conversion is singular (desired right, up and back do "
                 "not span space) - cannot convert");
    return false;
  }
  // The source origin lands on the desired one.
  for (int32_t r = 0; r < 3; ++r)
    conversion.Affine[r] =
        desiredOrigin[r] -
        (l[r][0] * source.Origin[0] + l[r][1] * source.Origin[1] + l[r][2] * source.Origin[2]);
  return true;
}

bool ConvertCoordinateSystem(SceneParser* parser, const SettingsItem* file,
                             art_tool_info* artTool) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->info && artTool)) return false;
  ToolInterface* tool = parser->tool;
  const double unit = tool->GetSystemUnitInMeters();
  if (!(unit > 0.0) || !std::isfinite(unit)) {
    KT_LOG_ERROR(Export,
                 "The scene's system unit (%g m) is not a length - cannot set the file's "
                 "units",
                 unit);
    return false;
  }
  artTool->UnitsPerMeter = float(1.0 / unit);

  // The frame the tool works in, unless the settings say it is another.
  float right[3], up[3], back[3];
  tool->GetAxisFrame(right, up, back);
  const uint32_t toolChoice = GetSettingChoice(file, setting::ToolCoordinateSystem);
  if (const axis_frame* frame = FindFrame(kToolFrames, toolChoice)) {
    AxisVector(frame->Right, right);
    AxisVector(frame->Up, up);
    AxisVector(frame->Back, back);
  } else if (toolChoice != kDefaultToolFrame) {
    KT_LOG_WARNING_CODE(Export, warning::SettingChoiceUnknown, "Tool Coordinate System",
                        "Unknown \"Tool Coordinate System\" choice %u - the tool's frame is kept",
                        toolChoice);
  }
  std::memcpy(artTool->RightVector, right, sizeof right);
  std::memcpy(artTool->UpVector, up, sizeof up);
  std::memcpy(artTool->BackVector, back, sizeof back);

  const uint32_t fileChoice = GetSettingChoice(file, setting::CoordinateSystem);
  float desiredRight[3], desiredUp[3], desiredBack[3];
  std::memcpy(desiredRight, right, sizeof right);
  std::memcpy(desiredUp, up, sizeof up);
  std::memcpy(desiredBack, back, sizeof back);
  if (const axis_frame* frame = FindFrame(kFileFrames, fileChoice)) {
    AxisVector(frame->Right, desiredRight);
    AxisVector(frame->Up, desiredUp);
    AxisVector(frame->Back, desiredBack);
  } else if (fileChoice != kUseToolCoordinates) {
    KT_LOG_WARNING_CODE(Export, warning::SettingChoiceUnknown, "Coordinate system",
                        "Unknown \"Coordinate system\" choice %u - the tool's axes are kept",
                        fileChoice);
  }

  float units = artTool->UnitsPerMeter;
  const float asked = GetSettingFloat(file, setting::UnitsPerMeter);
  if (GetSettingBool(file, setting::RescaleScene)) {
    units = asked;
    if (!tool->IsSystemUnitKnown()) {
      KT_LOG_WARNING_CODE(Export, warning::SceneUnitAssumed, "Units per Meter",
                          "The scene's source gives no unit: \"Units per Meter\" rescales from "
                          "an assumed unit of %g m",
                          unit);
    }
  } else if (asked != 1.0f) {
    KT_LOG_WARNING_CODE(Export, warning::SettingOverruled, "Units per Meter",
                        "\"Units per Meter\" (%g) has no effect while \"Rescale scene on "
                        "export\" is off",
                        double(asked));
  }

  float origin[3];
  std::memcpy(origin, artTool->Origin, sizeof origin);
  file_info* info = parser->info;
  art_tool_info* kept = info->ArtToolInfo;
  info->ArtToolInfo = artTool;
  basis_conversion conversion;
  bool ok =
      ComputeBasisConversion(info, units, origin, desiredRight, desiredUp, desiredBack, conversion);
  info->ArtToolInfo = kept;
  if (!ok) return false;
  // Curves may stray 0.1 mm or a ten-thousandth of a unit quaternion.
  conversion.AffineTolerance = 1e-4f * units;
  conversion.LinearTolerance = 1e-4f;
  conversion.Flags = BasisRenormalize | BasisReverseWinding;
  conversion.Memory = ArenaAllocator(parser->arena);
  if (!TransformFile(info, conversion)) {
    KT_LOG_ERROR(Export, "Unable to convert the file to the chosen coordinate system");
    return false;
  }
  artTool->UnitsPerMeter = units;
  std::memcpy(artTool->RightVector, desiredRight, sizeof desiredRight);
  std::memcpy(artTool->UpVector, desiredUp, sizeof desiredUp);
  std::memcpy(artTool->BackVector, desiredBack, sizeof desiredBack);
  return true;
}

}  // namespace ketrel
