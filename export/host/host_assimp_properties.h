#pragma once
// Host properties from a real file read through Assimp: node user data,
// cameras' and lights' values, material colours and map coordinates,
// instances, the file's own description, and glTF extras (which Assimp
// 5.2.5 keeps for nodes only, and lossily, so they are read from the file's
// JSON instead).
//
// Where user data goes: a node's own owner (first in Node::Animatables) gets
// a custom attribute named "extras" (glTF node extras), "UserProperties"
// (FBX user-defined properties) or "Metadata" (other formats' node
// metadata); FBX's "UDP3DSMAX" text becomes Node::UserProperties. The
// object's owner (second, shared by instances) gets glTF mesh extras as
// "meshExtras"; a material's first Animatables owner gets its glTF extras as
// "extras". Values keep the bounds of host_property_json.h.
//
// Light "Type" parameter: 0 omni, 1 spot, 2 directional, 3 ambient
// (skylight), 4 area. Angles are in degrees (camera FOV: the whole
// horizontal angle; spot Hotspot and Falloff: whole cone angles).

#include <map>
#include <string>
#include <vector>

#include <assimp/material.h>
#include <assimp/scene.h>

#include "export/host/host_scene.h"

namespace ketrel::host {

// A node's own property owner and its object's (the first two of
// Node::Animatables, made on first use), a material's first.
PropertyOwner& ImportedNodeOwner(Node& node);
PropertyOwner& ImportedObjectOwner(Node& node);
PropertyOwner& ImportedMaterialOwner(Material& material);
// Adds a custom attribute `name` holding `members` (none: nothing is added).
void AddImportedAttribute(PropertyOwner& owner, const std::string& name,
                          std::vector<Property> members);

// Node metadata (not for glTF, whose extras come from its JSON), and the
// values of the camera or light the node holds, if any.
void ConvertNodeProperties(const aiScene& source, const aiNode& in, bool gltf, Node& node);

// Ambient, specular, shininess, opacity and emissive colour where the
// material has them.
void ConvertMaterialColors(const aiMaterial& in, Material& out);

// How a material's texture of `type`, index `index`, lies on the surface
// (UV transform, UV set, wrap modes).
MapCoordinates MapCoordinatesOf(const aiMaterial& in, aiTextureType type, unsigned index);

// Once every node and material exists: instance groups (nodes with the same
// meshes share one object owner), glTF extras, and the document's property
// sets from the file's metadata. `materials` are the host materials of
// Assimp's materials, by index.
void ConvertSceneProperties(const aiScene& source, const std::string& path,
                            const std::map<const aiNode*, Node*>& nodes,
                            const std::vector<Material*>& materials, Scene& scene);

}  // namespace ketrel::host
