#pragma once
// The host's export entry: walks a host scene into a tool interface and runs
// the export operation inside a leak scope, guarding it against exceptions.
#include <string>

#include "export/host/host_tool_interface.h"
#include "export/ketrel_export_operations.h"

namespace ketrel::host {

struct HostExportOptions {
  std::string FileName;
  WalkOptions Walk;
  // Handed to the export operation as it stands (its attach file name
  // points at a string the caller keeps).
  ExportRequest Request;
};

// True when the file was written. Every block the export allocated and did
// not free is logged as "Unfreed block" when it ends.
bool ExportHostScene(Scene& scene, const HostExportOptions& options);

// Where an export goes before it may replace `target` (measured, or checked
// for warnings): beside it, named as the file writer names its temporary
// files, so that one a killed export leaves behind is cleared by the next.
std::string TrialFileName(const std::string& target, const char* purpose);

}  // namespace ketrel::host
