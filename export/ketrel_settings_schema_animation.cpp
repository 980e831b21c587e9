// The categories of scene objects other than files, textures and meshes:
// materials, bones, models, and the four kinds of animation settings.
#include "export/ketrel_settings_schema_rows.h"

namespace ketrel::schema {
namespace {

const PropertyRow kInclusionOnly[] = {
    Block(Row::InclusionBlock, kUserAttributes),
};

const PropertyRow kModel[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Bool(97, "Move to Origin", true, 1, 0,
         "Extracts the initial displacement of the model's root bone."),
};

const PropertyRow kAnimation[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Range(284, "Default Loop Count", 1, 0, 64, 0, 0,
          "Loop count of controls made with default settings; 0 loops forever."),
    Bool(294, "Clamped looping by default", false, 1, 0,
         "Controls default to discontinuous sampling at the loop point."),
    Range(173, "Oversampling", 2, 1, 8, 1, 0, "Samples taken per frame."),
    Bool(260, "Use synthetic oversampling", false, 1, 173,
         "Interpolates sampled keys instead of asking the scene between frames."),
    Separator(254),
    Block(Row::RootMotionBlock),
    Separator(62),
    Block(Row::CurveBlock, kPerComponent | kDontOversample | kProtectConstant),
};

const PropertyRow kTrackGroup[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Block(Row::RootMotionBlock),
    Separator(62),
    Block(Row::CurveBlock, kPerComponent | kDontOversample | kProtectConstant),
};

const PropertyRow kBoneAnimation[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Separator(62),
    Block(Row::CurveBlock, kPerComponent),
};

const PropertyRow kMorphTrack[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Separator(62),
    Block(Row::CurveBlock, kDontOversample | kProtectConstant),
};

}  // namespace

const CategoryTable kMaterialCategory = {SettingsCategory::Material, 9, "Material settings",
                                         "Settings of the exported materials.",
                                         Table(kInclusionOnly)};
const CategoryTable kBoneCategory = {SettingsCategory::Bone, 17, "Bone settings",
                                     "Settings of one bone of a model.", Table(kInclusionOnly)};
const CategoryTable kModelCategory = {SettingsCategory::Model, 17, "Model settings",
                                      "Settings of the exported models.", Table(kModel)};
const CategoryTable kAnimationCategory = {SettingsCategory::Animation, 4, "Animation settings",
                                          "Settings of the whole scene animation.",
                                          Table(kAnimation)};
const CategoryTable kTrackGroupCategory = {SettingsCategory::TrackGroup, 283, "TrackGroup settings",
                                           "Settings of one character's track group.",
                                           Table(kTrackGroup)};
const CategoryTable kBoneAnimationCategory = {
    SettingsCategory::BoneAnimation, 65, "Bone animation settings",
    "Settings of the animation of one bone.", Table(kBoneAnimation)};
const CategoryTable kMorphTrackCategory = {SettingsCategory::MorphTrack, 293, "MorphTrack settings",
                                           "Settings of one morph track group.",
                                           Table(kMorphTrack)};

}  // namespace ketrel::schema
