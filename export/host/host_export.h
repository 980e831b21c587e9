#pragma once
// The host's export entry: walks a host scene into a tool interface and runs
// the export operation inside a leak scope, guarding it against exceptions.
#include <string>

#include "export/host/host_tool_interface.h"
#include "export/posix/posix_ketrel_export_operations.h"

namespace ketrel::host {

struct HostExportOptions {
  std::string FileName;
  std::string AttachFileName;
  WalkOptions Walk;
  bool ShowProgress = true;
  bool AtomicWrite = false;
  const ProgressDisplay* Display = nullptr;
  void* DisplayUser = nullptr;
  bool (*EditSettings)(SettingsItem* root, ToolInterface& tool, NodeGraph* graph,
                       void* user) = nullptr;
  void* EditSettingsUser = nullptr;
};

// True when the file was written. Every block the export allocated and did
// not free is logged as "Unfreed block" when it ends.
bool ExportHostScene(Scene& scene, const HostExportOptions& options);

}  // namespace ketrel::host
