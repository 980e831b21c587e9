#pragma once
// Real scene files (glTF/GLB, FBX, Collada, BVH, X and the rest that Assimp
// reads) into a host scene: hierarchy and names, transforms and keyed
// animation as transform controllers (one take at a time), meshes with their
// normals, tangents, UV and colour sets (host_assimp_mesh.h), skins with raw
// weights and bind matrices, morphers with weight animation, cameras,
// lights, materials with their texture files or embedded images. The file's
// up axis and unit are converted into the host frame (Z up, right-handed)
// without inserting nodes the file did not have.
//
// Assimp can crash or hang on hostile files, so callers that read files
// they do not trust go through ImportSceneIsolated (host_import_process.h),
// which runs this in a child process.

#include <string>
#include <vector>

#include "export/host/host_scene.h"

namespace ketrel::host {

// How the import child misbehaves, for tests of what the parent does when a
// hostile file makes the importer abort or hang.
enum class ImportFault { None, Crash, Hang };

struct ImportOptions {
  // The take to import: a name, an index ("0", "1", ...), or empty for the
  // first. Clips that share a timeline (such as one clip per joint) form one
  // take.
  std::string Take;
  // The process ends right after this import (the import child): Assimp's
  // scene is left to the exit instead of being torn down piece by piece.
  bool ProcessEndsAfterImport = false;
  ImportFault Fault = ImportFault::None;
};

// All or nothing: false with `error` set (e.g. the importer's own message)
// and `scene` untouched on failure.
bool ImportSceneFile(const std::string& path, const ImportOptions& options, Scene& scene,
                     std::string& error);

// The names of the takes a file offers, in order (for messages and tools).
bool ListSceneTakes(const std::string& path, std::vector<std::string>& takes, std::string& error);

// Whether a glTF/GLB file uses an extension that this importer cannot read
// correctly (KHR_mesh_quantization gives all-zero positions): the
// extension's name, or empty.
std::string UnsupportedGltfExtension(const std::string& path);

}  // namespace ketrel::host
