// "Mesh settings": naming, skinning, vertex layout, annotations and morph
// target extraction of exported meshes.
#include "export/ketrel_settings_schema_rows.h"

namespace ketrel::schema {
namespace {

constexpr const char kNormalFormatHelp[] = "The stored format of vertex normals.";

const ChoiceRow kNormalFormatChoices[] = {
    {288, "float32", "float32", {}},
    {289, "DEC3N", "DEC3N", {}},
    {297, "float16", "float16", {}},
};
const ChoiceList kNormalFormats = {287, "Vertex Normal Format", false, kNormalFormatChoices, 3};

const ChoiceRow kColorFormatChoices[] = {
    {291, "float32", "float32", {}},
    {292, "ubyte8", "ubyte8", {}},
    {298, "float16", "float16", {}},
};
const ChoiceList kColorFormats = {290, "Vertex Color Format", false, kColorFormatChoices, 3};

const ChoiceRow kWeightFormatChoices[] = {
    {256, "ubyte8", "unsigned byte", {}},
    {257, "float16", "16-bit float", {}},
    {258, "float32", "32-bit float", {}},
};
const ChoiceList kWeightFormats = {255, "Bone Weight Format", false, kWeightFormatChoices, 3};

constexpr double kMinTolerance = 0.00001;

// Shown while "Extract mesh frame by frame" is selected.
const PropertyRow kFrameByFrame[] = {
    Bool(165, "Set total frame count", false, 1, 0, "Captures a fixed number of frames."),
    Number(166, "Frame count", 10, 1, 10000, 1, 165, "The number of frames to capture."),
    Bool(210, "Relative to bone animation", false, 1, 0,
         "Stores vertex motion relative to the skinned position."),
    Bool(188, "Create vertex morph curves", false, 1, 0, "Fits vertex motion with curves."),
    Bool(230, "Use quantized curves", true, 1, 188, "Uses quantized curve formats where they fit."),
    Bool(231, "Quant. on missed tolerance", true, 1, 230,
         "Still tries to shrink curves that miss their tolerance."),
    Bool(232, "Aggressive animation compression", false, 1, 188,
         "Runs a knot-removal pass after fitting."),
    Range(189, "Position curve type", 2, 0, 3, 1, 188, "B-spline degree for vertex positions."),
    Number(190, "Position curve tolerance", 0.01, kMinTolerance, 10000, 1, 188,
           "Allowed position error."),
    Number(191, "Position jump tolerance", 10, kMinTolerance, 10000, 1, 188,
           "Jump size that counts as a discontinuity."),
    Number(192, "Position crease tolerance", 10, kMinTolerance, 10000, 1, 188,
           "Turn sharpness that counts as a crease."),
    Separator(193, 188),
    Range(194, "Normal curve type", 1, 0, 3, 1, 188, "B-spline degree for vertex normals."),
    Number(195, "Normal curve tolerance", 0.01, kMinTolerance, 2, 1, 188, "Allowed normal error."),
    Number(196, "Normal jump tolerance", 0.2, kMinTolerance, 2, 1, 188,
           "Jump size that counts as a discontinuity."),
    Number(197, "Normal crease tolerance", 0.2, kMinTolerance, 2, 1, 188,
           "Turn sharpness that counts as a crease."),
    Separator(198, 188),
    Range(200, "Color curve type", 1, 0, 3, 1, 188, "B-spline degree for vertex colours."),
    Number(199, "Color curve tolerance", 0.01, kMinTolerance, 1, 1, 188, "Allowed colour error."),
    Number(201, "Color jump tolerance", 0.2, kMinTolerance, 1, 1, 188,
           "Jump size that counts as a discontinuity."),
    Number(202, "Color crease tolerance", 0.2, kMinTolerance, 1, 1, 188,
           "Turn sharpness that counts as a crease."),
    Separator(203, 188),
    Range(204, "Texture coordinate curve type", 1, 0, 3, 1, 188,
          "B-spline degree for texture coordinates."),
    Number(205, "Texture coordinate curve tolerance", 0.0009765625, kMinTolerance, 1, 1, 188,
           "Allowed texture coordinate error."),
    Number(206, "Texture coordinate jump tolerance", 0.1, kMinTolerance, 1, 1, 188,
           "Jump size that counts as a discontinuity."),
    Number(207, "Texture coordinate crease tolerance", 0.1, kMinTolerance, 1, 1, 188,
           "Turn sharpness that counts as a crease."),
};

const ChoiceRow kMorphChoices[] = {
    {239, "Don't Extract Morphs", "Exports no morph targets.", {}},
    {240, "Look for morph modifier meshes", "Takes morph targets from the morph modifier.", {}},
    {241, "Extract mesh frame by frame", "Captures the deformed mesh at every frame.",
     Table(kFrameByFrame)},
};
const ChoiceList kMorphModes = {238, "Morph Targets", false, kMorphChoices, 3};

const PropertyRow kMesh[] = {
    Block(Row::InclusionBlock, kUserAttributes),
    Bool(246, "Use Full Mesh pathnames", false, 1, 0,
         "Names the mesh by its fullest identifying path."),
    Bool(247, "Preserve Bones affecting no verts", false, 1, 0,
         "Keeps every bone the skinning reports, even bones without weights."),
    Bool(174, "Bind meshes to nearest parent", false, 1, 0,
         "Binds an unskinned mesh to its nearest included parent bone."),
    Bool(76, "Truncate vertex indices to 16-bit", false, 1, 0,
         "Stores index lists as 16-bit values."),
    Bool(143, "Use clockwise triangles", false, 1, 0, "Winds triangles clockwise."),
    Bool(186, "Double 2-sided Triangles", false, 1, 0,
         "Emits both windings for two-sided triangles."),
    Bool(295, "Disable Vertex Merging", false, 1, 0, "Does not merge shared vertices."),
    Combo(287, "Vertex Normal Format", &kNormalFormats, 288, 1, 0, kNormalFormatHelp),
    Combo(290, "Vertex Color Format", &kColorFormats, 291, 1, 0, kNormalFormatHelp),
    Bool(7, "Allow vertex weighting", true, 1, 0, "Exports smooth-skinned vertices with weights."),
    Range(8, "Bones per vertex", 4, 1, 16, 1, 7, "The most bones that may influence one vertex."),
    Combo(255, "Bone Weight Format", &kWeightFormats, 256, 1, 7,
          "The format of the bone weights member."),
    Bool(286, "Always use skinned format", false, 1, 7,
         "Uses a skinned vertex format even for rigid meshes."),
    Bool(81, "Allow texture coordinates", true, 1, 0, "Exports texture coordinates."),
    Range(82, "Coords per vertex", 1, 1, 64, 1, 81, "The most texture coordinate sets per vertex."),
    Bool(88, "Insert dummy coords if missing", true, 1, 81,
         "Pads missing channels up to the count."),
    Range(83, "Elements per coord", 2, 1, 4, 1, 81, "The most elements in one texture coordinate."),
    Bool(244, "Flip U Coordinate", false, 1, 81, "Mirrors the U texture coordinate."),
    Bool(243, "Flip V Coordinate", false, 1, 81, "Mirrors the V texture coordinate."),
    Bool(84, "Allow vertex colors", false, 1, 0, "Exports vertex colours."),
    Range(85, "Colors per vertex", 1, 1, 64, 1, 84, "The most colour sets per vertex."),
    Bool(89, "Insert dummy colors if missing", true, 1, 84,
         "Pads missing colour channels up to the count."),
    Bool(259, "Use color map detection heuristic", false, 1, 84,
         "Works around how the modelling tool reports colour map channels."),
    Range(86, "Elements per color", 3, 1, 4, 1, 84, "The most elements in one colour."),
    Bool(249, "Use tool tangents where possible", false, 1, 0,
         "Takes tangents from the modelling tool."),
    Range(250, "UV Set for Tangents", 1, 0, 15, 1, 249,
          "The index of the UV set that the tool's tangents come from."),
    Bool(99, "Include tangent vectors", false, 1, 0, "Stores tangent vectors."),
    Bool(100, "Include binormal vectors", false, 1, 0, "Stores binormal vectors."),
    Bool(101, "Include cross vectors", false, 1, 0, "Stores tangent-cross-binormal vectors."),
    Number(211, "Tangent merging tolerance", 75, 0, 180, 1, 0,
           "Degrees by which tangents of coincident vertices may differ and still merge."),
    Bool(98, "Include per-bone triangle arrays", false, 1, 0,
         "Stores a triangle index array per bone."),
    Bool(77, "Include topology information", false, 1, 0, "Stores triangle adjacency data."),
    Bool(90, "Include vertex annotation", false, 1, 0, "Stores non-rendering per-vertex data."),
    Bool(91, "Use indexed vertex annotation", false, 1, 90, "Stores it as index/data pairs."),
    Bool(92, "Include triangle annotation", false, 1, 0, "Stores non-rendering per-triangle data."),
    Bool(93, "Use indexed triangle annotation", false, 1, 92, "Stores it as index/data pairs."),
    Combo(237, "Morph Targets", &kMorphModes, 239, 1, 0, "How morph targets are found."),
    Bool(242, "Store morph targets as deltas from the base mesh", true, 1, 0,
         "Stores morph targets as differences from the base mesh."),
    Bool(296, "Filter zero delta members", false, 1, 242,
         "Drops morph components that never change."),
};

}  // namespace

const CategoryTable kMeshCategory = {SettingsCategory::Mesh, 6, "Mesh settings",
                                     "Settings of the exported meshes.", Table(kMesh)};

}  // namespace ketrel::schema
