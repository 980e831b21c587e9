#pragma once
// The track group sampler: the store into which the exporter writes the
// host's sampled transforms of a fixed number of transform tracks before the
// fitter reads them channel by channel.
//
// Per track three arrays, zeroed at creation, sample after sample:
// positions (3 floats per sample), orientations (4 floats, x y z w) and
// scale/shear (9 floats, row by row).
//
// Bad track or sample indices are parameter checks ("Parameter check
// failed. (Verbose logging disabled)") and give null or false; nothing is
// read or written outside the arrays.

#include <cstdint>

namespace ketrel {

struct track_group_sampler;

// A store for `transformTrackCount` tracks of `sampleCount` samples each
// (0 is allowed for either). Null on a negative count or a size that does
// not fit in memory (parameter check), or when memory runs out; whatever was
// made is freed then.
track_group_sampler* CreateTrackGroupSampler(int32_t transformTrackCount, int32_t sampleCount);
// Accepts null.
void FreeTrackGroupSampler(track_group_sampler* sampler);

int32_t GetSamplerTransformTrackCount(const track_group_sampler* sampler);  // 0 for null
int32_t GetSamplerSampleCount(const track_group_sampler* sampler);          // 0 for null

// The track's whole array: 3, 4 or 9 floats per sample, sampleCount samples.
// Null (parameter check) for a null sampler or a track index outside
// 0 .. count - 1.
float* GetPositionSamples(track_group_sampler* sampler, int32_t trackIndex);
float* GetOrientationSamples(track_group_sampler* sampler, int32_t trackIndex);
float* GetScaleShearSamples(track_group_sampler* sampler, int32_t trackIndex);

// Copies one sample out of / into the store. Any of the three part pointers
// may be null to skip that part. False (parameter check), with nothing
// copied, for a null sampler or a track or sample index out of range.
bool GetTransformSample(const track_group_sampler* sampler, int32_t trackIndex, int32_t sampleIndex,
                        float position[3], float orientation[4], float scaleShear[9]);
bool SetTransformSample(track_group_sampler* sampler, int32_t trackIndex, int32_t sampleIndex,
                        const float position[3], const float orientation[4],
                        const float scaleShear[9]);

}  // namespace ketrel
