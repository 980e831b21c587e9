#include "export/ketrel_version.h"

#include <string>

namespace ketrel {

const char* ExporterVersionString() {
  static const std::string text =
      std::to_string(kExporterMajorRevision) + "." + std::to_string(kExporterMinorRevision) + "." +
      std::to_string(kExporterBuildNumber) + "." + std::to_string(kExporterCustomization);
  return text.c_str();
}

}  // namespace ketrel
