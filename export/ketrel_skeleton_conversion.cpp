#include "export/ketrel_skeleton_conversion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "export/ketrel_extended_data.h"
#include "export/ketrel_progress.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_skeleton_builder.h"
#include "rt/ketrel_transform.h"

namespace ketrel {
namespace {

const char* DisplayName(const char* name) { return name && *name ? name : "(unnamed)"; }

int32_t CountModelBones(const ModelNode* model) {
  int32_t count = 0;
  for (BoneNode* bone : ModelBones(model)) {
    (void)bone;
    ++count;
  }
  return count;
}

// The parent in the same model, or null: a parent from another model has
// numbers of that model's skeleton, which mean nothing in this one.
BoneNode* ParentInModel(ToolInterface* tool, const BoneNode* bone) {
  BoneNode* parent = tool->GetParentBone(bone);
  return parent && parent->Model == bone->Model ? parent : nullptr;
}

// The bone's world matrix can be inverted into an InverseWorldTransform and
// all of its numbers are finite.
bool UsableTransforms(const TransformParts& local, const TransformParts& world) {
  transform l = MakeTransform(local.Position, local.Orientation, &local.ScaleShear[0][0]);
  transform w = MakeTransform(world.Position, world.Orientation, &world.ScaleShear[0][0]);
  float matrix[4][4], inverse[4][4];
  BuildCompositeMatrix(w, matrix);
  return TransformIsFinite(l) && TransformIsFinite(w) && InvertAffineMatrix(matrix, inverse);
}

// A bone whose transforms cannot be used at the rest pose (scaled to 0
// there) takes them from the nearest frame of any animation where they can,
// so that it and its children stay in the skeleton; with none, it keeps the
// identity (and its world transform is the identity too). Either way the
// user hears of it by the bone's name.
void TransformsNearRest(SceneParser* parser, BoneNode* bone, const char* modelName,
                        TransformParts& local, TransformParts& world) {
  ToolInterface* tool = parser->tool;
  const int64_t rest = tool->GetCurrentTime();
  std::vector<int64_t> ticks;
  auto frames = [&](int64_t start, int64_t end, int64_t step) {
    for (int64_t t = start; step > 0 && t <= end && ticks.size() < 100000; t += step)
      ticks.push_back(t);
  };
  frames(tool->GetAnimationStart(), tool->GetAnimationEnd(), tool->GetTicksPerFrame());
  for (const AnimationNode* a = parser->graph->Animations; a; a = a->Next)
    frames(a->StartTime, a->EndTime, a->TicksPerSample);
  std::stable_sort(ticks.begin(), ticks.end(), [rest](int64_t a, int64_t b) {
    return std::llabs(a - rest) < std::llabs(b - rest);
  });
  const char* name = DisplayName(tool->GetBoneName(bone));
  bool found = false;
  for (int64_t tick : ticks) {
    if (tick == rest || tick < INT32_MIN || tick > INT32_MAX) continue;
    if (!tool->SetSampleTime(int32_t(tick))) break;
    tool->GetBoneTransforms(bone, local, world);
    if (!UsableTransforms(local, world)) continue;
    const double seconds = double(tick - rest) /
                           (double(tool->GetTicksPerFrame()) * std::max(1, tool->GetFrameRate()));
    KT_LOG_WARNING_CODE(
        Skeleton, warning::BoneTransformSingular, name,
        "Bone %s of skeleton %s has a singular or invalid transform at the rest pose; "
        "it takes the one %+.3f s from it",
        name, DisplayName(modelName), seconds);
    found = true;
    break;
  }
  tool->SetSampleTimeToStart();
  if (found) return;
  local = TransformParts{};
  world = TransformParts{};
  KT_LOG_WARNING_CODE(
      Skeleton, warning::BoneTransformSingular, name,
      "Bone %s of skeleton %s has a singular or invalid transform at every frame; it "
      "keeps the identity",
      name, DisplayName(modelName));
}

void NumberExcludedBones(ModelNode* model) {
  int32_t index = 0;
  for (BoneNode* bone : ModelBones(model)) {
    bone->Index = index++;
    bone->Object = nullptr;
  }
}

// Builds the model's skeleton; false when it could not be built (the caller
// logs that it is stored by reference only). `appendFailed` is set when the
// skeleton was built but the file had no room for it.
bool BuildSkeleton(SceneParser* parser, ModelNode* model, const char* modelName,
                   bool& appendFailed) {
  ToolInterface* tool = parser->tool;
  const int32_t count = CountModelBones(model);
  for (BoneNode* bone : ModelBones(model)) {
    bone->Index = -1;
    bone->Object = nullptr;
  }
  const size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
  auto* locals = KT_ALLOCATE_ARRAY(TransformParts, slots);
  auto* worlds = KT_ALLOCATE_ARRAY(TransformParts, slots);
  auto* remap = KT_ALLOCATE_ARRAY(int32_t, slots);
  skeleton_builder* builder = BeginSkeleton(count);
  bool ok = locals && worlds && remap && builder;

  // First pass: which bones go in. A bone's Index is its order of adding, so
  // its children can tell whether their parent is in the skeleton before
  // anything is added.
  int32_t added = 0;
  int32_t position = 0;
  for (BoneNode* bone : ModelBones(model)) {
    if (!ok) break;
    int32_t slot = position++;
    if (!IsDataIncluded(bone->Settings)) continue;
    tool->GetBoneTransforms(bone, locals[slot], worlds[slot]);
    if (!UsableTransforms(locals[slot], worlds[slot]))
      TransformsNearRest(parser, bone, modelName, locals[slot], worlds[slot]);
    bone->Index = added++;
  }

  // Bones the settings leave out: their included children become roots.
  for (BoneNode* bone : ModelBones(model)) {
    if (!ok) break;
    if (bone->Index >= 0) continue;
    bool orphans = false;
    for (BoneNode* other : ModelBones(model)) {
      if (other->Index >= 0 && ParentInModel(tool, other) == bone) {
        orphans = true;
        break;
      }
    }
    const char* boneName = DisplayName(tool->GetBoneName(bone));
    KT_LOG_WARNING_CODE(Skeleton, warning::BoneDropped, boneName,
                        "Bone %s is left out of skeleton %s by its \"Include data in export\" "
                        "setting%s",
                        boneName, DisplayName(modelName),
                        orphans ? "; the bones under it become roots" : "");
  }

  // Second pass: add them. A bone whose parent stays out becomes a root, so
  // it gets its world transform: a transform relative to a missing bone
  // would put it in the wrong place.
  position = 0;
  for (BoneNode* bone : ModelBones(model)) {
    if (!ok) break;
    int32_t slot = position++;
    if (bone->Index < 0) continue;
    BoneNode* parent = ParentInModel(tool, bone);
    const TransformParts& local = parent && parent->Index >= 0 ? locals[slot] : worlds[slot];
    const TransformParts& world = worlds[slot];
    ok = AddBone(builder, tool->GetBoneName(bone), local.Position, local.Orientation,
                 &local.ScaleShear[0][0], world.Position, world.Orientation,
                 &world.ScaleShear[0][0]);
  }
  for (BoneNode* bone : ModelBones(model)) {
    if (!ok) break;
    if (bone->Index < 0) continue;
    BoneNode* parent = ParentInModel(tool, bone);
    ok = SetBoneParent(builder, bone->Index, parent ? parent->Index : -1);
  }

  skeleton* result = nullptr;
  if (ok) {
    int32_t size = GetResultingSkeletonSize(builder);
    void* memory = size > 0 ? KT_PARSER_ALLOCATE(parser, static_cast<size_t>(size)) : nullptr;
    result = memory ? EndSkeletonInPlace(builder, memory, remap) : nullptr;
    if (!memory) AbortSkeleton(builder);
  } else {
    AbortSkeleton(builder);
  }
  FreeBlock(locals);
  FreeBlock(worlds);

  if (result) {
    result->Name = InternString(parser, modelName);
    model->Skeleton = result;
    appendFailed = !AppendFileObject(parser, result);
    bone* bones = result->Bones;
    for (BoneNode* node : ModelBones(model)) {
      if (node->Index < 0) continue;
      node->Index = remap[node->Index];
      node->Object = &bones[node->Index];
      if (!appendFailed && !AttachBoneExtendedData(parser, node, &bones[node->Index].ExtendedData))
        appendFailed = true;
    }
  }
  FreeBlock(remap);
  return result != nullptr;
}

// Moves the model to the origin: the root bone's start position and
// orientation become the placement, and every root of the skeleton is
// rebased under it, so that the placement applied to each root gives back
// its transform in model space.
void MoveToOrigin(ToolInterface* tool, ModelNode* node, model* record) {
  BoneNode* root = FindModelRootBone(tool, node);
  if (!root) return;
  transform placement;
  if (root->Object) {
    transform rootTransform = static_cast<bone*>(root->Object)->Transform;
    placement = MakePlacement(rootTransform.Position, rootTransform.Orientation);
  } else {
    // The root is not in the skeleton: place the model where the host has it.
    TransformParts local, world;
    tool->GetBoneTransforms(root, local, world);
    placement = MakePlacement(local.Position, local.Orientation);
  }
  record->InitialPlacement = placement;
  auto* skeletonRecord = static_cast<skeleton*>(node->Skeleton);
  if (!skeletonRecord) return;
  bone* bones = skeletonRecord->Bones;
  for (int32_t i = 0; i < skeletonRecord->BoneCount; ++i) {
    if (bones[i].ParentIndex >= 0) continue;
    transform rootTransform = bones[i].Transform;
    bones[i].Transform = RemovePlacement(placement, rootTransform);
  }
}

bool BuildModel(SceneParser* parser, ModelNode* node, const char* modelName) {
  auto* record = static_cast<model*>(KT_PARSER_ALLOCATE(parser, sizeof(model)));
  if (!record) return false;
  MakeEmptyDataTypeObject(ModelType, record);
  if (!AppendFileObject(parser, record)) return false;
  record->Name = InternString(parser, modelName);
  record->Skeleton = static_cast<skeleton*>(node->Skeleton);
  if (GetSettingBool(node->Settings, setting::MoveToOrigin))
    MoveToOrigin(parser->tool, node, record);

  if (IsReferenceIncluded(node->Settings) && IsDataIncluded(node->Settings)) {
    model_mesh_binding* bindings = nullptr;
    int32_t bound = 0;
    if (node->MeshCount > 0) {
      bindings = static_cast<model_mesh_binding*>(KT_PARSER_ALLOCATE(
          parser, sizeof(model_mesh_binding) * static_cast<size_t>(node->MeshCount)));
      if (!bindings) return false;
    }
    // Meshes that were not converted are skipped, so fewer bindings than
    // meshes is normal.
    for (MeshNode* meshNode : ModelMeshes(node)) {
      if (!meshNode->Object || bound >= node->MeshCount) continue;
      bindings[bound].Mesh = static_cast<mesh*>(meshNode->Object);
      ++bound;
    }
    record->MeshBindingCount = bound;
    record->MeshBindings = bindings;
  }
  return true;
}

}  // namespace

BoneNode* FindModelRootBone(ToolInterface* tool, const ModelNode* model) {
  if (!KT_CHECK_PARAMETER(Export, tool && model)) return nullptr;
  BoneNode* root = nullptr;
  int32_t fewest = 0;
  for (BoneNode* bone : ModelBones(model)) {
    // The tool keeps depths, so a chain thousands of bones deep is walked
    // once rather than once per bone.
    const int32_t ancestors = tool->GetBoneDepth(bone);
    if (!root || ancestors <= fewest) {
      root = bone;
      fewest = ancestors;
    }
  }
  return root;
}

bool GetSkeletonLocalTransform(ToolInterface* tool, const BoneNode* bone, TransformParts& local) {
  if (!KT_CHECK_PARAMETER(Export, tool && bone)) return false;
  if (!bone->Model || !bone->Model->Skeleton || !bone->Object)
    return tool->GetBoneLocalTransform(bone, local);
  BoneNode* parent = ParentInModel(tool, bone);
  if (parent && parent->Object) return tool->GetBoneLocalTransform(bone, local);
  // The model's root: its world transform is its local one.
  TransformParts world;
  bool converged = tool->GetBoneTransforms(bone, local, world);
  local = world;
  return converged;
}

bool ConvertSkeletons(SceneParser* parser) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && parser->graph)) return false;
  ToolInterface* tool = parser->tool;
  tool->SetSampleTimeToStart();
  bool ok = true;
  for (ModelNode* model : GraphModels(parser->graph)) {
    if (!ProgressShouldContinue(parser->progress)) return false;
    const char* name = tool->GetModelName(model);
    ProgressItem(parser->progress, DisplayName(name));
    model->Skeleton = nullptr;
    if (!IsReferenceIncluded(model->Settings)) {
      NumberExcludedBones(model);
      continue;
    }
    bool appendFailed = false;
    if (!BuildSkeleton(parser, model, name, appendFailed)) {
      KT_LOG_WARNING_CODE(Skeleton, warning::SkeletonByReference, DisplayName(name),
                          "Skeleton %s stored by reference only", DisplayName(name));
    }
    if (appendFailed) ok = false;
  }
  return ok;
}

bool ConvertModels(SceneParser* parser) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && parser->graph)) return false;
  ToolInterface* tool = parser->tool;
  tool->SetSampleTimeToStart();
  for (ModelNode* model : GraphModels(parser->graph)) {
    if (!ProgressShouldContinue(parser->progress)) return false;
    const char* name = tool->GetModelName(model);
    ProgressItem(parser->progress, DisplayName(name));
    if (!IsReferenceIncluded(model->Settings)) continue;
    if (!BuildModel(parser, model, name)) {
      KT_LOG_ERROR(Export, "Unable to build model %s", DisplayName(name));
      return false;
    }
  }
  return true;
}

}  // namespace ketrel
