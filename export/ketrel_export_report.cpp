#include "export/ketrel_export_report.h"

#include <cstdio>
#include <map>

#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {
namespace {

void RecordWarning(const LogEntry& entry, void* user) {
  if (entry.Type != LogType::Warning) return;
  auto* report = static_cast<ExportReport*>(user);
  ExportWarning warning;
  warning.Code = ReportedWarningCode(entry.Code);
  if (entry.Object) warning.Object = entry.Object;
  warning.Message = entry.Message ? entry.Message : "";
  // Messages of the older style end in line breaks of their own.
  while (!warning.Message.empty() &&
         (warning.Message.back() == '\n' || warning.Message.back() == '\r')) {
    warning.Message.pop_back();
  }
  std::lock_guard<std::mutex> lock(report->Lock);
  report->Warnings.push_back(std::move(warning));
}

int64_t AnimationCurveBytes(const animation* a) {
  int64_t bytes = 0;
  for (int32_t g = 0; g < a->TrackGroupCount; ++g) {
    const track_group* group = a->TrackGroups[g];
    if (!group) continue;
    for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
      const transform_track& track = group->TransformTracks[t];
      bytes += GetCurveByteSize(&track.PositionCurve) + GetCurveByteSize(&track.OrientationCurve) +
               GetCurveByteSize(&track.ScaleShearCurve);
    }
    for (int32_t t = 0; t < group->VectorTrackCount; ++t)
      bytes += GetCurveByteSize(&group->VectorTracks[t].ValueCurve);
  }
  return bytes;
}

}  // namespace

void BeginWarningRecord(ExportReport* report) {
  if (!report || report->Recording) return;
  report->Previous = SetLogRecorder(LogRecorder{RecordWarning, report});
  report->Recording = true;
}

void EndWarningRecord(ExportReport* report) {
  if (!report || !report->Recording) return;
  SetLogRecorder(report->Previous);
  report->Recording = false;
}

void TruncateWarnings(ExportReport* report, size_t count) {
  if (!report) return;
  std::lock_guard<std::mutex> lock(report->Lock);
  if (report->Warnings.size() > count) report->Warnings.resize(count);
}

void GatherExportCounts(const file_info* info, ExportReport* report) {
  if (!info || !report) return;
  report->Textures = info->TextureCount;
  report->Materials = info->MaterialCount;
  report->Skeletons = info->SkeletonCount;
  report->Meshes = info->MeshCount;
  report->Models = info->ModelCount;
  report->TrackGroups = info->TrackGroupCount;
  report->Animations = info->AnimationCount;
  report->AnimationList.clear();
  for (int32_t i = 0; i < info->AnimationCount; ++i) {
    const animation* a = info->Animations[i];
    if (!a) continue;
    report->AnimationList.push_back(
        ExportedAnimation{a->Name ? a->Name : "", double(a->Duration), AnimationCurveBytes(a)});
  }
}

std::string SummarizeWarningCodes(const ExportReport& report) {
  std::map<uint32_t, int> counts;
  for (const ExportWarning& warning : report.Warnings) ++counts[warning.Code];
  std::string text;
  for (const auto& [code, count] : counts) {
    char piece[40];
    std::snprintf(piece, sizeof piece, "%sKT%u x%d", text.empty() ? "" : ", ", unsigned(code),
                  count);
    text += piece;
  }
  return text;
}

}  // namespace ketrel
