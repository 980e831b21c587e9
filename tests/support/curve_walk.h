#pragma once
// Walks every curve a file holds, for checks that must hold of all of them.
#include <functional>
#include <string>

#include "rt/ketrel_standard_types.h"

namespace ketrel::test {

// Calls `visit` with a readable place ("TrackGroups[2].Hips.Orientation")
// for every curve of every track group of the file.
void ForEachCurve(const file_info* info,
                  const std::function<void(const std::string& where, const curve2& curve)>& visit);

// The places of curves whose knots decrease or cannot be decoded, one per
// line; empty when every curve's knots are in order.
std::string DecreasingKnots(const file_info* info);

}  // namespace ketrel::test
