// ketrel_player FILE.kt2 [BONE]: loads the file, binds its first animation
// to its first model and prints where the hips (or BONE, or else the root
// bone) stand in the world at ten evenly spread times of the clip.
#include <cstdio>
#include <vector>

#include "rt/ketrel_runtime.h"

namespace {

struct Settings {
  const char* path = nullptr;
  const char* bone = nullptr;  // null: "Hips" when there is one, else bone 0
};

int Play(const Settings& settings) {
  ketrel::file_info* info = ketrel::LoadFileInfo(settings.path);
  if (info == nullptr) {
    std::fprintf(stderr, "%s: cannot be loaded (see the messages above)\n", settings.path);
    return 1;
  }
  int result = 1;
  ketrel::track_binding* binding = nullptr;
  const ketrel::model* model = info->ModelCount > 0 ? info->Models[0] : nullptr;
  const ketrel::animation* clip = info->AnimationCount > 0 ? info->Animations[0] : nullptr;
  const ketrel::skeleton* skeleton = model != nullptr ? model->Skeleton : nullptr;
  const ketrel::track_group* group =
      model != nullptr ? ketrel::FindTrackGroup(clip, model->Name) : nullptr;
  int bone = -1;
  if (skeleton == nullptr || skeleton->BoneCount == 0 || group == nullptr) {
    std::fprintf(stderr, "%s: no animated model to play\n", settings.path);
  } else if ((bone = ketrel::FindBone(skeleton, settings.bone ? settings.bone : "Hips")) < 0 &&
             settings.bone != nullptr) {
    std::fprintf(stderr, "%s: the model has no bone %s\n", settings.path, settings.bone);
  } else if ((binding = ketrel::BindTrackGroup(skeleton, clip, group)) == nullptr) {
    std::fprintf(stderr, "%s: the animation cannot be bound to the model\n", settings.path);
  } else {
    if (bone < 0) bone = 0;
    std::vector<ketrel::transform> local(skeleton->BoneCount);
    std::vector<ketrel::matrix4x4> world(skeleton->BoneCount);
    std::printf("%s: %s on %s, %.3f s, %s\n", settings.path, clip->Name ? clip->Name : "",
                model->Name ? model->Name : "", double(clip->Duration),
                skeleton->Bones[bone].Name ? skeleton->Bones[bone].Name : "");
    result = 0;
    for (int i = 0; i < 10 && result == 0; ++i) {
      const float t = clip->Duration * float(i) / 9.0f;
      if (!ketrel::SampleLocalPose(binding, t, ketrel::PlaybackClamp, local.data()) ||
          !ketrel::BuildWorldPose(skeleton, local.data(), nullptr, world.data())) {
        result = 1;
        break;
      }
      const float* p = world[bone][3];
      std::printf("%8.3f s  %10.4f %10.4f %10.4f\n", double(t), double(p[0]), double(p[1]),
                  double(p[2]));
    }
  }
  ketrel::FreeTrackBinding(binding);
  ketrel::FreeFileInfo(info);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FILE.kt2 [BONE]\n", argv[0]);
    return 2;
  }
  Settings settings;
  settings.path = argv[1];
  settings.bone = argc > 2 ? argv[2] : nullptr;
  return Play(settings);
}
