#include "export/host/host_scene_stream.h"

#include "export/host/host_scene_stream_io.h"

namespace ketrel::host {
namespace {

using stream::OwnerTableReader;
using stream::OwnerTableWriter;
using stream::Reader;
using stream::Writer;

// The last byte is the stream's version: 2 added the takes and the rest
// time, 3 the source format, 4 the host properties.
constexpr char kMagic[4] = {'K', 'H', 'S', '4'};
// Each take is at least its name's count and four ticks.
constexpr size_t kMinimumTakeBytes = 24;
constexpr size_t kMinimumMaterialBytes = 96;
constexpr size_t kMinimumNodeBytes = 256;

// Node and material references travel as indices; -1 is none (for a
// parent: the scene root).
struct Indices {
  std::unordered_map<const Node*, int32_t> nodes;
  std::unordered_map<const Material*, int32_t> materials;
  int32_t Of(const Node* node) const {
    auto found = nodes.find(node);
    return found == nodes.end() ? -1 : found->second;
  }
  int32_t Of(const Material* material) const {
    auto found = materials.find(material);
    return found == materials.end() ? -1 : found->second;
  }
};

void PutTrack(Writer& w, const ValueTrack& track) {
  w.Put(track.Dimension);
  w.Put(int32_t(track.Mode));
  w.PutVector(track.Value);
  w.PutVector(track.KeyTicks);
  w.PutVector(track.KeyValues);
}

void PutRotation(Writer& w, const RotationTrack& track) {
  w.Put(int32_t(track.Mode));
  w.Put(track.Value);
  w.PutVector(track.KeyTicks);
  w.PutVector(track.KeyValues);
}

void PutObject(Writer& w, const HostObject& object) {
  w.PutString(object.Name);
  w.Put(uint64_t(object.Settings.size()));
  for (const auto& [key, data] : object.Settings) {
    w.Put(key.first);
    w.Put(key.second);
    w.PutVector(data);
  }
}

void PutParameters(Writer& w, const std::vector<Parameter>& parameters) {
  w.Put(uint64_t(parameters.size()));
  for (const Parameter& p : parameters) {
    w.PutString(p.Name);
    PutTrack(w, p.Track);
  }
}

void PutMesh(Writer& w, const TriMesh& mesh) {
  w.PutVector(mesh.Vertices);
  w.PutVector(mesh.Faces);
  w.PutVector(mesh.SmoothingGroups);
  w.PutVector(mesh.MaterialIds);
  w.PutVector(mesh.Normals);
  w.PutVector(mesh.NormalFaces);
  w.Put(uint64_t(mesh.Maps.size()));
  for (const MapChannel& map : mesh.Maps) {
    w.Put(map.Channel);
    w.PutVector(map.Vertices);
    w.PutVector(map.Faces);
  }
  w.Put(mesh.TangentChannel);
  w.PutVector(mesh.Tangents);
  w.PutVector(mesh.Binormals);
  w.PutVector(mesh.TangentFaces);
}

void PutNode(Writer& w, const Node& node, const Indices& at, const OwnerTableWriter& owners) {
  PutObject(w, node);
  w.Put(at.Of(node.Parent));
  w.Put(uint64_t(node.Children.size()));
  for (const Node* child : node.Children) w.Put(at.Of(child));
  w.Put(uint8_t(node.Selected));
  w.Put(uint8_t(node.HasObject));
  w.Put(node.Object.SuperClass);
  w.Put(node.Object.Class);
  w.Put(node.Object.BaseClass);
  w.PutVector(node.Object.Interfaces);
  w.PutString(node.Object.TypeName);
  w.Put(at.Of(node.LookAt));
  w.Put(at.Of(node.LookedAtBy));
  w.Put(node.Transform.Class);
  PutTrack(w, node.Transform.Position);
  PutRotation(w, node.Transform.Rotation);
  PutTrack(w, node.Transform.Scale);
  w.Put(node.ObjectOffset);
  w.Put(uint8_t(node.HasVisibility));
  PutTrack(w, node.Visibility);
  w.Put(uint64_t(node.NoteTracks.size()));
  for (const NoteTrack& track : node.NoteTracks) {
    w.Put(uint64_t(track.size()));
    for (const NoteKey& key : track) {
      w.Put(key.Tick);
      w.PutString(key.Text);
    }
  }
  w.Put(at.Of(node.NodeMaterial));
  w.Put(at.Of(node.ProjectorMap));
  w.Put(uint8_t(node.HasMesh));
  PutMesh(w, node.Mesh);
  w.Put(uint64_t(node.SkinBones.size()));
  for (const Node* bone : node.SkinBones) w.Put(at.Of(bone));
  w.PutVector(node.BindMatrices);
  w.Put(node.MeshBindMatrix);
  w.Put(uint64_t(node.SkinWeights.size()));
  for (const auto& influences : node.SkinWeights) w.PutVector(influences);
  w.Put(uint8_t(node.HasMorpher));
  w.Put(uint64_t(node.MorphChannels.size()));
  for (const MorphChannel& channel : node.MorphChannels) {
    w.PutString(channel.Name);
    w.Put(uint8_t(channel.Active));
    PutMesh(w, channel.Target);
    PutTrack(w, channel.Weight);
  }
  w.PutString(node.UserProperties);
  PutParameters(w, node.Parameters);
  owners.PutRefs(w, node.Animatables);
  stream::PutFlags(w, node.Flags);
  w.Put(node.InstanceGroup);
}

void PutMaterial(Writer& w, const Material& m, const Indices& at, const OwnerTableWriter& owners) {
  PutObject(w, m);
  w.Put(m.SuperClass);
  w.Put(m.Class);
  w.Put(uint8_t(m.TwoSided));
  w.Put(m.Diffuse);
  w.PutString(m.FileName);
  w.PutString(m.ResolvedFileName);
  w.PutVector(m.EmbeddedImage);
  w.Put(uint64_t(m.SubMaterials.size()));
  for (const Material* sub : m.SubMaterials) w.Put(at.Of(sub));
  w.Put(uint64_t(m.Maps.size()));
  for (const Material::MapSlot& slot : m.Maps) {
    w.PutString(slot.Slot);
    w.Put(at.Of(slot.Map));
  }
  PutParameters(w, m.Parameters);
  stream::PutColors(w, m.Colors);
  stream::PutCoordinates(w, m.Coordinates);
  owners.PutRefs(w, m.Animatables);
}

// Reading: pointers are resolved once every node and material exists.
class SceneReader {
 public:
  SceneReader(Reader& r, Scene& scene) : r_(r), scene_(scene) {}

  bool Run() {
    char magic[4];
    for (char& c : magic) c = r_.Get<char>();
    if (r_.Failed() || std::memcmp(magic, kMagic, 3) != 0) {
      r_.Fail("not a scene stream");
      return false;
    }
    if (magic[3] != kMagic[3]) {
      r_.Fail(std::string("a scene stream of version ") + magic[3] + ", not " + kMagic[3]);
      return false;
    }
    scene_.AnimationStart = r_.Get<int32_t>();
    scene_.AnimationEnd = r_.Get<int32_t>();
    scene_.FrameRate = r_.Get<int32_t>();
    scene_.HasRestTime = r_.Get<uint8_t>() != 0;
    scene_.RestTime = r_.Get<int32_t>();
    const size_t takes = r_.GetCount(kMinimumTakeBytes);
    for (size_t i = 0; i < takes && !r_.Failed(); ++i) {
      Take take;
      take.Name = r_.GetString();
      take.Start = r_.Get<int32_t>();
      take.End = r_.Get<int32_t>();
      take.FrameRate = r_.Get<int32_t>();
      if (take.End < take.Start || (take.FrameRate != 0 && !IsValidFrameRate(take.FrameRate)))
        r_.Fail("take " + std::to_string(i) + " has a bad range or frame rate");
      scene_.Takes.push_back(std::move(take));
    }
    scene_.SystemUnit = r_.Get<double>();
    scene_.UnitFromSource = r_.Get<uint8_t>() != 0;
    scene_.FileName = r_.GetString();
    scene_.FilePath = r_.GetString();
    scene_.SourceFormat = r_.GetString();
    scene_.NeedsSave = r_.Get<uint8_t>() != 0;
    stream::GetDocument(r_, scene_);
    owners_.Read(r_);
    // Every material and node takes well over these many bytes, so a damaged
    // count cannot make us build more of them than the stream could describe.
    size_t materials = r_.GetCount(kMinimumMaterialBytes), nodes = r_.GetCount(kMinimumNodeBytes);
    if (r_.Failed()) return false;
    for (size_t i = 0; i < materials; ++i) scene_.Materials.push_back(std::make_unique<Material>());
    for (size_t i = 0; i < nodes; ++i) {
      scene_.Nodes.push_back(std::make_unique<Node>());
      scene_.Nodes.back()->Index = int32_t(i);
    }
    for (size_t i = 0; i < materials && !r_.Failed(); ++i) GetMaterial(*scene_.Materials[i]);
    GetNode(*scene_.Root, true);
    for (size_t i = 0; i < nodes && !r_.Failed(); ++i) GetNode(*scene_.Nodes[i], false);
    if (!r_.Failed() && !r_.AtEnd()) r_.Fail("the scene stream has bytes past its end");
    if (!r_.Failed()) CheckTree();
    return !r_.Failed();
  }

 private:
  Node* NodeAt(int32_t index) {
    if (index == -1) return nullptr;
    if (index < 0 || size_t(index) >= scene_.Nodes.size()) {
      r_.Fail("the scene stream names node " + std::to_string(index) + ", which it does not hold");
      return nullptr;
    }
    return scene_.Nodes[size_t(index)].get();
  }
  Material* MaterialAt(int32_t index) {
    if (index == -1) return nullptr;
    if (index < 0 || size_t(index) >= scene_.Materials.size()) {
      r_.Fail("the scene stream names material " + std::to_string(index) +
              ", which it does not hold");
      return nullptr;
    }
    return scene_.Materials[size_t(index)].get();
  }

  void GetTrack(ValueTrack& track) {
    track.Dimension = r_.Get<int32_t>();
    int32_t mode = r_.Get<int32_t>();
    r_.GetVector(track.Value);
    r_.GetVector(track.KeyTicks);
    r_.GetVector(track.KeyValues);
    if (r_.Failed()) return;
    if (track.Dimension < 1 || track.Dimension > 4 || mode < 0 || mode > 2 ||
        (!track.Value.empty() && track.Value.size() != size_t(track.Dimension)) ||
        track.KeyValues.size() != track.KeyTicks.size() * size_t(track.Dimension)) {
      r_.Fail("the scene stream holds a damaged track");
    }
    track.Mode = Interpolation(mode);
  }

  void GetRotation(RotationTrack& track) {
    int32_t mode = r_.Get<int32_t>();
    track.Value = r_.Get<Quaternion>();
    r_.GetVector(track.KeyTicks);
    r_.GetVector(track.KeyValues);
    if (r_.Failed()) return;
    if (mode < 0 || mode > 2 || track.KeyValues.size() != track.KeyTicks.size()) {
      r_.Fail("the scene stream holds a damaged rotation track");
    }
    track.Mode = Interpolation(mode);
  }

  void GetObject(HostObject& object) {
    object.Name = r_.GetString();
    size_t chunks = r_.GetCount(16);
    for (size_t i = 0; i < chunks && !r_.Failed(); ++i) {
      uint32_t kind = r_.Get<uint32_t>();
      int32_t index = r_.Get<int32_t>();
      r_.GetVector(object.Settings[{kind, index}]);
    }
  }

  void GetParameters(std::vector<Parameter>& parameters) {
    parameters.resize(r_.GetCount(16));
    for (Parameter& p : parameters) {
      if (r_.Failed()) return;
      p.Name = r_.GetString();
      GetTrack(p.Track);
    }
  }

  void GetMesh(TriMesh& mesh) {
    r_.GetVector(mesh.Vertices);
    r_.GetVector(mesh.Faces);
    r_.GetVector(mesh.SmoothingGroups);
    r_.GetVector(mesh.MaterialIds);
    r_.GetVector(mesh.Normals);
    r_.GetVector(mesh.NormalFaces);
    mesh.Maps.resize(r_.GetCount(20));
    for (MapChannel& map : mesh.Maps) {
      if (r_.Failed()) return;
      map.Channel = r_.Get<int32_t>();
      r_.GetVector(map.Vertices);
      r_.GetVector(map.Faces);
    }
    mesh.TangentChannel = r_.Get<int32_t>();
    r_.GetVector(mesh.Tangents);
    r_.GetVector(mesh.Binormals);
    r_.GetVector(mesh.TangentFaces);
  }

  void GetNode(Node& node, bool root) {
    GetObject(node);
    int32_t parent = r_.Get<int32_t>();
    node.Parent = root ? nullptr : parent == -1 ? scene_.Root.get() : NodeAt(parent);
    node.Children.resize(r_.GetCount(4));
    for (Node*& child : node.Children) {
      child = NodeAt(r_.Get<int32_t>());
      if (!child) r_.Fail("the scene stream holds a damaged hierarchy");
      if (r_.Failed()) return;
    }
    node.Selected = r_.Get<uint8_t>() != 0;
    node.HasObject = r_.Get<uint8_t>() != 0;
    node.Object.SuperClass = r_.Get<uint32_t>();
    node.Object.Class = r_.Get<ClassId>();
    node.Object.BaseClass = r_.Get<ClassId>();
    r_.GetVector(node.Object.Interfaces);
    node.Object.TypeName = r_.GetString();
    node.LookAt = NodeAt(r_.Get<int32_t>());
    node.LookedAtBy = NodeAt(r_.Get<int32_t>());
    node.Transform.Class = r_.Get<ClassId>();
    GetTrack(node.Transform.Position);
    GetRotation(node.Transform.Rotation);
    GetTrack(node.Transform.Scale);
    node.ObjectOffset = r_.Get<HostMatrix>();
    node.HasVisibility = r_.Get<uint8_t>() != 0;
    GetTrack(node.Visibility);
    node.NoteTracks.resize(r_.GetCount(8));
    for (NoteTrack& track : node.NoteTracks) {
      track.resize(r_.GetCount(12));
      for (NoteKey& key : track) {
        if (r_.Failed()) return;
        key.Tick = r_.Get<int32_t>();
        key.Text = r_.GetString();
      }
    }
    node.NodeMaterial = MaterialAt(r_.Get<int32_t>());
    node.ProjectorMap = MaterialAt(r_.Get<int32_t>());
    node.HasMesh = r_.Get<uint8_t>() != 0;
    GetMesh(node.Mesh);
    node.SkinBones.resize(r_.GetCount(4));
    for (Node*& bone : node.SkinBones) {
      bone = NodeAt(r_.Get<int32_t>());
      if (!bone) r_.Fail("the scene stream holds a damaged skin");
      if (r_.Failed()) return;
    }
    r_.GetVector(node.BindMatrices);
    node.MeshBindMatrix = r_.Get<HostMatrix>();
    node.SkinWeights.resize(r_.GetCount(8));
    for (auto& influences : node.SkinWeights) {
      if (r_.Failed()) return;
      r_.GetVector(influences);
    }
    node.HasMorpher = r_.Get<uint8_t>() != 0;
    node.MorphChannels.resize(r_.GetCount(16));
    for (MorphChannel& channel : node.MorphChannels) {
      if (r_.Failed()) return;
      channel.Name = r_.GetString();
      channel.Active = r_.Get<uint8_t>() != 0;
      GetMesh(channel.Target);
      GetTrack(channel.Weight);
    }
    node.UserProperties = r_.GetString();
    GetParameters(node.Parameters);
    owners_.GetRefs(r_, node.Animatables);
    stream::GetFlags(r_, node.Flags);
    node.InstanceGroup = r_.Get<int32_t>();
  }

  void GetMaterial(Material& m) {
    GetObject(m);
    m.SuperClass = r_.Get<uint32_t>();
    m.Class = r_.Get<ClassId>();
    m.TwoSided = r_.Get<uint8_t>() != 0;
    for (float& d : m.Diffuse) d = r_.Get<float>();
    m.FileName = r_.GetString();
    m.ResolvedFileName = r_.GetString();
    r_.GetVector(m.EmbeddedImage);
    m.SubMaterials.resize(r_.GetCount(4));
    for (Material*& sub : m.SubMaterials) sub = MaterialAt(r_.Get<int32_t>());
    m.Maps.resize(r_.GetCount(12));
    for (Material::MapSlot& slot : m.Maps) {
      if (r_.Failed()) return;
      slot.Slot = r_.GetString();
      slot.Map = MaterialAt(r_.Get<int32_t>());
    }
    GetParameters(m.Parameters);
    stream::GetColors(r_, m.Colors);
    stream::GetCoordinates(r_, m.Coordinates);
    owners_.GetRefs(r_, m.Animatables);
  }

  // Every node is the child of its parent exactly once and reaches the root:
  // transforms walk up the parents, so a cycle would never end.
  void CheckTree() {
    std::vector<int32_t> seen(scene_.Nodes.size(), 0);
    auto count = [&](const Node& parent) {
      for (const Node* child : parent.Children) {
        if (child->Parent != &parent || ++seen[size_t(child->Index)] > 1) {
          r_.Fail("the scene stream holds a damaged hierarchy");
        }
      }
    };
    count(*scene_.Root);
    for (const auto& node : scene_.Nodes) count(*node);
    for (const auto& node : scene_.Nodes) {
      if (seen[size_t(node->Index)] != 1) r_.Fail("the scene stream holds a damaged hierarchy");
      size_t steps = 0;
      for (const Node* p = node->Parent; p && !r_.Failed(); p = p->Parent) {
        if (++steps > scene_.Nodes.size()) r_.Fail("the scene stream holds a cycle of nodes");
      }
    }
  }

  Reader& r_;
  Scene& scene_;
  OwnerTableReader owners_;
};

size_t MeshBytes(const TriMesh& mesh) {
  size_t bytes = 4 * (mesh.Vertices.size() + mesh.Faces.size() + mesh.SmoothingGroups.size() +
                      mesh.MaterialIds.size() + mesh.Normals.size() + mesh.NormalFaces.size() +
                      mesh.Tangents.size() + mesh.Binormals.size() + mesh.TangentFaces.size());
  for (const MapChannel& map : mesh.Maps) bytes += 4 * (map.Vertices.size() + map.Faces.size());
  return bytes + 128;
}

// Room for the bulk of the stream up front: meshes dominate large scenes.
size_t EstimateSize(const Scene& scene) {
  size_t bytes = 4096 + 512 * (scene.Nodes.size() + scene.Materials.size());
  for (const auto& node : scene.Nodes) {
    bytes += MeshBytes(node->Mesh) + 8 * node->Mesh.Vertices.size() / 3 * 2;
    for (const MorphChannel& channel : node->MorphChannels) bytes += MeshBytes(channel.Target);
  }
  for (const auto& material : scene.Materials) bytes += material->EmbeddedImage.size();
  return bytes;
}

}  // namespace

std::string WriteSceneStream(const Scene& scene) {
  Indices at;
  for (size_t i = 0; i < scene.Nodes.size(); ++i) at.nodes[scene.Nodes[i].get()] = int32_t(i);
  for (size_t i = 0; i < scene.Materials.size(); ++i) {
    at.materials[scene.Materials[i].get()] = int32_t(i);
  }
  Writer w;
  w.Reserve(EstimateSize(scene));
  for (char c : kMagic) w.Put(c);
  w.Put(scene.AnimationStart);
  w.Put(scene.AnimationEnd);
  w.Put(scene.FrameRate);
  w.Put(uint8_t(scene.HasRestTime));
  w.Put(scene.RestTime);
  w.Put(uint64_t(scene.Takes.size()));
  for (const Take& take : scene.Takes) {
    w.PutString(take.Name);
    w.Put(take.Start);
    w.Put(take.End);
    w.Put(take.FrameRate);
  }
  w.Put(scene.SystemUnit);
  w.Put(uint8_t(scene.UnitFromSource));
  w.PutString(scene.FileName);
  w.PutString(scene.FilePath);
  w.PutString(scene.SourceFormat);
  w.Put(uint8_t(scene.NeedsSave));
  stream::PutDocument(w, scene);
  OwnerTableWriter owners;
  owners.Collect(scene);
  owners.Write(w);
  w.Put(uint64_t(scene.Materials.size()));
  w.Put(uint64_t(scene.Nodes.size()));
  for (const auto& material : scene.Materials) PutMaterial(w, *material, at, owners);
  PutNode(w, *scene.Root, at, owners);
  for (const auto& node : scene.Nodes) PutNode(w, *node, at, owners);
  return w.Take();
}

bool ReadSceneStream(std::string_view stream, Scene& scene, std::string& error) {
  Reader reader(stream);
  Scene result;
  SceneReader(reader, result).Run();
  if (reader.Failed()) {
    error = reader.Error();
    return false;
  }
  scene = std::move(result);
  return true;
}

}  // namespace ketrel::host
