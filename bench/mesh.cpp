// Welding speed of the mesh builder against meshoptimizer's
// meshopt_generateVertexRemap on the same mesh, in the same run.
//
// The mesh is a grid of 708 x 708 quads (1,002,528 triangles) whose corners
// carry a position, a normal and texture coordinates (32 bytes). Normals are
// smooth; every 16th column is a texture seam, so the positions there weld
// into two vertices. meshoptimizer gets the same 3 x T corners as an
// unindexed vertex stream and finds the exact duplicates by hashing; the
// builder gets the positions once and the corners by position index, the
// way the exporter feeds it.
//
// Usage: bench_mesh [repetitions]   (best of N, default 5)

#include <meshoptimizer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rt/ketrel_memory.h"
#include "rt/ketrel_mesh_builder.h"

namespace {

using ketrel::data_type_definition;

data_type_definition Member(ketrel::member_type type, const char* name, int32_t width) {
  return data_type_definition{type, name, nullptr, width, {0, 0, 0}, 0};
}

data_type_definition VertexType[] = {
    Member(ketrel::Real32Member, "Position", 3), Member(ketrel::Real32Member, "Normal", 3),
    Member(ketrel::Real32Member, "TextureCoordinates0", 2), Member(ketrel::EndMember, nullptr, 0)};

struct Corner {
  float Position[3];
  float Normal[3];
  float UV[2];
};

struct Mesh {
  int Side = 708;
  std::vector<float> Positions;      // 3 per position
  std::vector<int32_t> CornerIndex;  // position of each corner
  std::vector<Corner> Corners;       // the unindexed stream
};

Mesh MakeGrid() {
  Mesh mesh;
  const int n = mesh.Side;
  const int row = n + 1;
  for (int y = 0; y <= n; ++y) {
    for (int x = 0; x <= n; ++x) {
      mesh.Positions.push_back(static_cast<float>(x));
      mesh.Positions.push_back(static_cast<float>(y));
      mesh.Positions.push_back(std::sin(x * 0.05f) * std::cos(y * 0.05f) * 4.0f);
    }
  }
  auto corner = [&](int x, int y, int quadX) {
    const int p = y * row + x;
    Corner c;
    for (int k = 0; k < 3; ++k) c.Position[k] = mesh.Positions[3 * p + k];
    const float nx = -std::cos(x * 0.05f) * std::cos(y * 0.05f) * 0.2f;
    const float ny = std::sin(x * 0.05f) * std::sin(y * 0.05f) * 0.2f;
    const float length = std::sqrt(nx * nx + ny * ny + 1.0f);
    c.Normal[0] = nx / length;
    c.Normal[1] = ny / length;
    c.Normal[2] = 1.0f / length;
    // Texture tiles of 16 columns: a seam column has u = 1 for the tile on
    // its left and u = 0 for the tile on its right.
    const int tile = quadX / 16;
    c.UV[0] = static_cast<float>(x - tile * 16) / 16.0f;
    c.UV[1] = static_cast<float>(y) / static_cast<float>(n);
    mesh.CornerIndex.push_back(p);
    mesh.Corners.push_back(c);
  };
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      corner(x, y, x);
      corner(x + 1, y, x);
      corner(x + 1, y + 1, x);
      corner(x, y, x);
      corner(x + 1, y + 1, x);
      corner(x, y + 1, x);
    }
  }
  return mesh;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct OurRun {
  double Weld = 0;
  double End = 0;
  int32_t Vertices = 0;
};

OurRun RunBuilder(const Mesh& mesh) {
  OurRun run;
  const int32_t positions = static_cast<int32_t>(mesh.Positions.size() / 3);
  const int32_t triangles = static_cast<int32_t>(mesh.Corners.size() / 3);
  const auto start = std::chrono::steady_clock::now();
  ketrel::mesh_builder* b = ketrel::BeginMesh(positions, triangles, 1, 0, VertexType);
  if (b == nullptr) std::abort();
  for (int32_t p = 0; p < positions; ++p) {
    ketrel::SetPosition(b, mesh.Positions[3 * p], mesh.Positions[3 * p + 1],
                        mesh.Positions[3 * p + 2]);
    ketrel::PushVertex(b);
  }
  for (int32_t t = 0; t < triangles; ++t) {
    for (int32_t c = 0; c < 3; ++c) {
      const Corner& corner = mesh.Corners[3 * t + c];
      ketrel::SetCornerPositionIndex(b, c, mesh.CornerIndex[3 * t + c]);
      ketrel::SetCornerNormal(b, c, corner.Normal[0], corner.Normal[1], corner.Normal[2]);
      ketrel::SetCornerChannel(b, c, 0, corner.UV, 2);
    }
    ketrel::PushTriangle(b);
  }
  run.Weld = Seconds(start);
  run.Vertices = ketrel::GetVertexCount(b);

  const auto endStart = std::chrono::steady_clock::now();
  void* vertexMemory = KT_ALLOCATE(ketrel::GetResultingVertexDataSize(b));
  void* topologyMemory = KT_ALLOCATE(ketrel::GetResultingTopologySize(b));
  ketrel::vertex_data* data = nullptr;
  ketrel::tri_topology* topology = nullptr;
  if (!ketrel::EndMeshAndFree(b, vertexMemory, &data, topologyMemory, &topology)) std::abort();
  run.End = Seconds(endStart);
  ketrel::FreeBlock(vertexMemory);
  ketrel::FreeBlock(topologyMemory);
  return run;
}

double RunMeshoptimizer(const Mesh& mesh, size_t* uniqueVertices) {
  std::vector<unsigned int> remap(mesh.Corners.size());
  const auto start = std::chrono::steady_clock::now();
  *uniqueVertices =
      meshopt_generateVertexRemap(remap.data(), nullptr, mesh.Corners.size(), mesh.Corners.data(),
                                  mesh.Corners.size(), sizeof(Corner));
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const Mesh mesh = MakeGrid();
  std::printf("mesh: %zu positions, %zu triangles, %zu corners of %zu bytes\n",
              mesh.Positions.size() / 3, mesh.Corners.size() / 3, mesh.Corners.size(),
              sizeof(Corner));
  double ours = 1e30, ourEnd = 1e30, theirs = 1e30;
  int32_t ourVertices = 0;
  size_t theirVertices = 0;
  // Interleaved, best of N, so both see the same machine load.
  for (int i = 0; i < repetitions; ++i) {
    const OurRun run = RunBuilder(mesh);
    ours = std::min(ours, run.Weld);
    ourEnd = std::min(ourEnd, run.End);
    ourVertices = run.Vertices;
    theirs = std::min(theirs, RunMeshoptimizer(mesh, &theirVertices));
  }
  std::printf("ketrel mesh builder weld:             %8.2f ms  (%d vertices)\n", ours * 1e3,
              ourVertices);
  std::printf("ketrel EndMesh (groups, maps, layout): %8.2f ms\n", ourEnd * 1e3);
  std::printf("meshopt_generateVertexRemap:          %8.2f ms  (%zu vertices)\n", theirs * 1e3,
              theirVertices);
  std::printf("ratio ketrel / meshoptimizer:         %8.2f  (below 1: ours is faster)\n",
              ours / theirs);
  if (static_cast<size_t>(ourVertices) != theirVertices) {
    std::printf("warning: the two welds found different vertex counts\n");
  }
  return 0;
}
