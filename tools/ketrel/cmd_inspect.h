#pragma once
// `ketrel info FILE.kt2` and `ketrel dump FILE.kt2 [--json] [--all] [--path P]`:
// looking inside any KT2 file of any platform.
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace ketrel::cli {

struct InfoOptions {
  std::string File;
  bool Json = false;  // the same facts as one JSON object
};

// Prints the magic and platform, the header fields, each section's
// compression, sizes, alignment and counts, whether the CRC matches, what
// the file holds and a verdict; as text, or with Json as one object.
// 0 only when the file is whole and valid (opening, CRC, every section and
// the object graph); 1 otherwise.
int RunInfo(const InfoOptions& options, std::ostream& out);
void AddInfoCommand(CLI::App& app, int& exitCode);

struct DumpOptions {
  std::string File;
  bool Json = false;  // never abbreviated (docs/JSON.md)
  bool All = false;   // print long arrays of the text dump in full
  std::string Path;   // e.g. "Models[0].Skeleton"; empty: the root object
};

// Prints the root object (or the part the path names) and everything it
// reaches through the file's own type definitions: member names, member
// types and values; shared objects are printed once and referred to by
// number afterwards. 0 on success, 1 when the file cannot be read or the path
// names nothing.
int RunDump(const DumpOptions& options, std::ostream& out);
void AddDumpCommand(CLI::App& app, int& exitCode);

}  // namespace ketrel::cli
