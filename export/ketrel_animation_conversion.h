#pragma once
// The animations phase of an export: every included animation node of the
// graph becomes one `animation` with a `track_group` per animated model and
// one per animated morph source.
//
// Sampling: with F frames (the node's sample count), S seconds per frame
// and oversampling O ("Oversampling", 1..8) there are N = F * O + 1 samples;
// sample s is taken at host tick start + ticksPerSample * s / O (integer
// arithmetic, so sample F * O is exactly the end of the range), and the
// animation's TimeStep is S / O and its Duration F * S. Bones are sampled in
// their skeleton's frame (GetSkeletonLocalTransform), so tracks and skeleton
// agree. "Use synthetic oversampling" asks the host for frames only and
// interpolates between them.
//
// Root motion (the model's track group settings): "Move to Origin" takes the
// root bone's first sample out as the group's InitialPlacement; "Constant
// Motion Extraction (CME)" takes the root's steady travel out into
// LoopTranslation, or its steady turn into a PeriodicLoop
// (export/ketrel_root_motion.h); every orientation track is made continuous.
//
// Fitting: one job per channel, run by FitWorkerCount workers
// (export/ketrel_fit_jobs.h) with the settings of the bone, track source
// owner or morph source; "Compress animation data" off stores keyframes.
//
// Tracks: transform tracks are named after their bones, text tracks after
// the bone's note tracks (the bone's name for note track 0, "<bone>|Notes_n"
// for the others), vector tracks after what the track source's sampler
// reports, with the source's HostIndex as TrackKey; a source whose
// SecondFlags are not zero is kept even when constant. Morph weight groups
// are named after the morph source's scene node, one vector track per active
// channel holding the weight in percent times 0.01.
//
// The tool interface must set exact sample times (SetSampleTime); one that
// cannot gets no track groups (logged).

#include "export/ketrel_progress.h"
#include "export/ketrel_scene_parser.h"

namespace ketrel {

// The "Animations" phase: ConvertAnimation and CompressMorphs for every
// included animation node, honouring the progress window's cancel between
// animations. False when cancelled or an animation could not be appended;
// a track group that cannot be built is logged and left out.
bool ConvertAnimations(SceneParser* parser);

// One animation node: builds the `animation`, appends it to the file, and
// adds the track groups of the models. Null when it cannot be appended.
animation* ConvertAnimation(SceneParser* parser, AnimationNode* node, ProgressWindow* progress);

// The morph weight track groups of every morph source, appended to the file
// and to `target`. False when out of memory or out of room.
bool CompressMorphs(SceneParser* parser, AnimationNode* node, animation* target,
                    ProgressWindow* progress);

}  // namespace ketrel
