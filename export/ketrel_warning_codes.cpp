#include "export/ketrel_warning_codes.h"

namespace ketrel {
namespace {

using namespace warning;

const WarningCodeInfo kTable[] = {
    {Other, "warning", "a warning without a code of its own"},

    {TextureByReference, "texture stored by reference only",
     "the image could not be read, was damaged or could not be encoded: no pixels are stored"},
    {TextureFormatSubstituted, "texture format substituted",
     "the chosen pixel format is not available for this texture; another one is stored"},
    {TextureFormatUnknown, "texture format unknown",
     "the texture's format setting names no format; an empty texture is stored"},
    {MaterialMapLeftOut, "material map left out",
     "a material's map is not exported, so the material goes without it"},
    {MaterialTextureLeftOut, "material texture left out",
     "a material's texture is not exported, so the material goes without it"},
    {SubMaterialMissing, "sub-material missing",
     "a mesh uses a sub-material slot that holds no material"},

    {SkeletonByReference, "skeleton stored by reference only",
     "the skeleton could not be built; its model keeps no skeleton"},
    {BoneTransformSingular, "bone transform singular",
     "a bone's transform cannot be inverted; another frame's or the identity is used"},
    {TransformDecompositionInexact, "transform decomposition inexact",
     "a node's transform did not split exactly into rotation and scale"},
    {BonePathDuplicate, "bone path duplicate",
     "two bones have the same path; the later one is told apart by its node"},
    {BoneDropped, "bone dropped", "a bone of the scene is left out of its skeleton"},

    {MeshByName, "mesh stored by name only", "the mesh has no mesh data to export"},
    {MeshIndicesNot16Bit, "mesh indices not 16-bit",
     "16-bit indices were asked for but the mesh has too many vertices"},
    {SkinInfluencesDropped, "skin influences dropped",
     "skin weights that name no bone of the skin or are invalid are left out"},
    {FacesLeftOut, "faces left out", "faces naming vertices the mesh does not have are left out"},
    {MapChannelLeftOut, "map channel left out",
     "a texture or colour channel that does not fit its mesh is left out"},
    {BoneIndicesWide, "bone indices wide",
     "the skin has more than 256 bones; its bone indices are stored wider than bytes"},

    {MorphCountClamped, "morph target count clamped",
     "the frame-by-frame morph target count was clamped to its limits"},
    {MorphTargetRepeatsBase, "morph target repeats base mesh",
     "a morph target does not match its base mesh and repeats it"},
    {MorphDataNotExtracted, "morph data not extracted",
     "the mesh has morph data that its \"Morph Targets\" setting leaves out"},

    {TakeRenamed, "take renamed", "two takes had one name; the later one got another"},
    {TakeLengthChanged, "take length changed",
     "a take's range was moved or lengthened to hold its keys or one frame"},
    {BindPoseSheared, "bind pose sheared",
     "a skin's bind pose is sheared; its rest pose keeps only its scale"},

    {AnimationToleranceMissed, "animation curve misses its tolerance",
     "a bone's or track's fitted curve is further from the samples than its tolerance"},
    {ConvertedCurveToleranceMissed, "converted curve misses its tolerance",
     "a curve converted to other axes or units is written with the nearest fit"},
    {VertexCurveToleranceMissed, "vertex curve misses its tolerance",
     "some vertex morph curves are further from the samples than their tolerance"},
    {TrackTooWide, "track too wide", "a track has more values per sample than a curve holds"},
    {FittingResources, "fitting resources short",
     "fewer fitting threads or solvers than asked for could be made (the file is the same)"},

    {SettingWithoutEffect, "setting has no effect in this build",
     "a setting that differs from its default changes nothing in this exporter"},
    {SettingOverruled, "setting overruled", "a setting has no effect while another is off"},
    {SettingChoiceUnknown, "setting choice unknown",
     "a stored choice names no option of its setting; the default is used"},
    {SceneUnitAssumed, "scene unit assumed", "the scene gives no unit; a rescale assumes one"},

    {HostObjectUnsupported, "host object not exported",
     "a scene object of a kind the exporter does not export is left out"},
    {AttachFileMissing, "attach file missing",
     "the file to attach cannot be opened; nothing is attached"},
    {HostPropertyRenamed, "host property renamed",
     "a host property's name repeats in its record or is not UTF-8 text; it is written under "
     "another name (or its text with '?' for the bytes that are not UTF-8)"},
    {HostPropertyAsText, "host property written as text",
     "a host property the file cannot hold as it is (a number out of range, records of "
     "different shapes, nesting too deep) is written as text"},
    {HostPropertyNotFinite, "host property not a finite number",
     "a host property holds NaN or an infinity; it is written as it is"},
    {HostPropertyShortened, "host property shortened",
     "an imported extra or user property too long, nested too deeply or without a typed value "
     "is kept shortened, as text, or left out"},
};

}  // namespace

const WarningCodeInfo* WarningCodeTable(int32_t* count) {
  if (count) *count = int32_t(sizeof kTable / sizeof kTable[0]);
  return kTable;
}

const WarningCodeInfo* FindWarningCode(uint32_t code) {
  for (const WarningCodeInfo& row : kTable) {
    if (row.Code == code) return &row;
  }
  return nullptr;
}

uint32_t ReportedWarningCode(uint32_t code) { return FindWarningCode(code) ? code : Other; }

}  // namespace ketrel
