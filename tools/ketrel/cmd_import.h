#pragma once
// `ketrel import SCENE OUT.kscene [--take NAME|INDEX]`: a real scene file as a
// host scene document, so that per-object settings can be stored with it.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace ketrel::cli {

struct ImportOptions {
  std::string Scene;
  std::string Output;
  std::vector<std::string> Takes;  // --take NAME|INDEX, repeatable; empty: every take
  bool ListTakes = false;
  int ImportFault = 0;  // hidden --test-import-fault: host::ImportFault
};

int RunImport(const ImportOptions& options);
void AddImportCommand(CLI::App& app, int& exitCode);

}  // namespace ketrel::cli
