#include "export/ketrel_animation_conversion.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/ketrel_animation_sampling.h"
#include "export/ketrel_fit_jobs.h"
#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_skeleton_conversion.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_track_group_builder.h"
#include "rt/ketrel_track_group_sampler.h"
#include "rt/ketrel_transform.h"

namespace ketrel {
namespace {

namespace id = animation_setting;

const float kZero3[3] = {0, 0, 0};
const float kIdentityQuaternion[4] = {0, 0, 0, 1};
const float kIdentityMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

constexpr int32_t kFitBase = FitStartKnots | FitPinEnds;
constexpr int32_t kMorphAccumulationFlags = 8;
constexpr int32_t kConstantMotionFlag = 0x1;
constexpr int32_t kVariableDeltaFlag = 0x4;

const char* DisplayName(const char* name) { return name && *name ? name : "(unnamed)"; }

// The settings ids of one kind of channel.
struct ChannelIds {
  uint32_t degree, tolerance, allowJumps, jump, allowCreases, crease;
};
constexpr ChannelIds kPositionIds{id::PositionDegree,       id::PositionTolerance,
                                  id::AllowPositionJumps,   id::PositionJump,
                                  id::AllowPositionCreases, id::PositionCrease};
constexpr ChannelIds kOrientationIds{id::OrientationDegree,       id::OrientationTolerance,
                                     id::AllowOrientationJumps,   id::OrientationJump,
                                     id::AllowOrientationCreases, id::OrientationCrease};
constexpr ChannelIds kScaleShearIds{id::ScaleShearDegree,       id::ScaleShearTolerance,
                                    id::AllowScaleShearJumps,   id::ScaleShearJump,
                                    id::AllowScaleShearCreases, id::ScaleShearCrease};
constexpr ChannelIds kVectorIds{id::VectorDegree, id::VectorTolerance,    id::AllowVectorJumps,
                                id::VectorJump,   id::AllowVectorCreases, id::VectorCrease};

// One channel's fitting job, its parameters read from `settings`. Distances
// of the settings are in the figure's space; `lengthScale` is how much the
// channel's own units are magnified on the way there (a bone's position is
// in its parent's units), so they are divided by it.
FitJob MakeJob(const SettingsItem* settings, curve_channel channel, int32_t dimension,
               const float* samples, int32_t count, float step, float lengthScale = 1.0f) {
  const ChannelIds& ids = channel == curve_channel::Position      ? kPositionIds
                          : channel == curve_channel::Orientation ? kOrientationIds
                          : channel == curve_channel::ScaleShear  ? kScaleShearIds
                                                                  : kVectorIds;
  const bool orientation = channel == curve_channel::Orientation;
  // Orientation thresholds are given in degrees and compared as 1 - q.s.
  const bool position = channel == curve_channel::Position;
  auto threshold = [&](uint32_t which) {
    const float value = GetSettingFloat(settings, which);
    if (orientation) return OrientationToleranceFromDegrees(value);
    return position ? value / lengthScale : value;
  };
  FitJob job;
  job.Samples = samples;
  job.Dimension = dimension;
  job.SampleCount = count;
  job.TimeStep = step;
  job.Compress = GetSettingBool(settings, id::CompressData);
  job.Flags = kFitBase | (orientation ? FitOrientation : 0);
  if (GetSettingBool(settings, ids.allowJumps)) job.Flags |= FitAllowJumps;
  if (GetSettingBool(settings, ids.allowCreases)) job.Flags |= FitAllowCreases;
  if (GetSettingBool(settings, id::AggressiveCompression)) job.Flags |= FitEliminateKnots;

  CurveFitParameters& p = job.Parameters;
  p.Degree = GetSettingInt(settings, ids.degree);
  p.ReduceToConstant = GetSettingBool(settings, id::ReduceCurves);
  p.QuantizeOnMiss = GetSettingBool(settings, id::QuantizeOnMiss);
  p.Tolerance = threshold(ids.tolerance);
  p.JumpThreshold = threshold(ids.jump);
  p.CreaseThreshold = threshold(ids.crease);
  p.CandidateFormats = GetCurveCandidateFormats(
      channel, dimension, GetSettingBool(settings, id::UseQuantizedCurves),
      GetSettingBool(settings, id::Allow16BitOrientations), &p.CandidateFormatCount,
      GetSettingBool(settings, id::UseSampledKeys));
  p.ConstantFormat = dimension == 3   ? D3Constant32fType
                     : dimension == 4 ? D4Constant32fType
                                      : DaConstant32fType;
  p.IdentityFormat = DaIdentityType;
  p.IdentityValue = channel == curve_channel::Position      ? kZero3
                    : channel == curve_channel::Orientation ? kIdentityQuaternion
                    : channel == curve_channel::ScaleShear  ? kIdentityMatrix
                                                            : nullptr;
  if (!p.IdentityValue) p.IdentityFormat = nullptr;
  return job;
}

// The bone's settings for its own source, the model's for a mesh's.
const SettingsItem* VectorSettings(const ModelAnimation& entry, const TrackSourceNode* source) {
  return source->Bone ? source->Bone->AnimationSettings : entry.Model->AnimationSettings;
}

// Move to Origin, continuity and constant motion extraction of the root's
// track, in that order.
void ExtractRootMotion(const AnimationTiming& timing, ModelAnimation& entry, int32_t track) {
  const SettingsItem* settings = entry.Model->AnimationSettings;
  const int32_t n = timing.SampleCount;
  float* positions = GetPositionSamples(entry.Sampler, track);
  float* orientations = GetOrientationSamples(entry.Sampler, track);
  if (GetSettingBool(settings, id::MoveToOrigin)) {
    MoveSamplesToOrigin(n, positions, orientations, entry.PlacementPosition,
                        entry.PlacementOrientation);
    entry.HasPlacement = true;
  }
  MakeOrientationsContinuous(n, orientations);
  if (entry.RootMotionType != id::ConstantMotionExtraction) return;
  float positionTolerance[3], rotationTolerance[3];
  for (uint32_t axis = 0; axis < 3; ++axis) {
    positionTolerance[axis] = GetSettingFloat(settings, id::XPositionTolerance + axis);
    rotationTolerance[axis] =
        OrientationToleranceFromDegrees(GetSettingFloat(settings, id::XRotationTolerance + axis));
  }
  ExtractConstantMotion(timing.Duration, n, positions, orientations, positionTolerance,
                        rotationTolerance, entry.Motion);
  entry.ExtractedMotion = true;
}

// How many figure units one unit of the bone's local position is: the
// largest stretch of its parent bone's world transform at the start (1 for
// a root, whose local transform is its world one). A rig under an armature
// scaled by 100 stores its bones' offsets in hundredths of the figure's
// units, so their tolerances must shrink alike or whole limbs round away.
float ParentLengthScale(ToolInterface* tool, const BoneNode* bone) {
  const BoneNode* parent = tool->GetParentBone(bone);
  if (parent == nullptr) return 1.0f;
  TransformParts local, world;
  tool->GetBoneTransforms(parent, local, world);
  const float scale = LargestStretch(world.ScaleShear);
  return scale > 0.0f && std::isfinite(scale) ? scale : 1.0f;
}

// Whether the bone is a root of its model's skeleton.
bool IsSkeletonRoot(const BoneNode* node) {
  return node->Object != nullptr && static_cast<const bone*>(node->Object)->ParentIndex < 0;
}

// Root motion and the fitting jobs of every sampled model. With "Move to
// Origin" every other root of the skeleton is rebased under the root's
// placement too, as the skeleton's roots are: a model of two hierarchies
// then plays both where the host has them.
void SetUpJobs(ToolInterface* tool, const AnimationTiming& timing,
               std::vector<ModelAnimation>& models, std::vector<FitJob>& jobs) {
  const int32_t n = timing.SampleCount;
  tool->SetSampleTimeToStart();
  for (ModelAnimation& entry : models) {
    entry.RootMotionType = GetSettingChoice(entry.Model->AnimationSettings, id::RootMotionType);
    const BoneNode* root = FindModelRootBone(tool, entry.Model);
    for (size_t i = 0; i < entry.Bones.size(); ++i) {
      if (entry.Bones[i] == root) ExtractRootMotion(timing, entry, int32_t(i));
    }
    entry.FirstJob = int32_t(jobs.size());
    for (size_t i = 0; i < entry.Bones.size(); ++i) {
      const int32_t track = int32_t(i);
      if (entry.Bones[i] != root) {
        if (entry.HasPlacement && IsSkeletonRoot(entry.Bones[i])) {
          RebaseSamples(n, GetPositionSamples(entry.Sampler, track),
                        GetOrientationSamples(entry.Sampler, track), entry.PlacementPosition,
                        entry.PlacementOrientation);
        }
        MakeOrientationsContinuous(n, GetOrientationSamples(entry.Sampler, track));
      }
      const SettingsItem* settings = entry.Bones[i]->AnimationSettings;
      jobs.push_back(MakeJob(settings, curve_channel::Position, 3,
                             GetPositionSamples(entry.Sampler, track), n, timing.TimeStep,
                             ParentLengthScale(tool, entry.Bones[i])));
      jobs.push_back(MakeJob(settings, curve_channel::Orientation, 4,
                             GetOrientationSamples(entry.Sampler, track), n, timing.TimeStep));
      jobs.push_back(MakeJob(settings, curve_channel::ScaleShear, 9,
                             GetScaleShearSamples(entry.Sampler, track), n, timing.TimeStep));
    }
    for (VectorBuffer& buffer : entry.Vectors) {
      buffer.Job = int32_t(jobs.size());
      jobs.push_back(MakeJob(VectorSettings(entry, buffer.Source), curve_channel::Vector,
                             buffer.Dimension, buffer.Values, buffer.Count, buffer.Step));
    }
  }
}

// Text tracks of the bone's note tracks; true when any was begun.
bool AddNoteTracks(SceneParser* parser, const AnimationNode* node, const BoneNode* bone,
                   const char* boneName, track_group_builder* builder) {
  ToolInterface* tool = parser->tool;
  const double ticksPerSecond = double(tool->GetTicksPerFrame()) * tool->GetFrameRate();
  const int64_t range = int64_t(node->EndTime) - node->StartTime;
  // Note times count from the scene's animation start; each take has its own.
  const int64_t shift = int64_t(tool->GetAnimationStart()) - node->StartTime;
  bool made = false;
  const int32_t tracks = tool->GetNoteTrackCount(bone);
  for (int32_t n = 0; n < tracks; ++n) {
    const int32_t keys = tool->GetNoteKeyCount(bone, n);
    if (keys < 1) continue;
    BeginTextTrack(builder,
                   n == 0 ? boneName : InternString(parser, tool->GetNoteTrackName(bone, n)));
    made = true;
    for (int32_t k = 0; k < keys; ++k) {
      const int64_t tick = tool->GetNoteKeyTime(bone, n, k) + shift;
      if (tick < 0 || tick > range || ticksPerSecond <= 0) continue;
      AddTextEntry(builder, float(tick / ticksPerSecond),
                   InternString(parser, tool->GetNoteKeyText(bone, n, k)));
    }
    EndTextTrack(builder);
  }
  return made;
}

// Lays the group out in the arena (one piece, or piece by piece when that
// fails). Null (logged) when the builder failed.
track_group* EndGroup(SceneParser* parser, track_group_builder* builder, const char* name) {
  if (TrackGroupBuilderFailed(builder)) {
    AbortTrackGroup(builder);
    KT_LOG_ERROR(Export, "Unable to build track group %s", DisplayName(name));
    return nullptr;
  }
  const int32_t size = GetResultingTrackGroupSize(builder);
  void* memory = size > 0 ? KT_PARSER_ALLOCATE(parser, size_t(size)) : nullptr;
  track_group* group =
      memory ? EndTrackGroupInPlace(builder, memory) : EndTrackGroup(builder, parser->arena);
  if (!group) KT_LOG_ERROR(Export, "Unable to build track group %s", DisplayName(name));
  return group;
}

int32_t AnimationCapacity(const SceneParser* parser) {
  return parser->graph->ModelCount + parser->graph->MorphSourceCount;
}

bool AppendToAnimation(SceneParser* parser, animation* target, track_group* group) {
  const int32_t count = target->TrackGroupCount;
  if (count >= AnimationCapacity(parser) || !target->TrackGroups) {
    KT_LOG_ERROR(Export, "No room left for another track group in animation %s",
                 DisplayName(target->Name));
    return false;
  }
  if (!AppendFileObject(parser, group)) return false;
  target->TrackGroups[count] = group;
  target->TrackGroupCount = count + 1;
  return true;
}

bool HasTracks(const track_group* group) {
  const int32_t vectors = group->VectorTrackCount, transforms = group->TransformTrackCount,
                texts = group->TextTrackCount;
  return vectors + transforms + texts > 0;
}

// The root-motion members the builder leaves to the exporter.
bool FinishRootMotion(SceneParser* parser, const ModelAnimation& entry, track_group* group) {
  group->InitialPlacement = entry.HasPlacement
                                ? MakePlacement(entry.PlacementPosition, entry.PlacementOrientation)
                                : MakeTransform(nullptr, nullptr, nullptr);
  float translation[3] = {0, 0, 0};
  int32_t flags = group->AccumulationFlags;
  if (entry.RootMotionType == id::ConstantMotionExtraction) flags |= kConstantMotionFlag;
  // The upper 16 bits would hold the VDA axis mask, which is 0 here.
  if (entry.RootMotionType == id::VariableDeltaAccumulation) flags |= kVariableDeltaFlag;
  if (entry.ExtractedMotion)
    std::memcpy(translation, entry.Motion.LoopTranslation, sizeof translation);
  group->AccumulationFlags = flags;
  std::memcpy(group->LoopTranslation, translation, sizeof translation);
  group->PeriodicLoop = nullptr;
  if (!entry.ExtractedMotion || !entry.Motion.HasPeriodicLoop) return true;
  auto* loop = static_cast<periodic_loop*>(KT_PARSER_ALLOCATE(parser, sizeof(periodic_loop)));
  if (!loop) return false;
  const LoopMotion& m = entry.Motion.Loop;
  loop->Radius = m.Radius;
  loop->dAngle = m.dAngle;
  loop->dZ = m.dZ;
  std::memcpy(loop->BasisX, m.BasisX, sizeof m.BasisX);
  std::memcpy(loop->BasisY, m.BasisY, sizeof m.BasisY);
  std::memcpy(loop->Axis, m.Axis, sizeof m.Axis);
  group->PeriodicLoop = loop;
  return true;
}

// The curves of one track group that were fitted further from their
// samples than their tolerance, said once per group and animation.
struct MissedCurves {
  int32_t Count = 0;
  std::string Names;

  void Check(const FitJob& job, const char* track, const char* channel) {
    if (!job.Curve || job.Achieved) return;
    if (++Count <= 4) {
      Names += Names.empty() ? "" : ", ";
      Names += std::string(DisplayName(track)) + (channel ? std::string(" ") + channel : "");
    } else if (Count == 5) {
      Names += ", ...";
    }
  }

  void Warn(const animation* target, const char* group) const {
    if (Count == 0) return;
    KT_LOG_WARNING_CODE(Export, warning::AnimationToleranceMissed, DisplayName(group),
                        "Animation %s, track group %s: %d curve%s %s tolerance (%s)",
                        DisplayName(target ? target->Name : nullptr), DisplayName(group), Count,
                        Count == 1 ? "" : "s", Count == 1 ? "misses its" : "miss their",
                        Names.c_str());
  }
};

bool BuildModelGroup(SceneParser* parser, const AnimationNode* node, const ModelAnimation& entry,
                     const std::vector<FitJob>& jobs, animation* target) {
  ToolInterface* tool = parser->tool;
  const char* name = InternString(parser, tool->GetModelName(entry.Model));
  track_group_builder* builder = BeginTrackGroup(name, 0, entry.Model->BoneCount, 0, false);
  if (!builder) return false;
  MissedCurves missed;
  for (size_t i = 0; i < entry.Bones.size(); ++i) {
    const BoneNode* bone = entry.Bones[i];
    const char* boneName = InternString(parser, tool->GetBoneName(bone));
    const bool text = AddNoteTracks(parser, node, bone, boneName, builder);
    const FitJob* own = &jobs[size_t(entry.FirstJob) + 3 * i];
    missed.Check(own[0], boneName, "position");
    missed.Check(own[1], boneName, "orientation");
    missed.Check(own[2], boneName, "scale/shear");
    if (!text && !own[0].Curve && !own[1].Curve && !own[2].Curve) continue;
    const int32_t flags =
        GetSettingBool(bone->AnimationSettings, id::UseAccumulatorNeighborhood) ? 1 : 0;
    BeginTransformTrack(builder, boneName, flags);
    if (own[0].Curve) SetTransformTrackPositionCurve(builder, own[0].Curve);
    if (own[1].Curve) SetTransformTrackOrientationCurve(builder, own[1].Curve);
    if (own[2].Curve) SetTransformTrackScaleShearCurve(builder, own[2].Curve);
    EndTransformTrack(builder);
  }
  const bool protect = GetSettingBool(entry.Model->AnimationSettings, id::ProtectConstantTracks);
  for (const VectorBuffer& buffer : entry.Vectors) {
    const curve2* curve = jobs[size_t(buffer.Job)].Curve;
    if (!curve) continue;
    missed.Check(jobs[size_t(buffer.Job)], buffer.Name, nullptr);
    const bool keep = protect || buffer.Source->SecondFlags != 0;
    if (GetCurveKnotCount(curve) < 2 && !keep) continue;
    PushVectorTrack(builder, buffer.Name, uint32_t(buffer.Source->HostIndex), curve);
  }
  missed.Warn(target, name);
  track_group* group = EndGroup(parser, builder, name);
  if (!group) return true;  // logged; the animation goes on without it
  if (!FinishRootMotion(parser, entry, group)) return false;
  if (!IsReferenceIncluded(entry.Model->AnimationSettings) || !HasTracks(group)) return true;
  return AppendToAnimation(parser, target, group);
}

// The mesh node a morph source stands for.
const MeshNode* MorphMesh(const SceneParser* parser, const MorphSourceNode* source) {
  for (MeshNode* mesh : GraphMeshes(parser->graph)) {
    if (mesh->HostNode == source->HostNode) return mesh;
  }
  return nullptr;
}

// One morph source's weights in one animation, and its fitting jobs.
struct MorphWeights {
  const MorphSourceNode* Source = nullptr;
  const MeshNode* Mesh = nullptr;
  const char* Name = nullptr;  // interned
  int32_t Channels = 0;
  float* Weights = nullptr;  // channel after channel, SampleCount each
  int32_t FirstJob = -1;
};

// Samples the source's active channel weights (percent times 0.01) and
// appends one job per channel to `jobs`. False when out of memory; a source
// whose times cannot be set is logged and left out.
bool SampleMorphSource(SceneParser* parser, const AnimationTiming& timing,
                       const MorphSourceNode* source, std::vector<MorphWeights>& out,
                       std::vector<FitJob>& jobs) {
  ToolInterface* tool = parser->tool;
  MorphWeights entry;
  entry.Source = source;
  entry.Mesh = MorphMesh(parser, source);
  entry.Channels = entry.Mesh ? tool->GetMorphChannelCount(entry.Mesh) : 0;
  if (entry.Channels <= 0) return true;
  const int32_t n = timing.SampleCount;
  entry.Weights = KT_ALLOCATE_ARRAY(float, size_t(entry.Channels) * size_t(n));
  if (!entry.Weights) return false;
  bool timed = true;
  for (int32_t s = 0; s < n && timed; ++s) {
    const int64_t tick = SampleTick(timing, s);
    timed = tick >= INT32_MIN && tick <= INT32_MAX && tool->SetSampleTime(int32_t(tick));
    for (int32_t c = 0; c < entry.Channels && timed; ++c) {
      entry.Weights[size_t(c) * size_t(n) + size_t(s)] =
          tool->GetMorphChannelWeight(entry.Mesh, c) * 0.01f;
    }
  }
  entry.Name = InternString(parser, tool->GetHostObjectName(source->HostNode));
  if (!timed) {
    KT_LOG_ERROR(Export, "Unable to set the sample times of morph source %s",
                 DisplayName(entry.Name));
    FreeBlock(entry.Weights);
    return true;
  }
  entry.FirstJob = int32_t(jobs.size());
  for (int32_t c = 0; c < entry.Channels; ++c) {
    jobs.push_back(MakeJob(source->Settings, curve_channel::Vector, 1,
                           entry.Weights + size_t(c) * size_t(n), n, timing.TimeStep));
  }
  out.push_back(entry);
  return true;
}

// The track group of a morph source whose jobs have run.
bool BuildMorphGroup(SceneParser* parser, const MorphWeights& entry,
                     const std::vector<FitJob>& jobs, animation* target) {
  ToolInterface* tool = parser->tool;
  track_group_builder* builder = BeginTrackGroup(entry.Name, entry.Channels, 0, 0, false);
  if (!builder) return false;
  MissedCurves missed;
  for (int32_t c = 0; c < entry.Channels; ++c) {
    const curve2* curve = jobs[size_t(entry.FirstJob + c)].Curve;
    if (!curve) continue;
    const char* channel = InternString(parser, tool->GetMorphChannelName(entry.Mesh, c));
    missed.Check(jobs[size_t(entry.FirstJob + c)], channel, nullptr);
    PushVectorTrack(builder, channel, 0, curve);
  }
  missed.Warn(target, entry.Name);
  track_group* group = EndGroup(parser, builder, entry.Name);
  if (!group) return true;  // logged
  std::memset(group->LoopTranslation, 0, sizeof group->LoopTranslation);
  group->InitialPlacement = MakeTransform(nullptr, nullptr, nullptr);
  group->AccumulationFlags = kMorphAccumulationFlags;
  return AppendToAnimation(parser, target, group);
}

void FreeMorphWeights(std::vector<MorphWeights>& morphs) {
  for (MorphWeights& entry : morphs) FreeBlock(entry.Weights);
  morphs.clear();
}

// Every included morph source of the animation, sampled into `morphs`.
bool SampleMorphs(SceneParser* parser, AnimationNode* node, std::vector<MorphWeights>& morphs,
                  std::vector<FitJob>& jobs) {
  // An animation stored by reference only has no morph weights either.
  if (!IsDataIncluded(node->Settings)) return true;
  const AnimationTiming timing = GetAnimationTiming(parser->tool, node);
  bool ok = true;
  for (MorphSourceNode* source = parser->graph->MorphSources; source && ok; source = source->Next) {
    if (!IsDataIncluded(source->Settings)) continue;
    ok = SampleMorphSource(parser, timing, source, morphs, jobs);
  }
  parser->tool->SetSampleTimeToStart();
  return ok;
}

}  // namespace

namespace {

// One animation through the phase: its record, its samples and its
// fitting jobs (in a list shared by every animation), then its track groups.
struct Clip {
  AnimationNode* Node = nullptr;
  animation* Record = nullptr;
  AnimationTiming Timing;
  std::vector<ModelAnimation> Models;
  std::vector<MorphWeights> Morphs;
};

// Builds and appends the record; with its data included samples the models
// and appends their jobs to `jobs`. False when the record cannot be
// appended or memory runs out (a track left out would be data silently
// missing); `clip.Models` must be freed either way.
bool BeginClip(SceneParser* parser, Clip& clip, std::vector<FitJob>& jobs) {
  ToolInterface* tool = parser->tool;
  AnimationNode* node = clip.Node;
  clip.Timing = GetAnimationTiming(tool, node);
  const AnimationTiming& timing = clip.Timing;
  auto* record = static_cast<animation*>(KT_PARSER_ALLOCATE(parser, sizeof(animation)));
  const int32_t capacity = AnimationCapacity(parser);
  auto** groups = capacity > 0 ? static_cast<track_group**>(KT_PARSER_ALLOCATE(
                                     parser, sizeof(track_group*) * size_t(capacity)))
                               : nullptr;
  if (!record || (capacity > 0 && !groups)) return false;
  MakeEmptyDataTypeObject(AnimationType, record);
  record->Name = InternString(parser, tool->GetAnimationName(node));
  record->Duration = timing.Duration;
  record->TimeStep = timing.TimeStep;
  record->Oversampling = float(timing.Oversampling);
  record->TrackGroups = groups;
  record->TrackGroupCount = 0;
  record->DefaultLoopCount = GetSettingInt(node->Settings, id::DefaultLoopCount);
  record->Flags = GetSettingBool(node->Settings, id::ClampedLooping) ? 3 : 1;
  if (!AppendFileObject(parser, record)) return false;
  clip.Record = record;
  if (!IsDataIncluded(node->Settings)) return true;

  // Every sample of every bone is held until it is fitted: a clip past the
  // limit (keys spread over days of timeline) would take all memory and
  // then some.
  if (timing.SampleCount > kMaxAnimationSamples) {
    KT_LOG_ERROR(Export,
                 "Animation %s is %.0f s long: %d samples, more than the %d one export takes",
                 DisplayName(record->Name), double(timing.Duration), timing.SampleCount,
                 kMaxAnimationSamples);
    return false;
  }
  bool ok = PrepareModelAnimations(parser, timing, clip.Models);
  size_t animatedBones = 0;
  for (const ModelAnimation& entry : clip.Models) animatedBones += entry.Bones.size();
  // Nothing is sampled without at least one animated bone.
  if (ok && animatedBones > 0) {
    ok = SampleModels(tool, timing, clip.Models);
    if (ok) SetUpJobs(tool, timing, clip.Models, jobs);
  }
  tool->SetSampleTimeToStart();
  return ok;
}

// The track groups of a clip whose jobs have run: the models', then the
// morph sources'.
bool FinishClip(SceneParser* parser, Clip& clip, const std::vector<FitJob>& jobs) {
  for (ModelAnimation& entry : clip.Models) {
    if (entry.FirstJob < 0) continue;  // nothing sampled
    if (!BuildModelGroup(parser, clip.Node, entry, jobs, clip.Record)) return false;
  }
  for (const MorphWeights& entry : clip.Morphs) {
    if (!BuildMorphGroup(parser, entry, jobs, clip.Record)) return false;
  }
  return true;
}

void FreeClip(Clip& clip) {
  FreeModelAnimations(clip.Models);
  FreeMorphWeights(clip.Morphs);
}

// Each animation with its own track group and bone settings.
void LinkSettings(SceneParser* parser, const AnimationNode* node) {
  if (node->Settings != nullptr && node->Settings->FirstChild != nullptr)
    LinkAnimationSettings(parser->graph, node);
}

// The clips' samples (bones, vector tracks, morph weights) are all taken
// first, then fitted in one set of jobs on one set of workers, then laid
// out in the clips' order: the file depends on the samples alone, whatever
// the worker count. The progress window's cancel is honoured between clips.
bool ConvertClips(SceneParser* parser, std::vector<Clip>& clips) {
  std::vector<FitJob> jobs;
  bool ok = true, cancelled = false;
  auto failed = [&](const Clip& clip) {
    KT_LOG_ERROR(Export, "Unable to convert animation %s",
                 DisplayName(parser->tool->GetAnimationName(clip.Node)));
  };
  // The progress counts each bone's samples and their fits: an estimate
  // up front (three fitted channels a bone), set right once the jobs exist.
  const long long bones = parser->graph->BoneCount > 0 ? parser->graph->BoneCount : 1;
  std::vector<long long> sampling(clips.size());
  long long sampled = 0;
  for (size_t c = 0; c < clips.size(); ++c) {
    sampling[c] = bones * GetAnimationTiming(parser->tool, clips[c].Node).SampleCount;
    sampled += sampling[c];
  }
  const long long fitEstimate = sampled * 3 * kFitWorkPerSample;
  AddProgressWork(parser->progress, sampled + fitEstimate);
  for (size_t c = 0; c < clips.size() && ok; ++c) {
    cancelled = !ProgressShouldContinue(parser->progress);
    if (cancelled) break;
    ProgressItem(parser->progress, DisplayName(parser->tool->GetAnimationName(clips[c].Node)));
    LinkSettings(parser, clips[c].Node);
    ok = BeginClip(parser, clips[c], jobs) &&
         SampleMorphs(parser, clips[c].Node, clips[c].Morphs, jobs);
    CountProgressWork(parser->progress, sampling[c]);
    cancelled = CancelRequested() != 0;
    if (!ok && !cancelled) failed(clips[c]);
  }
  if (ok && !cancelled) {
    long long fitting = 0;
    for (const FitJob& job : jobs) fitting += job.SampleCount * kFitWorkPerSample;
    AddProgressWork(parser->progress, fitting - fitEstimate);
    ok = RunFitJobs(jobs.data(), int32_t(jobs.size()), FitWorkerCount(parser->fitWorkers),
                    parser->progress);
    cancelled = CancelRequested() != 0;
    if (!ok && !cancelled) KT_LOG_ERROR(Export, "Unable to fit the animations' curves");
  }
  for (size_t c = 0; c < clips.size() && ok && !cancelled; ++c) {
    cancelled = !ProgressShouldContinue(parser->progress);
    if (cancelled) break;
    LinkSettings(parser, clips[c].Node);
    ok = FinishClip(parser, clips[c], jobs);
    if (!ok) failed(clips[c]);
  }
  FreeFitJobCurves(jobs.data(), int32_t(jobs.size()));
  for (Clip& clip : clips) FreeClip(clip);
  parser->tool->SetSampleTimeToStart();
  return ok && !cancelled;
}

}  // namespace

animation* ConvertAnimation(SceneParser* parser, AnimationNode* node, ProgressWindow* progress) {
  (void)progress;  // the phase counts one step per animation; cancel is checked between them
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && parser->graph && node)) return nullptr;
  Clip clip;
  clip.Node = node;
  std::vector<FitJob> jobs;
  bool ok = BeginClip(parser, clip, jobs);
  if (ok) ok = RunFitJobs(jobs.data(), int32_t(jobs.size()), FitWorkerCount(parser->fitWorkers));
  for (ModelAnimation& entry : clip.Models) {
    if (!ok) break;
    if (entry.FirstJob >= 0) ok = BuildModelGroup(parser, node, entry, jobs, clip.Record);
  }
  FreeFitJobCurves(jobs.data(), int32_t(jobs.size()));
  FreeClip(clip);
  parser->tool->SetSampleTimeToStart();
  return ok ? clip.Record : nullptr;
}

bool CompressMorphs(SceneParser* parser, AnimationNode* node, animation* target,
                    ProgressWindow* progress) {
  (void)progress;
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && parser->graph && node && target))
    return false;
  std::vector<MorphWeights> morphs;
  std::vector<FitJob> jobs;
  bool ok = SampleMorphs(parser, node, morphs, jobs);
  if (ok) ok = RunFitJobs(jobs.data(), int32_t(jobs.size()), FitWorkerCount(parser->fitWorkers));
  if (!ok) KT_LOG_ERROR(Export, "Unable to fit the morph weights");
  for (size_t m = 0; m < morphs.size() && ok; ++m)
    ok = BuildMorphGroup(parser, morphs[m], jobs, target);
  FreeFitJobCurves(jobs.data(), int32_t(jobs.size()));
  FreeMorphWeights(morphs);
  return ok;
}

bool ConvertAnimations(SceneParser* parser) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && parser->graph)) return false;
  std::vector<Clip> clips;
  for (AnimationNode* node = parser->graph->Animations; node; node = node->Next) {
    if (!IsReferenceIncluded(node->Settings)) continue;
    clips.emplace_back();
    clips.back().Node = node;
  }
  return ConvertClips(parser, clips);
}

}  // namespace ketrel
