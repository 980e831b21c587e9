#pragma once
// The in-memory host scene: our stand-in for the modelling application's
// scene. Nodes in a hierarchy under a scene root, each with an object class
// (class and super-class ids, which the node walk classifies by), a transform
// controller evaluated at any tick, an object offset, a visibility track, note
// tracks, a material, a skin (bone list), morpher presence, user property
// text, animated parameters and settings chunks. Materials and bitmap maps
// are one kind of host object. Scene-level state: animation range, frame
// rate, system unit, file name, needs-save flag, the takes (clips) on the
// timeline and the rest time.
//
// Time is in ticks (4800 per second). Transforms follow the host's
// row-vector convention (export/ketrel_math.h): a node's transform is its
// controller's local matrix times its parent's node transform.
//
// The scene owns every node and material; they never move in memory once
// added, so their addresses serve as host handles. Not thread-safe.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "export/host/host_properties.h"
#include "export/ketrel_math.h"

namespace ketrel::host {

inline constexpr int32_t kTicksPerSecond = 4800;
// The host frame, right-handed and Z up: where its right, up and back
// directions point. Scene documents are written in it, and every loader
// converts what it reads into it (the Assimp importer turns Y-up and X-up
// files about the X or Y axis), so a scene reports this frame.
inline constexpr float kHostRight[3] = {1, 0, 0};
inline constexpr float kHostUp[3] = {0, 0, 1};
inline constexpr float kHostBack[3] = {0, -1, 0};

struct ClassId {
  uint32_t a = 0, b = 0;
  bool operator==(const ClassId&) const = default;
};

// Super-class ids.
inline constexpr uint32_t kGeometrySuperClass = 0x10;
inline constexpr uint32_t kCameraSuperClass = 0x20;
inline constexpr uint32_t kLightSuperClass = 0x30;
inline constexpr uint32_t kShapeSuperClass = 0x40;
inline constexpr uint32_t kHelperSuperClass = 0x70;
inline constexpr uint32_t kMaterialSuperClass = 0xC00;
inline constexpr uint32_t kTextureMapSuperClass = 0xC10;
// Class ids with a meaning of their own.
inline constexpr ClassId kBitmapTextureClass{0x240, 0};
inline constexpr ClassId kTargetObjectClass{0x1020, 0};
inline constexpr ClassId kStandardMaterialClass{0x2, 0};
inline constexpr ClassId kMultiMaterialClass{0x200, 0};
inline constexpr ClassId kDefaultControllerClass{0x2005, 0};

enum class Interpolation { Step, Linear, Smooth };

// An animatable value of 1..4 floats: a static value, or keys (ascending
// ticks) interpolated between and held beyond the first and last.
struct ValueTrack {
  int32_t Dimension = 1;
  Interpolation Mode = Interpolation::Linear;
  std::vector<float> Value;       // Dimension floats, used without keys
  std::vector<int32_t> KeyTicks;  // ascending
  std::vector<float> KeyValues;   // Dimension floats per key
  bool Animated() const { return !KeyTicks.empty(); }
  // Writes Dimension floats.
  void Evaluate(int32_t tick, float* out) const;
};

// Rotation keys; Linear and Smooth interpolate along the shortest arc
// (Smooth eases in and out of each key).
struct RotationTrack {
  Interpolation Mode = Interpolation::Linear;
  Quaternion Value;
  std::vector<int32_t> KeyTicks;
  std::vector<Quaternion> KeyValues;
  bool Animated() const { return !KeyTicks.empty(); }
  Quaternion Evaluate(int32_t tick) const;
};

struct TransformController {
  ClassId Class = kDefaultControllerClass;
  ValueTrack Position;  // 3 floats, default 0
  RotationTrack Rotation;
  ValueTrack Scale;  // 3 floats, default 1
  TransformController();
  // The local matrix: scale, then rotate, then translate.
  HostMatrix Evaluate(int32_t tick) const;
};

struct NoteKey {
  int32_t Tick = 0;
  std::string Text;
};
using NoteTrack = std::vector<NoteKey>;

// An animated parameter of an object, modifier or material.
struct Parameter {
  std::string Name;
  ValueTrack Track;
};

// What the settings chunks of one host object are keyed by: (kind, index).
using SettingsChunks = std::map<std::pair<uint32_t, int32_t>, std::vector<uint8_t>>;

enum class HostObjectType { Node, Material };

// Everything a host handle can name.
struct HostObject {
  explicit HostObject(HostObjectType type) : Type(type) {}
  virtual ~HostObject() = default;
  HostObjectType Type;
  std::string Name;
  SettingsChunks Settings;
};

struct Material : HostObject {
  Material() : HostObject(HostObjectType::Material) {}
  uint32_t SuperClass = kMaterialSuperClass;  // or kTextureMapSuperClass for maps
  ClassId Class = kStandardMaterialClass;
  bool TwoSided = false;
  float Diffuse[3] = {0.5f, 0.5f, 0.5f};
  std::string FileName;          // bitmaps: as written in the scene
  std::string ResolvedFileName;  // bitmaps: where to open it
  // Bitmaps the scene file embeds (glb): the image file's own bytes (PNG,
  // JPEG, ...; raw texels become a TGA), decoded with host_bitmap.h. Empty
  // for a bitmap on disk.
  std::vector<uint8_t> EmbeddedImage;
  std::vector<Material*> SubMaterials;  // null for an empty slot
  struct MapSlot {
    std::string Slot;  // e.g. "Diffuse", "Bump"
    Material* Map = nullptr;
  };
  std::vector<MapSlot> Maps;
  std::vector<Parameter> Parameters;
  MaterialColors Colors;
  MapCoordinates Coordinates;  // maps
  // Typed parameters and custom attributes (an imported material's extras).
  std::vector<std::shared_ptr<PropertyOwner>> Animatables;
  bool IsMaterial() const { return SuperClass == kMaterialSuperClass; }
  bool IsBitmap() const { return Class == kBitmapTextureClass; }
};

// A triangle mesh as the host stores it, in its node's object space.
// Map channels run from -2 to 99 (0: vertex colours, -1: alpha, -2:
// illumination, 1..99: texture coordinates or painted colours); each has its
// own map vertices and one map face per mesh face.
struct MapChannel {
  int32_t Channel = 1;
  std::vector<float> Vertices;  // 3 per map vertex (u, v, w) or (r, g, b)
  std::vector<int32_t> Faces;   // 3 map-vertex indices per face
};

struct TriMesh {
  std::vector<float> Vertices;            // 3 per vertex
  std::vector<int32_t> Faces;             // 3 vertex indices per face
  std::vector<uint32_t> SmoothingGroups;  // one mask per face; empty: all 0
  std::vector<int32_t> MaterialIds;       // one per face; empty: all 0
  // Explicit normals, when the source has them: normal vectors and, per face,
  // 3 indices into them. Empty: normals come from the smoothing groups.
  std::vector<float> Normals;
  std::vector<int32_t> NormalFaces;
  std::vector<MapChannel> Maps;  // ascending channel numbers, each at most once
  // Tangent frames, when the source has them, for the map channel
  // `TangentChannel`: vectors and, per face, 3 indices into them.
  int32_t TangentChannel = 1;
  std::vector<float> Tangents;
  std::vector<float> Binormals;
  std::vector<int32_t> TangentFaces;

  int32_t VertexCount() const { return int32_t(Vertices.size() / 3); }
  int32_t FaceCount() const { return int32_t(Faces.size() / 3); }
  const MapChannel* FindMap(int32_t channel) const;
};

// One influence of a skin bone on a vertex, as the host stores it: raw,
// never normalised or limited.
struct SkinInfluence {
  int32_t Bone = 0;  // index into the skin's bone list
  float Weight = 0;
};

// A morpher channel: a target mesh (same topology as the base) blended in by
// its weight, in percent.
struct MorphChannel {
  std::string Name;
  bool Active = true;
  TriMesh Target;
  ValueTrack Weight = {1, Interpolation::Linear, {0.0f}, {}, {}};  // percent
};

struct SceneObject {
  uint32_t SuperClass = kGeometrySuperClass;
  ClassId Class{0x9, 0};             // a triangle mesh
  ClassId BaseClass{0x9, 0};         // below the modifier stack
  std::vector<uint32_t> Interfaces;  // interface ids it answers
  std::string TypeName;              // its class name; empty: named after the class id
};

struct Node : HostObject {
  Node() : HostObject(HostObjectType::Node) {}
  Node* Parent = nullptr;  // the scene root for top-level nodes; null for the root
  std::vector<Node*> Children;
  bool Selected = false;
  bool HasObject = false;
  SceneObject Object;
  Node* LookAt = nullptr;      // the target a camera or light looks at
  Node* LookedAtBy = nullptr;  // for a target: who looks at it
  TransformController Transform;
  HostMatrix ObjectOffset;
  bool HasVisibility = false;
  ValueTrack Visibility;  // 1 float
  std::vector<NoteTrack> NoteTracks;
  Material* NodeMaterial = nullptr;
  Material* ProjectorMap = nullptr;  // lights
  // Geometry of a mesh node (HasMesh), in object space before the modifiers.
  bool HasMesh = false;
  TriMesh Mesh;
  // Skin modifier: bones, their world transforms at binding time and the
  // mesh node's object transform then (when BindMatrices is empty, both are
  // taken at the animation start, so the skin does not move the mesh there),
  // and the raw influences per vertex. The evaluated mesh at a time is the
  // morphed mesh deformed by the skin.
  std::vector<Node*> SkinBones;  // empty: no skin
  std::vector<HostMatrix> BindMatrices;
  HostMatrix MeshBindMatrix;
  std::vector<std::vector<SkinInfluence>> SkinWeights;
  // Morpher modifier (below the skin in the stack).
  bool HasMorpher = false;
  std::vector<MorphChannel> MorphChannels;
  std::string UserProperties;
  std::vector<Parameter> Parameters;  // object, modifier and custom-attribute parameters
  // Typed parameter blocks and custom attributes: the node's own, its
  // object's, each modifier's and the base object's, in that order (instances
  // share their object's; an owner listed twice counts once).
  std::vector<std::shared_ptr<PropertyOwner>> Animatables;
  NodeFlags Flags;
  // Nodes with the same group (>= 0) are instances of one object.
  int32_t InstanceGroup = -1;
  int32_t Index = -1;  // position in Scene::Nodes; -1 for the root
};

// A clip on the scene's timeline: each becomes one animation of an export.
struct Take {
  std::string Name;
  int32_t Start = 0;  // ticks
  int32_t End = 0;
  // Its keys' own rate; 0: the scene's. Samples are taken every 4800 /
  // FrameRate ticks from Start.
  int32_t FrameRate = 0;
};

struct Scene {
  Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;
  Scene(Scene&&) = default;
  Scene& operator=(Scene&&) = default;

  std::unique_ptr<Node> Root;                // never null; its children are the top-level nodes
  std::vector<std::unique_ptr<Node>> Nodes;  // every node but the root, creation order
  std::vector<std::unique_ptr<Material>> Materials;
  int32_t AnimationStart = 0;
  int32_t AnimationEnd = 0;
  int32_t FrameRate = 30;  // frames per second; divides 4800
  // The clips; empty: the animation range is the scene's one clip, named
  // after the file.
  std::vector<Take> Takes;
  // The rest pose, where skeletons and meshes are taken: the tick at which
  // the scene stands unanimated (an imported file puts it before its takes,
  // with every animated track keyed there to its rest value and skins in
  // their bind pose). Without one, the animation start.
  bool HasRestTime = false;
  int32_t RestTime = 0;
  double SystemUnit = 1.0;  // metres per unit
  // False when the source file gives no unit (BVH, OBJ, ...): SystemUnit is
  // then only the host's assumption, and distances asked for in real units
  // need another measure of the scene (the figure's height).
  bool UnitFromSource = true;
  std::string FileName;  // the scene file's own name, without directories
  std::string FilePath;  // where it was loaded from, if anywhere
  // What an imported file was ("glTF 2.0", "FBX", ...); empty for our own
  // scene documents.
  std::string SourceFormat;
  bool NeedsSave = false;
  // The document's property sets, its named selection sets and its layers.
  std::vector<PropertySet> DocumentProperties;
  std::vector<NamedNodeSet> SelectionSets;
  std::vector<NamedNodeSet> Layers;

  int32_t TicksPerFrame() const { return kTicksPerSecond / FrameRate; }
  int32_t RestTick() const { return HasRestTime ? RestTime : AnimationStart; }
  // Ticks between two samples of a take: its own rate's frame, or the scene's.
  int32_t TakeTicksPerFrame(const Take& take) const {
    return take.FrameRate > 0 ? kTicksPerSecond / take.FrameRate : TicksPerFrame();
  }
  // Appends a node under `parent` (the root when null).
  Node* AddNode(const std::string& name, Node* parent = nullptr);
  Material* AddMaterial(const std::string& name);
  // The first node with that exact name, or null.
  Node* FindNode(const std::string& name) const;
  void ClearSelection();
  // The node transform: local matrix times the parent's node transform.
  HostMatrix NodeTransform(const Node* node, int32_t tick) const;
};

// The names the takes are exported under: their own, with "_2", "_3", ...
// after a name an earlier take already has.
std::vector<std::string> UniqueTakeNames(const Scene& scene);

// The takes named in `asked` (each a name, or an index "0", "1", ... when no
// take has that name) as indices into scene.Takes, in the scene's order and
// each once. False with `error` listing the takes when one is not there.
bool ResolveTakes(const Scene& scene, const std::vector<std::string>& asked,
                  std::vector<int32_t>& indices, std::string& error);

// Whether a frame rate can be used: 1..4800 and dividing 4800 evenly.
bool IsValidFrameRate(int32_t frameRate);

// The samples per frame that land on every key of the scene's transform
// tracks: its frame length over the finest spacing of two keys of one track
// (rounded up, 1 to `most`); 1 without keys closer than a frame. In a scene
// with takes only keys inside one take count, and not the keys that hold a
// track at a take's ends (the importer adds them, off the key rate).
int32_t KeyRateOversampling(const Scene& scene, int32_t most);

}  // namespace ketrel::host
