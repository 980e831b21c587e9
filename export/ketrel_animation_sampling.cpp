#include "export/ketrel_animation_sampling.h"

#include <cmath>
#include <cstring>

#include "export/ketrel_progress.h"
#include "export/ketrel_scene_parser.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_skeleton_conversion.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_track_group_sampler.h"

namespace ketrel {
namespace {

namespace id = animation_setting;

constexpr int32_t kMaxVectorDimension = 16;

// Both include flags of an animation settings item.
bool Animated(const SettingsItem* item) { return IsDataIncluded(item); }

bool PrepareVectors(SceneParser* parser, const AnimationTiming& timing, ModelAnimation& entry) {
  const SettingsItem* settings = entry.Model->AnimationSettings;
  if (!GetSettingBool(settings, id::IncludeVectorTracks)) return true;
  const bool framesOnly = GetSettingBool(settings, id::DontOversampleVectors);
  for (TrackSourceNode* source : ModelTrackSources(entry.Model)) {
    TrackSampleDescriptor descriptor;
    char name[kTrackNameCapacity] = {};
    if (!parser->tool->SampleTrackSource(source, descriptor, name, nullptr, 0)) continue;
    name[kTrackNameCapacity - 1] = '\0';
    // Sources of other widths are not sampled at all.
    if (descriptor.Dimension < 1 || descriptor.Dimension > kMaxVectorDimension) continue;
    VectorBuffer buffer;
    buffer.Source = source;
    buffer.Name = InternString(parser, name);
    buffer.Dimension = descriptor.Dimension;
    buffer.FramesOnly = framesOnly;
    buffer.Count = framesOnly ? timing.Frames + 1 : timing.SampleCount;
    buffer.Step = framesOnly ? float(timing.FrameSeconds) : timing.TimeStep;
    buffer.Values = static_cast<float*>(
        KT_ALLOCATE_CLEARED(sizeof(float) * size_t(buffer.Count) * size_t(buffer.Dimension)));
    if (!buffer.Values) return false;
    entry.Vectors.push_back(buffer);
  }
  return true;
}

void SampleBones(ToolInterface* tool, ModelAnimation& entry, int32_t s) {
  for (size_t i = 0; i < entry.Bones.size(); ++i) {
    TransformParts local;
    GetSkeletonLocalTransform(tool, entry.Bones[i], local);
    SetTransformSample(entry.Sampler, int32_t(i), s, local.Position, local.Orientation,
                       &local.ScaleShear[0][0]);
  }
}

void SampleVectors(ToolInterface* tool, const AnimationTiming& timing, ModelAnimation& entry,
                   int32_t s) {
  for (VectorBuffer& buffer : entry.Vectors) {
    int32_t index = s;
    if (buffer.FramesOnly) {
      if (s % timing.Oversampling != 0) continue;
      index = s / timing.Oversampling;
    }
    if (index >= buffer.Count) continue;
    TrackSampleDescriptor descriptor;
    tool->SampleTrackSource(buffer.Source, descriptor, nullptr,
                            buffer.Values + size_t(index) * size_t(buffer.Dimension),
                            buffer.Dimension);
  }
}

void Lerp(const float* a, const float* b, float t, int32_t count, float* out) {
  for (int32_t i = 0; i < count; ++i) out[i] = (1 - t) * a[i] + t * b[i];
}

// Fills sample s between the host samples a and b (t of the way).
void InterpolateBones(ModelAnimation& entry, int32_t a, int32_t b, int32_t s, float t) {
  for (size_t i = 0; i < entry.Bones.size(); ++i) {
    const int32_t track = int32_t(i);
    float pa[3], qa[4], sa[9], pb[3], qb[4], sb[9], p[3], q[4], m[9];
    GetTransformSample(entry.Sampler, track, a, pa, qa, sa);
    GetTransformSample(entry.Sampler, track, b, pb, qb, sb);
    if (qa[0] * qb[0] + qa[1] * qb[1] + qa[2] * qb[2] + qa[3] * qb[3] < 0) {
      for (float& c : qb) c = -c;
    }
    Lerp(pa, pb, t, 3, p);
    Lerp(qa, qb, t, 4, q);
    Lerp(sa, sb, t, 9, m);
    // A blend of two unit quaternions is shorter than 1; the fitter measures
    // against unit samples, so the blend is brought back to unit length.
    const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (length > 1e-5f) {
      for (float& c : q) c /= length;
    }
    SetTransformSample(entry.Sampler, track, s, p, q, m);
  }
}

void InterpolateSkipped(const AnimationTiming& timing, ModelAnimation& entry) {
  const int32_t o = timing.Oversampling;
  for (int32_t s = 0; s < timing.SampleCount; ++s) {
    if (s % o == 0) continue;
    const int32_t a = (s / o) * o, b = a + o;
    const float t = float(s % o) / float(o);
    InterpolateBones(entry, a, b, s, t);
    for (VectorBuffer& buffer : entry.Vectors) {
      if (buffer.FramesOnly) continue;
      const size_t d = size_t(buffer.Dimension);
      Lerp(buffer.Values + size_t(a) * d, buffer.Values + size_t(b) * d, t, buffer.Dimension,
           buffer.Values + size_t(s) * d);
    }
  }
}

}  // namespace

AnimationTiming GetAnimationTiming(ToolInterface* tool, const AnimationNode* node) {
  AnimationTiming timing;
  timing.Frames = tool->GetSampleCount(node);
  if (timing.Frames < 0) timing.Frames = 0;
  timing.FrameSeconds = tool->GetSampleDuration(node);
  int32_t o = GetSettingInt(node->Settings, id::Oversampling);
  timing.Oversampling = o < 1 ? 1 : o > kMaxOversampling ? kMaxOversampling : o;
  timing.SampleCount = timing.Frames * timing.Oversampling + 1;
  timing.TimeStep = float(timing.FrameSeconds / timing.Oversampling);
  timing.Duration = float(timing.Frames * timing.Oversampling) * timing.TimeStep;
  timing.StartTick = node->StartTime;
  timing.TicksPerSample = node->TicksPerSample;
  timing.Synthetic =
      timing.Oversampling >= 2 && GetSettingBool(node->Settings, id::SyntheticOversampling);
  return timing;
}

int64_t SampleTick(const AnimationTiming& timing, int32_t s) {
  const int64_t samples = int64_t(timing.Frames) * timing.Oversampling;
  if (samples <= 0) return timing.StartTick;
  return timing.StartTick + int64_t(timing.TicksPerSample) * s * timing.Frames / samples;
}

bool PrepareModelAnimations(SceneParser* parser, const AnimationTiming& timing,
                            std::vector<ModelAnimation>& models) {
  for (ModelNode* model : GraphModels(parser->graph)) {
    if (!Animated(model->AnimationSettings)) continue;
    ModelAnimation entry;
    entry.Model = model;
    for (BoneNode* bone : ModelBones(model)) {
      if (Animated(bone->AnimationSettings)) entry.Bones.push_back(bone);
    }
    entry.Sampler = CreateTrackGroupSampler(model->BoneCount, timing.SampleCount);
    const bool made = entry.Sampler != nullptr;
    const bool vectors = made && PrepareVectors(parser, timing, entry);
    models.push_back(std::move(entry));
    if (!made || !vectors) {
      KT_LOG_ERROR(Export, "Unable to allocate the samples of animation model %s",
                   parser->tool->GetModelName(model));
      return false;
    }
  }
  return true;
}

void FreeModelAnimations(std::vector<ModelAnimation>& models) {
  for (ModelAnimation& entry : models) {
    FreeTrackGroupSampler(entry.Sampler);
    entry.Sampler = nullptr;
    for (VectorBuffer& buffer : entry.Vectors) {
      FreeBlock(buffer.Values);
      buffer.Values = nullptr;
    }
  }
  models.clear();
}

bool SampleModels(ToolInterface* tool, const AnimationTiming& timing,
                  std::vector<ModelAnimation>& models) {
  for (int32_t s = 0; s < timing.SampleCount; ++s) {
    if (timing.Synthetic && s % timing.Oversampling != 0) continue;
    // A long clip samples for seconds: a Ctrl-C must not wait for its end.
    if (s % 256 == 0 && CancelRequested() != 0) return false;
    const int64_t tick = SampleTick(timing, s);
    if (tick < INT32_MIN || tick > INT32_MAX || !tool->SetSampleTime(int32_t(tick))) {
      KT_LOG_ERROR(Export, "Unable to set the sample time to tick %lld", (long long)tick);
      return false;
    }
    for (ModelAnimation& entry : models) {
      SampleBones(tool, entry, s);
      SampleVectors(tool, timing, entry, s);
    }
  }
  if (timing.Synthetic) {
    for (ModelAnimation& entry : models) InterpolateSkipped(timing, entry);
  }
  return true;
}

}  // namespace ketrel
