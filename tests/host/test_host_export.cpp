#include "export/host/host_export.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "export/host/host_scene_document.h"
#include "rt/ketrel_file_reader.h"
#include "tests/support/log_capture.h"

namespace ketrel::host {
namespace {

const std::string kFigure = std::string(KETREL_SOURCE_DIR) + "/examples/figure.kscene";

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The file into memory, or empty when the export failed.
std::vector<uint8_t> ExportToMemory(Scene& scene, const WalkOptions& walk = WalkOptions()) {
  std::unique_ptr<HostToolInterface> tool = CreateToolInterface(scene, walk);
  file_writer* memory = CreateMemoryFileWriter(4096, 0);
  ExportRequest request;
  request.ShowProgress = false;
  std::vector<uint8_t> bytes;
  if (ExportSceneToWriter(tool.get(), memory, request)) {
    size_t size = 0;
    const uint8_t* data = static_cast<const uint8_t*>(GetMemoryWriterBytes(memory, &size));
    bytes.assign(data, data + size);
  }
  DeleteFileWriter(memory);
  return bytes;
}

TEST(HostExport, MemoryExportHoldsTheSameFileAsTheFileExport) {
  Scene scene;
  ASSERT_TRUE(LoadSceneDocument(kFigure, scene));
  const std::string path = std::string(KETREL_BINARY_DIR) + "/host_export_figure.kt2";
  HostExportOptions options;
  options.FileName = path;
  options.Request.ShowProgress = false;
  ASSERT_TRUE(ExportHostScene(scene, options));
  const std::vector<uint8_t> onDisk = ReadBytes(path);
  std::remove(path.c_str());

  const std::vector<uint8_t> inMemory = ExportToMemory(scene);
  ASSERT_FALSE(inMemory.empty());
  EXPECT_EQ(inMemory, onDisk);
  ketrel_file* file = ReadEntireFileFromMemory(inMemory.data(), inMemory.size());
  EXPECT_NE(file, nullptr);
  FreeFile(file);
}

TEST(HostExport, FailedMemoryExportReportsFailure) {
  Scene scene;
  ASSERT_TRUE(LoadSceneDocument(kFigure, scene));
  test::LogCapture log;
  WalkOptions walk;
  walk.SyntheticRootName = "NoSuchBone";  // the walk refuses a missing named root
  EXPECT_TRUE(ExportToMemory(scene, walk).empty());
  EXPECT_GT(log.errors(), 0u);
}

}  // namespace
}  // namespace ketrel::host
