#include "export/host/host_scene_loader.h"

#include <filesystem>

#include "export/host/host_import_process.h"
#include "export/host/host_scene_document.h"

namespace ketrel::host {

bool IsSceneDocumentPath(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".kscene";
}

bool LoadHostScene(const std::string& path, Scene& scene, std::string& error,
                   const ImportOptions& import) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) {
    error = "could not open scene " + path + ": no such file";
    return false;
  }
  if (IsSceneDocumentPath(path)) {
    // The document's messages begin with its path already.
    if (!LoadSceneDocument(path, scene, &error)) return false;
    return true;
  }
  std::string message;
  if (!ImportSceneIsolated(path, import, scene, message)) {
    error = "could not import " + path + ": " + message;
    return false;
  }
  return true;
}

}  // namespace ketrel::host
