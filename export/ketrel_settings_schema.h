#pragma once
// The settings vocabulary: eleven categories of export options, each built
// fresh as a Requester tree whose values are the defaults. Ids are stored in
// scenes and settings files, so they never change meaning.

#include <cstdint>
#include <string>

#include "export/shared/ketrel_requester.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

enum class SettingsCategory : uint32_t {
  Root,
  File,
  Texture,
  Material,
  Bone,
  Model,
  Mesh,
  Animation,
  TrackGroup,
  BoneAnimation,
  MorphTrack,
  Count
};

// A new Requester holding the category's properties at their defaults, or
// null (logged) when memory runs out. The caller owns it (DestroyRequester).
Requester* CreateCategoryRequester(SettingsCategory category,
                                   const Allocator& allocator = HeapAllocator());
const char* SettingsCategoryLabel(SettingsCategory category);
// "Model settings" and "Bone settings" share id 17: they are told apart by
// their place in the settings tree, never by id.
uint32_t SettingsCategoryId(SettingsCategory category);

// Whether `choiceId` is an id that scenes stored by older exporters carry in
// the choice list `listId` although no choice has it any more: the texture
// formats 21, 37 (Murra) and 38-48 (16-, 24- and 32-bit raw layouts) of
// "Compression Types" (23). Reading settings keeps such an id so that the
// textures phase honours it.
bool IsLegacyChoice(uint32_t listId, uint32_t choiceId);

// The listing printed by `ketrel settings schema`: every category with its
// property count, then every property (choices and the properties inside
// them indented below their combobox) with id, label, kind, default, bounds,
// detail level and controlling property. Deterministic.
std::string FormatSchemaListing();
// The same content as one JSON document.
std::string FormatSchemaJson();

// Ids the conversion phases and the export road read.
namespace setting {
inline constexpr uint32_t IncludeData = 2;
inline constexpr uint32_t IncludeArtToolData = 66;
inline constexpr uint32_t IncludeReference = 75;
inline constexpr uint32_t OnlyUserAttributes = 251;
inline constexpr uint32_t MoveToOrigin = 97;
inline constexpr uint32_t RootMotionType = 185;
inline constexpr uint32_t IncludeExporterInfo = 94;
inline constexpr uint32_t IncludeTypeTable = 95;
inline constexpr uint32_t FilePlatform = 212;
inline constexpr uint32_t PlatformNative = 214;
inline constexpr uint32_t Platform32Little = 215;
inline constexpr uint32_t Platform32Big = 216;
inline constexpr uint32_t Platform64Little = 217;
inline constexpr uint32_t Platform64Big = 218;
inline constexpr uint32_t CoordinateSystem = 136;
inline constexpr uint32_t ToolCoordinateSystem = 281;
inline constexpr uint32_t RescaleScene = 144;
inline constexpr uint32_t UnitsPerMeter = 145;
inline constexpr uint32_t FileCompression = 70;
inline constexpr uint32_t NoCompression = 72;
inline constexpr uint32_t Lorpa1Compression = 133;
inline constexpr uint32_t TessikCompression = 299;
inline constexpr uint32_t Tessik2Compression = 300;
inline constexpr uint32_t ObjectAlignment = 74;
inline constexpr uint32_t VertexObjectAlignment = 87;
inline constexpr uint32_t DefaultPlacement = 124;
// Placement choice of section i is SectionPlacementBase + i.
inline constexpr uint32_t SectionPlacementBase = 131072;
inline constexpr uint32_t AutoCloseOnExit = 67;
inline constexpr uint32_t DetailedSettings = 228;
}  // namespace setting

}  // namespace ketrel
