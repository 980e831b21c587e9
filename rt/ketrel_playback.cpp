#include "rt/ketrel_playback.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "rt/ketrel_bspline_deboor.h"
#include "rt/ketrel_curve_formats.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_playback_root_motion.h"
#include "rt/ketrel_transform.h"

namespace ketrel {
namespace {

const float kZero[3] = {0, 0, 0};
const float kIdentityQuaternion[4] = {0, 0, 0, 1};
const float kIdentityMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

const char* NameOf(const char* name) { return name != nullptr ? name : "(unnamed)"; }

size_t AlignUp(size_t size) { return (size + 7) & ~size_t{7}; }

// Bones a track drives, and tracks no bone has. A bone takes the first track
// of its name.
void CountMatches(const skeleton* skeleton, const track_group* group, int32_t* bound,
                  int32_t* unbound) {
  *bound = 0;
  *unbound = 0;
  for (int32_t t = 0; t < group->TransformTrackCount; ++t)
    *unbound += FindBone(skeleton, group->TransformTracks[t].Name) < 0 ? 1 : 0;
  for (int32_t b = 0; b < skeleton->BoneCount; ++b)
    *bound += FindTransformTrack(group, skeleton->Bones[b].Name) >= 0 ? 1 : 0;
}

// One curve of a track, read once.
bool ReadTrackCurve(const curve2& source, int32_t dimension, const float* identity,
                    const char* part, const char* trackName, bound_curve* out) {
  if (BindCurve(source, dimension, identity, out)) return true;
  const curve_reader& reader = out->Reader;
  if (reader.View.Format == CurveFormatUnknown) {
    KT_LOG_ERROR(TrackGroup, "Track %s: its %s curve cannot be read", NameOf(trackName), part);
  } else if (!reader.Identity && reader.View.Dimension != dimension) {
    KT_LOG_ERROR(TrackGroup, "Track %s: its %s curve has %d dimensions where %d belong",
                 NameOf(trackName), part, reader.View.Dimension, dimension);
  } else {
    KT_LOG_ERROR(TrackGroup, "Track %s: its %s curve is of degree %d or cannot be decoded",
                 NameOf(trackName), part, reader.View.Degree);
  }
  return false;
}

// Numbers the caches a cursor keeps for the curves that need them.
void AssignSlots(bound_curve& curve, int32_t* spans, int32_t* keys) {
  if (curve.Kind == BoundCurveFitted || curve.Kind == BoundCurveSampledKeys)
    curve.SpanSlot = (*spans)++;
  if (curve.Kind == BoundCurveSampledKeys) curve.KeySlot = (*keys)++;
}

// `placement` applied after `t`, rigidly. A group may carry the all-zero
// transform (no placement written): a zero quaternion turns nothing.
transform Place(const transform& placement, const transform& t) {
  const float* q = placement.Orientation;
  const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (length < 1e-6f || !std::isfinite(length)) {
    transform shifted = t;
    for (int i = 0; i < 3; ++i) shifted.Position[i] += placement.Position[i];
    return shifted;
  }
  return ApplyPlacement(placement, t);
}

}  // namespace

namespace {

// The first of `count` named records whose Name is `name`, or -1.
template <typename Record>
int32_t FindNamed(const Record* records, int32_t count, const char* name) {
  if (records == nullptr || name == nullptr) return -1;
  for (int32_t i = 0; i < count; ++i) {
    const char* own = records[i].Name;
    if (own != nullptr && std::strcmp(own, name) == 0) return i;
  }
  return -1;
}

}  // namespace

int32_t FindBone(const skeleton* skeleton, const char* name) {
  return skeleton != nullptr ? FindNamed(skeleton->Bones, skeleton->BoneCount, name) : -1;
}

int32_t FindTransformTrack(const track_group* group, const char* name) {
  return group != nullptr ? FindNamed(group->TransformTracks, group->TransformTrackCount, name)
                          : -1;
}

int32_t FindVectorTrack(const track_group* group, const char* name) {
  return group != nullptr ? FindNamed(group->VectorTracks, group->VectorTrackCount, name) : -1;
}

const track_group* FindTrackGroup(const animation* clip, const char* name) {
  if (clip == nullptr || name == nullptr) return nullptr;
  for (int32_t g = 0; g < clip->TrackGroupCount; ++g) {
    const track_group* group = clip->TrackGroups[g];
    if (group != nullptr && group->Name != nullptr && std::strcmp(group->Name, name) == 0 &&
        (group->AccumulationFlags & 8) == 0) {
      return group;
    }
  }
  return nullptr;
}

size_t GetTrackBindingSize(const skeleton* skeleton, const track_group* group) {
  if (!KT_CHECK_PARAMETER(TrackGroup, skeleton != nullptr && group != nullptr)) return 0;
  int32_t bound = 0, unbound = 0;
  CountMatches(skeleton, group, &bound, &unbound);
  return AlignUp(sizeof(track_binding)) + size_t(bound) * sizeof(bound_track);
}

track_binding* BindTrackGroupInPlace(const skeleton* skeleton, const animation* clip,
                                     const track_group* group, void* memory) {
  if (!KT_CHECK_PARAMETER(TrackGroup, skeleton != nullptr && clip != nullptr && group != nullptr &&
                                          memory != nullptr))
    return nullptr;
  for (int32_t i = 0; i < skeleton->BoneCount; ++i) {
    if (skeleton->Bones[i].ParentIndex >= i) {
      KT_LOG_ERROR(TrackGroup, "Skeleton %s: bone %d has parent %d, which does not come before it",
                   NameOf(skeleton->Name), i, skeleton->Bones[i].ParentIndex);
      return nullptr;
    }
  }
  auto* binding = static_cast<track_binding*>(memory);
  std::memset(binding, 0, sizeof *binding);
  binding->Skeleton = skeleton;
  binding->Clip = clip;
  binding->Group = group;
  binding->Duration = clip->Duration > 0.0f ? clip->Duration : 0.0f;
  binding->TimeStep = clip->TimeStep;
  binding->BoneCount = skeleton->BoneCount;
  binding->Bound = reinterpret_cast<bound_track*>(static_cast<unsigned char*>(memory) +
                                                  AlignUp(sizeof(track_binding)));
  CountMatches(skeleton, group, &binding->BoundCount, &binding->UnboundTracks);
  int32_t next = 0;
  for (int32_t b = 0; b < skeleton->BoneCount; ++b) {
    const int32_t t = FindTransformTrack(group, skeleton->Bones[b].Name);
    if (t < 0) continue;
    const transform_track& track = group->TransformTracks[t];
    bound_track& entry = binding->Bound[next++];
    entry.Bone = b;
    entry.Track = t;
    if (!ReadTrackCurve(track.PositionCurve, 3, kZero, "position", track.Name, &entry.Position) ||
        !ReadTrackCurve(track.OrientationCurve, 4, kIdentityQuaternion, "orientation", track.Name,
                        &entry.Orientation) ||
        !ReadTrackCurve(track.ScaleShearCurve, 9, kIdentityMatrix, "scale/shear", track.Name,
                        &entry.ScaleShear)) {
      return nullptr;
    }
    AssignSlots(entry.Position, &binding->SpanSlots, &binding->KeySlots);
    AssignSlots(entry.Orientation, &binding->SpanSlots, &binding->KeySlots);
    AssignSlots(entry.ScaleShear, &binding->SpanSlots, &binding->KeySlots);
  }
  if (binding->UnboundTracks > 0) {
    KT_LOG_WARNING(TrackGroup, "Track group %s: %d of its %d tracks name no bone of skeleton %s",
                   NameOf(group->Name), binding->UnboundTracks, group->TransformTrackCount,
                   NameOf(skeleton->Name));
  }
  return binding;
}

track_binding* BindTrackGroup(const skeleton* skeleton, const animation* clip,
                              const track_group* group) {
  const size_t size = GetTrackBindingSize(skeleton, group);
  if (size == 0) return nullptr;
  void* memory = KT_ALLOCATE(size);
  if (memory == nullptr) return nullptr;
  track_binding* binding = BindTrackGroupInPlace(skeleton, clip, group, memory);
  if (binding == nullptr) {
    FreeBlock(memory);
    return nullptr;
  }
  binding->OwnsMemory = true;
  return binding;
}

void FreeTrackBinding(track_binding* binding) {
  if (binding != nullptr && binding->OwnsMemory) FreeBlock(binding);
}

float ClipTime(float duration, float t, uint32_t flags) {
  if (!(duration > 0.0f) || !(t == t)) return 0.0f;
  if ((flags & PlaybackLoop) != 0) {
    if (!std::isfinite(t)) return 0.0f;
    float u = std::fmod(t, duration);
    if (u < 0.0f) u += duration;
    return u < duration ? u : 0.0f;
  }
  return t < 0.0f ? 0.0f : (t > duration ? duration : t);
}

size_t GetPlaybackCursorSize(const track_binding* binding) {
  if (!KT_CHECK_PARAMETER(TrackGroup, binding != nullptr)) return 0;
  return AlignUp(sizeof(playback_cursor)) + size_t(binding->SpanSlots) * sizeof(curve_span_cache) +
         size_t(binding->KeySlots) * sizeof(sampled_key_cursor);
}

playback_cursor* InitPlaybackCursor(const track_binding* binding, void* memory) {
  if (!KT_CHECK_PARAMETER(TrackGroup, binding != nullptr && memory != nullptr)) return nullptr;
  auto* cursor = static_cast<playback_cursor*>(memory);
  auto* spans = reinterpret_cast<curve_span_cache*>(static_cast<unsigned char*>(memory) +
                                                    AlignUp(sizeof(playback_cursor)));
  auto* keys = reinterpret_cast<sampled_key_cursor*>(spans + binding->SpanSlots);
  for (int32_t i = 0; i < binding->SpanSlots; ++i) spans[i].Knot = -1;
  for (int32_t i = 0; i < binding->KeySlots; ++i) new (&keys[i]) sampled_key_cursor();
  *cursor = playback_cursor{binding, binding->SpanSlots, binding->KeySlots, spans, keys};
  return cursor;
}

namespace {

// D floats of one part; constants (most curves of a pose) copied here
// without a call.
template <int D>
bool EvaluatePart(const bound_curve& curve, bool quaternion, float step, float time,
                  playback_cursor* cursor, float* out) {
  if (curve.Kind == BoundCurveConstant) {
    std::memcpy(out, curve.Value, D * sizeof(float));
    return true;
  }
  curve_span_cache* span =
      cursor != nullptr && curve.SpanSlot >= 0 ? &cursor->Spans[curve.SpanSlot] : nullptr;
  sampled_key_cursor* keys =
      cursor != nullptr && curve.KeySlot >= 0 ? &cursor->Keys[curve.KeySlot] : nullptr;
  // The evaluator chosen at binding, straight (quaternions are D = 4 here).
  const span_evaluator fixed = curve.EvaluateSpan[quaternion ? 1 : 0];
  if (span != nullptr && fixed != nullptr) return fixed(curve, time, *span, keys, out, nullptr);
  return EvaluateBoundCurve(curve, quaternion, step, time, span, keys, out);
}

// Orientations whose last step waits for the rest of the pose: their
// square roots and divisions, each a long wait on its own, overlap when
// taken together in one loop. Held in the caller's locals, so that the
// counts stay in registers across the evaluators' calls.
constexpr int32_t kPendingBatch = 32;

struct pending_turn {
  double Blend[4];
  const float* First;
  int32_t Bone;
};

// Every waiting orientation done; false when a turn had no length (its
// bone is then at rest, as an evaluation failing at once leaves it).
bool FinishOrientations(float* const* blends, int32_t blendCount, const pending_turn* turns,
                        int32_t turnCount, const skeleton* skeleton, transform* local) {
  for (int32_t i = 0; i < blendCount; ++i) bspline_internal::NormalizeQuaternion4(blends[i]);
  bool ok = true;
  for (int32_t i = 0; i < turnCount; ++i) {
    const pending_turn& pending = turns[i];
    if (!FinishTurn(pending.Blend, pending.First, local[pending.Bone].Orientation)) {
      local[pending.Bone] = skeleton->Bones[pending.Bone].Transform;
      ok = false;
    }
  }
  return ok;
}

}  // namespace

bool SampleLocalPose(const track_binding* binding, float t, uint32_t flags, transform* local,
                     playback_cursor* cursor) {
  if (!KT_CHECK_PARAMETER(TrackGroup, binding != nullptr && local != nullptr &&
                                          (cursor == nullptr || cursor->Binding == binding)))
    return false;
  const skeleton* skeleton = binding->Skeleton;
  const float time = ClipTime(binding->Duration, t, flags);
  // Untracked bones keep their rest transform; tracked ones are all
  // overwritten below (a bone has one track at most).
  if (binding->BoundCount != binding->BoneCount) {
    int32_t next = 0;
    for (int32_t b = 0; b < binding->BoneCount; ++b) {
      if (next < binding->BoundCount && binding->Bound[next].Bone == b) {
        ++next;
        continue;
      }
      local[b] = skeleton->Bones[b].Transform;
    }
  }
  bool ok = true;
  const float step = binding->TimeStep;
  float* blends[kPendingBatch];
  pending_turn turns[kPendingBatch];
  int32_t blendCount = 0, turnCount = 0;
  for (int32_t i = 0; i < binding->BoundCount; ++i) {
    const bound_track& entry = binding->Bound[i];
    transform& out = local[entry.Bone];
    // The orientation last: once it waits, nothing puts the bone back at
    // rest but its own turn.
    bool evaluated =
        EvaluatePart<3>(entry.Position, false, step, time, cursor, out.Position) &&
        EvaluatePart<9>(entry.ScaleShear, false, step, time, cursor, &out.ScaleShear[0][0]);
    const bound_curve& orientation = entry.Orientation;
    const span_evaluator deferring =
        cursor != nullptr && orientation.SpanSlot >= 0 ? orientation.EvaluateSpan[2] : nullptr;
    if (evaluated && deferring == nullptr) {
      evaluated = EvaluatePart<4>(orientation, true, step, time, cursor, out.Orientation);
    } else if (evaluated) {
      if (blendCount == kPendingBatch || turnCount == kPendingBatch) {
        ok = FinishOrientations(blends, blendCount, turns, turnCount, skeleton, local) && ok;
        blendCount = turnCount = 0;
      }
      curve_span_cache& span = cursor->Spans[orientation.SpanSlot];
      sampled_key_cursor* keys =
          orientation.KeySlot >= 0 ? &cursor->Keys[orientation.KeySlot] : nullptr;
      switch (deferring(orientation, time, span, keys, out.Orientation, turns[turnCount].Blend)) {
        case SpanNormalize:
          blends[blendCount++] = out.Orientation;
          break;
        case SpanFinishTurn:
          turns[turnCount].First = span.Controls;
          turns[turnCount].Bone = entry.Bone;
          ++turnCount;
          break;
        case SpanDone:
          break;
        default:
          evaluated = false;
          break;
      }
    }
    if (!evaluated) {
      out = skeleton->Bones[entry.Bone].Transform;
      ok = false;
      continue;
    }
    out.Flags = HasPosition | HasOrientation | HasScaleShear;
  }
  ok = FinishOrientations(blends, blendCount, turns, turnCount, skeleton, local) && ok;
  if (!ok) {
    KT_LOG_ERROR(TrackGroup, "Track group %s: a curve failed to decode at %g s",
                 NameOf(binding->Group->Name), double(time));
  }
  if (binding->BoneCount > 0 && binding->Bound != nullptr && binding->BoundCount > 0 &&
      binding->Bound[0].Bone == 0) {
    transform root = local[0];
    if ((flags & PlaybackApplyRootMotion) != 0) {
      // Root motion counts loops: it takes the play time, not the clip time.
      transform motion;
      const float played = (flags & PlaybackLoop) != 0 ? t : time;
      if (GetRootMotion(binding->Group, binding->Duration, played, &motion))
        root = Place(motion, root);
    }
    if ((flags & PlaybackWithoutInitialPlacement) == 0)
      root = Place(binding->Group->InitialPlacement, root);
    local[0] = root;
  }
  return ok;
}

// Widest vector track playback reads (a 3x3 matrix).
constexpr int32_t kMaxVectorTrackDimension = 9;

int32_t GetVectorTrackValueCount(const track_group* group) {
  if (group == nullptr) return 0;
  int64_t count = 0;
  // A width no track can have (a damaged file) would have callers allocate
  // gigabytes for a track SampleVectorTracks refuses anyway.
  for (int32_t v = 0; v < group->VectorTrackCount; ++v) {
    const int32_t d = group->VectorTracks[v].Dimension;
    count += d > 0 && d <= kMaxVectorTrackDimension ? d : 0;
  }
  return count > INT32_MAX ? INT32_MAX : int32_t(count);
}

bool SampleVectorTracks(const track_group* group, const animation* clip, float t, uint32_t flags,
                        float* values, int32_t capacity) {
  if (!KT_CHECK_PARAMETER(
          TrackGroup, group != nullptr && clip != nullptr && (values != nullptr || capacity == 0)))
    return false;
  if (!KT_CHECK_PARAMETER(TrackGroup, GetVectorTrackValueCount(group) <= capacity)) return false;
  const float time = ClipTime(clip->Duration, t, flags);
  int32_t at = 0;
  for (int32_t v = 0; v < group->VectorTrackCount; ++v) {
    const vector_track& track = group->VectorTracks[v];
    const int32_t d = track.Dimension;
    if (d <= 0) continue;
    bound_curve curve;
    static const float kZeros[kMaxCurveDimension] = {};
    if (d > kMaxVectorTrackDimension || !BindCurve(track.ValueCurve, d, kZeros, &curve)) {
      KT_LOG_ERROR(TrackGroup, "Vector track %s cannot be read", NameOf(track.Name));
      return false;
    }
    if (!EvaluateBoundCurve(curve, false, clip->TimeStep, time, nullptr, nullptr, values + at))
      return false;
    at += d;
  }
  return true;
}

int32_t BindMorphTargets(const mesh* mesh, const track_group* group, int32_t* trackOfTarget) {
  if (!KT_CHECK_PARAMETER(TrackGroup,
                          mesh != nullptr && group != nullptr &&
                              (trackOfTarget != nullptr || mesh->MorphTargetCount == 0)))
    return 0;
  int32_t matched = 0;
  for (int32_t m = 0; m < mesh->MorphTargetCount; ++m) {
    trackOfTarget[m] = FindVectorTrack(group, mesh->MorphTargets[m].ScalarName);
    matched += trackOfTarget[m] >= 0 ? 1 : 0;
  }
  return matched;
}

// Entries one call reads at most over its loops (about a tenth of a second).
constexpr int64_t kMostTextEntryVisits = int64_t{1} << 24;

int32_t CollectTextEvents(const track_group* group, float duration, float t0, float t1,
                          uint32_t flags, text_event* events, int32_t capacity) {
  if (!KT_CHECK_PARAMETER(TrackGroup, group != nullptr && capacity >= 0 &&
                                          (events != nullptr || capacity == 0) &&
                                          std::isfinite(t0) && std::isfinite(t1)))
    return -1;
  if (!(t1 > t0) || !(duration > 0.0f)) return 0;
  const bool loop = (flags & PlaybackLoop) != 0;
  double first = 0, last = 0;  // loops to visit
  if (loop) {
    first = std::floor(double(t0) / duration);
    last = std::floor(double(t1) / duration);
    // A runaway span would visit loops without end: no game asks for more
    // than a few per frame. Each loop reads every entry, and a damaged file
    // can list many (tracks sharing one long list), so the entries bound the
    // loops too.
    int64_t entries = 0;
    for (int32_t tt = 0; tt < group->TextTrackCount; ++tt)
      entries += std::max(group->TextTracks[tt].EntryCount, 0);
    const double loops =
        std::floor(double(kMostTextEntryVisits) / double(std::max<int64_t>(entries, 1)));
    const double most = std::clamp(loops - 1.0, 0.0, 1024.0);  // loops after the first
    if (last - first > most) {
      KT_LOG_WARNING(TrackGroup,
                     "Text events: %g to %g s spans %g loops; only the last %g of them are read",
                     double(t0), double(t1), last - first + 1, most + 1);
      first = last - most;
    }
  } else {
    if (t0 < 0) t0 = 0;
    if (t1 > duration) t1 = duration;
  }
  if (!(t1 > t0)) return 0;
  int32_t count = 0;
  // Loops are counted in integers: past 2^53 a double loop index no longer
  // moves when incremented (a clip of a nanosecond read at a large time).
  const int64_t loopCount = int64_t(last - first) + 1;
  for (int64_t i = 0; i < loopCount; ++i) {
    const double base = loop ? (first + double(i)) * duration : 0.0;
    for (int32_t tt = 0; tt < group->TextTrackCount; ++tt) {
      const text_track& track = group->TextTracks[tt];
      for (int32_t e = 0; e < track.EntryCount; ++e) {
        const text_track_entry& entry = track.Entries[e];
        const double time = base + entry.TimeStamp;
        // A clamped clip's last instant belongs to the span that reaches it.
        const bool atEnd = !loop && entry.TimeStamp >= duration && t1 >= duration && t0 < duration;
        if (time < t0 || (!(time < t1) && !atEnd)) continue;
        if (count < capacity) {
          // Insertion in time order; spans are short, so this stays small.
          int32_t at = count;
          while (at > 0 && events[at - 1].Time > float(time)) {
            events[at] = events[at - 1];
            --at;
          }
          events[at] = text_event{float(time), track.Name, entry.Text};
        }
        ++count;
      }
    }
  }
  return count;
}

}  // namespace ketrel
