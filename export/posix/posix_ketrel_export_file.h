#pragma once
// Ending an export's file builder into a file on disk. The file is written
// beside the target and renamed into place only when everything succeeded,
// so a failure or a cancel keeps the old file.
#include "export/ketrel_progress.h"
#include "rt/ketrel_file_builder.h"

namespace ketrel {

// Ends `builder` (freed whatever the outcome) into `fileName`. With `atomic`
// the whole file is built in memory first and written in one go. False when
// anything failed or the progress window was cancelled meanwhile.
bool WriteFileBuilderToPath(file_builder* builder, const char* fileName, bool atomic,
                            const ProgressWindow* progress);

}  // namespace ketrel
