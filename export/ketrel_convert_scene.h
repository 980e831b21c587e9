#pragma once
// The road of one conversion: the phases in their fixed order (textures,
// materials, skeletons, meshes with morph targets, models, animations), the
// coordinate system, an attach file, the placement of object types into
// sections and the data tree written into a file builder.
#include "export/ketrel_progress.h"
#include "export/ketrel_scene_parser.h"

namespace ketrel {

struct file_builder;

// Runs the phases over the parser's graph and writes the data tree into
// `builder`. False when a step failed or the progress window was cancelled.
bool ConvertScene(SceneParser* parser, const char* attachFileName, file_builder* builder,
                  ProgressWindow* progress);

}  // namespace ketrel
