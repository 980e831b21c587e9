#pragma once
// Ending an export's file builder into a file on disk. The file is written
// beside the target and renamed into place only when everything succeeded,
// so a failure or a cancel keeps the old file.
#include "export/ketrel_progress.h"
#include "rt/ketrel_file_builder.h"

namespace ketrel {

// Whether the folder `fileName` names exists and is a folder. False (logged
// in plain words: "cannot write out/x.kt2: folder out/ does not exist")
// otherwise, so that an export stops before its work instead of after it.
// Permissions are left to the write itself: a link may lead elsewhere.
bool TargetFolderExists(const char* fileName);

// Ends `builder` (freed whatever the outcome) into `fileName`. With `atomic`
// the whole file is built in memory first and written in one go. False when
// anything failed or the progress window was cancelled meanwhile.
bool WriteFileBuilderToPath(file_builder* builder, const char* fileName, bool atomic,
                            const ProgressWindow* progress);

}  // namespace ketrel
