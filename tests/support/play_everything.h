#pragma once
// What a game does with a loaded file, for tests and the playback fuzzer:
// every model with every clip, whatever the file holds. Standard library and
// the run-time only.
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "rt/ketrel_runtime.h"
#include "tests/support/packed_value.h"

namespace ketrel::test {

struct PlayBindingDeleter {
  void operator()(track_binding* b) const { FreeTrackBinding(b); }
};

// Everything a game does with a loaded file, on every model and clip: bind,
// sample forwards and at odd times with and without a cursor, root motion,
// world and skinning matrices, morph weights and events. Returns the poses
// sampled.
inline int PlayEverything(const file_info* info) {
  int played = 0;
  for (int32_t a = 0; a < Value(info->AnimationCount); ++a) {
    const animation* clip = info->Animations[a];
    if (clip == nullptr) continue;
    for (int32_t m = 0; m < Value(info->ModelCount); ++m) {
      const model* figure = info->Models[m];
      if (figure == nullptr || figure->Skeleton == nullptr) continue;
      const skeleton* bones = figure->Skeleton;
      std::unique_ptr<track_binding, PlayBindingDeleter> binding(
          BindTrackGroup(bones, clip, FindTrackGroup(clip, figure->Name)));
      if (!binding) continue;
      std::vector<uint64_t> memory((GetPlaybackCursorSize(binding.get()) + 7) / 8);
      playback_cursor* cursor = InitPlaybackCursor(binding.get(), memory.data());
      std::vector<transform> local(size_t(bones->BoneCount));
      std::vector<matrix4x4> world(size_t(bones->BoneCount));
      for (float t : {0.0f, 0.01f, 0.02f, 0.5f, -1.0f, 1e9f, NAN, INFINITY}) {
        for (playback_cursor* c : {cursor, static_cast<playback_cursor*>(nullptr)}) {
          SampleLocalPose(binding.get(), t, PlaybackLoop | PlaybackApplyRootMotion, local.data(),
                          c);
          ++played;
        }
        BuildWorldPose(bones, local.data(), nullptr, world.data());
      }
      for (int32_t b = 0; b < Value(figure->MeshBindingCount); ++b) {
        const mesh* part = figure->MeshBindings[b].Mesh;
        if (part == nullptr) continue;
        std::vector<int32_t> indices(size_t(Value(part->BoneBindingCount)));
        std::vector<matrix4x4> skinning(indices.size());
        BindMeshToSkeleton(part, bones, indices.data());
        BuildSkinningMatrices(bones, part, indices.data(), world.data(), skinning.data());
      }
    }
    for (int32_t g = 0; g < Value(clip->TrackGroupCount); ++g) {
      const track_group* group = clip->TrackGroups[g];
      if (group == nullptr) continue;
      std::vector<float> values(size_t(GetVectorTrackValueCount(group)));
      SampleVectorTracks(group, clip, 0.3f, PlaybackLoop, values.data(), int32_t(values.size()));
      text_event events[4];
      CollectTextEvents(group, Value(clip->Duration), -1.0f, 3.0f, PlaybackLoop, events, 4);
    }
  }
  return played;
}

}  // namespace ketrel::test
