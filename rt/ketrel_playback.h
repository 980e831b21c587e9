#pragma once
// Playing an animation on a model: a binding made once says which transform
// track of a track group drives which bone of a skeleton (matched by name);
// sampling then fills a caller-owned local pose at any time without
// allocating. Morph weights and text track events are read from a group
// directly.
//
//   track_binding* b = BindTrackGroup(model->Skeleton, clip, FindTrackGroup(clip, model->Name));
//   SampleLocalPose(b, t, PlaybackLoop | PlaybackApplyRootMotion, local);
//   BuildWorldPose(model->Skeleton, local, nullptr, world);      // ketrel_pose.h
//   FreeTrackBinding(b);
//
// Times are seconds from the clip's start. Clamped time holds the ends;
// looping time wraps into [0, Duration) while root motion keeps counting
// the loops. Every curve format evaluates, sampled key curves too, and
// unsmoothed key tracks ("Compress animation data" off) interpolate
// linearly between their samples.
//
// Bones that no track drives keep the skeleton's rest transform. The
// group's `InitialPlacement` (the root placement removed by "Move to
// Origin") is put back on bone 0, so a sampled pose stands where the scene
// had it. Faults are logged (origin TrackGroup) and give null or false.

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_playback_curves.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

enum playback_flags : uint32_t {
  PlaybackClamp = 0,
  PlaybackLoop = 1,                     // wrap time into the clip
  PlaybackApplyRootMotion = 2,          // add the group's stored root motion to bone 0
  PlaybackWithoutInitialPlacement = 4,  // leave bone 0 relative to the placement
};

struct bound_track {
  int32_t Bone;   // skeleton index
  int32_t Track;  // index in the group's TransformTracks
  bound_curve Position, Orientation, ScaleShear;
};

// Read-only once made. Laid out in one block: the record, then the bound
// tracks in bone order.
struct track_binding {
  const skeleton* Skeleton;
  const animation* Clip;
  const track_group* Group;
  float Duration;
  float TimeStep;
  int32_t BoneCount;
  int32_t BoundCount;     // bones a track drives
  int32_t UnboundTracks;  // tracks whose name no bone has (logged as a warning)
  int32_t SpanSlots;      // span caches a playback cursor holds
  int32_t KeySlots;       // key cursors a playback cursor holds
  bound_track* Bound;
  bool OwnsMemory;
};

// The group of `clip` named `name` (a model's groups carry its name); null
// (no log) when there is none.
const track_group* FindTrackGroup(const animation* clip, const char* name);

// Lookups by name (compared byte for byte): the index of the first bone of
// the skeleton, transform track or vector track of the group named `name`,
// or -1 (no log) when there is none or an argument is null.
int32_t FindBone(const skeleton* skeleton, const char* name);
int32_t FindTransformTrack(const track_group* group, const char* name);
int32_t FindVectorTrack(const track_group* group, const char* name);

// Bytes BindTrackGroupInPlace needs for this skeleton and group.
size_t GetTrackBindingSize(const skeleton* skeleton, const track_group* group);
// Binds in caller memory (8-aligned, GetTrackBindingSize bytes). Null
// (logged) when an argument is null, the skeleton does not list parents
// first, or a curve cannot be read or has the wrong dimension.
track_binding* BindTrackGroupInPlace(const skeleton* skeleton, const animation* clip,
                                     const track_group* group, void* memory);
// The same in a block of its own, freed with FreeTrackBinding.
track_binding* BindTrackGroup(const skeleton* skeleton, const animation* clip,
                              const track_group* group);
// Accepts null and in-place bindings (which it leaves alone).
void FreeTrackBinding(track_binding* binding);

// The clip time a play time maps to under `flags` (clamped to [0, Duration]
// or wrapped into [0, Duration)); NaN reads as 0.
float ClipTime(float duration, float t, uint32_t flags);

// What one playing instance of a binding remembers between samples: the
// span of each curve it last read (and, for sampled key curves, where in the
// key stream). Sampling with a cursor gives the same poses as without,
// faster when times move forward a little at a time, as a game's frames do.
// Caller-owned; one per playing instance (not shared between threads).
struct playback_cursor {
  const track_binding* Binding;
  int32_t SpanCount;
  int32_t KeyCount;
  curve_span_cache* Spans;
  sampled_key_cursor* Keys;
};

// Bytes InitPlaybackCursor needs for this binding.
size_t GetPlaybackCursorSize(const track_binding* binding);
// A cursor for `binding` in caller memory (8-aligned, GetPlaybackCursorSize
// bytes), empty. Null (logged) for a null binding or memory.
playback_cursor* InitPlaybackCursor(const track_binding* binding, void* memory);

// The local pose at play time `t` into `local` (binding->BoneCount
// transforms), through `cursor` when one is given (made for this binding).
// False when a curve fails to decode (logged); its bone then keeps its rest
// transform and the other bones are still sampled.
bool SampleLocalPose(const track_binding* binding, float t, uint32_t flags, transform* local,
                     playback_cursor* cursor = nullptr);

// ---- Morph weights ----------------------------------------------------------

// Floats SampleVectorTracks writes for a group: the sum of its vector
// tracks' dimensions (one weight per track for a morph group). A track wider
// than 9 numbers, which no file written by the exporter has and playback
// does not read, counts nothing.
int32_t GetVectorTrackValueCount(const track_group* group);
// Every vector track's value at `t`, one after the other in track order.
// `capacity` is the number of floats `values` holds; false when it is too
// small or a curve cannot be read.
bool SampleVectorTracks(const track_group* group, const animation* clip, float t, uint32_t flags,
                        float* values, int32_t capacity);
// For each of the mesh's morph targets, the index of the group's vector
// track of the same name (`trackOfTarget`: mesh->MorphTargetCount entries,
// -1 where none has it). Returns how many targets were matched.
int32_t BindMorphTargets(const mesh* mesh, const track_group* group, int32_t* trackOfTarget);

// ---- Text track events ------------------------------------------------------

struct text_event {
  float Time;         // play time of the event (in the loop it fell in)
  const char* Track;  // text track name
  const char* Text;
};

// The events from play time t0 up to t1 (t0 included, t1 not, so
// consecutive frames never report one twice), in time order. With
// PlaybackLoop every loop passed counts; clamped, play times outside the
// clip are clamped, and an event at the very end is reported when t1
// reaches it. Writes at most `capacity` events and returns how many there
// are in all (so a caller can size its buffer); -1 on a parameter fault.
int32_t CollectTextEvents(const track_group* group, float duration, float t0, float t1,
                          uint32_t flags, text_event* events, int32_t capacity);

}  // namespace ketrel
