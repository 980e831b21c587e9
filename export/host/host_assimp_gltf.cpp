#include "export/host/host_assimp_gltf.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/MemoryIOWrapper.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "export/host/host_assimp_properties.h"
#include "export/host/host_property_json.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

bool IsGlb(const std::string& path) {
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".glb";
}

// The first `limit` bytes of the file at `path` (all of it by default),
// read in one piece: a stream iterator took more time than Assimp's import.
bool ReadFileBytes(const std::string& path, std::string& bytes, size_t limit = std::string::npos) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  bytes.resize(std::min(size_t(size), limit));
  in.seekg(0);
  return bool(in.read(bytes.data(), std::streamsize(bytes.size())));
}

// A .glb's JSON chunk: where it starts and how long it is.
bool GlbJsonChunk(const std::string& glb, size_t& at, uint32_t& length) {
  if (glb.size() < 20 || glb.compare(0, 4, "glTF") != 0 || glb.compare(16, 4, "JSON") != 0)
    return false;
  std::memcpy(&length, glb.data() + 12, 4);
  at = 20;
  return length <= glb.size() - at;
}

// The file's JSON text: all of a .gltf, the first chunk of a .glb (read
// without the binary chunk behind it).
bool ReadGltfText(const std::string& path, std::string& text) {
  if (!IsGlb(path)) return ReadFileBytes(path, text);
  std::string header;
  size_t at = 0;
  uint32_t length = 0;
  if (!ReadFileBytes(path, header, 20) || header.size() < 20) return false;
  std::memcpy(&length, header.data() + 12, 4);
  if (!ReadFileBytes(path, text, 20 + size_t(length)) || !GlbJsonChunk(text, at, length))
    return false;
  text.erase(0, at);
  return true;
}

// How deep the text's arrays and objects nest, read from its brackets
// outside strings (no parse). A bound: a broken text may claim more.
int TextDepth(const std::string& text) {
  int depth = 0, most = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      most = std::max(most, ++depth);
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return most;
}

// Could the text hold an "extras" member? Its name may also be written
// with escapes, so any \u counts as a maybe.
bool MayHaveExtras(const std::string& text) {
  return text.find("extras") != std::string::npos || text.find("\\u") != std::string::npos;
}

const json* Member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

std::string GltfName(const json& item, const char* kind, size_t index) {
  const json* name = Member(item, "name");
  return name && name->is_string() ? name->get<std::string>()
                                   : std::string(kind) + "[" + std::to_string(index) + "]";
}

// Assimp builds its nodes from the scene's root nodes down, children in the
// file's order (one root node is Assimp's root; several hang under a root of
// its own), so the two trees are walked side by side; a node whose name
// does not match is looked up by name.
class GltfExtras {
 public:
  GltfExtras(const json& doc, const aiScene& source, const std::map<const aiNode*, Node*>& nodes,
             Scene& scene)
      : doc_(doc), source_(source), nodes_(nodes), scene_(scene) {}

  void Run(const std::vector<Material*>& materials) {
    const json* list = Member(doc_, "nodes");
    const json* scenes = Member(doc_, "scenes");
    const json* chosen = Member(doc_, "scene");
    size_t sceneIndex = chosen && chosen->is_number_unsigned() ? chosen->get<size_t>() : 0;
    if (list && list->is_array() && scenes && scenes->is_array() && sceneIndex < scenes->size()) {
      const json* roots = Member((*scenes)[sceneIndex], "nodes");
      const aiNode* root = source_.mRootNode;
      if (roots && roots->is_array() && root) {
        if (roots->size() == 1) {
          Walk(*list, (*roots)[0], root);
        } else {
          for (size_t i = 0; i < roots->size(); ++i)
            Walk(*list, (*roots)[i], i < root->mNumChildren ? root->mChildren[i] : nullptr);
        }
      }
    }
    const json* gltfMaterials = Member(doc_, "materials");
    for (size_t i = 0; gltfMaterials && gltfMaterials->is_array() && i < gltfMaterials->size();
         ++i) {
      const json& material = (*gltfMaterials)[i];
      const json* extras = Member(material, "extras");
      if (!extras) continue;
      const std::string name = GltfName(material, "materials", i);
      // Assimp keeps the file's materials in order (and may add a default one after them).
      Material* out = i < materials.size() ? materials[i] : nullptr;
      if (out && Member(material, "name") && out->Name != name) out = nullptr;
      if (!out) {
        KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, name.c_str(),
                            "The extras of material %s have no material to go to; they are left "
                            "out",
                            name.c_str());
        continue;
      }
      AddExtras(ImportedMaterialOwner(*out), "extras", *extras, "material " + out->Name);
    }
  }

 private:
  static void AddExtras(PropertyOwner& owner, const std::string& name, const json& extras,
                        const std::string& who) {
    std::vector<Property> members;
    if (extras.is_object()) {
      members = PropertiesFromJson(extras, who, name, 2);
    } else if (std::optional<PropertyValue> value = PropertyValueFromJson(extras, who, name, 2)) {
      members.push_back({"value", 0, std::move(*value)});  // extras need not be an object
    }
    AddImportedAttribute(owner, name, std::move(members));
  }

  Node* HostNodeOf(const aiNode* in, const std::string& name) const {
    if (in && in->mName.C_Str() == name) {
      if (in == source_.mRootNode && !nodes_.count(in)) return scene_.Root.get();  // folded
      auto found = nodes_.find(in);
      if (found != nodes_.end()) return found->second;
    }
    Node* only = nullptr;
    for (const auto& [node, host] : nodes_) {
      if (node->mName.C_Str() != name) continue;
      if (only) return nullptr;  // two of that name: neither is certain
      only = host;
    }
    return only;
  }

  void Walk(const json& list, const json& index, const aiNode* in) {
    if (!index.is_number_unsigned() || index.get<size_t>() >= list.size() || ++steps_ > list.size())
      return;
    const size_t at = index.get<size_t>();
    const json& node = list[at];
    const std::string name = GltfName(node, "nodes", at);
    const json* extras = Member(node, "extras");
    const json* mesh = Member(node, "mesh");
    const json* meshes = Member(doc_, "meshes");
    const json* meshExtras =
        mesh && meshes && mesh->is_number_unsigned() && mesh->get<size_t>() < meshes->size()
            ? Member((*meshes)[mesh->get<size_t>()], "extras")
            : nullptr;
    if (extras || meshExtras) {
      Node* host = HostNodeOf(in, name);
      if (!host) {
        KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, name.c_str(),
                            "The extras of node %s have no node to go to; they are left out",
                            name.c_str());
      } else {
        if (extras) AddExtras(ImportedNodeOwner(*host), "extras", *extras, "node " + host->Name);
        // Instances share their object owner: its mesh extras are added once.
        PropertyOwner& object = ImportedObjectOwner(*host);
        const bool has = std::any_of(object.CustomAttributes.begin(), object.CustomAttributes.end(),
                                     [](const auto& a) { return a->Name == "meshExtras"; });
        if (meshExtras && !has)
          AddExtras(object, "meshExtras", *meshExtras, "mesh of " + host->Name);
      }
    }
    const json* children = Member(node, "children");
    for (size_t i = 0; children && children->is_array() && i < children->size(); ++i)
      Walk(list, (*children)[i], in && i < in->mNumChildren ? in->mChildren[i] : nullptr);
  }

  const json& doc_;
  const aiScene& source_;
  const std::map<const aiNode*, Node*>& nodes_;
  Scene& scene_;
  size_t steps_ = 0;  // a node listed as its own descendant must not loop
};

// How deep `value` nests (a scalar 0), counted no further than `limit` + 1.
int Depth(const json& value, int limit) {
  if (!value.is_structured() || limit < 0) return 0;
  int most = 1;
  for (const json& item : value) {
    most = std::max(most, 1 + Depth(item, limit - 1));
    if (most > limit) break;
  }
  return most;
}

// Removes the extras, and the extension entries, that nest deeper than
// kAssimpExtrasDepth (Assimp copies node extensions as it copies extras).
// glTF's own structure is shallow: the walk goes no deeper than `level`.
bool TrimDeepExtras(json& value, int level) {
  if (!value.is_structured() || level <= 0) return false;
  bool trimmed = false;
  if (value.is_object()) {
    auto extras = value.find("extras");
    if (extras != value.end() && Depth(*extras, kAssimpExtrasDepth) > kAssimpExtrasDepth) {
      value.erase(extras);
      trimmed = true;
    }
    auto extensions = value.find("extensions");
    if (extensions != value.end() && extensions->is_object()) {
      for (auto entry = extensions->begin(); entry != extensions->end();) {
        if (Depth(*entry, kAssimpExtrasDepth) <= kAssimpExtrasDepth) {
          ++entry;
          continue;
        }
        KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, entry.key().c_str(),
                            "The glTF extension %s nests deeper than %d levels; it is left out",
                            entry.key().c_str(), kAssimpExtrasDepth);
        entry = extensions->erase(entry);
        trimmed = true;
      }
    }
  }
  for (json& item : value) trimmed = TrimDeepExtras(item, level - 1) || trimmed;
  return trimmed;
}

// The file system Assimp reads through: the scene file itself from memory,
// everything else (buffers, images) from disk.
class PatchedFileSystem : public Assimp::DefaultIOSystem {
 public:
  PatchedFileSystem(std::string path, std::string bytes)
      : path_(std::move(path)), bytes_(std::move(bytes)) {}
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    std::error_code error;
    if (file && fs::equivalent(fs::path(file), fs::path(path_), error))
      return new Assimp::MemoryIOStream(reinterpret_cast<const uint8_t*>(bytes_.data()),
                                        bytes_.size());
    return DefaultIOSystem::Open(file, mode);
  }

 private:
  std::string path_;
  std::string bytes_;
};

}  // namespace

void AttachGltfExtras(const std::string& path, const aiScene& source,
                      const std::map<const aiNode*, Node*>& nodes,
                      const std::vector<Material*>& materials, Scene& scene) {
  std::string text;
  if (ReadGltfText(path, text) && !MayHaveExtras(text)) return;  // nothing to parse for
  const json gltf = json::parse(text, nullptr, false);
  if (gltf.is_discarded()) {
    KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, scene.FileName.c_str(),
                        "The extras of %s cannot be read; they are left out", path.c_str());
    return;
  }
  GltfExtras(gltf, source, nodes, scene).Run(materials);
  const json* asset = Member(gltf, "asset");
  const json* extras = asset ? Member(*asset, "extras") : nullptr;
  std::optional<PropertyValue> value =
      extras ? PropertyValueFromJson(*extras, "the scene", "extras", 1) : std::nullopt;
  if (!value) return;
  auto user = std::find_if(scene.DocumentProperties.begin(), scene.DocumentProperties.end(),
                           [](const PropertySet& set) { return set.Name == "UserDefined"; });
  if (user == scene.DocumentProperties.end())
    user = scene.DocumentProperties.insert(scene.DocumentProperties.end(), {"UserDefined", {}});
  user->Properties.push_back({"extras", int32_t(user->Properties.size()) + 2, std::move(*value)});
}

Assimp::IOSystem* GltfWithoutDeepExtras(const std::string& path) {
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".gltf" && extension != ".glb") return nullptr;
  // Nothing can be too deep in a text that never nests that far: most
  // files are spared a parse.
  std::string original;
  if (!ReadGltfText(path, original) || TextDepth(original) <= kAssimpExtrasDepth) return nullptr;
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return nullptr;  // Assimp says what is wrong with it
  size_t at = 0;
  uint32_t length = uint32_t(bytes.size());
  if (IsGlb(path) && !GlbJsonChunk(bytes, at, length)) return nullptr;
  json doc = json::parse(bytes.begin() + std::ptrdiff_t(at),
                         bytes.begin() + std::ptrdiff_t(at + length), nullptr, false);
  if (doc.is_discarded() || !TrimDeepExtras(doc, 16)) return nullptr;
  std::string text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
  if (IsGlb(path)) {
    // The JSON chunk is padded with spaces to 4 bytes; the header and the
    // chunks after it stay as they were, with the total length updated.
    while (text.size() % 4) text += ' ';
    std::string glb = bytes.substr(0, 12);
    const uint32_t chunk = uint32_t(text.size());
    glb.append(reinterpret_cast<const char*>(&chunk), 4);
    glb.append("JSON");
    glb += text;
    glb += bytes.substr(at + length);
    const uint32_t total = uint32_t(glb.size());
    std::memcpy(glb.data() + 8, &total, 4);
    text = std::move(glb);
  }
  return new PatchedFileSystem(path, std::move(text));
}

}  // namespace ketrel::host
