#pragma once
// The skeleton and model phases of an export: every model of the node graph
// becomes one `skeleton` (bones ordered by the skeleton builder) and one
// `model` (its skeleton, initial placement and mesh bindings). Both phases
// visit the models newest first and write one progress item per model.
//
// Bone numbering: after ConvertSkeletons every bone of an included model that
// made it into the skeleton has `Index` = its index in the skeleton and
// `Object` = its `bone` record; bones left out have Index -1 and no Object.
// Bones of an excluded model are numbered 0, 1, 2, ... in model list order.
// Mesh conversion and animation sampling rely on these numbers.
//
// Root placement ("Move to Origin"): the model's root bone is the bone with
// the fewest ancestors (ties: the last in list order), the same bone that
// names the model and that the animation phase rebases; see FindModelRootBone.
// Its position and orientation at the start of the range become the model's
// InitialPlacement, and every root of the skeleton is rebased under it so
// that placement * root transform gives back the bind pose.
//
// Bones whose parent is not in the skeleton (parent data excluded, or its
// transform unusable) become roots; their Transform is then their world
// transform, so the pose stays right without the missing parent.

#include "export/ketrel_math.h"
#include "export/ketrel_scene_parser.h"
#include "export/ketrel_tool_interface.h"

namespace ketrel {

// The "Skeletons" phase. Included models ("Include reference in export") get
// a skeleton of their bones with "Include data in export" on; a model whose
// skeleton cannot be built is logged ("Skeleton %s stored by reference only")
// and keeps none. False when the progress window was cancelled or a skeleton
// could not be appended to the file.
bool ConvertSkeletons(SceneParser* parser);

// The "Models" phase: one `model` per included model, appended to the file.
// Must run after ConvertSkeletons (and after mesh conversion, whose meshes it
// binds). False when cancelled or out of memory.
bool ConvertModels(SceneParser* parser);

// The model's root bone: fewest ancestors through GetParentBone, the last
// such bone in list order on a tie; null for a model without bones. Cycle
// safe. The animation phase uses this to pick the bone it moves to origin.
BoneNode* FindModelRootBone(ToolInterface* tool, const ModelNode* model);

// The bone's transform relative to its parent in the built skeleton: the
// host's local parts when the parent bone is in the skeleton, else its world
// parts (the bone is a root of the skeleton). The animation phase samples
// with this so its tracks match the skeleton. False as GetBoneTransforms.
bool GetSkeletonLocalTransform(ToolInterface* tool, const BoneNode* bone, TransformParts& local);

}  // namespace ketrel
