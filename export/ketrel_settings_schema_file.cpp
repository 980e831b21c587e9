// "Root settings" and "File settings": options of the settings window and of
// the written file as a whole.
#include "export/ketrel_settings_schema_rows.h"

namespace ketrel::schema {
namespace {

const PropertyRow kRoot[] = {
    Number(147, "Main window width", 640, 600, 4096, 1, 0,
           "Width of the settings window; the window records its width when it closes."),
    Number(148, "Main window height", 480, 300, 4096, 1, 0,
           "Height of the settings window; the window records its height when it closes."),
    Bool(67, "Auto close on exit", false, 0, 0,
         "Closes the progress window by itself when the export finishes."),
    Bool(228, "Detailed Settings", true, 0, 0, "Shows every setting, not only the common subset."),
};

const ChoiceRow kPlatformChoices[] = {
    {214, "Native", "The pointer size and byte order of the exporter itself.", {}},
    {215, "32-bit, little endian", "32-bit pointers, little-endian numbers.", {}},
    {216, "32-bit, big endian", "32-bit pointers, big-endian numbers.", {}},
    {217, "64-bit, little endian", "64-bit pointers, little-endian numbers.", {}},
    {218, "64-bit, big endian", "64-bit pointers, big-endian numbers.", {}},
};
const ChoiceList kPlatforms = {213, "File platform", false, kPlatformChoices,
                               sizeof(kPlatformChoices) / sizeof(kPlatformChoices[0])};

const ChoiceRow kCoordinateChoices[] = {
    {142, "Use tool's coordinates", "Keeps the modelling tool's own axes.", {}},
    {138, "Right-handed, Y up", "Right-handed axes with Y up.", {}},
    {139, "Right-handed, Z up", "Right-handed axes with Z up.", {}},
    {140, "Left-handed, Y up", "Left-handed axes with Y up.", {}},
    {141, "Left-handed, Z up", "Left-handed axes with Z up.", {}},
};
const ChoiceList kCoordinateSystems = {137, "Coordinate system", false, kCoordinateChoices,
                                       sizeof(kCoordinateChoices) / sizeof(kCoordinateChoices[0])};

// Each frame's help is its label.
#define KT_FRAME(id, label) \
  {                         \
    id, label, label, {}    \
  }
const ChoiceRow kToolFrameChoices[] = {
    {264, "Default Tool Frame", "No Change", {}}, KT_FRAME(265, "Up=Z Back=NegY Right=X"),
    KT_FRAME(266, "Up=Z Back=NegX Right=NegY"),   KT_FRAME(267, "Up=Z Back=Y Right=NegX"),
    KT_FRAME(268, "Up=Z Back=X Right=Y"),         KT_FRAME(269, "Up=Y Back=Z Right=X"),
    KT_FRAME(270, "Up=Y Back=NegX Right=Z"),      KT_FRAME(271, "Up=Y Back=NegZ Right=NegX"),
    KT_FRAME(272, "Up=Y Back=X Right=NegZ"),      KT_FRAME(273, "Up=Z Back=NegY Right=NegX"),
    KT_FRAME(274, "Up=Z Back=X Right=NegY"),      KT_FRAME(275, "Up=Z Back=Y Right=X"),
    KT_FRAME(276, "Up=Z Back=NegX Right=Y"),      KT_FRAME(277, "Up=Y Back=Z Right=NegX"),
    KT_FRAME(278, "Up=Y Back=X Right=Z"),         KT_FRAME(279, "Up=Y Back=NegZ Right=X"),
    KT_FRAME(280, "Up=Y Back=NegX Right=NegZ"),
};
#undef KT_FRAME
const ChoiceList kToolFrames = {282, "Tool Coordinate System", false, kToolFrameChoices,
                                sizeof(kToolFrameChoices) / sizeof(kToolFrameChoices[0])};

const ChoiceRow kCompressionChoices[] = {
    {72, "No compression", "Sections are stored as they are.", {}},
    {133, "Lorpa-1 Compression", "The Lorpa-1 compressor.", {}},
    {299, "Tessik Compression", "The Tessik compressor.", {}},
    {300, "Tessik2 Compression", "The Tessik2 compressor.", {}},
};
const ChoiceList kCompressions = {71, "File compression", false, kCompressionChoices,
                                  sizeof(kCompressionChoices) / sizeof(kCompressionChoices[0])};

const PropertyRow kFile[] = {
    Bool(94, "Include exporter info", true, 1, 0, "Stores the exporter's name and version."),
    Bool(66, "Include art tool specific data", true, 1, 0,
         "Exports the extra attributes and properties that the modelling tool keeps."),
    Combo(212, "File platform", &kPlatforms, 215, 1, 0,
          "The pointer size and byte order the file is made native for."),
    Combo(136, "Coordinate system", &kCoordinateSystems, 142, 1, 0,
          "The coordinate system the file is stored in."),
    Combo(281, "Tool Coordinate System", &kToolFrames, 264, 1, 0,
          "Advanced: overrides what the exporter assumes the tool's own axis frame is."),
    Bool(144, "Rescale scene on export", false, 1, 0,
         "Rescales the scene to the desired units per meter."),
    Number(145, "Units per Meter", 1, 0.0001, 1000, 1, 144, "Desired output units per meter."),
    Separator(146),
    Combo(70, "File compression", &kCompressions, 300, 1, 0,
          "The compressor for the file's sections."),
    Pow2(74, "Object alignment", 2, 0, 12, 1, 0, "Alignment of individual records, in bytes."),
    Pow2(87, "Vertex object alignment", 5, 0, 12, 1, 0, "Alignment of vertex buffers, in bytes."),
    Bool(95, "Include type table", true, 1, 0,
         "Stores the structural type information that describes the file."),
    Separator(123),
    Placement(125, "Types default"),
    Placement(126, "Objects default"),
    Placement(127, "Rigid vertices"),
    Placement(128, "Rigid indices"),
    Placement(129, "Deformable vertices"),
    Placement(130, "Deformable indices"),
    Placement(132, "Pixel data"),
    Separator(131),
    Block(Row::TypePlacements),
};

}  // namespace

const CategoryTable kRootCategory = {SettingsCategory::Root, 1, "Root settings",
                                     "These are all the export settings.", Table(kRoot)};
const CategoryTable kFileCategory = {SettingsCategory::File, 69, "File settings",
                                     "Settings that affect the whole file.", Table(kFile)};

}  // namespace ketrel::schema
