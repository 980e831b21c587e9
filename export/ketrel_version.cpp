#include "export/ketrel_version.h"

namespace ketrel {
const char* ExporterName() { return "Ketrel Exporter"; }
const char* ExporterVersionString() { return "0.1.0"; }
}  // namespace ketrel
