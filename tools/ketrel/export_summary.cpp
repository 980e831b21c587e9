#include "tools/ketrel/export_summary.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace ketrel::cli {
namespace {

std::string Counted(int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string CodeText(uint32_t code) { return "KT" + std::to_string(code); }

}  // namespace

std::string WithThousands(int64_t value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return value < 0 ? "-" + text : text;
}

std::string FormatExportSummary(const ExportOutcome& outcome) {
  static const ExportReport kEmpty;
  const ExportReport& r = outcome.Report ? *outcome.Report : kEmpty;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", outcome.Seconds);
  std::string text = outcome.Refused ? "kept " + outcome.Output + " as it was (--strict)"
                                     : "wrote " + outcome.Output;
  text += ": " + WithThousands(outcome.Bytes) + " bytes in " + seconds + " s; ";
  const struct {
    int32_t count;
    const char *one, *many;
  } kinds[] = {{r.Animations, "animation", "animations"},
               {r.Meshes, "mesh", "meshes"},
               {r.Skeletons, "skeleton", "skeletons"},
               {r.Materials, "material", "materials"},
               {r.Textures, "texture", "textures"}};
  std::string objects;
  for (const auto& kind : kinds) {
    if (kind.count == 0) continue;
    objects += (objects.empty() ? "" : ", ") + Counted(kind.count, kind.one, kind.many);
  }
  text += (objects.empty() ? "no objects" : objects) + "; ";
  text += Counted(int64_t(r.Warnings.size()), "warning", "warnings");
  if (!r.Warnings.empty()) text += " (" + SummarizeWarningCodes(r) + ")";
  return text;
}

std::string FormatExportJson(const ExportOutcome& outcome) {
  static const ExportReport kEmpty;
  const ExportReport& r = outcome.Report ? *outcome.Report : kEmpty;
  nlohmann::json animations = nlohmann::json::array();
  for (const ExportedAnimation& a : r.AnimationList) {
    animations.push_back({{"name", a.Name}, {"duration", a.Duration}, {"bytes", a.CurveBytes}});
  }
  nlohmann::json warnings = nlohmann::json::array();
  for (const ExportWarning& w : r.Warnings) {
    warnings.push_back({{"code", CodeText(w.Code)}, {"object", w.Object}, {"message", w.Message}});
  }
  nlohmann::json json = {
      {"output", outcome.Output},
      {"written", outcome.Written},
      {"bytes", outcome.Bytes},
      {"seconds", outcome.Seconds},
      {"counts",
       {{"animations", r.Animations},
        {"meshes", r.Meshes},
        {"skeletons", r.Skeletons},
        {"models", r.Models},
        {"materials", r.Materials},
        {"textures", r.Textures},
        {"trackGroups", r.TrackGroups}}},
      {"animations", animations},
      {"warnings", warnings},
  };
  // Names come from scenes: bytes that are not UTF-8 are replaced, never
  // a reason to fail.
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ketrel::cli
