#pragma once
// Everything a game needs to load KT2 files and play them: loading
// (ketrel_load.h), binding and sampling animations (ketrel_playback.h),
// root motion (ketrel_playback_root_motion.h), world and skinning matrices,
// blending and additive layers (ketrel_pose.h), and the file's records
// (ketrel_standard_types.h).

#include "rt/ketrel_load.h"
#include "rt/ketrel_playback.h"
#include "rt/ketrel_playback_root_motion.h"
#include "rt/ketrel_pose.h"
#include "rt/ketrel_standard_types.h"
