#include "rt/ketrel_track_group_sampler.h"

#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

namespace {

enum Channel { Positions, Orientations, ScaleShears, ChannelCount };
constexpr int32_t kChannelWidth[ChannelCount] = {3, 4, 9};

}  // namespace

struct track_group_sampler {
  int32_t TrackCount;
  int32_t SampleCount;
  // Per channel, one array of TrackCount pointers to that track's samples.
  float** Tracks[ChannelCount];
};

void FreeTrackGroupSampler(track_group_sampler* sampler) {
  if (sampler == nullptr) return;
  for (float** tracks : sampler->Tracks) {
    if (tracks == nullptr) continue;
    for (int32_t i = 0; i < sampler->TrackCount; ++i) FreeBlock(tracks[i]);
    FreeBlock(tracks);
  }
  FreeBlock(sampler);
}

track_group_sampler* CreateTrackGroupSampler(int32_t transformTrackCount, int32_t sampleCount) {
  if (!KT_CHECK_PARAMETER(TrackGroup, transformTrackCount >= 0 && sampleCount >= 0)) {
    return nullptr;
  }
  auto* sampler =
      static_cast<track_group_sampler*>(KT_ALLOCATE_CLEARED(sizeof(track_group_sampler)));
  if (sampler == nullptr) return nullptr;
  sampler->TrackCount = transformTrackCount;
  sampler->SampleCount = sampleCount;
  for (int32_t c = 0; c < ChannelCount; ++c) {
    // Cleared, so a partly made sampler frees only what exists.
    sampler->Tracks[c] = static_cast<float**>(
        KT_ALLOCATE_CLEARED(sizeof(float*) * static_cast<size_t>(transformTrackCount)));
    if (sampler->Tracks[c] == nullptr) {
      FreeTrackGroupSampler(sampler);
      return nullptr;
    }
    const size_t floats = static_cast<size_t>(sampleCount) * size_t(kChannelWidth[c]);
    for (int32_t i = 0; i < transformTrackCount; ++i) {
      sampler->Tracks[c][i] = static_cast<float*>(KT_ALLOCATE_CLEARED(floats * sizeof(float)));
      if (sampler->Tracks[c][i] == nullptr) {
        FreeTrackGroupSampler(sampler);
        return nullptr;
      }
    }
  }
  return sampler;
}

int32_t GetSamplerTransformTrackCount(const track_group_sampler* sampler) {
  return sampler != nullptr ? sampler->TrackCount : 0;
}

int32_t GetSamplerSampleCount(const track_group_sampler* sampler) {
  return sampler != nullptr ? sampler->SampleCount : 0;
}

namespace {

float* TrackArray(const track_group_sampler* sampler, Channel channel, int32_t trackIndex) {
  if (!KT_CHECK_PARAMETER(
          TrackGroup, sampler != nullptr && trackIndex >= 0 && trackIndex < sampler->TrackCount)) {
    return nullptr;
  }
  float* samples = sampler->Tracks[channel][trackIndex];
  return KT_CHECK_PARAMETER(TrackGroup, samples != nullptr) ? samples : nullptr;
}

// Checks both indices before anything is touched.
bool SampleIsValid(const track_group_sampler* sampler, int32_t trackIndex, int32_t sampleIndex) {
  return KT_CHECK_PARAMETER(TrackGroup, sampler != nullptr && trackIndex >= 0 &&
                                            trackIndex < sampler->TrackCount && sampleIndex >= 0 &&
                                            sampleIndex < sampler->SampleCount);
}

float* SampleAt(const track_group_sampler* sampler, Channel channel, int32_t trackIndex,
                int32_t sampleIndex) {
  return sampler->Tracks[channel][trackIndex] +
         size_t(sampleIndex) * size_t(kChannelWidth[channel]);
}

}  // namespace

float* GetPositionSamples(track_group_sampler* sampler, int32_t trackIndex) {
  return TrackArray(sampler, Positions, trackIndex);
}

float* GetOrientationSamples(track_group_sampler* sampler, int32_t trackIndex) {
  return TrackArray(sampler, Orientations, trackIndex);
}

float* GetScaleShearSamples(track_group_sampler* sampler, int32_t trackIndex) {
  return TrackArray(sampler, ScaleShears, trackIndex);
}

bool GetTransformSample(const track_group_sampler* sampler, int32_t trackIndex, int32_t sampleIndex,
                        float position[3], float orientation[4], float scaleShear[9]) {
  if (!SampleIsValid(sampler, trackIndex, sampleIndex)) return false;
  float* out[ChannelCount] = {position, orientation, scaleShear};
  for (int32_t c = 0; c < ChannelCount; ++c) {
    if (out[c] == nullptr) continue;
    std::memcpy(out[c], SampleAt(sampler, Channel(c), trackIndex, sampleIndex),
                sizeof(float) * size_t(kChannelWidth[c]));
  }
  return true;
}

bool SetTransformSample(track_group_sampler* sampler, int32_t trackIndex, int32_t sampleIndex,
                        const float position[3], const float orientation[4],
                        const float scaleShear[9]) {
  if (!SampleIsValid(sampler, trackIndex, sampleIndex)) return false;
  const float* in[ChannelCount] = {position, orientation, scaleShear};
  for (int32_t c = 0; c < ChannelCount; ++c) {
    if (in[c] == nullptr) continue;
    std::memcpy(SampleAt(sampler, Channel(c), trackIndex, sampleIndex), in[c],
                sizeof(float) * size_t(kChannelWidth[c]));
  }
  return true;
}

}  // namespace ketrel
