#pragma once
// The exporter's name and version as written into a file's exporter info.
namespace ketrel {
inline constexpr int kExporterMajorVersion = 0;
inline constexpr int kExporterMinorVersion = 1;
inline constexpr int kExporterBuildNumber = 0;
const char* ExporterName();
const char* ExporterVersionString();
}  // namespace ketrel
