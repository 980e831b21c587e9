#pragma once
// What an export did, as a plain record a caller prints: how many objects
// of each kind went into the file, each animation's name, length and curve
// bytes, and every warning raised while the report was recording, with its
// code, object and message.
//
// Recording: BeginWarningRecord installs the log's recorder for the report
// and EndWarningRecord restores the previous one (begin/end in pairs, on
// one thread; warnings may come from any thread meanwhile).
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "rt/ketrel_log.h"

namespace ketrel {

struct file_info;

struct ExportWarning {
  uint32_t Code = 0;   // a row of the warning code table (warning::Other at least)
  std::string Object;  // the name of what it is about; may be empty
  std::string Message;
};

struct ExportedAnimation {
  std::string Name;
  double Duration = 0;     // seconds
  int64_t CurveBytes = 0;  // the bytes its track groups' curves take
};

struct ExportReport {
  // Counts of the file's objects by kind.
  int32_t Textures = 0, Materials = 0, Skeletons = 0, Meshes = 0, Models = 0, TrackGroups = 0,
          Animations = 0;
  std::vector<ExportedAnimation> AnimationList;
  std::vector<ExportWarning> Warnings;

  // Guards Warnings while recording.
  std::mutex Lock;
  LogRecorder Previous;
  bool Recording = false;
};

// Starts collecting every warning into `report` (its earlier ones are kept).
void BeginWarningRecord(ExportReport* report);
// Stops collecting; accepts a report that is not recording.
void EndWarningRecord(ExportReport* report);
// Drops the warnings recorded after the first `count` (an export that runs
// again reports its last run only).
void TruncateWarnings(ExportReport* report, size_t count);

// Fills the counts and animations from the file's root (the warnings stay).
void GatherExportCounts(const file_info* info, ExportReport* report);

// "KT1001 x2, KT1205 x1": each code once, in code order, with its count.
std::string SummarizeWarningCodes(const ExportReport& report);

}  // namespace ketrel
