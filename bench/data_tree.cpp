// Times the data tree writer over a typical export-sized tree: a skeleton,
// a mesh with a mixed-marshalling vertex array, and a track group whose
// transform tracks each refer to their own copy of an equal curve type (so
// type merging is exercised once per track).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "rt/ketrel_data_tree_writer.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_standard_types.h"

namespace {

using namespace ketrel;

using type_table::M;

struct Tree {
  explicit Tree(int bones, int vertices) {
    names.resize(bones);
    boneArray.resize(bones);
    for (int i = 0; i < bones; ++i) {
      names[i] = "Bone" + std::to_string(i);
      boneArray[i].Name = names[i].c_str();
      boneArray[i].ParentIndex = i - 1;
      boneArray[i].Transform = IdentityTransform();
    }
    skel.Name = "Skeleton";
    skel.BoneCount = bones;
    skel.Bones = boneArray.data();
    skeletons[0] = &skel;

    vertexType = {M(Real32Member, "Position", nullptr, 3),
                  M(NormalUInt8Member, "BoneWeights", nullptr, 4),
                  M(UInt8Member, "BoneIndices", nullptr, 4),
                  M(Real16Member, "TextureCoordinates0", nullptr, 2),
                  {}};
    vertexBytes.assign(size_t(vertices) * 24, 1);
    vdata.Vertices = variant_array{vertexType.data(), vertices, vertexBytes.data()};
    vertexDatas[0] = &vdata;

    // One curve type definition per track, all equal.
    curveTypes.resize(bones);
    curveData.assign(size_t(bones) * 16, 0);
    tracks.resize(bones);
    for (int i = 0; i < bones; ++i) {
      curveTypes[i] = {M(Int16Member, "Format"),
                       M(Int16Member, "Degree"),
                       M(ReferenceToArrayMember, "Controls", Real32Type),
                       {}};
      tracks[i].Name = names[i].c_str();
      tracks[i].OrientationCurve.CurveData = variant{curveTypes[i].data(), &curveData[i * 16]};
    }
    group.Name = "Take";
    group.TransformTrackCount = bones;
    group.TransformTracks = tracks.data();
    group.InitialPlacement = IdentityTransform();
    groups[0] = &group;

    info.FromFileName = "bench.kscene";
    info.SkeletonCount = 1;
    info.Skeletons = skeletons;
    info.VertexDataCount = 1;
    info.VertexDatas = vertexDatas;
    info.TrackGroupCount = 1;
    info.TrackGroups = groups;
  }

  std::vector<std::string> names;
  std::vector<bone> boneArray;
  skeleton skel{};
  skeleton* skeletons[1];
  std::vector<data_type_definition> vertexType;
  std::vector<unsigned char> vertexBytes;
  vertex_data vdata{};
  vertex_data* vertexDatas[1];
  std::vector<std::vector<data_type_definition>> curveTypes;
  std::vector<unsigned char> curveData;
  std::vector<transform_track> tracks;
  track_group group{};
  track_group* groups[1];
  file_info info{};
};

void BM_WriteDataTree(benchmark::State& state) {
  Tree tree(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const file_magic_record magic = MakeMagicRecord(kNativePlatform);
  for (auto _ : state) {
    file_data_tree_writer* writer = BeginFileDataTreeWriting(FileInfoType, &tree.info, 0, 0);
    file_builder* builder = BeginFileInMemory(8, 0, magic, 4096);
    const bool ok = WriteDataTreeToFileBuilder(writer, builder);
    AbortFile(builder);
    if (!ok) state.SkipWithError("write failed");
    EndFileDataTreeWriting(writer);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  // The size of the file the tree makes, to show the work is real.
  file_data_tree_writer* writer = BeginFileDataTreeWriting(FileInfoType, &tree.info, 0, 0);
  file_builder* builder = BeginFileInMemory(8, 0, magic, 4096);
  WriteDataTreeToFileBuilder(writer, builder);
  file_writer* out = CreateMemoryFileWriter(-1, 1 << 20);
  EndFileToWriter(builder, out);
  size_t size = 0;
  GetMemoryWriterBytes(out, &size);
  DeleteFileWriter(out);
  EndFileDataTreeWriting(writer);
  state.counters["file_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_WriteDataTree)->Args({100, 10000})->Args({1000, 100000});

}  // namespace

BENCHMARK_MAIN();
