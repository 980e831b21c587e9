#include "rt/ketrel_track_group_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_data_tree_writer.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_track_group_sampler.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/support/log_capture.h"
#include "tests/support/packed_value.h"

namespace ketrel {
namespace {

using test::Value;

struct CurveFree {
  void operator()(curve2* curve) const { FreeCurve(curve); }
};
using CurvePtr = std::unique_ptr<curve2, CurveFree>;

struct ArenaFree {
  void operator()(Arena* arena) const { FreeArena(arena); }
};
using ArenaPtr = std::unique_ptr<Arena, ArenaFree>;

CurvePtr MakeCurve(data_type_definition* format, int32_t degree, int32_t dimension,
                   const std::vector<float>& knots, const std::vector<float>& controls) {
  curve_builder* b = BeginCurve(format, degree, dimension, int32_t(knots.size()));
  if (!knots.empty()) SetKnotArray(b, knots.data());
  if (!controls.empty()) SetControlArray(b, controls.data());
  return CurvePtr(EndCurve(b));
}

CurvePtr Identity(int32_t dimension) { return MakeCurve(DaIdentityType, 0, dimension, {}, {}); }

// A fitted-looking position curve: 4 knots, 3 floats per control.
CurvePtr Positions(float shift = 0.0f) {
  return MakeCurve(DaK32fC32fType, 2, 3, {0.0f, 0.5f, 0.5f, 1.0f},
                   {shift, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, shift + 11});
}

// Knots and controls of a curve, decoded.
std::vector<float> Decoded(const curve2* curve) {
  const int32_t k = GetCurveKnotCount(curve);
  const int32_t d = GetCurveStoredDimension(curve);
  std::vector<float> values(size_t(k) * size_t(1 + d));
  if (k > 0) ExtractCurveKnotsControls(curve, 0, k, values.data(), values.data() + k, nullptr);
  return values;
}

std::vector<std::string> TransformNames(const track_group* group) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < group->TransformTrackCount; ++i) {
    const char* name = group->TransformTracks[i].Name;
    names.push_back(name != nullptr ? name : "<null>");
  }
  return names;
}

bool SharesIdentity(const curve2& curve, int32_t dimension) {
  const void* object = curve.CurveData.Object;
  return curve.CurveData.Type == DaIdentityType &&
         object == GetSharedIdentityCurve(dimension).CurveData.Object;
}

bool Inside(const void* pointer, const void* block, int32_t size) {
  const char* p = static_cast<const char*>(pointer);
  const char* b = static_cast<const char*>(block);
  return p >= b && p < b + size;
}

TEST(TrackGroupBuilder, TracksComeOutSortedByNameWhateverTheInsertionOrder) {
  // Signed bytes: the lead byte of "é" (0xC3) is negative, so it sorts before
  // every ASCII name; null sorts before everything.
  const char* const expected[] = {nullptr, "\xC3\xA9", "A", "B", "a", "ab", "b"};
  std::vector<int> order = {0, 1, 2, 3, 4, 5, 6};
  CurvePtr scalar = Identity(1);
  ArenaPtr arena(NewArena());
  int permutations = 0;
  do {
    track_group_builder* b = BeginTrackGroup("group", 0, 0, 0, false);
    for (int i : order) {
      BeginTransformTrack(b, expected[i], i);
      EndTransformTrack(b);
      PushVectorTrack(b, expected[i], uint32_t(i), scalar.get());
      BeginTextTrack(b, expected[i]);
      AddTextEntry(b, float(i), "note");
      EndTextTrack(b);
    }
    track_group* g = EndTrackGroup(b, arena.get());
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(Value(g->TransformTrackCount), 7);
    ASSERT_EQ(Value(g->VectorTrackCount), 7);
    ASSERT_EQ(Value(g->TextTrackCount), 7);
    for (int i = 0; i < 7; ++i) {
      const int32_t flags = g->TransformTracks[i].Flags;
      const uint32_t key = g->VectorTracks[i].TrackKey;
      const float stamp = g->TextTracks[i].Entries[0].TimeStamp;
      ASSERT_EQ(flags, i) << "permutation " << permutations;
      ASSERT_EQ(key, uint32_t(i)) << "permutation " << permutations;
      ASSERT_EQ(stamp, float(i)) << "permutation " << permutations;
      ASSERT_EQ(Value(g->TransformTracks[i].Name), expected[i]);  // the caller's pointer
    }
    ++permutations;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(permutations, 5040);

  // Equal names keep the order they were added in; "b", "a" becomes "a", "b".
  track_group_builder* b = BeginTrackGroup("group", 0, 0, 0, false);
  for (int32_t flags : {1, 2}) {
    BeginTransformTrack(b, "b", flags);
    EndTransformTrack(b);
  }
  BeginTransformTrack(b, "a", 3);
  EndTransformTrack(b);
  BeginTransformTrack(b, "b", 4);
  EndTransformTrack(b);
  track_group* g = EndTrackGroup(b, arena.get());
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(TransformNames(g), (std::vector<std::string>{"a", "b", "b", "b"}));
  std::vector<int32_t> flags;
  for (int32_t i = 0; i < 4; ++i) flags.push_back(g->TransformTracks[i].Flags);
  EXPECT_EQ(flags, (std::vector<int32_t>{3, 1, 2, 4}));
}

TEST(TrackGroupBuilder, TextTracksKeepEntryOrderAndOnlyNonEmptyTracksCount) {
  test::LogCapture log;
  ArenaPtr arena(NewArena());
  track_group_builder* b = BeginTrackGroup("notes", 0, 0, 0, false);
  BeginTextTrack(b, "Bone|Notes_2");
  EndTextTrack(b);  // no entries: not written, not counted
  BeginTextTrack(b, "Bone|Notes_1");
  const char* texts[] = {"late", "early", "middle"};
  const float stamps[] = {0.9f, 0.1f, 0.5f};
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(AddTextEntry(b, stamps[i], texts[i]));
  EndTextTrack(b);
  EndTextTrack(b);  // nothing open: nothing happens
  BeginTextTrack(b, "Abandoned");
  AddTextEntry(b, 0.0f, "lost");
  BeginTextTrack(b, "Also|Notes");  // drops the open one
  AddTextEntry(b, 0.25f, "kept");
  EndTextTrack(b);
  BeginTextTrack(b, "Never|Ended");
  AddTextEntry(b, 0.0f, "lost too");
  EXPECT_EQ(log.warnings(), 1u);

  const int32_t size = GetResultingTrackGroupSize(b);
  track_group* g = EndTrackGroup(b, arena.get());
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(log.warnings(), 2u);
  EXPECT_TRUE(log.Contains("Abandoned"));
  EXPECT_TRUE(log.Contains("Never|Ended"));
  EXPECT_EQ(log.errors(), 0u);
  // The size holds exactly the two written tracks and their four entries.
  EXPECT_EQ(size_t(size),
            sizeof(track_group) + 2 * sizeof(text_track) + 4 * sizeof(text_track_entry));
  ASSERT_EQ(Value(g->TextTrackCount), 2);
  EXPECT_STREQ(g->TextTracks[0].Name, "Also|Notes");
  EXPECT_STREQ(g->TextTracks[1].Name, "Bone|Notes_1");
  ASSERT_EQ(Value(g->TextTracks[0].EntryCount), 1);
  ASSERT_EQ(Value(g->TextTracks[1].EntryCount), 3);
  for (int i = 0; i < 3; ++i) {
    const text_track_entry entry = g->TextTracks[1].Entries[i];
    EXPECT_EQ(Value(entry.TimeStamp), stamps[i]);
    EXPECT_EQ(Value(entry.Text), texts[i]);  // stored, not copied
  }
  EXPECT_STREQ(g->TextTracks[0].Entries[0].Text, "kept");

  // An entry with no track open fails the group instead of vanishing.
  b = BeginTrackGroup("notes", 0, 0, 0, false);
  EXPECT_FALSE(AddTextEntry(b, 0.0f, "orphan"));
  EXPECT_TRUE(TrackGroupBuilderFailed(b));
  EXPECT_EQ(EndTrackGroup(b, arena.get()), nullptr);
}

TEST(TrackGroupBuilder, IdentityCurvesShareOneRecordOfTheirTracksDimension) {
  ArenaPtr arena(NewArena());
  // Identity curves that declare another dimension, or none at all.
  CurvePtr declared7 = Identity(7);
  CurvePtr knotless = MakeCurve(DaK32fC32fType, 0, 3, {}, {});
  ASSERT_TRUE(CurveIsIdentity(knotless.get()));
  CurvePtr vector5 = Identity(5);
  track_group* groups[2];
  for (track_group*& g : groups) {
    track_group_builder* b = BeginTrackGroup("ids", 0, 0, 0, false);
    BeginTransformTrack(b, "set", 0);
    EXPECT_TRUE(SetTransformTrackOrientationCurve(b, declared7.get()));
    EXPECT_TRUE(SetTransformTrackPositionCurve(b, knotless.get()));
    EXPECT_TRUE(SetTransformTrackScaleShearCurve(b, declared7.get()));
    EndTransformTrack(b);
    BeginTransformTrack(b, "unset", 0);
    EndTransformTrack(b);
    EXPECT_TRUE(PushVectorTrack(b, "v5", 1, vector5.get()));
    g = EndTrackGroup(b, arena.get());
    ASSERT_NE(g, nullptr);
  }
  for (const track_group* g : groups) {
    for (int32_t i = 0; i < 2; ++i) {
      const transform_track t = g->TransformTracks[i];
      EXPECT_TRUE(SharesIdentity(t.OrientationCurve, 4)) << i;
      EXPECT_TRUE(SharesIdentity(t.PositionCurve, 3)) << i;
      EXPECT_TRUE(SharesIdentity(t.ScaleShearCurve, 9)) << i;
      EXPECT_EQ(GetCurveStoredDimension(&t.OrientationCurve), 4);
      EXPECT_EQ(GetCurveStoredDimension(&t.ScaleShearCurve), 9);
    }
    const vector_track v5 = g->VectorTracks[0];
    EXPECT_EQ(Value(v5.Dimension), 5);
    EXPECT_TRUE(SharesIdentity(v5.ValueCurve, 5));
  }
  EXPECT_EQ(GetSharedIdentityCurve(-1).CurveData.Object, nullptr);
  EXPECT_EQ(GetSharedIdentityCurve(kMaxCurveDimension + 1).CurveData.Object, nullptr);
}

TEST(TrackGroupBuilder, CurvesAreCopiedAndSurviveTheCallersCurve) {
  ArenaPtr arena(NewArena());
  track_group_builder* b = BeginTrackGroup("copies", 0, 0, 0, true);
  CurvePtr position = Positions();
  CurvePtr orientation =
      MakeCurve(D4nK16uC15uType, 1, 4, {0.0f, 1.0f}, {0, 0, 0, 1, 0, 0.70710677f, 0, 0.70710677f});
  CurvePtr weights = MakeCurve(DaK8uC8uType, 1, 2, {0.0f, 0.25f, 1.0f}, {0, 1, 0.5f, 0.5f, 1, 0});
  ASSERT_TRUE(position && orientation && weights);
  const std::vector<float> positionValues = Decoded(position.get());
  const std::vector<float> orientationValues = Decoded(orientation.get());
  const std::vector<float> weightValues = Decoded(weights.get());

  BeginTransformTrack(b, "Bone", 7);
  EXPECT_TRUE(SetTransformTrackPositionCurve(b, Positions(100.0f).get()));  // replaced below
  EXPECT_TRUE(SetTransformTrackPositionCurve(b, position.get()));
  EXPECT_TRUE(SetTransformTrackOrientationCurve(b, orientation.get()));
  EndTransformTrack(b);
  EXPECT_TRUE(PushVectorTrack(b, "Weights", 42, weights.get()));
  // The caller re-encodes and frees its curves: the builder's copies stay.
  const float other[12] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  const float knots[4] = {0.0f, 0.1f, 0.2f, 2.0f};
  ASSERT_TRUE(SetCurveKnotsControls(position.get(), 4, 3, knots, other));
  position.reset();
  orientation.reset();
  weights.reset();

  const int32_t size = GetResultingTrackGroupSize(b);
  std::vector<uint64_t> memory(size_t(size) / 8 + 4, 0xA5A5A5A5A5A5A5A5ull);
  track_group* g = EndTrackGroupInPlace(b, memory.data());
  ASSERT_NE(g, nullptr);
  // Nothing written past the measured size.
  for (size_t i = size_t(size) / 8 + 1; i < memory.size(); ++i) {
    EXPECT_EQ(memory[i], 0xA5A5A5A5A5A5A5A5ull);
  }
  const transform_track t = g->TransformTracks[0];
  EXPECT_EQ(Value(t.Flags), 7);
  EXPECT_EQ(Decoded(&t.PositionCurve), positionValues);
  EXPECT_EQ(Decoded(&t.OrientationCurve), orientationValues);
  EXPECT_EQ(GetCurveFormat(&t.OrientationCurve), CurveFormatD4nK16uC15u);
  EXPECT_TRUE(SharesIdentity(t.ScaleShearCurve, 9));
  const vector_track v = g->VectorTracks[0];
  EXPECT_EQ(Value(v.Dimension), 2);
  EXPECT_EQ(Value(v.TrackKey), 42u);
  EXPECT_EQ(Decoded(&v.ValueCurve), weightValues);
  // Every copy lies inside the group's one block.
  for (const void* data : {t.PositionCurve.CurveData.Object, t.OrientationCurve.CurveData.Object,
                           v.ValueCurve.CurveData.Object}) {
    EXPECT_TRUE(Inside(data, g, size));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 8, 0u);
  }

  // Unknown LOD errors until the exporter measures them.
  ASSERT_EQ(Value(g->TransformLODErrorCount), 1);
  uint32_t bits;
  std::memcpy(&bits, &g->TransformLODErrors[0], 4);
  EXPECT_EQ(bits, kUnknownLODErrorBits);

  // Without the flag the LOD errors are an empty array.
  b = BeginTrackGroup("plain", 0, 0, 0, false);
  BeginTransformTrack(b, "Bone", 0);
  EndTransformTrack(b);
  g = EndTrackGroup(b, arena.get());
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(Value(g->TransformLODErrorCount), 0);
  EXPECT_EQ(Value(g->TransformLODErrors), nullptr);
}

TEST(TrackGroupBuilder, BadCurvesAndMisuseFailTheGroupCleanly) {
  ArenaPtr arena(NewArena());
  CurvePtr position = Positions();
  CurvePtr garbage = Positions();
  // A curve whose record names no format.
  static_cast<curve_data_header*>(garbage->CurveData.Object)->Format = 77;

  struct Case {
    const char* what;
    void (*misuse)(track_group_builder*, const curve2* position, const curve2* garbage);
  };
  const Case cases[] = {
      {"position curve as orientation",
       [](track_group_builder* b, const curve2* p, const curve2*) {
         BeginTransformTrack(b, "Bone", 0);
         EXPECT_FALSE(SetTransformTrackOrientationCurve(b, p));
         EndTransformTrack(b);
       }},
      {"null curve",
       [](track_group_builder* b, const curve2*, const curve2*) {
         BeginTransformTrack(b, "Bone", 0);
         EXPECT_FALSE(SetTransformTrackPositionCurve(b, nullptr));
         EndTransformTrack(b);
       }},
      {"null vector curve",
       [](track_group_builder* b, const curve2*, const curve2*) {
         EXPECT_FALSE(PushVectorTrack(b, "v", 0, nullptr));
       }},
      {"unknown format", [](track_group_builder* b, const curve2*,
                            const curve2* g) { EXPECT_FALSE(PushVectorTrack(b, "v", 0, g)); }},
      {"curve with no open track",
       [](track_group_builder* b, const curve2* p, const curve2*) {
         EXPECT_FALSE(SetTransformTrackPositionCurve(b, p));
       }},
  };
  for (const Case& c : cases) {
    test::LogCapture log;
    track_group_builder* b = BeginTrackGroup("bad", 0, 0, 0, false);
    BeginTransformTrack(b, "Good", 0);
    EXPECT_TRUE(SetTransformTrackPositionCurve(b, position.get()));
    EndTransformTrack(b);
    c.misuse(b, position.get(), garbage.get());
    EXPECT_TRUE(TrackGroupBuilderFailed(b)) << c.what;
    EXPECT_EQ(GetResultingTrackGroupSize(b), 0) << c.what;
    EXPECT_EQ(EndTrackGroup(b, arena.get()), nullptr) << c.what;
    EXPECT_GE(log.errors(), 2u) << c.what << "\n" << log.All();
  }

  // Null builders and memory.
  EXPECT_FALSE(BeginTransformTrack(nullptr, "x", 0));
  EndTransformTrack(nullptr);
  EXPECT_EQ(GetResultingTrackGroupSize(nullptr), 0);
  EXPECT_EQ(EndTrackGroup(nullptr, arena.get()), nullptr);
  test::LogCapture log;
  track_group_builder* b = BeginTrackGroup("bad", 0, 0, 0, false);
  EndTransformTrack(b);  // nothing open: nothing changes
  EXPECT_EQ(GetResultingTrackGroupSize(b), int32_t(sizeof(track_group)));
  alignas(16) unsigned char memory[sizeof(track_group) + 8];
  EXPECT_EQ(EndTrackGroupInPlace(b, memory + 4), nullptr);  // misaligned; still frees b
  EXPECT_TRUE(log.Contains(kParameterCheckFailed));
  b = BeginTrackGroup("bad", 0, 0, 0, false);
  EXPECT_EQ(EndTrackGroup(b, nullptr), nullptr);
  AbortTrackGroup(BeginTrackGroup("aborted", 0, 0, 0, false));
}

// A group of every kind of track and curve.
track_group* BuildRichGroup(Arena* arena, const curve2* position, const curve2* orientation,
                            const curve2* scalar) {
  track_group_builder* b = BeginTrackGroup("Character", 2, 3, 1, true);
  for (const char* bone : {"Spine", "Hips", "Head"}) {
    BeginTransformTrack(b, bone, 1);
    SetTransformTrackPositionCurve(b, position);
    SetTransformTrackOrientationCurve(b, orientation);
    EndTransformTrack(b);
  }
  PushVectorTrack(b, "Smile", 3, scalar);
  CurvePtr identity = Identity(1);
  PushVectorTrack(b, "Blink", 4, identity.get());
  BeginTextTrack(b, "Hips|Notes_1");
  AddTextEntry(b, 0.0f, "step");
  AddTextEntry(b, 0.5f, "step again");
  EndTextTrack(b);
  return EndTrackGroup(b, arena);
}

TEST(TrackGroupBuilder, WrittenGroupReadsBackEqualOnEveryPlatform) {
  ArenaPtr arena(NewArena());
  CurvePtr position = Positions();
  CurvePtr orientation =
      MakeCurve(D4nK8uC7uType, 1, 4, {0.0f, 1.0f}, {0, 0, 0, 1, 0.5f, 0.5f, 0.5f, 0.5f});
  CurvePtr scalar = MakeCurve(DaK16uC16uType, 1, 1, {0.0f, 0.5f, 1.0f}, {0.0f, 1.0f, 0.25f});
  track_group* g = BuildRichGroup(arena.get(), position.get(), orientation.get(), scalar.get());
  ASSERT_NE(g, nullptr);

  for (uint32_t p = 0; p < PlatformCount; ++p) {
    const file_platform platform = static_cast<file_platform>(p);
    file_builder* builder = BeginFileInMemory(8, 0x4B543254, MakeMagicRecord(platform), 4096);
    ASSERT_NE(builder, nullptr);
    file_data_tree_writer* writer = BeginFileDataTreeWriting(TrackGroupType, g, 0, 0);
    EXPECT_TRUE(WriteDataTreeToFileBuilder(writer, builder));
    EndFileDataTreeWriting(writer);
    file_writer* out = CreateMemoryFileWriter(-1, 4096);
    ASSERT_TRUE(EndFileToWriter(builder, out));
    size_t size = 0;
    const void* bytes = GetMemoryWriterBytes(out, &size);
    ketrel_file* read = ReadEntireFileFromMemory(bytes, size);
    DeleteFileWriter(out);
    ASSERT_NE(read, nullptr) << GetPlatformName(platform);
    EXPECT_EQ(test::CompareGraphs(TrackGroupType, g, read->RootType, read->RootObject), "")
        << GetPlatformName(platform);
    const auto* back = static_cast<const track_group*>(read->RootObject);
    // Shared identities arrive as identities of the right dimension.
    const transform_track hips = back->TransformTracks[1];
    EXPECT_STREQ(hips.Name, "Hips");
    EXPECT_TRUE(CurveIsIdentity(&hips.ScaleShearCurve));
    EXPECT_EQ(GetCurveStoredDimension(&hips.ScaleShearCurve), 9);
    // ... and stay one record in the file.
    const transform_track spine = back->TransformTracks[2];
    EXPECT_EQ(Value(hips.ScaleShearCurve.CurveData.Object),
              Value(spine.ScaleShearCurve.CurveData.Object));
    FreeFile(read);
  }
}

TEST(TrackGroupBuilder, EveryAllocationFailureGivesNullOrTheWholeGroup) {
  // Long enough that its copy needs an arena block of its own.
  std::vector<float> knots(3000), controls(3 * knots.size());
  for (size_t i = 0; i < knots.size(); ++i) knots[i] = float(i) / 30.0f;
  for (size_t i = 0; i < controls.size(); ++i) controls[i] = float(i % 7);
  CurvePtr position = MakeCurve(DaK32fC32fType, 3, 3, knots, controls);
  CurvePtr orientation =
      MakeCurve(D4nK8uC7uType, 1, 4, {0.0f, 1.0f}, {0, 0, 0, 1, 0.5f, 0.5f, 0.5f, 0.5f});
  CurvePtr scalar = MakeCurve(DaK16uC16uType, 1, 1, {0.0f, 0.5f, 1.0f}, {0.0f, 1.0f, 0.25f});
  ArenaPtr reference(NewArena());
  track_group* expected =
      BuildRichGroup(reference.get(), position.get(), orientation.get(), scalar.get());
  ASSERT_NE(expected, nullptr);

  test::LogCapture log;
  int failures = 0;
  bool copyFailed = false;
  for (long countdown = 0; countdown < 1000; ++countdown) {
    const size_t live = LiveBlockCount();
    Arena* arena = NewArena();
    ASSERT_NE(arena, nullptr);
    SetAllocationFailureCountdown(countdown);
    track_group* g = BuildRichGroup(arena, position.get(), orientation.get(), scalar.get());
    SetAllocationFailureCountdown(-1);
    if (g == nullptr) {
      ++failures;
      EXPECT_GT(log.errors(), 0u) << countdown;
      copyFailed = copyFailed || log.Contains("could not be copied");
    } else {
      EXPECT_EQ(test::CompareGraphs(TrackGroupType, expected, TrackGroupType, g), "");
    }
    FreeArena(arena);
    EXPECT_EQ(LiveBlockCount(), live) << "countdown " << countdown;
    log.Clear();
    if (g != nullptr) break;
  }
  EXPECT_GE(failures, 4);  // builder, arena, sets, group memory at least
  EXPECT_TRUE(copyFailed);
}

// ---- Sampler ----------------------------------------------------------------

TEST(TrackGroupSampler, BadIndicesAreRefusedWithoutTouchingTheStore) {
  test::LogCapture log;
  EXPECT_EQ(CreateTrackGroupSampler(-1, 3), nullptr);
  EXPECT_EQ(CreateTrackGroupSampler(2, -1), nullptr);
  EXPECT_EQ(log.errors(), 2u);
  track_group_sampler* s = CreateTrackGroupSampler(2, 3);
  ASSERT_NE(s, nullptr);
  const float in[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  float out[9] = {};
  log.Clear();
  for (int32_t track : {-1, 2, INT32_MIN}) {
    EXPECT_EQ(GetPositionSamples(s, track), nullptr);
    EXPECT_EQ(GetOrientationSamples(s, track), nullptr);
    EXPECT_EQ(GetScaleShearSamples(s, track), nullptr);
    EXPECT_FALSE(SetTransformSample(s, track, 0, in, in, in));
    EXPECT_FALSE(GetTransformSample(s, track, 0, out, out, out));
  }
  for (int32_t sample : {-1, 3, INT32_MAX}) {
    EXPECT_FALSE(SetTransformSample(s, 1, sample, in, in, in));
    EXPECT_FALSE(GetTransformSample(s, 1, sample, out, out, out));
  }
  EXPECT_EQ(log.errors(), 3u * 5u + 3u * 2u);
  EXPECT_EQ(log.messages()[0].text, kParameterCheckFailed);
  EXPECT_EQ(log.messages()[0].origin, LogOrigin::TrackGroup);
  // Nothing was read into `out` or written into the store.
  EXPECT_EQ(std::count(out, out + 9, 0.0f), 9);
  for (int32_t t = 0; t < 2; ++t) {
    EXPECT_EQ(std::count(GetScaleShearSamples(s, t), GetScaleShearSamples(s, t) + 27, 0.0f), 27);
  }
  EXPECT_EQ(GetPositionSamples(nullptr, 0), nullptr);
  EXPECT_FALSE(SetTransformSample(nullptr, 0, 0, in, in, in));
  FreeTrackGroupSampler(s);
}

TEST(TrackGroupSampler, EveryAllocationFailureGivesNullWithoutLeaks) {
  test::LogCapture log;
  int failures = 0;
  for (long countdown = 0; countdown < 100; ++countdown) {
    const size_t live = LiveBlockCount();
    SetAllocationFailureCountdown(countdown);
    track_group_sampler* s = CreateTrackGroupSampler(3, 5);
    SetAllocationFailureCountdown(-1);
    EXPECT_EQ(LiveBlockCount(), live + (s != nullptr ? 1 + 3 + 9 : 0)) << countdown;
    FreeTrackGroupSampler(s);
    if (s != nullptr) break;
    ++failures;
  }
  EXPECT_EQ(failures, 1 + 3 + 9);  // the sampler, three track tables, nine arrays
}

}  // namespace
}  // namespace ketrel
