#pragma once
// The whole host scene as one compact binary stream, for handing an imported
// scene from the importer's child process back to its parent (a scene
// document is text made for people and costs seconds on large meshes). Both
// ends are the same program on the same machine: values are stored in the
// machine's own byte order and the stream is never kept as a file.
//
// Every field of the scene model travels: hierarchy, objects, transforms and
// tracks, meshes, skins, morphers, materials with embedded images, settings
// chunks, parameters, host properties (typed values and the property owners
// that nodes and materials share, flags, material values, map coordinates,
// document property sets, selection sets and layers) and the scene-level
// state.
//
// Reading checks every count, index and length against the bytes present
// and the tree for cycles, so a damaged stream gives false and a message,
// never a crash or an allocation the stream does not back.

#include <string>
#include <string_view>

#include "export/host/host_scene.h"

namespace ketrel::host {

std::string WriteSceneStream(const Scene& scene);

// All or nothing: `scene` is replaced only on success.
bool ReadSceneStream(std::string_view stream, Scene& scene, std::string& error);

}  // namespace ketrel::host
