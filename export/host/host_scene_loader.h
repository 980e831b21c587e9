#pragma once
// Loads any scene the host understands into a host scene: our scene
// documents (.kscene) now; real scene files join through the importer.
#include <string>

#include "export/host/host_assimp_import.h"
#include "export/host/host_scene.h"

namespace ketrel::host {

// Whether the path names a scene document (.kscene, any letter case).
bool IsSceneDocumentPath(const std::string& path);

// All or nothing: on failure `scene` is untouched and `error` says why
// ("could not import FILE: ..."). Real scene files are imported in a child
// process (host_import_process.h); `import` applies to them only (a
// document keeps all its takes: see ResolveTakes).
bool LoadHostScene(const std::string& path, Scene& scene, std::string& error,
                   const ImportOptions& import = ImportOptions());

}  // namespace ketrel::host
