// `ketrel verify SOURCE FILE.kt2`: how faithfully the file's animation plays
// its source scene, measured between samples as well as at them.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "export/host/host_fidelity.h"
#include "export/host/host_scene_loader.h"
#include "rt/ketrel_file_reader.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

struct VerifyOptions {
  std::string Scene, File;
  std::vector<std::string> Takes;
  double Scale = 0;  // centimetres per scene unit; 0: the scene's own or the 170 cm figure
  int PointsPerStep = 4;
  bool Json = false;
};

int RunVerify(const VerifyOptions& options, std::ostream& out) {
  host::Scene scene;
  std::string error;
  host::ImportOptions import;
  import.Takes = options.Takes;
  if (!host::LoadHostScene(options.Scene, scene, error, import)) {
    std::fprintf(stderr, "ketrel verify: %s\n", error.c_str());
    return kExitFailed;
  }
  ketrel_file* file = ReadEntireFile(options.File.c_str());
  if (!file) {
    std::fprintf(stderr, "ketrel verify: %s is not a KT2 file that can be read\n",
                 options.File.c_str());
    return kExitFailed;
  }
  const auto* info = static_cast<const file_info*>(file->RootObject);
  nlohmann::json clips = nlohmann::json::array();
  bool ok = info->AnimationCount > 0;
  if (!ok) std::fprintf(stderr, "ketrel verify: %s holds no animation\n", options.File.c_str());
  for (int32_t a = 0; a < info->AnimationCount && ok; ++a) {
    host::FidelityOptions measure;
    measure.Animation = a;
    measure.PointsPerStep = options.PointsPerStep;
    measure.UnitsToCm = options.Scale;
    host::FidelityResult r;
    if (!host::MeasureAnimationFidelity(scene, info, measure, r, error)) {
      std::fprintf(stderr, "ketrel verify: %s\n", error.c_str());
      ok = false;
      break;
    }
    const char* name = info->Animations[a]->Name ? info->Animations[a]->Name : "";
    if (options.Json) {
      clips.push_back({{"name", name},
                       {"maxCm", r.MaxCm},
                       {"p99Cm", r.P99Cm},
                       {"maxAtSamplesCm", r.MaxAtSamplesCm},
                       {"worstBone", r.WorstBone},
                       {"worstSeconds", r.WorstSeconds},
                       {"samples", r.Samples},
                       {"bones", r.Bones},
                       {"cmPerUnit", r.UnitsToCm}});
    } else {
      char line[512];
      std::snprintf(line, sizeof line,
                    "%s: max %.5f cm (at the samples %.5f), p99 %.5f cm, worst %s at %.3f s; "
                    "%d samples, %d bones, 1 unit = %.4g cm\n",
                    name, r.MaxCm, r.MaxAtSamplesCm, r.P99Cm, r.WorstBone.c_str(), r.WorstSeconds,
                    r.Samples, r.Bones, r.UnitsToCm);
      out << line;
    }
  }
  FreeFile(file);
  if (ok && options.Json)
    out << nlohmann::json{{"file", options.File}, {"clips", clips}}.dump(2) << "\n";
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

void AddVerifyCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<VerifyOptions>();
  CLI::App* command = app.add_subcommand(
      "verify",
      "Measure how faithfully a KT2 file's animation plays its source: virtual vertices 3 cm "
      "from each joint, on a grid of points per sample step, in centimetres");
  command->add_option("scene", options->Scene, "The source scene the file was exported from")
      ->required();
  command->add_option("file", options->File, "The KT2 file")->required();
  command
      ->add_option("--take", options->Takes,
                   "The take (repeatable) the file was exported from; every take without it")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command
      ->add_option("--scale", options->Scale,
                   "Centimetres per scene unit (default: the scene's unit, or for a scene "
                   "without one its figure taken as 170 cm tall)")
      ->check(CLI::PositiveNumber);
  command
      ->add_option("--points", options->PointsPerStep,
                   "Grid points per sample step (1: the "
                   "samples only)")
      ->check(CLI::Range(1, 64));
  command->add_flag("--json", options->Json, "One JSON object instead of lines");
  command->callback([options, &exitCode] { exitCode = RunVerify(*options, std::cout); });
}

}  // namespace ketrel::cli
