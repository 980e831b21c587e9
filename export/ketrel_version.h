#pragma once
// The exporter's version: what `ketrel --version` prints, the progress
// banner shows and a file's exporter info records.
namespace ketrel {
inline constexpr int kExporterMajorRevision = 2;
inline constexpr int kExporterMinorRevision = 11;
inline constexpr int kExporterBuildNumber = 8;
inline constexpr int kExporterCustomization = 0;
// "2.11.8.0": major, minor, build, customization.
const char* ExporterVersionString();
}  // namespace ketrel
