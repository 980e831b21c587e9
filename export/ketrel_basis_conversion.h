#pragma once
// The coordinate system of an exported file: the conversion from the frame
// and unit the file was authored in (its art_tool_info) to the ones the
// file settings ask for, and the export step that applies it.
//
// Frames are given by where their right, up and back directions point, in
// the frame's own coordinates; "Right-handed, Y up" is right (1, 0, 0), up
// (0, 1, 0), back (0, 0, 1). A point p of the source maps to
// Ud/Us * D S (p - Os) + Od, with S taking source coordinates to (right,
// up, back) amounts and D those amounts to desired coordinates.

#include "export/ketrel_scene_parser.h"
#include "rt/ketrel_transform_file.h"

namespace ketrel {

struct SettingsItem;

// The conversion from the file's recorded system to the desired one; only
// A, L and its inverse are set. False (logged) when the file has no
// art_tool_info, a unit is not positive and finite, or either frame's axes
// are not independent (the conversion would be singular).
bool ComputeBasisConversion(const file_info* info, float desiredUnitsPerMeter,
                            const float desiredOrigin[3], const float desiredRight[3],
                            const float desiredUp[3], const float desiredBack[3],
                            basis_conversion& conversion);

// The export's coordinate step: records the tool's own frame in `artTool`,
// lets "Tool Coordinate System" replace it, converts the whole file to the
// "Coordinate system" choice (and to "Units per Meter" when "Rescale scene
// on export" is on) and records the result in `artTool`. False (logged)
// when the scene's unit or the conversion is unusable or the file cannot
// be converted; the export then fails.
bool ConvertCoordinateSystem(SceneParser* parser, const SettingsItem* fileSettings,
                             art_tool_info* artTool);

}  // namespace ketrel
