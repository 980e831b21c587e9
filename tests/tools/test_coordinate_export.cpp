// Exports in another coordinate system: a real skinned, animated character
// written Z up and Y up must put every skinned vertex, at every time, where
// the axis change puts it; a motion capture keeps its fidelity; the tool's
// own frame changes no byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "export/host/host_fidelity.h"
#include "export/host/host_scene_loader.h"
#include "rt/ketrel_load.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_runtime.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::LoadedFile;
struct BindingDeleter {
  void operator()(track_binding* b) const { FreeTrackBinding(b); }
};

const std::string kCharacter = "/usr/share/assimp/models/X/Testwuson.X";
const std::string kMotionCapture = "/usr/share/assimp/models/BVH/01_01.bvh";
const std::string kYUp = " --set \"Coordinate system=Right-handed, Y up\"";
const std::string kZUp = " --set \"Coordinate system=Right-handed, Z up\"";
const std::string kLeftYUp = " --set \"Coordinate system=Left-handed, Y up\"";

// What skinning reads of a vertex, whatever the file's layout.
data_type_definition kSkinnedVertex[] = {
    {Real32Member, "Position", nullptr, 3, {0, 0, 0}, 0},
    {Real32Member, "BoneWeights", nullptr, 8, {0, 0, 0}, 0},
    {UInt32Member, "BoneIndices", nullptr, 8, {0, 0, 0}, 0},
    {EndMember, nullptr, nullptr, 0, {0, 0, 0}, 0},
};
struct SkinnedVertex {
  float position[3];
  float weights[8];
  uint32_t indices[8];
};

// Every skinned vertex of every mesh of the first model, at time t, as a
// game computes it: sampled pose, world matrices, skinning matrices.
std::vector<float> SkinnedPositions(const file_info* info, float t) {
  std::vector<float> out;
  const model* figure = info->ModelCount > 0 ? info->Models[0] : nullptr;
  const animation* clip = info->AnimationCount > 0 ? info->Animations[0] : nullptr;
  if (!figure || !figure->Skeleton || !clip) return out;
  const skeleton* bones = figure->Skeleton;
  std::unique_ptr<track_binding, BindingDeleter> binding(
      BindTrackGroup(bones, clip, FindTrackGroup(clip, figure->Name)));
  if (!binding) return out;
  std::vector<transform> local(size_t(bones->BoneCount));
  std::vector<matrix4x4> world(size_t(bones->BoneCount));
  if (!SampleLocalPose(binding.get(), t, PlaybackClamp, local.data()) ||
      !BuildWorldPose(bones, local.data(), nullptr, world.data()))
    return out;
  for (int32_t b = 0; b < figure->MeshBindingCount; ++b) {
    const mesh* part = figure->MeshBindings[b].Mesh;
    const vertex_data* data = part ? part->PrimaryVertexData : nullptr;
    if (!data || part->BoneBindingCount < 1) continue;
    std::vector<int32_t> indices(size_t(part->BoneBindingCount));
    std::vector<matrix4x4> skinning(indices.size());
    BindMeshToSkeleton(part, bones, indices.data());
    BuildSkinningMatrices(bones, part, indices.data(), world.data(), skinning.data());
    const int32_t stride = GetTotalObjectSize(data->Vertices.Type);
    for (int32_t v = 0; v < data->Vertices.Count; ++v) {
      SkinnedVertex s{};
      ConvertSingleObject(
          data->Vertices.Type,
          static_cast<const uint8_t*>(data->Vertices.Items) + size_t(v) * size_t(stride),
          kSkinnedVertex, &s);
      bool weighted = false;
      for (float w : s.weights) weighted = weighted || w != 0.0f;
      if (!weighted) s.weights[0] = 1.0f;  // one bone per vertex
      float p[3] = {0, 0, 0};
      for (int k = 0; k < 8; ++k) {
        if (s.weights[k] == 0.0f || s.indices[k] >= skinning.size()) continue;
        const matrix4x4& m = skinning[s.indices[k]];
        for (int j = 0; j < 3; ++j)
          p[j] += s.weights[k] * (s.position[0] * m[0][j] + s.position[1] * m[1][j] +
                                  s.position[2] * m[2][j] + m[3][j]);
      }
      out.insert(out.end(), p, p + 3);
    }
  }
  return out;
}

class CoordinateExport : public test::CommandTest {
 protected:
  LoadedFile Export(const std::string& scene, const std::string& settings,
                    const std::string& name) {
    std::string err;
    EXPECT_EQ(Run("export " + scene + " " + Path(name) + " --silent" + settings, nullptr, &err), 0)
        << err;
    return LoadedFile(LoadFileInfo(Path(name).c_str()));
  }
};

TEST_F(CoordinateExport, YUpCharacterSkinsWhereTheAxisChangePutsIt) {
  LoadedFile zUp = Export(kCharacter, kZUp, "z.kt2");
  ASSERT_TRUE(zUp);
  // Right-handed Y up turns (x, y, z) into (x, z, -y); left-handed Y up
  // mirrors it into (x, z, y).
  struct Frame {
    std::string settings;
    float sign;  // of the old y in the new z
  };
  for (const Frame& frame : {Frame{kYUp, -1.0f}, Frame{kLeftYUp, 1.0f}}) {
    LoadedFile yUp = Export(kCharacter, frame.settings, "y.kt2");
    ASSERT_TRUE(yUp);
    ASSERT_TRUE(yUp->ArtToolInfo);
    EXPECT_EQ(yUp->ArtToolInfo->UpVector[1], 1.0f);
    EXPECT_EQ(yUp->ArtToolInfo->BackVector[2], -frame.sign);
    const float duration = yUp->Animations[0]->Duration;
    for (float t : {0.0f, 0.37f * duration, 0.71f * duration, duration}) {
      const std::vector<float> z = SkinnedPositions(zUp.get(), t),
                               y = SkinnedPositions(yUp.get(), t);
      ASSERT_EQ(z.size(), y.size());
      ASSERT_GT(z.size(), 300u) << "no skinned vertices";
      float low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
      for (size_t i = 0; i < z.size(); ++i) {
        low[i % 3] = std::min(low[i % 3], z[i]);
        high[i % 3] = std::max(high[i % 3], z[i]);
      }
      const float size = std::hypot(high[0] - low[0], high[1] - low[1], high[2] - low[2]);
      double worst = 0;
      for (size_t i = 0; i < z.size(); i += 3) {
        worst =
            std::max({worst, double(std::fabs(y[i] - z[i])), double(std::fabs(y[i + 1] - z[i + 2])),
                      double(std::fabs(y[i + 2] - frame.sign * z[i + 1]))});
      }
      EXPECT_LE(worst, 1e-4 * size) << frame.settings << " at " << t << " s, size " << size;
      std::printf("%s t=%.3f s: worst %.3g of size %.3g (%.2g)\n", frame.settings.c_str(),
                  double(t), worst, double(size), worst / double(size));
    }
  }
}

TEST_F(CoordinateExport, MotionCaptureKeepsItsFidelityInEitherFrame) {
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(kMotionCapture, scene, error)) << error;
  double worst[2] = {0, 0};
  const std::string frames[2] = {kZUp, kYUp};
  for (int f = 0; f < 2; ++f) {
    LoadedFile file = Export(kMotionCapture, frames[f], "capture.kt2");
    ASSERT_TRUE(file);
    host::FidelityResult result;
    ASSERT_TRUE(host::MeasureAnimationFidelity(scene, file.get(), {}, result, error)) << error;
    worst[f] = result.MaxCm;
    std::printf("%s: max %.4f cm, p99 %.4f cm\n", frames[f].c_str(), result.MaxCm, result.P99Cm);
  }
  EXPECT_GT(worst[0], 0.0);
  EXPECT_NEAR(worst[1], worst[0], 0.01 * worst[0] + 1e-4);
}

TEST_F(CoordinateExport, TheToolsOwnFrameChangesNoByte) {
  std::string err;
  ASSERT_EQ(Run("export " + test::kFigure + " " + Path("plain.kt2") + " --silent", nullptr, &err),
            0)
      << err;
  ASSERT_EQ(
      Run("export " + test::kFigure + " " + Path("zup.kt2") + " --silent" + kZUp, nullptr, &err), 0)
      << err;
  EXPECT_EQ(Slurp(Path("plain.kt2")), Slurp(Path("zup.kt2")));
  // Told that the tool is Y up, a Z-up file turns its up (0, 0, 1) into
  // what it takes for back: (x, y, z) -> (x, -z, y).
  LoadedFile plain(LoadFileInfo(Path("plain.kt2").c_str()));
  LoadedFile told = Export(
      test::kFigure, " --set \"Tool Coordinate System=Up=Y Back=Z Right=X\"" + kZUp, "told.kt2");
  ASSERT_TRUE(plain && told);
  for (int32_t b = 0; b < plain->Skeletons[0]->BoneCount; ++b) {
    const transform was = plain->Skeletons[0]->Bones[b].Transform,
                    now = told->Skeletons[0]->Bones[b].Transform;
    EXPECT_FLOAT_EQ(now.Position[0], was.Position[0]) << b;
    EXPECT_FLOAT_EQ(now.Position[1], -was.Position[2]) << b;
    EXPECT_FLOAT_EQ(now.Position[2], was.Position[1]) << b;
  }
}

}  // namespace
}  // namespace ketrel
