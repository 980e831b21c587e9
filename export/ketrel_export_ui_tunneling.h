#pragma once
// Everything about the settings of a scene in one include: the tree, its two
// blob forms, push-down, per-object chunks in the host scene and settings
// files with command-line edits.
#include "export/ketrel_settings_blob.h"
#include "export/ketrel_settings_chunks.h"
#include "export/ketrel_settings_file.h"
#include "export/ketrel_settings_push_down.h"
#include "export/ketrel_settings_tree.h"
