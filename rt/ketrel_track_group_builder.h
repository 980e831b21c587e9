#pragma once
// The track group builder: collects the tracks of one animated model in any
// order and lays out one `track_group` whose vector, transform and text
// tracks are sorted by name, with every curve copied into the group's block.
//
//   track_group_builder* b = BeginTrackGroup(name, 0, 0, 0, includeLODErrors);
//   BeginTransformTrack(b, boneName, flags);
//     SetTransformTrackOrientationCurve(b, q); ...Position...; ...ScaleShear...
//   EndTransformTrack(b);
//   PushVectorTrack(b, trackName, key, curve);
//   BeginTextTrack(b, name); AddTextEntry(b, t, text); ...; EndTextTrack(b);
//   track_group* g = EndTrackGroup(b, arena);  // or GetResultingTrackGroupSize
//                                              // + EndTrackGroupInPlace; frees b
//
// Names and texts: the group name, track names and text entries' texts are
// stored as the caller's pointers (the exporter passes its interned strings)
// and must stay alive as long as the group. Null names are allowed.
//
// Order: by name, byte by byte as signed characters, a null name before any
// other; tracks with equal names keep the order they were added in.
//
// Curves are copied when they are set or pushed, so the caller keeps and
// frees its own. An identity curve is never copied: it refers to a shared,
// read-only `DaIdentity` record of its track's dimension (3 position, 4
// orientation, 9 scale/shear, a vector track's own dimension). A transform
// curve never set is the identity of its slot.
//
// Only what is finished is written: a transform track counts once
// EndTransformTrack is called, a text track once EndTextTrack is called with
// at least one entry; a track still open when the group is ended, or
// replaced by beginning another, is left out with a warning. Counts and sizes
// are taken from the tracks that are written.
//
// Failures: any failed allocation or curve copy, a curve of the wrong
// dimension for its slot, or a null curve, is logged and marks the builder
// failed; ending a failed builder writes nothing and gives null (it is still
// freed). Every operation accepts a null builder and then does nothing.

#include <cstdint>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

struct track_group_builder;

// The bit pattern 0x7F0FFFFF (1.9140881e38): every TransformLODErrors element
// of a new group, "no error known yet".
inline constexpr uint32_t kUnknownLODErrorBits = 0x7F0FFFFFu;

// A builder for a group named `name`. The three counts are capacity hints and
// are not needed. With `includeLODErrors` the group gets one
// TransformLODErrors element per transform track, else an empty array.
// Null when memory runs out.
track_group_builder* BeginTrackGroup(const char* name, int32_t vectorTrackCountHint,
                                     int32_t transformTrackCountHint, int32_t textTrackCountHint,
                                     bool includeLODErrors);

// Opens a transform track; its three curves start as the identity. Beginning
// one while another is open drops the open one (warning). False when the
// builder is failed or memory runs out.
bool BeginTransformTrack(track_group_builder* builder, const char* name, int32_t flags);
// Copy `curve` into the open track's slot (replacing an earlier one). The
// curve's stored dimension must be the slot's (3, 4, 9); an identity curve
// takes the slot's dimension whatever it declares. False, and the builder
// failed, on a null curve, a wrong dimension, a failed copy or when no track
// is open.
bool SetTransformTrackPositionCurve(track_group_builder* builder, const curve2* curve);
bool SetTransformTrackOrientationCurve(track_group_builder* builder, const curve2* curve);
bool SetTransformTrackScaleShearCurve(track_group_builder* builder, const curve2* curve);
// Counts the open track; without an open track nothing happens.
void EndTransformTrack(track_group_builder* builder);

// Adds a vector track; its Dimension is the curve's stored dimension and the
// curve is copied. False, and the builder failed, on a null curve or a failed
// copy.
bool PushVectorTrack(track_group_builder* builder, const char* name, uint32_t trackKey,
                     const curve2* curve);

// Opens a text track (an open one is dropped, warning). Entries keep the
// order they are added in; `text` is stored, not copied. AddTextEntry
// without an open track is an error that fails the builder. EndTextTrack counts
// the track when it has at least one entry; without an open track nothing
// happens.
bool BeginTextTrack(track_group_builder* builder, const char* name);
bool AddTextEntry(track_group_builder* builder, float timeStamp, const char* text);
void EndTextTrack(track_group_builder* builder);

// Bytes EndTrackGroupInPlace writes: the track_group, the vector tracks, the
// LOD errors, the transform tracks, the text tracks, all text entries, then
// the curve data (8-aligned). 0 for a null or failed builder, and a parameter
// check when the size does not fit in int32.
int32_t GetResultingTrackGroupSize(const track_group_builder* builder);

// Lays the group out in `memory` (GetResultingTrackGroupSize bytes, 8-byte
// aligned) and frees the builder in every case. AccumulationFlags is 2,
// InitialPlacement the identity with no components, LoopTranslation zero,
// PeriodicLoop and ExtendedData null: the exporter fills them in afterwards.
// Null for a failed builder, or a null or misaligned memory (parameter
// check).
track_group* EndTrackGroupInPlace(track_group_builder* builder, void* memory);

// The same into memory taken from `arena` (one piece). Null when the builder
// failed or the arena cannot give the memory. Frees the builder.
track_group* EndTrackGroup(track_group_builder* builder, Arena* arena);

// Frees the builder and its copies without writing anything. Accepts null.
void AbortTrackGroup(track_group_builder* builder);

// True once any operation on the builder has failed (null builder: false).
bool TrackGroupBuilderFailed(const track_group_builder* builder);

// The shared read-only identity record of `dimension` as a curve2, for
// callers that want to compare against it: one for every dimension a curve
// may have (0 .. kMaxCurveDimension); both pointers are null outside.
curve2 GetSharedIdentityCurve(int32_t dimension);

}  // namespace ketrel
