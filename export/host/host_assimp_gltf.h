#pragma once
// glTF files read beside Assimp. Assimp 5.2.5 keeps only node extras, as
// node metadata that cuts strings at 1 KiB and cannot tell an array from an
// object, and copies nested extras so often that its time doubles with each
// level (30 levels take minutes). So the importer reads every extra from the
// file's own JSON, and Assimp is handed the file without the extras (and
// extension entries, which it copies alike) that nest deeper than it can
// copy in time.

#include <map>
#include <string>
#include <vector>

#include <assimp/scene.h>
#include <assimp/IOSystem.hpp>

#include "export/host/host_scene.h"

namespace ketrel::host {

// Node, mesh and material extras of the glTF/GLB file at `path` onto the
// host nodes and materials Assimp's became (host_assimp_properties.h says
// where), and the asset's extras into the document's user-defined set.
// What cannot be placed is warned.
void AttachGltfExtras(const std::string& path, const aiScene& source,
                      const std::map<const aiNode*, Node*>& nodes,
                      const std::vector<Material*>& materials, Scene& scene);

// A file system that gives Assimp the glTF/GLB file at `path` without the
// extras and extension entries that nest deeper than kAssimpExtrasDepth
// (such extensions are left out, warned); null when there are none (and for
// other files). Everything else is read from disk as usual. The
// caller hands it to the Assimp importer, which owns it.
inline constexpr int kAssimpExtrasDepth = 12;
Assimp::IOSystem* GltfWithoutDeepExtras(const std::string& path);

}  // namespace ketrel::host
