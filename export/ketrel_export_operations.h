#pragma once
// The export operation: settings, progress window, file builder, conversion
// and the write of the file, atomically or not. Writing to a path goes
// through the platform layer (export/posix).
#include "export/ketrel_export_report.h"
#include "export/ketrel_progress.h"
#include "export/ketrel_tool_interface.h"
#include "rt/ketrel_file_writer.h"

namespace ketrel {

struct ExportRequest {
  // A file whose whole contents go into the root's ExtendedData; null or
  // empty for none.
  const char* AttachFileName = nullptr;
  // The settings dialog is not part of a command-line export; a dialog
  // display may be hooked up here later.
  bool ShowSettingsDialog = false;
  bool ShowProgress = true;
  // Build the whole file in memory and write it in one go.
  bool AtomicWrite = false;
  // What shows the progress window when ShowProgress is set.
  const ProgressDisplay* Display = nullptr;
  void* DisplayUser = nullptr;
  // Runs after the settings tree is built and before conversion (command-line
  // settings files and "Label=value" edits), like a confirmed settings
  // dialog: the edited settings are then stored in the scene. The tool and
  // its graph (bones linked to their items) serve edits that depend on the
  // scene, such as per-bone tolerances. False stops the export.
  bool (*EditSettings)(SettingsItem* root, ToolInterface& tool, NodeGraph* graph,
                       void* user) = nullptr;
  void* EditSettingsUser = nullptr;
  // Fitting threads: 0 lets the machine decide (its processors, at most
  // kMaxFitWorkers); the file is the same for any count.
  int32_t FitWorkers = 0;
  // When given, receives the counts of what went into the file and each
  // animation's name, length and curve bytes (its warnings are recorded by
  // whoever began its warning record).
  ExportReport* Report = nullptr;
};

// Writes the scene that `tool` answers for into `fileName`. True when the
// file was written (or the dialog was cancelled, which writes nothing).
// On any failure the previous file at `fileName` is left as it was.
bool ExportSceneToFile(ToolInterface* tool, const char* fileName, const ExportRequest& request);
// The same into `writer` at its current position (a memory writer, say);
// the writer stays the caller's and AtomicWrite does not apply. On failure
// the writer may hold part of a file.
bool ExportSceneToWriter(ToolInterface* tool, file_writer* writer, const ExportRequest& request);

}  // namespace ketrel
