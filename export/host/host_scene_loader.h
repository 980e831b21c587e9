#pragma once
// Loads any scene the host understands into a host scene: our scene
// documents (.kscene) now; real scene files join through the importer.
#include <string>

#include "export/host/host_assimp_import.h"
#include "export/host/host_scene.h"

namespace ketrel::host {

// All or nothing: on failure `scene` is untouched and `error` says why
// ("could not import FILE: ..."). Real scene files are imported in a child
// process (host_import_process.h).
bool LoadHostScene(const std::string& path, Scene& scene, std::string& error,
                   const ImportOptions& import = ImportOptions());

}  // namespace ketrel::host
