#pragma once
// What `ketrel export` says when it is done: one summary line for a person
// (stderr) or one JSON object for a program (stdout, --json).
#include <cstdint>
#include <string>

#include "export/ketrel_export_report.h"

namespace ketrel::cli {

struct ExportOutcome {
  std::string Output;    // the target path
  bool Written = false;  // the target holds the new file
  bool Refused = false;  // --strict kept the old target because of warnings
  int64_t Bytes = 0;     // the new file's size (also when refused)
  double Seconds = 0;    // from the start of the command to the file in place
  const ExportReport* Report = nullptr;
};

// "wrote out.kt2: 412,380 bytes in 0.58 s; 3 animations, 2 meshes,
// 1 skeleton; 2 warnings (KT1001 x2)" (no line break). A refused file reads
// "kept out.kt2 as it was (--strict): ...".
std::string FormatExportSummary(const ExportOutcome& outcome);

// One JSON object: output, written, bytes, seconds, counts per kind, each
// animation's name, duration and bytes, every warning's code, object and
// message (pretty-printed, no trailing line break).
std::string FormatExportJson(const ExportOutcome& outcome);

// 412380 -> "412,380".
std::string WithThousands(int64_t value);

}  // namespace ketrel::cli
