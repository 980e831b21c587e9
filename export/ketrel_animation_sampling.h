#pragma once
// Sampling for the animations phase (export/ketrel_animation_conversion.h):
// the sample times of an animation node, and the host's bone transforms and
// vector-track values of the animated models at those times, with synthetic
// oversampling. Root motion and fitting come after this.

#include <cstdint>
#include <vector>

#include "export/ketrel_root_motion.h"
#include "export/ketrel_tool_interface.h"

namespace ketrel {

struct SceneParser;
struct track_group_sampler;

// Ids of the animation settings read by this phase.
namespace animation_setting {
inline constexpr uint32_t CompressData = 52;
inline constexpr uint32_t PositionDegree = 53;
inline constexpr uint32_t OrientationDegree = 56;
inline constexpr uint32_t ScaleShearDegree = 59;
inline constexpr uint32_t ReduceCurves = 68;
inline constexpr uint32_t MoveToOrigin = 97;
inline constexpr uint32_t AllowPositionJumps = 114;
inline constexpr uint32_t AllowPositionCreases = 115;
inline constexpr uint32_t AllowOrientationJumps = 117;
inline constexpr uint32_t AllowOrientationCreases = 118;
inline constexpr uint32_t AllowScaleShearJumps = 120;
inline constexpr uint32_t AllowScaleShearCreases = 121;
inline constexpr uint32_t PositionTolerance = 149;
inline constexpr uint32_t OrientationTolerance = 150;
inline constexpr uint32_t ScaleShearTolerance = 151;
inline constexpr uint32_t PositionJump = 152;
inline constexpr uint32_t PositionCrease = 153;
inline constexpr uint32_t OrientationJump = 154;
inline constexpr uint32_t OrientationCrease = 155;
inline constexpr uint32_t ScaleShearJump = 156;
inline constexpr uint32_t ScaleShearCrease = 157;
inline constexpr uint32_t XPositionTolerance = 158;  // then Y, Z
inline constexpr uint32_t XRotationTolerance = 161;  // then Y, Z
inline constexpr uint32_t Oversampling = 173;
inline constexpr uint32_t NoRootMotion = 176;
inline constexpr uint32_t ConstantMotionExtraction = 177;
inline constexpr uint32_t VariableDeltaAccumulation = 178;
inline constexpr uint32_t RootMotionType = 185;
inline constexpr uint32_t UseQuantizedCurves = 219;
inline constexpr uint32_t QuantizeOnMiss = 220;
inline constexpr uint32_t VectorDegree = 221;
inline constexpr uint32_t VectorTolerance = 222;
inline constexpr uint32_t VectorJump = 223;
inline constexpr uint32_t VectorCrease = 224;
inline constexpr uint32_t AllowVectorJumps = 225;
inline constexpr uint32_t AllowVectorCreases = 226;
inline constexpr uint32_t AggressiveCompression = 227;
inline constexpr uint32_t UseAccumulatorNeighborhood = 229;
inline constexpr uint32_t DontOversampleVectors = 245;
inline constexpr uint32_t ProtectConstantTracks = 252;
inline constexpr uint32_t SyntheticOversampling = 260;
inline constexpr uint32_t IncludeVectorTracks = 261;
inline constexpr uint32_t Allow16BitOrientations = 263;
inline constexpr uint32_t DefaultLoopCount = 284;
inline constexpr uint32_t ClampedLooping = 294;
inline constexpr uint32_t UseSampledKeys = 301;
}  // namespace animation_setting

// The most samples per frame ("Oversampling").
inline constexpr int32_t kMaxOversampling = 8;
// The most samples of one animation (2.3 hours at 120 Hz).
inline constexpr int32_t kMaxAnimationSamples = 1000000;

// The sample times of one animation node.
struct AnimationTiming {
  int32_t Frames = 0;        // F, the node's sample count
  int32_t Oversampling = 1;  // O, 1..8
  int32_t SampleCount = 1;   // N = F * O + 1
  double FrameSeconds = 0;   // S, seconds per host sample
  float TimeStep = 0;        // S / O
  float Duration = 0;        // F * O * TimeStep
  int32_t StartTick = 0;
  int32_t TicksPerSample = 0;
  bool Synthetic = false;  // "Use synthetic oversampling" with O >= 2
};

// Reads the node's range and the animation settings ("Oversampling", "Use
// synthetic oversampling").
AnimationTiming GetAnimationTiming(ToolInterface* tool, const AnimationNode* node);

// Host tick of sample s: start + ticksPerSample * s * F / (F * O), in 64-bit
// integer arithmetic (the start for F = 0).
int64_t SampleTick(const AnimationTiming& timing, int32_t s);

// The sampled values of one track source.
struct VectorBuffer {
  TrackSourceNode* Source = nullptr;
  const char* Name = nullptr;  // interned
  int32_t Dimension = 0;       // 1..16
  int32_t Count = 0;           // samples
  float Step = 0;              // seconds between them
  bool FramesOnly = false;     // "Don't oversample vector tracks"
  float* Values = nullptr;     // Count x Dimension floats
  int32_t Job = -1;
};

// What the phase keeps for one sampled model.
struct ModelAnimation {
  ModelNode* Model = nullptr;
  track_group_sampler* Sampler = nullptr;  // one track per bone of the model
  std::vector<BoneNode*> Bones;            // animated bones; track i is Bones[i]
  std::vector<VectorBuffer> Vectors;
  int32_t FirstJob = -1;  // bone i's jobs: FirstJob + 3i + (0 position, 1 orientation, 2 scale)
  // Root motion.
  bool HasPlacement = false;
  float PlacementPosition[3] = {0, 0, 0};
  float PlacementOrientation[4] = {0, 0, 0, 1};
  uint32_t RootMotionType = 0;
  bool ExtractedMotion = false;
  ConstantMotion Motion;
};

// Sets up the models to sample (sampler and vector buffers; see the
// conversion header for which). False when memory runs out; whatever was
// made is in `models` and must be freed with FreeModelAnimations either way.
bool PrepareModelAnimations(SceneParser* parser, const AnimationTiming& timing,
                            std::vector<ModelAnimation>& models);
void FreeModelAnimations(std::vector<ModelAnimation>& models);

// Takes every sample of every prepared model from the host, then fills the
// samples skipped by synthetic oversampling. False when the tool cannot set
// sample times (logged).
bool SampleModels(ToolInterface* tool, const AnimationTiming& timing,
                  std::vector<ModelAnimation>& models);

}  // namespace ketrel
