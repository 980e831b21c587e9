// Hostile scene documents (.kscene) through the loader and, for whatever
// loads, through a whole export into memory: node walk, mesh accessor, mesh
// conversion, skeletons, animation and the file builder. A document must be
// refused with a message or export cleanly; any crash, uncaught exception,
// sanitizer report or leaked library block is a finding, an export that
// claims success must have produced a file the reader accepts, and a second
// export of the same scene must give the same bytes.
//
// Bounds, so that one input exports in milliseconds rather than seconds
// (every limit is far above what the seed corpus needs and only skips the
// input; it hides no fault class, only sheer size):
//   - input text up to 64 KB;
//   - up to 64 nodes and 32 materials;
//   - up to 4096 mesh elements (vertices, faces, normals, map and tangent
//     entries, skin influences) per mesh and morph target, and 16384 in the
//     whole scene, since an export evaluates every mesh at several times;
//   - up to 8 morph channels per node;
//   - up to 64 frames of animation (at any frame rate): sampling evaluates
//     every node and morph at every frame;
//   - up to 64 vertex datas (meshes plus morph targets) as the exporter
//     counts them: a node's settings may ask for one morph target per frame
//     of a capture of up to 10000 frames.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "export/host/host_scene.h"
#include "export/host/host_scene_document.h"
#include "export/host/host_tool_interface.h"
#include "export/ketrel_mesh_conversion.h"
#include "export/ketrel_scene_parser.h"
#include "export/ketrel_export_operations.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace {

using namespace ketrel;
using namespace ketrel::host;

constexpr size_t kMaxInput = 64 * 1024;
constexpr size_t kMaxNodes = 64;
constexpr size_t kMaxMaterials = 32;
constexpr size_t kMaxMeshElements = 4096;
constexpr size_t kMaxSceneElements = 16384;
constexpr size_t kMaxMorphChannels = 8;
constexpr int64_t kMaxFrames = 64;
constexpr int32_t kMaxVertexDatas = 64;

size_t MeshElements(const TriMesh& mesh) {
  size_t n = mesh.Vertices.size() + mesh.Faces.size() + mesh.Normals.size() +
             mesh.NormalFaces.size() + mesh.Tangents.size() + mesh.Binormals.size() +
             mesh.TangentFaces.size();
  for (const MapChannel& map : mesh.Maps) n += map.Vertices.size() + map.Faces.size();
  return n / 3;
}

// Whether the scene is small enough to export quickly.
bool WithinBounds(Scene& scene) {
  if (scene.Nodes.size() > kMaxNodes || scene.Materials.size() > kMaxMaterials) return false;
  const int64_t range = int64_t(scene.AnimationEnd) - scene.AnimationStart;
  if (range > kMaxFrames * scene.TicksPerFrame()) return false;
  size_t total = 0;
  for (const auto& node : scene.Nodes) {
    if (node->MorphChannels.size() > kMaxMorphChannels) return false;
    size_t elements = MeshElements(node->Mesh);
    for (const auto& influences : node->SkinWeights) elements += influences.size();
    if (elements > kMaxMeshElements) return false;
    total += elements;
    for (const MorphChannel& channel : node->MorphChannels) {
      const size_t target = MeshElements(channel.Target);
      if (target > kMaxMeshElements) return false;
      total += target;
    }
  }
  if (total > kMaxSceneElements) return false;
  // Morph targets the settings ask for, counted as the export will.
  std::unique_ptr<HostToolInterface> tool = CreateToolInterface(scene, WalkOptions());
  SceneParser* parser = BeginSceneParse(tool.get());
  const int32_t datas = parser ? CountMeshVertexDatas(parser) : 0;
  EndSceneParse(parser);
  return datas <= kMaxVertexDatas;
}

void Quiet(LogType, LogOrigin, const char*, int, const char*, void*) {}

// The exported file's bytes; `ok` says whether the export succeeded.
std::vector<uint8_t> ExportIntoMemory(Scene& scene, bool& ok) {
  std::unique_ptr<HostToolInterface> tool = CreateToolInterface(scene, WalkOptions());
  file_writer* memory = CreateMemoryFileWriter(4096, 0);
  if (!memory) std::abort();
  ExportRequest request;
  request.ShowProgress = false;
  std::vector<uint8_t> bytes;
  ok = ExportSceneToWriter(tool.get(), memory, request);
  if (ok) {
    size_t size = 0;
    const uint8_t* data = static_cast<const uint8_t*>(GetMemoryWriterBytes(memory, &size));
    bytes.assign(data, data + size);
    ketrel_file* file = ReadEntireFileFromMemory(data, size);
    if (!file) std::abort();  // success must mean a whole, readable file
    FreeFile(file);
  }
  DeleteFileWriter(memory);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScopedLogCallback quiet(Quiet, nullptr);
  if (size > kMaxInput) return -1;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Relative bitmap names resolve into a directory that does not exist, so
  // no input reads the machine's files.
  Scene scene;
  std::string error;
  if (!ParseSceneDocument(text, "/nonexistent-kscene-fuzz", scene, &error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const LeakScope scope = OpenLeakScope();
  const size_t live = LiveBlockCount();
  int result = -1;
  if (WithinBounds(scene)) {
    // The same scene exports to the same bytes: nothing in the file may
    // depend on addresses or on memory the export did not write.
    bool first = false, second = false;
    const std::vector<uint8_t> once = ExportIntoMemory(scene, first);
    const std::vector<uint8_t> twice = ExportIntoMemory(scene, second);
    if (first != second || once != twice) std::abort();
    result = 0;
  }
  if (LiveBlockCount() != live) std::abort();
  CloseLeakScope(scope);
  return result;
}
