#pragma once
// Real scene files (glTF/GLB, FBX, Collada, BVH, X and the rest that Assimp
// reads) into a host scene: hierarchy and names, transforms and keyed
// animation as transform controllers (every take on one timeline, a rest
// pose before them), meshes with their
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
  // The takes to import, each a name or an index ("0", "1", ...); empty:
  // every take. Clips that share a timeline (such as one clip per joint)
  // form one take. The takes keep the file's order, whatever the order here.
  std::vector<std::string> Takes;
  // The process ends right after this import (the import child): Assimp's
  // scene is left to the exit instead of being torn down piece by piece.
  bool ProcessEndsAfterImport = false;
  ImportFault Fault = ImportFault::None;
};

// All or nothing: false with `error` set (e.g. the importer's own message,
// or a take asked for that the file does not have) and `scene` untouched on
// failure.
//
// Takes: each becomes a Take of the scene, named after its clip ("Take n"
// for an unnamed one; a repeated name gets "_2", "_3", ..., with a
// warning), at its keys' own frame rate. The first starts at the clip's
// zero, or earlier when keys lie before it (warned); each next one starts
// on a whole second at least a second after the one before. Every track a
// take animates is keyed at both ends of it; tracks it leaves alone hold
// their unanimated value there. A take whose keys all lie at one time is
// one frame long (warned). The scene's rest time is a second before the
// first take: there every node stands unanimated, except skin bones, which
// stand in their bind pose, so the skeleton and the skinned meshes taken
// there are the file's own whatever the takes.
bool ImportSceneFile(const std::string& path, const ImportOptions& options, Scene& scene,
                     std::string& error);

// Whether a glTF/GLB file uses an extension that this importer cannot read
// correctly (KHR_mesh_quantization gives all-zero positions): the
// extension's name, or empty.
std::string UnsupportedGltfExtension(const std::string& path);

}  // namespace ketrel::host
