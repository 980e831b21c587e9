#pragma once
// Importing in a child process. Some files make the scene importer abort or
// loop; the child hands the scene back as a scene stream over a pipe, so a
// crash or a hang costs the import, never the program.
#include <string>

#include "export/host/host_assimp_import.h"

namespace ketrel::host {

inline constexpr int kDefaultImportTimeoutSeconds = 300;

// All or nothing, like ImportSceneFile. When the child dies `error` is
// "the importer crashed (signal N)"; when it runs out of time, "the importer
// timed out after N seconds".
bool ImportSceneIsolated(const std::string& path, const ImportOptions& options, Scene& scene,
                         std::string& error, int timeoutSeconds = kDefaultImportTimeoutSeconds);

}  // namespace ketrel::host
