#include "rt/ketrel_track_group_builder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_curve_formats.h"
#include "rt/ketrel_growable_array.h"
#include "rt/ketrel_log.h"

namespace ketrel {

namespace {

// One DaIdentity record per dimension, in read-only memory: every identity
// curve of every group refers here, so nothing may ever write through these
// pointers (the data tree writer only reads records without references).
constexpr std::array<curve_data_da_identity, kMaxCurveDimension + 1> MakeIdentities() {
  std::array<curve_data_da_identity, kMaxCurveDimension + 1> records{};
  for (int32_t d = 0; d <= kMaxCurveDimension; ++d) {
    records[size_t(d)].Header.Format = uint8_t(CurveFormatDaIdentity);
    records[size_t(d)].Header.Degree = 0;
    records[size_t(d)].Dimension = int16_t(d);
  }
  return records;
}
constexpr std::array<curve_data_da_identity, kMaxCurveDimension + 1> kSharedIdentities =
    MakeIdentities();

// Slot dimensions of a transform track, in the order of storage.
enum Slot { Orientation, Position, ScaleShear, SlotCount };
constexpr int32_t kSlotDimension[SlotCount] = {4, 3, 9};
constexpr const char* kSlotName[SlotCount] = {"orientation", "position", "scale/shear"};

// A curve held by the builder: the shared identity record or a copy in the
// builder's arena; DataSize is the copy's data bytes (0 when shared).
struct held_curve {
  curve2 Curve;
  int32_t DataSize;
};

struct vector_entry {
  const char* Name;
  uint32_t Sequence;
  uint32_t TrackKey;
  int32_t Dimension;
  held_curve Value;
};

struct transform_entry {
  const char* Name;
  uint32_t Sequence;
  int32_t Flags;
  held_curve Curves[SlotCount];
};

struct text_entry_node {
  float TimeStamp;
  const char* Text;
  text_entry_node* Next;
};

struct text_entry_list {
  const char* Name;
  uint32_t Sequence;
  int32_t EntryCount;
  text_entry_node* First;
  text_entry_node* Last;
};

const char* Printable(const char* name) { return name != nullptr ? name : "(null)"; }

// The library's order of names: byte by byte as signed characters, null
// before everything.
int CompareNames(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  for (;; ++a, ++b) {
    const signed char x = static_cast<signed char>(*a);
    const signed char y = static_cast<signed char>(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

// Equal names keep the order they were added in, so the file does not
// depend on the sort's choices.
template <typename Entry>
bool ComesBefore(const Entry* a, const Entry* b) {
  const int order = CompareNames(a->Name, b->Name);
  return order != 0 ? order < 0 : a->Sequence < b->Sequence;
}

size_t AlignUp8(size_t value) { return (value + 7) & ~size_t{7}; }

}  // namespace

struct track_group_builder {
  const char* Name = nullptr;
  bool IncludeLODErrors = false;
  bool Failed = false;
  uint32_t NextSequence = 0;
  Arena* Copies = nullptr;  // entries, text entries and curve copies
  // The sets: entries finished so far, sorted when the group is written.
  growable_array<vector_entry*> VectorTracks;
  growable_array<transform_entry*> TransformTracks;
  growable_array<text_entry_list*> TextTracks;
  transform_entry* OpenTransform = nullptr;
  text_entry_list* OpenText = nullptr;
};

namespace {

void Fail(track_group_builder* builder) { builder->Failed = true; }

template <typename T>
T* NewEntry(track_group_builder* builder) {
  void* piece = KT_ARENA_ALLOCATE(builder->Copies, sizeof(T), 8);
  if (piece == nullptr) {
    Fail(builder);
    return nullptr;
  }
  return static_cast<T*>(piece);  // zero-filled by the arena
}

// A new named track in the group's order; a track of its kind still open
// (`open`) was never ended and is left out, with a warning.
template <typename T>
T* BeginNamedEntry(track_group_builder* builder, T* track_group_builder::*openMember,
                   const char* kind, const char* name) {
  if (builder == nullptr || builder->Failed) return nullptr;
  T*& open = builder->*openMember;
  if (open != nullptr) {
    KT_LOG_WARNING(TrackGroup, "%s track \"%s\" was never ended; it is left out", kind,
                   Printable(open->Name));
    open = nullptr;
  }
  T* track = NewEntry<T>(builder);
  if (track == nullptr) return nullptr;
  track->Name = name;
  track->Sequence = builder->NextSequence++;
  return track;
}

// Holds `source` for a track of `dimension` (-1: the curve's own, for vector
// tracks). Identity curves refer to the shared record of the track's
// dimension; anything else is copied into the arena. On failure the held
// curve is empty, the builder failed and the result false.
bool HoldCurve(track_group_builder* builder, const curve2* source, int32_t dimension,
               const char* track, held_curve* held, int32_t* heldDimension) {
  *held = held_curve{};
  if (!KT_CHECK_PARAMETER(TrackGroup, source != nullptr)) {
    Fail(builder);
    return false;
  }
  const int32_t format = GetCurveFormat(source);
  if (format == CurveFormatUnknown) {
    KT_LOG_ERROR(TrackGroup, "Track \"%s\": the curve has no known format", Printable(track));
    Fail(builder);
    return false;
  }
  const int32_t stored = GetCurveStoredDimension(source);
  if (CurveIsIdentity(source)) {
    // An identity says nothing reliable about its dimension (a knotless
    // DaK32fC32f has none): the track's own is the one readers need.
    const int32_t d = dimension >= 0 ? dimension : stored;
    if (heldDimension != nullptr) *heldDimension = d;
    held->Curve = GetSharedIdentityCurve(d);
    // Every dimension a readable curve can have has a shared record.
    if (held->Curve.CurveData.Object != nullptr) return true;
    KT_PARAMETER_CHECK_FAILED(TrackGroup);
    Fail(builder);
    return false;
  }
  if (dimension >= 0 && stored != dimension) {
    KT_LOG_ERROR(TrackGroup, "Track \"%s\": a curve of dimension %d where %d is needed",
                 Printable(track), stored, dimension);
    Fail(builder);
    return false;
  }
  if (heldDimension != nullptr) *heldDimension = stored;
  // Copied in place, so the only allocation is the arena's.
  curve_builder copy;
  BeginCurveCopyInPlace(&copy, source);
  const int32_t size = GetResultingCurveDataSize(&copy);
  void* data = size > 0 ? KT_ARENA_ALLOCATE(builder->Copies, size_t(size), 8) : nullptr;
  curve2 written{};
  if (data == nullptr || EndCurveInPlace(&copy, &written, data) == nullptr) {
    KT_LOG_ERROR(TrackGroup, "Track \"%s\": the curve could not be copied", Printable(track));
    Fail(builder);
    return false;
  }
  held->Curve = written;
  held->DataSize = size;
  return true;
}

bool SetSlot(track_group_builder* builder, Slot slot, const curve2* curve) {
  if (builder == nullptr) return false;
  transform_entry* track = builder->OpenTransform;
  if (track == nullptr) {
    KT_LOG_ERROR(TrackGroup, "A %s curve was set with no transform track open", kSlotName[slot]);
    Fail(builder);
    return false;
  }
  return HoldCurve(builder, curve, kSlotDimension[slot], track->Name, &track->Curves[slot],
                   nullptr);
}

void DropOpenTracks(track_group_builder* builder) {
  if (builder->OpenTransform != nullptr) {
    KT_LOG_WARNING(TrackGroup, "Transform track \"%s\" was never ended; it is left out",
                   Printable(builder->OpenTransform->Name));
    builder->OpenTransform = nullptr;
  }
  if (builder->OpenText != nullptr) {
    KT_LOG_WARNING(TrackGroup, "Text track \"%s\" was never ended; it is left out",
                   Printable(builder->OpenText->Name));
    builder->OpenText = nullptr;
  }
}

// Sizes of each part of the written group, taken from the finished tracks.
struct group_layout {
  size_t VectorTracks = 0;
  size_t LODErrors = 0;
  size_t TransformTracks = 0;
  size_t TextTracks = 0;
  size_t TextEntries = 0;
  size_t CurveData = 0;  // 8-aligned when there are copies
  size_t Total = 0;
  int32_t LODErrorCount = 0;
  int32_t EntryCount = 0;
};

size_t HeldDataBytes(const held_curve& held) {
  return held.DataSize > 0 ? AlignUp8(size_t(held.DataSize)) : 0;
}

group_layout LayOut(const track_group_builder* builder) {
  group_layout layout;
  const size_t vectors = builder->VectorTracks.Count;
  const size_t transforms = builder->TransformTracks.Count;
  size_t curveBytes = 0;
  for (const vector_entry* v : builder->VectorTracks) curveBytes += HeldDataBytes(v->Value);
  for (const transform_entry* t : builder->TransformTracks) {
    for (const held_curve& held : t->Curves) curveBytes += HeldDataBytes(held);
  }
  size_t entries = 0;
  for (const text_entry_list* x : builder->TextTracks) entries += size_t(x->EntryCount);
  layout.LODErrorCount = builder->IncludeLODErrors ? int32_t(transforms) : 0;
  layout.EntryCount = int32_t(std::min<size_t>(entries, INT32_MAX));
  layout.VectorTracks = sizeof(track_group);
  layout.LODErrors = layout.VectorTracks + vectors * sizeof(vector_track);
  layout.TransformTracks = layout.LODErrors + size_t(layout.LODErrorCount) * sizeof(float);
  layout.TextTracks = layout.TransformTracks + transforms * sizeof(transform_track);
  layout.TextEntries = layout.TextTracks + builder->TextTracks.Count * sizeof(text_track);
  layout.CurveData = layout.TextEntries + entries * sizeof(text_track_entry);
  if (curveBytes > 0) layout.CurveData = AlignUp8(layout.CurveData);
  layout.Total = layout.CurveData + curveBytes;
  return layout;
}

// Writes a held curve into the group: the shared record stays shared, a copy
// is copied again behind the arrays. False when the copy fails.
bool WriteHeldCurve(const held_curve& held, curve2* target, char** cursor) {
  if (held.DataSize == 0) {
    std::memcpy(static_cast<void*>(target), &held.Curve, sizeof(curve2));
    return true;
  }
  curve_builder copy;
  BeginCurveCopyInPlace(&copy, &held.Curve);
  // What is written must be what was measured, or the block overflows.
  if (GetResultingCurveDataSize(&copy) != held.DataSize) return false;
  curve2 written{};
  if (EndCurveInPlace(&copy, &written, *cursor) == nullptr) return false;
  std::memcpy(static_cast<void*>(target), &written, sizeof(curve2));
  *cursor += AlignUp8(size_t(held.DataSize));
  return true;
}

void FreeBuilder(track_group_builder* builder) {
  FreeArena(builder->Copies);
  builder->~track_group_builder();
  FreeBlock(builder);
}

}  // namespace

curve2 GetSharedIdentityCurve(int32_t dimension) {
  curve2 curve{};
  if (dimension >= 0 && dimension <= kMaxCurveDimension) {
    curve.CurveData.Type = DaIdentityType;
    // Read-only memory: the writable pointer only satisfies the variant.
    curve.CurveData.Object =
        const_cast<curve_data_da_identity*>(&kSharedIdentities[size_t(dimension)]);
  }
  return curve;
}

track_group_builder* BeginTrackGroup(const char* name, int32_t, int32_t, int32_t,
                                     bool includeLODErrors) {
  void* memory = KT_ALLOCATE(sizeof(track_group_builder));
  if (memory == nullptr) return nullptr;
  auto* builder = new (memory) track_group_builder;
  builder->Name = name;
  builder->IncludeLODErrors = includeLODErrors;
  builder->Copies = NewArena(16 * 1024);
  if (builder->Copies == nullptr) {
    FreeBuilder(builder);
    return nullptr;
  }
  return builder;
}

bool TrackGroupBuilderFailed(const track_group_builder* builder) {
  return builder != nullptr && builder->Failed;
}

bool BeginTransformTrack(track_group_builder* builder, const char* name, int32_t flags) {
  transform_entry* track =
      BeginNamedEntry(builder, &track_group_builder::OpenTransform, "Transform", name);
  if (track == nullptr) return false;
  track->Flags = flags;
  for (int32_t s = 0; s < SlotCount; ++s) {
    track->Curves[s].Curve = GetSharedIdentityCurve(kSlotDimension[s]);
  }
  builder->OpenTransform = track;
  return true;
}

bool SetTransformTrackPositionCurve(track_group_builder* builder, const curve2* curve) {
  return SetSlot(builder, Position, curve);
}

bool SetTransformTrackOrientationCurve(track_group_builder* builder, const curve2* curve) {
  return SetSlot(builder, Orientation, curve);
}

bool SetTransformTrackScaleShearCurve(track_group_builder* builder, const curve2* curve) {
  return SetSlot(builder, ScaleShear, curve);
}

void EndTransformTrack(track_group_builder* builder) {
  if (builder == nullptr || builder->OpenTransform == nullptr) return;
  if (!builder->TransformTracks.Append(builder->OpenTransform)) Fail(builder);
  builder->OpenTransform = nullptr;
}

bool PushVectorTrack(track_group_builder* builder, const char* name, uint32_t trackKey,
                     const curve2* curve) {
  if (builder == nullptr || builder->Failed) return false;
  auto* track = NewEntry<vector_entry>(builder);
  if (track == nullptr) return false;
  track->Name = name;
  track->Sequence = builder->NextSequence++;
  track->TrackKey = trackKey;
  if (!HoldCurve(builder, curve, -1, name, &track->Value, &track->Dimension)) return false;
  if (!builder->VectorTracks.Append(track)) {
    Fail(builder);
    return false;
  }
  return true;
}

bool BeginTextTrack(track_group_builder* builder, const char* name) {
  text_entry_list* track = BeginNamedEntry(builder, &track_group_builder::OpenText, "Text", name);
  if (track == nullptr) return false;
  builder->OpenText = track;
  return true;
}

bool AddTextEntry(track_group_builder* builder, float timeStamp, const char* text) {
  if (builder == nullptr) return false;
  text_entry_list* track = builder->OpenText;
  if (track == nullptr) {
    KT_LOG_ERROR(TrackGroup, "A text entry was added with no text track open");
    Fail(builder);
    return false;
  }
  if (!KT_CHECK_PARAMETER(TrackGroup, track->EntryCount < INT32_MAX)) {
    Fail(builder);
    return false;
  }
  auto* entry = NewEntry<text_entry_node>(builder);
  if (entry == nullptr) return false;
  entry->TimeStamp = timeStamp;
  entry->Text = text;
  if (track->Last != nullptr) {
    track->Last->Next = entry;
  } else {
    track->First = entry;
  }
  track->Last = entry;
  ++track->EntryCount;
  return true;
}

void EndTextTrack(track_group_builder* builder) {
  if (builder == nullptr || builder->OpenText == nullptr) return;
  // A track without entries says nothing; it is not written.
  if (builder->OpenText->EntryCount > 0 && !builder->TextTracks.Append(builder->OpenText)) {
    Fail(builder);
  }
  builder->OpenText = nullptr;
}

int32_t GetResultingTrackGroupSize(const track_group_builder* builder) {
  if (builder == nullptr || builder->Failed) return 0;
  const group_layout layout = LayOut(builder);
  if (!KT_CHECK_PARAMETER(TrackGroup, layout.Total <= size_t(INT32_MAX))) return 0;
  return int32_t(layout.Total);
}

track_group* EndTrackGroupInPlace(track_group_builder* builder, void* memory) {
  if (builder == nullptr) return nullptr;
  DropOpenTracks(builder);
  if (builder->Failed) {
    KT_LOG_ERROR(TrackGroup, "Track group \"%s\" is not written: building it failed",
                 Printable(builder->Name));
    FreeBuilder(builder);
    return nullptr;
  }
  const group_layout layout = LayOut(builder);
  if (!KT_CHECK_PARAMETER(TrackGroup, memory != nullptr &&
                                          (reinterpret_cast<uintptr_t>(memory) & 7) == 0 &&
                                          layout.Total <= size_t(INT32_MAX))) {
    FreeBuilder(builder);
    return nullptr;
  }
  std::sort(builder->VectorTracks.begin(), builder->VectorTracks.end(), ComesBefore<vector_entry>);
  std::sort(builder->TransformTracks.begin(), builder->TransformTracks.end(),
            ComesBefore<transform_entry>);
  std::sort(builder->TextTracks.begin(), builder->TextTracks.end(), ComesBefore<text_entry_list>);

  char* base = static_cast<char*>(memory);
  std::memset(base, 0, layout.Total);
  auto* group = reinterpret_cast<track_group*>(base);
  track_group header{};
  header.Name = builder->Name;
  header.VectorTrackCount = int32_t(builder->VectorTracks.Count);
  header.VectorTracks = reinterpret_cast<vector_track*>(base + layout.VectorTracks);
  header.TransformTrackCount = int32_t(builder->TransformTracks.Count);
  header.TransformTracks = reinterpret_cast<transform_track*>(base + layout.TransformTracks);
  header.TransformLODErrorCount = layout.LODErrorCount;
  header.TransformLODErrors = reinterpret_cast<float*>(base + layout.LODErrors);
  header.TextTrackCount = int32_t(builder->TextTracks.Count);
  header.TextTracks = reinterpret_cast<text_track*>(base + layout.TextTracks);
  // No components; the parts themselves hold the identity.
  header.InitialPlacement.Orientation[3] = 1.0f;
  header.InitialPlacement.ScaleShear[0][0] = 1.0f;
  header.InitialPlacement.ScaleShear[1][1] = 1.0f;
  header.InitialPlacement.ScaleShear[2][2] = 1.0f;
  header.AccumulationFlags = 2;
  // Empty arrays are {0, null}, as the file holds them.
  if (header.VectorTrackCount == 0) header.VectorTracks = nullptr;
  if (header.TransformTrackCount == 0) header.TransformTracks = nullptr;
  if (header.TransformLODErrorCount == 0) header.TransformLODErrors = nullptr;
  if (header.TextTrackCount == 0) header.TextTracks = nullptr;

  char* curves = base + layout.CurveData;
  bool ok = true;
  for (size_t i = 0; i < builder->VectorTracks.Count; ++i) {
    const vector_entry* entry = builder->VectorTracks[i];
    vector_track track{};
    track.Name = entry->Name;
    track.TrackKey = entry->TrackKey;
    track.Dimension = entry->Dimension;
    ok = ok && WriteHeldCurve(entry->Value, &track.ValueCurve, &curves);
    std::memcpy(base + layout.VectorTracks + i * sizeof(vector_track), &track, sizeof(track));
  }
  const uint32_t unknownError = kUnknownLODErrorBits;
  for (int32_t i = 0; i < layout.LODErrorCount; ++i) {
    std::memcpy(base + layout.LODErrors + size_t(i) * sizeof(float), &unknownError, sizeof(float));
  }
  for (size_t i = 0; i < builder->TransformTracks.Count; ++i) {
    const transform_entry* entry = builder->TransformTracks[i];
    transform_track track{};
    track.Name = entry->Name;
    track.Flags = entry->Flags;
    ok = ok && WriteHeldCurve(entry->Curves[Orientation], &track.OrientationCurve, &curves);
    ok = ok && WriteHeldCurve(entry->Curves[Position], &track.PositionCurve, &curves);
    ok = ok && WriteHeldCurve(entry->Curves[ScaleShear], &track.ScaleShearCurve, &curves);
    std::memcpy(base + layout.TransformTracks + i * sizeof(transform_track), &track, sizeof(track));
  }
  char* entries = base + layout.TextEntries;
  for (size_t i = 0; i < builder->TextTracks.Count; ++i) {
    const text_entry_list* list = builder->TextTracks[i];
    text_track track{};
    track.Name = list->Name;
    track.EntryCount = list->EntryCount;
    track.Entries = reinterpret_cast<text_track_entry*>(entries);
    for (const text_entry_node* node = list->First; node != nullptr; node = node->Next) {
      const text_track_entry entry{node->TimeStamp, node->Text};
      std::memcpy(entries, &entry, sizeof(entry));
      entries += sizeof(entry);
    }
    std::memcpy(base + layout.TextTracks + i * sizeof(text_track), &track, sizeof(track));
  }
  // Everything written must be exactly what was measured.
  ok = ok && curves == base + layout.Total &&
       entries == base + layout.TextEntries + size_t(layout.EntryCount) * sizeof(text_track_entry);
  std::memcpy(static_cast<void*>(group), &header, sizeof(header));
  const char* name = builder->Name;
  FreeBuilder(builder);
  if (!ok) {
    KT_LOG_ERROR(TrackGroup, "Track group \"%s\" could not be written", Printable(name));
    return nullptr;
  }
  return group;
}

track_group* EndTrackGroup(track_group_builder* builder, Arena* arena) {
  if (builder == nullptr) return nullptr;
  const int32_t size = GetResultingTrackGroupSize(builder);
  void* memory = nullptr;
  if (!builder->Failed && size > 0) {
    if (KT_CHECK_PARAMETER(TrackGroup, arena != nullptr)) {
      memory = KT_ARENA_ALLOCATE(arena, size_t(size), 16);
    }
    if (memory == nullptr) Fail(builder);
  }
  return EndTrackGroupInPlace(builder, memory);
}

void AbortTrackGroup(track_group_builder* builder) {
  if (builder != nullptr) FreeBuilder(builder);
}

}  // namespace ketrel
