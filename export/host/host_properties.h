#pragma once
// What the host keeps about its objects beyond geometry and animation: typed
// parameters and custom attributes, a node's display and render flags, a
// map's coordinates, the document's property sets, selection sets and
// layers. Exports copy them into the file as extended data when an item asks
// for its art tool data; loaders fill what their source carries (a scene
// document all of it, a real file its extras, user properties, cameras,
// lights and material values).

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace ketrel::host {

struct Property;

// A typed value: a parameter's, a custom attribute's, a document property's
// or an imported file's extra.
struct PropertyValue {
  enum class Kind { Int, Real, Bool, Text, Reals, Date, List, Object };
  Kind Type = Kind::Int;
  int64_t Int = 0;                   // Int, Bool (0 or 1)
  double Real = 0;                   // Real
  std::string Text;                  // Text
  std::vector<float> Reals;          // Reals: a point, colour or matrix
  int32_t Date[6] = {};              // year, month, day, hour, minute, second
  std::vector<PropertyValue> Items;  // List (a table parameter, an array)
  std::vector<Property> Members;     // Object (a nested record of extras)
};

struct Property {
  std::string Name;  // may be empty for document properties: Id names it
  int32_t Id = 0;    // document properties: the property id
  PropertyValue Value;
};

// Something with parameter blocks: a node, its object, a modifier, a
// material, or a custom attribute, which has parameters and custom
// attributes of its own. Shared (one object, several owners) through
// shared_ptr: the object of instanced nodes, a custom attribute on several
// nodes.
struct PropertyOwner {
  std::string Name;  // a custom attribute: the member it becomes
  std::vector<Property> Parameters;
  std::vector<std::shared_ptr<PropertyOwner>> CustomAttributes;
};

// A node's display and render flags, and the three values written beside
// them.
struct NodeFlags {
  bool Hide = false;
  bool Freeze = false;
  bool SeeThrough = false;
  bool DisplayAsBox = false;
  bool BackfaceCull = false;
  bool Trajectory = false;
  bool VertexTicks = false;
  bool IgnoreExtents = false;
  bool ShowFrozenInGray = true;
  bool Renderable = true;
  bool InheritVisibility = true;
  bool VisibleToCamera = true;
  bool VisibleToReflectionRefraction = true;
  bool ReceiveShadows = true;
  bool CastShadows = true;
  bool ApplyAtmospherics = true;
  bool RenderOccludedObjects = false;
  int32_t GBufferObjId = 0;
  int32_t MotionBlurType = 0;
  float MotionBlurMultiplier = 1.0f;
};

// The 17 flags in file order, by name: documents, the import stream and the
// extended data all walk this one table.
struct NodeFlagEntry {
  const char* Name;
  bool NodeFlags::*Flag;
};
inline constexpr NodeFlagEntry kNodeFlagTable[] = {
    {"Hide", &NodeFlags::Hide},
    {"Freeze", &NodeFlags::Freeze},
    {"SeeThrough", &NodeFlags::SeeThrough},
    {"DisplayAsBox", &NodeFlags::DisplayAsBox},
    {"BackfaceCull", &NodeFlags::BackfaceCull},
    {"Trajectory", &NodeFlags::Trajectory},
    {"VertexTicks", &NodeFlags::VertexTicks},
    {"IgnoreExtents", &NodeFlags::IgnoreExtents},
    {"ShowFrozenInGray", &NodeFlags::ShowFrozenInGray},
    {"Renderable", &NodeFlags::Renderable},
    {"InheritVisibility", &NodeFlags::InheritVisibility},
    {"VisibleToCamera", &NodeFlags::VisibleToCamera},
    {"VisibleToReflectionRefraction", &NodeFlags::VisibleToReflectionRefraction},
    {"ReceiveShadows", &NodeFlags::ReceiveShadows},
    {"CastShadows", &NodeFlags::CastShadows},
    {"ApplyAtmospherics", &NodeFlags::ApplyAtmospherics},
    {"RenderOccludedObjects", &NodeFlags::RenderOccludedObjects},
};
inline constexpr int32_t kNodeFlagCount = int32_t(std::size(kNodeFlagTable));

// The standard values of a material beyond its diffuse colour (colours RGB
// 0..1, amounts 0..1).
struct MaterialColors {
  float Ambient[3] = {0.588f, 0.588f, 0.588f};
  float Specular[3] = {0.9f, 0.9f, 0.9f};
  float Shininess = 0.1f;
  float ShininessStrength = 0.0f;
  float Transparency = 0.0f;  // 1 - opacity
  float SelfIllumination = 0.0f;
  bool SelfIlluminationColorOn = false;
  float SelfIlluminationColor[3] = {0, 0, 0};
};

// How a map lays its image on the surface.
struct MapCoordinates {
  // Rows of a 4x3 matrix: U, V, W axes and the translation.
  float Transform[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
  float Offset[3] = {0, 0, 0};
  int32_t TilingFlags = 3;  // bit 0: tile in U, bit 1: in V
  int32_t Source = 0;       // 0: explicit map channel
  int32_t Channel = 1;
  float Blur = 1.0f;
  float BlurOffset = 0.0f;
  float NoiseAmount = 1.0f;
  float NoiseSize = 1.0f;
  float NoiseLevel = 1.0f;
  float NoisePhase = 0.0f;
  bool HideMapBack = false;
  bool UseRealWorldScale = false;
};

// One of the document's three property sets ("SummaryInfo",
// "DocumentContents", "UserDefined").
struct PropertySet {
  std::string Name;
  std::vector<Property> Properties;
};

// A named selection set or a layer: a name and the names of its nodes.
struct NamedNodeSet {
  std::string Name;
  std::vector<std::string> Nodes;
};

}  // namespace ketrel::host
