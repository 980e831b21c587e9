#pragma once
// Part of the Assimp importer (host_assimp_import.cpp): the geometry, skin
// and morpher of one mesh node, from the aiMeshes the file's node carries.
//
// Several aiMeshes under one node (one per material, as Assimp splits them)
// become one host mesh with material ids into the node's multi-material, so
// the host scene keeps the file's node names and counts.
//
// Positions: Assimp splits a vertex wherever any attribute differs; the host
// keeps one vertex per position and the rest as per-face map data. Vertices
// of one aiMesh are welded when their position, skin influences and morph
// target positions are all exactly equal, so welding never changes what a
// skin or a morph does. Normals, tangent frames, UV and colour sets stay per
// Assimp vertex (each face indexes them as in the file).
//
// UV sets are map channels 1, 2, ... as Assimp gives them: Assimp's origin is
// the bottom-left corner (its glTF reader flips v), which is the host's, so
// nothing is flipped. Colour set 0 is map channel 0, with channel -1 holding
// its alpha when any alpha is below 1; further colour sets follow the UV
// channels (RGB only).

#include <functional>
#include <string>
#include <vector>

#include "export/host/host_scene.h"

struct aiScene;
struct aiNode;

namespace ketrel::host {

// The host node of a bone name, or null (its influences are then dropped).
using BoneLookup = std::function<Node*(const std::string& name)>;

// Fills node.Mesh (HasMesh), the skin (SkinBones, raw SkinWeights,
// BindMatrices and MeshBindMatrix) and the morpher (HasMorpher,
// MorphChannels with static weights) from the aiMeshes of `in`.
// `materialIds` gives the host material id of each of them, in node order;
// `meshWorld` is the node's host world matrix in the file's rest pose. The
// aiScene must have passed Assimp's validation (indices in range).
void ConvertNodeGeometry(const aiScene& scene, const aiNode& in,
                         const std::vector<int32_t>& materialIds, const BoneLookup& findBone,
                         const HostMatrix& meshWorld, Node& node);

}  // namespace ketrel::host
