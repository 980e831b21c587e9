#pragma once
// The in-memory host scene (placeholder until the scene model lands).
namespace ketrel::host {}
