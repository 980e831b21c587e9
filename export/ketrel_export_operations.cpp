#include "export/ketrel_export_operations.h"

#include <cstdio>

#include "export/ketrel_convert_scene.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_inert_settings.h"
#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_version.h"
#include "export/posix/posix_ketrel_export_file.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_writer.h"

namespace ketrel {
namespace {

constexpr uint32_t kFileTypeTag = 0x80000039u;

file_platform PlatformOfChoice(uint32_t choice) {
  switch (choice) {
    case setting::Platform32Little:
      return Platform32Little;
    case setting::Platform32Big:
      return Platform32Big;
    case setting::Platform64Big:
      return Platform64Big;
    default:  // "Native" and "64-bit, little endian" are this machine's layout
      return kNativePlatform;
  }
}

uint32_t CompressionOfChoice(uint32_t choice) {
  switch (choice) {
    case setting::Lorpa1Compression:
      return 2;
    case setting::TessikCompression:
      return 3;
    case setting::Tessik2Compression:
      return 4;
    default:
      return 0;
  }
}

// An alignment setting reads as its byte value (2 to the power of the
// slider); anything that is not a power of two up to 4096 falls back to 4.
uint32_t AlignmentOfSetting(int32_t bytes) {
  if (bytes <= 0 || bytes > 4096 || !IsPowerOfTwo(uint32_t(bytes))) return 4;
  return uint32_t(bytes);
}

// The one export run: the file ends into `writer` when given, else into
// `fileName`.
bool ExportScene(ToolInterface* tool, const char* fileName, file_writer* writer,
                 const ExportRequest& request) {
  // A missing folder fails now, not after the whole conversion.
  if (writer == nullptr && !TargetFolderExists(fileName)) return false;
  SceneParser* parser = BeginSceneParse(tool);
  if (!parser) return false;
  parser->fitWorkers = request.FitWorkers;

  if (request.EditSettings) {
    if (!request.EditSettings(parser->settings, *tool, parser->graph, request.EditSettingsUser)) {
      EndSceneParse(parser);
      return false;
    }
    // Edits stand for a confirmed settings dialog: they are stored in the
    // scene, which then needs a save.
    StoreSceneSettings(*tool, parser->settings, parser->graph);
  }
  const SettingsItem* file = FindChildItem(parser->settings, "File");

  ProgressWindow window;
  ProgressWindow* progress = nullptr;
  if (request.ShowProgress && request.Display) {
    bool closeWhenDone = request.ShowSettingsDialog
                             ? GetSettingBool(parser->settings, setting::AutoCloseOnExit)
                             : true;
    OpenProgress(&window, request.Display, request.DisplayUser, closeWhenDone);
    progress = &window;
    char title[64];
    std::snprintf(title, sizeof title, "Ketrel %s is exporting a KT2 File",
                  ExporterVersionString());
    SetProgressTitle(progress, title);
  }
  WarnSettingsWithoutEffect(parser->settings);

  file_magic_record magic =
      MakeMagicRecord(PlatformOfChoice(GetSettingChoice(file, setting::FilePlatform)));
  file_builder* builder = BeginFile(kStandardSectionCount, kFileTypeTag, magic, nullptr);
  bool ok = builder != nullptr;
  if (!ok) KT_LOG_ERROR(Export, "Unable to create file writing buffer.");

  if (ok) {
    uint32_t compression = CompressionOfChoice(GetSettingChoice(file, setting::FileCompression));
    uint32_t objectAlignment = AlignmentOfSetting(GetSettingInt(file, setting::ObjectAlignment));
    uint32_t vertexAlignment =
        AlignmentOfSetting(GetSettingInt(file, setting::VertexObjectAlignment));
    // Section 5 keeps the builder's own format.
    for (uint32_t section : {0u, 2u, 4u, 6u, 7u}) {
      SetFileSectionFormat(builder, section, compression, objectAlignment);
    }
    for (uint32_t section : {1u, 3u}) {
      SetFileSectionFormat(builder, section, compression, vertexAlignment);
    }
    ok = ConvertScene(parser, request.AttachFileName, builder, progress) &&
         ProgressShouldContinue(progress);
    if (ok && request.Report) GatherExportCounts(parser->info, request.Report);
    ReleaseSceneData(parser);
  }

  if (ok) {
    ProgressStage(progress, "Packaging file");
    ProgressEmptyItem(progress);
    // Ending frees the builder whatever the outcome.
    if (writer) {
      ok = EndFileToWriter(builder, writer);
    } else {
      ok = WriteFileBuilderToPath(builder, fileName, request.AtomicWrite, progress);
    }
    builder = nullptr;
  }
  if (ok) {
    ProgressStage(progress, "Export Complete");
  } else {
    ProgressStage(progress, "Export Aborted");
    AbortFile(builder);
  }
  ProgressEmptyItem(progress);
  FinishProgress(progress);
  EndSceneParse(parser);
  return ok;
}

}  // namespace

bool ExportSceneToFile(ToolInterface* tool, const char* fileName, const ExportRequest& request) {
  if (!KT_CHECK_PARAMETER(Export, tool && fileName && *fileName)) return false;
  return ExportScene(tool, fileName, nullptr, request);
}

bool ExportSceneToWriter(ToolInterface* tool, file_writer* writer, const ExportRequest& request) {
  if (!KT_CHECK_PARAMETER(Export, tool && writer)) return false;
  return ExportScene(tool, nullptr, writer, request);
}

}  // namespace ketrel
