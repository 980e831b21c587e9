#include "export/host/host_export.h"

#include <unistd.h>

#include <exception>

#include "export/ketrel_notify.h"
#include "rt/ketrel_memory.h"

namespace ketrel::host {

bool ExportHostScene(Scene& scene, const HostExportOptions& options) {
  LeakScope scope = OpenLeakScope();
  bool result = false;
  bool returned = false;
  try {
    std::unique_ptr<HostToolInterface> tool = CreateToolInterface(scene, options.Walk);
    if (!tool) {
      KT_LOG_ERROR(Export, "Unable to walk MAX DAG.");
    } else {
      result = ExportSceneToFile(tool.get(), options.FileName.c_str(), options.Request);
      returned = true;
    }
  } catch (const std::exception&) {
    ShowMessageBox(kNotificationTitle,
                   "The Ketrel Exporter reported an unexpected fatal error condition.\n"
                   "Please report this error, together with the scene file, to the Ketrel "
                   "team's issue tracker.");
    if (!returned) result = false;
  }
  CloseLeakScope(scope);
  return result;
}

std::string TrialFileName(const std::string& target, const char* purpose) {
  return target + ".tmp-" + std::to_string(long(::getpid())) + "-" + purpose;
}

}  // namespace ketrel::host
