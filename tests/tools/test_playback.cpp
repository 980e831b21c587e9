// Exported files played through the run-time: every bone's local and world
// transform at every sample against the host scene's, for every file
// platform and compression, for the example figure and a motion-capture
// file; root motion, morph weights and skin bindings as a game reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/host/host_scene.h"
#include "export/host/host_scene_loader.h"
#include "export/ketrel_math.h"
#include "rt/ketrel_crc.h"
#include "rt/ketrel_load.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_playback.h"
#include "rt/ketrel_playback_root_motion.h"
#include "rt/ketrel_pose.h"
#include "tests/support/log_capture.h"
#include "tests/support/play_everything.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::FindBoneNode;
using test::kFigure;
using test::LoadedFile;
using test::Value;

const std::string kWalker = std::string(KETREL_TEST_DATA) + "/animation/walker.kscene";
const std::string kMotionCapture = "/usr/share/assimp/models/BVH/01_01.bvh";

const char* const kPlatforms[] = {"32-bit, little endian", "32-bit, big endian",
                                  "64-bit, little endian", "64-bit, big endian"};
const file_platform kPlatformValues[] = {Platform32Little, Platform32Big, Platform64Little,
                                         Platform64Big};
const char* const kCompressions[] = {"No compression", "Lorpa-1 Compression", "Tessik Compression",
                                     "Tessik2 Compression"};

struct Tolerances {
  float position = 0.05f, degrees = 0.2f, scale = 0.002f;
};

std::string ToleranceSettings(const Tolerances& t) {
  char text[256];
  std::snprintf(text, sizeof text,
                " --set \"Position curve tolerance=%g\" --set \"Orientation curve tolerance=%g\""
                " --set \"Scale/shear curve tolerance=%g\"",
                double(t.position), double(t.degrees), double(t.scale));
  return text;
}

// The host's world matrix of a node: its own, then its parents'.
HostMatrix HostWorld(const host::Node* node, int32_t tick) {
  HostMatrix world;
  for (; node != nullptr && node->Parent != nullptr; node = node->Parent)
    world = Multiply(world, node->Transform.Evaluate(tick));
  return world;
}

double Distance(const float* a, const float* b) {
  double d = 0;
  for (int i = 0; i < 3; ++i) d += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return std::sqrt(d);
}

struct Worst {
  double local = 0, degrees = 0, world = 0, worldOverBound = 0;
  int samples = 0;
};

// Plays the file's first animation on its first model at every sample and
// holds each bone to the host: its local parts within the tolerances, its
// world position within what those tolerances allow down its chain.
Worst PlayAgainstHost(const host::Scene& scene, const file_info* info, const Tolerances& t,
                      uint32_t flags, float extraPosition = 0, bool backwards = false) {
  Worst worst;
  EXPECT_GE(Value(info->ModelCount), 1);
  EXPECT_GE(Value(info->AnimationCount), 1);
  if (Value(info->ModelCount) < 1 || Value(info->AnimationCount) < 1) return worst;
  const model* figure = info->Models[0];
  const animation* clip = info->Animations[0];
  const skeleton* bones = figure->Skeleton;
  std::unique_ptr<track_binding, test::PlayBindingDeleter> binding(
      BindTrackGroup(bones, clip, FindTrackGroup(clip, figure->Name)));
  EXPECT_NE(binding, nullptr);
  if (!binding) return worst;
  EXPECT_EQ(binding->UnboundTracks, 0);
  const int32_t oversampling = int32_t(std::lround(Value(clip->Oversampling)));
  EXPECT_GE(oversampling, 1);
  if (oversampling < 1) return worst;
  const int32_t count = bones->BoneCount;
  std::vector<transform> local(GetLocalPoseSize(count) / sizeof(transform)), cached(local);
  // A playing instance's cursor, stepped forward sample by sample and, when
  // `backwards`, from the end: its poses must be the stateless ones.
  std::vector<uint64_t> cursorMemory((GetPlaybackCursorSize(binding.get()) + 7) / 8);
  playback_cursor* cursor = InitPlaybackCursor(binding.get(), cursorMemory.data());
  EXPECT_NE(cursor, nullptr);
  std::vector<matrix4x4> world(GetWorldPoseSize(count) / sizeof(matrix4x4));
  std::vector<const host::Node*> nodes(size_t(count), nullptr);
  for (int32_t b = 0; b < count; ++b) {
    nodes[size_t(b)] = FindBoneNode(scene, bones->Bones[b].Name);
    EXPECT_NE(nodes[size_t(b)], nullptr) << bones->Bones[b].Name;
    if (!nodes[size_t(b)]) return worst;
  }
  // What the tolerances allow in world space: each bone adds its own
  // position error and carries its parent's turn and scale error over its
  // offset.
  const double turn = t.degrees * M_PI / 180 + t.scale;
  const int32_t samples = int32_t(std::lround(Value(clip->Duration) / Value(clip->TimeStep))) + 1;
  for (int32_t step = 0; step < samples; ++step) {
    const int32_t s = backwards ? samples - 1 - step : step;
    const float time = float(s) * Value(clip->TimeStep);
    const int32_t tick = scene.AnimationStart + s * scene.TicksPerFrame() / oversampling;
    // Sampling never allocates.
    const uint64_t allocations = NextAllocationNumber();
    EXPECT_TRUE(SampleLocalPose(binding.get(), time, flags, local.data()));
    EXPECT_TRUE(SampleLocalPose(binding.get(), time, flags, cached.data(), cursor));
    EXPECT_EQ(NextAllocationNumber(), allocations);
    EXPECT_EQ(std::memcmp(local.data(), cached.data(), local.size() * sizeof(transform)), 0)
        << "sample " << s << " through the cursor";
    // The model stands where the root's host parent puts it.
    const HostMatrix parent = HostWorld(nodes[0]->Parent, tick);
    matrix4x4 offset = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) offset[i][j] = parent.m[i][j];
    EXPECT_TRUE(BuildWorldPose(bones, local.data(), &offset, world.data()));
    std::vector<double> bound(static_cast<size_t>(count)), linear(static_cast<size_t>(count));
    for (int32_t b = 0; b < count; ++b) {
      const std::string at = std::string(bones->Bones[b].Name) + " sample " + std::to_string(s);
      TransformParts expected;
      DecomposeHostMatrix(nodes[size_t(b)]->Transform.Evaluate(tick), expected);
      const double position = Distance(local[size_t(b)].Position, expected.Position);
      const double degrees = test::Degrees(local[size_t(b)].Orientation, expected.Orientation);
      const int32_t up = bones->Bones[b].ParentIndex;
      if (up >= 0 && nodes[size_t(up)] == nodes[size_t(b)]->Parent) {
        EXPECT_LE(position, t.position * 1.01 + 1e-4) << at;
        EXPECT_LE(degrees, t.degrees * 1.01 + 0.01) << at;
        worst.local = std::max(worst.local, position);
        worst.degrees = std::max(worst.degrees, degrees);
      }
      const double reach = std::sqrt(double(expected.Position[0]) * expected.Position[0] +
                                     double(expected.Position[1]) * expected.Position[1] +
                                     double(expected.Position[2]) * expected.Position[2]);
      bound[size_t(b)] = (up >= 0 ? bound[size_t(up)] + linear[size_t(up)] * reach : 0) +
                         t.position * 1.01 + extraPosition + 1e-3;
      linear[size_t(b)] = (up >= 0 ? linear[size_t(up)] : 0) + turn * 1.01 + 1e-5;
      const HostMatrix host = HostWorld(nodes[size_t(b)], tick);
      const double off = Distance(world[size_t(b)][3], host.m[3]);
      EXPECT_LE(off, bound[size_t(b)]) << at;
      worst.world = std::max(worst.world, off);
      worst.worldOverBound = std::max(worst.worldOverBound, off / bound[size_t(b)]);
    }
    ++worst.samples;
  }
  return worst;
}

// Every mesh binds to the model's skeleton, and the morph group's weights
// are the host's channel weights in percent over 100 at every frame.
void ExpectMorphWeightsAndSkinBindings(const host::Scene& scene, const file_info* info) {
  const model* body = info->Models[0];
  for (int32_t m = 0; m < Value(body->MeshBindingCount); ++m) {
    const mesh* part = body->MeshBindings[m].Mesh;
    std::vector<int32_t> bones(size_t(Value(part->BoneBindingCount)));
    EXPECT_TRUE(BindMeshToSkeleton(part, body->Skeleton, bones.data())) << part->Name;
  }
  const animation* clip = info->Animations[0];
  const track_group* morphs = nullptr;
  for (int32_t g = 0; g < Value(clip->TrackGroupCount); ++g)
    if (Value(clip->TrackGroups[g]->AccumulationFlags) & AccumulationMorphWeights)
      morphs = clip->TrackGroups[g];
  ASSERT_NE(morphs, nullptr);
  const host::Node* owner = scene.FindNode(morphs->Name);
  ASSERT_NE(owner, nullptr);
  std::vector<float> weights(size_t(GetVectorTrackValueCount(morphs)));
  ASSERT_FALSE(weights.empty());
  const int32_t frames = (scene.AnimationEnd - scene.AnimationStart) / scene.TicksPerFrame();
  ASSERT_GT(frames, 0);
  for (int32_t s = 0; s <= frames; ++s) {
    ASSERT_TRUE(SampleVectorTracks(morphs, clip, float(s) / float(scene.FrameRate), PlaybackClamp,
                                   weights.data(), int32_t(weights.size())));
    for (int32_t v = 0; v < Value(morphs->VectorTrackCount); ++v) {
      const host::MorphChannel* channel = nullptr;
      for (const host::MorphChannel& c : owner->MorphChannels)
        if (c.Name == morphs->VectorTracks[v].Name) channel = &c;
      ASSERT_NE(channel, nullptr) << morphs->VectorTracks[v].Name;
      float percent = 0;
      channel->Weight.Evaluate(scene.AnimationStart + s * scene.TicksPerFrame(), &percent);
      EXPECT_NEAR(weights[size_t(v)], percent * 0.01f, 0.002f) << channel->Name << " " << s;
    }
  }
}

class Playback : public test::CommandTest {
 protected:
  // Exports `scene` with `settings` and loads the file through the run-time.
  LoadedFile ExportAndLoad(const std::string& scene, const std::string& settings) {
    const std::string out = Path("out.kt2");
    std::string err;
    EXPECT_EQ(Run("export " + scene + " " + out + " --silent" + settings, nullptr, &err), 0) << err;
    return LoadedFile(LoadFileInfo(out.c_str()));
  }
};

TEST_F(Playback, TheFigureOnEveryPlatformAndCompression) {
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(kFigure, scene, error)) << error;
  const Tolerances t;
  for (int p = 0; p < 4; ++p) {
    for (const char* compression : kCompressions) {
      const std::string settings = ToleranceSettings(t) +
                                   " --set \"File platform=" + kPlatforms[p] +
                                   "\" --set \"File compression=" + compression + "\"";
      LoadedFile info = ExportAndLoad(kFigure, settings);
      ASSERT_NE(info, nullptr) << settings;
      EXPECT_EQ(GetLoadedFile(info.get())->SourcePlatform, kPlatformValues[p]);
      EXPECT_STREQ(info->FromFileName, "figure.kscene");
      ASSERT_NE(info->ExporterInfo, nullptr);
      EXPECT_EQ(Value(info->ExporterInfo->ExporterMajorRevision), 2);
      EXPECT_EQ(Value(info->MaterialCount), 2);
      const Worst worst = PlayAgainstHost(scene, info.get(), t, PlaybackClamp, 0, p % 2 == 1);
      EXPECT_EQ(worst.samples, 61) << settings;
      EXPECT_GT(worst.degrees, 0.0) << "nothing was compared";
      ExpectMorphWeightsAndSkinBindings(scene, info.get());
    }
  }
}

TEST_F(Playback, MotionCaptureOnEveryPlatformAndCompression) {
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(kMotionCapture, scene, error)) << error;
  const Tolerances t;
  for (int p = 0; p < 4; ++p) {
    // Each platform with another compression: the two are independent
    // layers, and a full grid of this clip would take long.
    const std::string settings = ToleranceSettings(t) + " --set \"File platform=" + kPlatforms[p] +
                                 "\" --set \"File compression=" + kCompressions[(p + 1) % 4] + "\"";
    LoadedFile info = ExportAndLoad(kMotionCapture, settings);
    ASSERT_NE(info, nullptr) << settings;
    const Worst worst = PlayAgainstHost(scene, info.get(), t, PlaybackClamp);
    // Every key of the 120 Hz capture, at the shipped two samples a frame.
    const int32_t frames = (scene.AnimationEnd - scene.AnimationStart) / scene.TicksPerFrame();
    EXPECT_EQ(worst.samples, 2 * frames + 1) << settings;
    std::printf("01_01 on %s: worst local %.4f, %.4f degrees, world %.4f (%.0f%% of its bound)\n",
                kPlatforms[p], worst.local, worst.degrees, worst.world, 100 * worst.worldOverBound);
  }
}

// Unsmoothed keys are the samples themselves: no tolerance but rounding.
TEST_F(Playback, UnsmoothedKeysAreTheSamples) {
  host::Scene figure;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(kFigure, figure, error)) << error;
  LoadedFile raw = ExportAndLoad(kFigure, " --set \"Compress animation data=false\"");
  ASSERT_NE(raw, nullptr);
  curve2 first = raw->Animations[0]->TrackGroups[0]->TransformTracks[0].OrientationCurve;
  EXPECT_TRUE(CurveIsKeyframed(&first));
  Tolerances exact;
  exact.position = exact.degrees = exact.scale = 1e-4f;
  PlayAgainstHost(figure, raw.get(), exact, PlaybackClamp);
}

// With root motion taken out, the run-time puts it back: the walker's
// straight loop (over several loops) and the motion capture's turning one.
TEST_F(Playback, RootMotionAsStored) {
  const std::string cme = " --set \"Root Motion Type=Constant Motion Extraction (CME)\"";
  host::Scene walker;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(kWalker, walker, error)) << error;
  const Tolerances t;
  LoadedFile straight = ExportAndLoad(kWalker, ToleranceSettings(t) + cme);
  ASSERT_NE(straight, nullptr);
  const track_group* group = straight->Animations[0]->TrackGroups[0];
  ASSERT_TRUE(TrackGroupHasRootMotion(group));
  EXPECT_EQ(group->PeriodicLoop, nullptr);
  PlayAgainstHost(walker, straight.get(), t, PlaybackApplyRootMotion);

  // Three loops on: the root stands three loop translations further.
  const model* figure = straight->Models[0];
  const animation* clip = straight->Animations[0];
  std::unique_ptr<track_binding, test::PlayBindingDeleter> binding(
      BindTrackGroup(figure->Skeleton, clip, group));
  ASSERT_NE(binding, nullptr);
  transform first[64], later[64];
  ASSERT_LE(figure->Skeleton->BoneCount, 64);
  const float duration = Value(clip->Duration);
  for (float u : {0.0f, 0.25f, 0.6f}) {
    ASSERT_TRUE(SampleLocalPose(binding.get(), u, PlaybackLoop | PlaybackApplyRootMotion, first));
    ASSERT_TRUE(SampleLocalPose(binding.get(), 3 * duration + u,
                                PlaybackLoop | PlaybackApplyRootMotion, later));
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(later[0].Position[i], first[0].Position[i] + 3 * group->LoopTranslation[i],
                  1e-3f);
  }

  host::Scene capture;
  ASSERT_TRUE(host::LoadHostScene(kMotionCapture, capture, error)) << error;
  LoadedFile turning = ExportAndLoad(kMotionCapture, ToleranceSettings(t) + cme);
  ASSERT_NE(turning, nullptr);
  ASSERT_NE(turning->Animations[0]->TrackGroups[0]->PeriodicLoop, nullptr);
  // The export unwinds the root sample by sample; putting it back in one
  // step differs by the rounding those 1374 steps gathered.
  const Worst worst = PlayAgainstHost(capture, turning.get(), t, PlaybackApplyRootMotion, 0.05f);
  std::printf("01_01 with its periodic loop put back: worst world %.4f\n", worst.world);
}

// Bytes of an exported file flipped one at a time, the CRC put right so the
// reader goes on to the objects: whatever loads must play without a fault
// (the sanitizer build watches every read).
TEST_F(Playback, DamagedFilesThatLoadStillPlaySafely) {
  for (const std::string& settings :
       {std::string(" --set \"File compression=No compression\""),
        std::string(" --set \"File compression=No compression\" --set \"File platform=32-bit, "
                    "big endian\" --set \"Use sampled key curves=true\"") +
            ToleranceSettings(Tolerances{0.0002f, 0.005f, 0.002f})}) {
    const std::string out = Path("damaged.kt2");
    ASSERT_EQ(Run("export " + kFigure + " " + out + " --silent" + settings), 0);
    std::string text = Slurp(out);
    std::vector<unsigned char> bytes(text.begin(), text.end());
    ASSERT_GT(bytes.size(), 1000u);
    const bool big = settings.find("big endian") != std::string::npos;
    {
      LoadedFile intact(LoadFileInfoFromMemory(bytes.data(), bytes.size()));
      ASSERT_NE(intact, nullptr);
      EXPECT_GT(test::PlayEverything(intact.get()), 0);
    }
    test::LogCapture quiet;
    size_t loaded = 0, tried = 0;
    for (size_t offset = 104; offset < bytes.size(); offset += 4, ++tried) {
      bytes[offset] ^= 0x5A;
      const uint32_t crc = ComputeCrc32(bytes.data() + 104, bytes.size() - 104);
      const uint32_t stored = big ? __builtin_bswap32(crc) : crc;
      uint32_t original;
      std::memcpy(&original, bytes.data() + 40, 4);
      std::memcpy(bytes.data() + 40, &stored, 4);
      LoadedFile info(LoadFileInfoFromMemory(bytes.data(), bytes.size()));
      if (info) {
        ++loaded;
        test::PlayEverything(info.get());
      }
      std::memcpy(bytes.data() + 40, &original, 4);
      bytes[offset] ^= 0x5A;
    }
    // Changed numbers still make files; changed structure does not.
    EXPECT_GT(loaded, tried / 10) << settings;
    EXPECT_LT(loaded, tried) << settings;
  }
}

}  // namespace
}  // namespace ketrel
