// Tangent frame generation: per-triangle frames from positions and the first
// texture coordinates, accumulated per vertex (splitting vertices whose
// triangles disagree in handedness or direction), smoothed across the
// vertices of one position, orthogonalised and written into the vertices.

#include <cmath>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_mesh_builder.h"
#include "rt/ketrel_mesh_builder_internal.h"

namespace ketrel {
namespace {

struct vec3 {
  float x = 0, y = 0, z = 0;
};

vec3 operator+(vec3 a, vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
vec3 operator-(vec3 a, vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
vec3 operator*(vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float Dot(vec3 a, vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
vec3 Cross(vec3 a, vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
bool IsZero(vec3 a) { return a.x == 0.0f && a.y == 0.0f && a.z == 0.0f; }

// Short vectors become zero rather than blowing up into NaN or noise.
vec3 Normalize(vec3 a) {
  const float length = std::sqrt(Dot(a, a));
  if (!(length > 1e-5f)) return {};
  return a * (1.0f / length);
}

// Handedness of a frame: +1, -1, or 0 when the frame is degenerate (matches
// anything).
int Handedness(vec3 t, vec3 b, vec3 n) {
  const float h = Dot(n, Cross(t, b));
  return h > 0.0f ? 1 : (h < 0.0f ? -1 : 0);
}

struct frame {
  vec3 t, b, n;
};

// Does a triangle frame (t, b, n) fit a vertex's accumulated frame? Zero
// vectors (texture coordinates without area) agree with anything.
bool FramesAgree(const frame& sum, vec3 t, vec3 b, vec3 n, float cosine) {
  if (IsZero(sum.t) && IsZero(sum.b) && IsZero(sum.n)) return true;
  const int hs = Handedness(sum.t, sum.b, sum.n);
  const int ht = Handedness(t, b, n);
  if (hs != 0 && ht != 0 && hs != ht) return false;
  const vec3 st = Normalize(sum.t);
  const vec3 sb = Normalize(sum.b);
  if (!IsZero(st) && !IsZero(t) && !(Dot(st, t) > cosine)) return false;
  if (!IsZero(sb) && !IsZero(b) && !(Dot(sb, b) > cosine)) return false;
  return true;
}

// Any unit vector perpendicular to n (n must be unit length).
vec3 Perpendicular(vec3 n) {
  const vec3 axis = std::fabs(n.x) < 0.9f ? vec3{1, 0, 0} : vec3{0, 1, 0};
  return Normalize(axis - n * Dot(n, axis));
}

class tangent_generator {
 public:
  explicit tangent_generator(mesh_builder* b) : b_(b) {}
  ~tangent_generator() {
    FreeBlock(sums_);
    FreeBlock(smoothed_);
    FreeBlock(orphaned_);
  }

  bool Run();

 private:
  uint8_t* Bytes(int32_t v) { return b_->Vertices.At(static_cast<size_t>(v)); }
  vec3 Load(int32_t plan, int32_t v) {
    vec3 value;
    if (plan >= 0) LoadMemberFloats(b_->Plans[plan], Bytes(v), &value.x, 3);
    return value;
  }
  void Store(int32_t plan, int32_t v, vec3 value) {
    if (plan >= 0) StoreMemberFloats(b_->Plans[plan], Bytes(v), &value.x, 3);
  }
  bool GrowFrames(size_t count);
  bool Accumulate();
  void RepairOwners();
  frame VertexFrame(int32_t v);
  void WriteDefaultFrames();

  mesh_builder* b_;
  frame* sums_ = nullptr;
  frame* smoothed_ = nullptr;
  uint8_t* orphaned_ = nullptr;
  size_t capacity_ = 0;
  bool anyOrphaned_ = false;
};

bool tangent_generator::GrowFrames(size_t count) {
  if (count <= capacity_) return true;
  size_t grown = capacity_ * 2;
  if (grown < count) grown = count;
  frame* sums = KT_ALLOCATE_ARRAY(frame, grown);
  uint8_t* orphaned = static_cast<uint8_t*>(KT_ALLOCATE_CLEARED(grown));
  if (sums == nullptr || orphaned == nullptr) {
    FreeBlock(sums);
    FreeBlock(orphaned);
    return false;
  }
  if (capacity_ > 0) {
    std::memcpy(static_cast<void*>(sums), sums_, sizeof(frame) * capacity_);
    std::memcpy(orphaned, orphaned_, capacity_);
  }
  for (size_t i = capacity_; i < grown; ++i) sums[i] = frame{};
  FreeBlock(sums_);
  FreeBlock(orphaned_);
  sums_ = sums;
  orphaned_ = orphaned;
  capacity_ = grown;
  return true;
}

bool tangent_generator::Accumulate() {
  // Running out of room here only costs the frames (the default frame is
  // written); the mesh itself stays whole, so it must not be marked broken.
  const bool wasOutOfMemory = b_->OutOfMemory;
  const size_t triangles = b_->Materials.Count;
  const size_t size = static_cast<size_t>(b_->VertexSize);
  for (size_t tri = 0; tri < triangles; ++tri) {
    int32_t* corners = b_->Corners3.Items + 3 * tri;
    vec3 p[3];
    float uv[3][2] = {};
    for (int c = 0; c < 3; ++c) {
      p[c] = Load(b_->PositionPlan, corners[c]);
      if (b_->TexturePlan >= 0) {
        LoadMemberFloats(b_->Plans[b_->TexturePlan], Bytes(corners[c]), uv[c], 2);
      }
    }
    const vec3 e1 = p[1] - p[0];
    const vec3 e2 = p[2] - p[0];
    const float du1 = uv[1][0] - uv[0][0], dv1 = uv[1][1] - uv[0][1];
    const float du2 = uv[2][0] - uv[0][0], dv2 = uv[2][1] - uv[0][1];
    const vec3 n = Normalize(Cross(e1, e2));
    vec3 t, bn;
    const float det = du1 * dv2 - du2 * dv1;
    if (det != 0.0f && std::isfinite(det)) {
      t = Normalize((e2 * dv1 - e1 * dv2) * (1.0f / det));
      bn = Normalize((e2 * du1 - e1 * du2) * (1.0f / det));
    }
    for (int c = 0; c < 3; ++c) {
      const int32_t vertex = corners[c];
      // Among the vertices of this position, one with the same data whose
      // frame fits; otherwise a new vertex takes this frame.
      int32_t chosen = -1;
      int32_t candidate = vertex;
      do {
        if ((candidate == vertex || std::memcmp(Bytes(candidate), Bytes(vertex), size) == 0) &&
            FramesAgree(sums_[candidate], t, bn, n, b_->TangentMergeCosine)) {
          chosen = candidate;
          break;
        }
        candidate = b_->Next[candidate];
      } while (candidate != vertex);
      if (chosen < 0) {
        if (!ReserveVertices(b_, 1) || !GrowFrames(static_cast<size_t>(VertexCountOf(b_)) + 1)) {
          b_->OutOfMemory = wasOutOfMemory;
          return false;
        }
        // Linked at the end of the ring of the corner's position.
        int32_t slot = vertex;
        while (slot >= b_->PositionCount) slot = b_->Next[slot];
        chosen = AppendVertexCopy(b_, vertex, slot);
        sums_[chosen] = frame{};
        b_->SourceValue[chosen] = b_->TriangleValues[tri];
        b_->SourcePlace[chosen] = b_->CornerPlaces[3 * tri + c];
      }
      if (chosen != vertex) {
        if (b_->Creator[vertex] == static_cast<int32_t>(tri)) {
          orphaned_[vertex] = 1;
          anyOrphaned_ = true;
        }
        b_->Creator[chosen] = static_cast<int32_t>(tri);
        corners[c] = chosen;
        const int32_t place = b_->CornerPlaces[3 * tri + c];
        const size_t polygon = static_cast<size_t>(b_->TrianglePolygon[tri]);
        if (place >= 0 && polygon < b_->PolygonStarts.Count) {
          const size_t start = static_cast<size_t>(b_->PolygonStarts[polygon]);
          const size_t end = polygon + 1 < b_->PolygonStarts.Count
                                 ? static_cast<size_t>(b_->PolygonStarts[polygon + 1])
                                 : b_->PolygonIndices.Count;
          if (start + static_cast<size_t>(place) < end) {
            b_->PolygonIndices[start + static_cast<size_t>(place)] = chosen;
          }
        }
      }
      frame& sum = sums_[chosen];
      sum.t = sum.t + t;
      sum.b = sum.b + bn;
      sum.n = sum.n + n;
    }
  }
  return true;
}

// A vertex a corner left names the first triangle (in corner order) that
// still uses it, or -1.
void tangent_generator::RepairOwners() {
  if (!anyOrphaned_) return;
  const size_t vertices = static_cast<size_t>(VertexCountOf(b_));
  for (size_t v = 0; v < vertices; ++v) {
    if (orphaned_[v]) b_->Creator[v] = -1;
  }
  const size_t triangles = b_->Materials.Count;
  for (size_t tri = 0; tri < triangles; ++tri) {
    for (int c = 0; c < 3; ++c) {
      const int32_t v = b_->Corners3[3 * tri + c];
      if (orphaned_[v]) {
        b_->Creator[v] = static_cast<int32_t>(tri);
        orphaned_[v] = 0;
      }
    }
  }
}

// The normalised frame of one vertex with its own normal. A vertex whose
// normal is zero takes the normal of its faces, so no frame is built around
// a zero vector.
frame tangent_generator::VertexFrame(int32_t v) {
  frame result;
  result.n = Normalize(Load(b_->NormalPlan, v));
  if (IsZero(result.n)) result.n = Normalize(sums_[v].n);
  result.t = Normalize(sums_[v].t);
  result.b = Normalize(sums_[v].b);
  return result;
}

void tangent_generator::WriteDefaultFrames() {
  const int32_t vertices = VertexCountOf(b_);
  for (int32_t v = 0; v < vertices; ++v) {
    Store(b_->TangentPlan, v, vec3{1, 0, 0});
    Store(b_->BinormalPlan, v, vec3{0, 1, 0});
    Store(b_->CrossPlan, v, vec3{0, 0, 1});
  }
}

bool tangent_generator::Run() {
  if (b_->TangentPlan < 0 && b_->BinormalPlan < 0 && b_->CrossPlan < 0) return true;
  const int32_t initial = VertexCountOf(b_);
  for (int32_t v = 0; v < initial; ++v) {
    Store(b_->TangentPlan, v, vec3{});
    Store(b_->BinormalPlan, v, vec3{});
    Store(b_->CrossPlan, v, vec3{});
  }
  if (!GrowFrames(static_cast<size_t>(initial) + 1) || !Accumulate()) {
    KT_LOG_ERROR(Mesh, "Unable to allocate the appropriate number of tangent frames");
    KT_LOG_ERROR(Mesh, "Failed to create the tangent space");
    // Corners may already point at split vertices; the owners must stay
    // consistent whatever happened.
    if (orphaned_ != nullptr) RepairOwners();
    WriteDefaultFrames();
    return false;
  }
  RepairOwners();
  const int32_t vertices = VertexCountOf(b_);
  smoothed_ = KT_ALLOCATE_ARRAY(frame, static_cast<size_t>(vertices) + 1);
  if (smoothed_ == nullptr) {
    KT_LOG_ERROR(Mesh, "Unable to allocate the appropriate number of tangent frames");
    KT_LOG_ERROR(Mesh, "Failed to create the tangent space");
    WriteDefaultFrames();
    return false;
  }
  for (int32_t v = 0; v < vertices; ++v) smoothed_[v] = VertexFrame(v);
  const float cosine = b_->TangentMergeCosine;
  for (int32_t v = 0; v < vertices; ++v) {
    // Smooth across the vertices of one position that share the normal.
    // Only frames of the same handedness whose tangents and binormals point
    // the same way are added, so the sum can never cancel to zero.
    const vec3 normal = Load(b_->NormalPlan, v);
    const frame own = smoothed_[v];
    frame sum = own;
    for (int32_t u = b_->Next[v]; u != v; u = b_->Next[u]) {
      const vec3 other = Load(b_->NormalPlan, u);
      const vec3 d = normal - other;
      if (!(std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z) < 1e-5f)) continue;
      const frame& f = smoothed_[u];
      const int h0 = Handedness(own.t, own.b, own.n);
      const int h1 = Handedness(f.t, f.b, f.n);
      if (h0 != 0 && h1 != 0 && h0 != h1) continue;
      if (!(Dot(own.t, f.t) > cosine) || !(Dot(own.b, f.b) > cosine)) continue;
      sum.t = sum.t + f.t;
      sum.b = sum.b + f.b;
    }
    vec3 t = Normalize(sum.t);
    vec3 bn = Normalize(sum.b);
    vec3 n = own.n;
    if (IsZero(n)) n = vec3{0, 0, 1};
    vec3 b2, t2;
    if (Dot(n, Cross(t, bn)) >= 0.0f) {
      b2 = Cross(t, n);
      t2 = Cross(n, b2);
    } else {
      b2 = Cross(n, t);
      t2 = Cross(b2, n);
    }
    t2 = Normalize(t2);
    b2 = Normalize(b2);
    if (IsZero(t2)) {
      // No usable texture direction: any frame around the normal beats a
      // zero tangent.
      t2 = Perpendicular(n);
      b2 = Normalize(Cross(t2, n));
    }
    Store(b_->TangentPlan, v, t2);
    Store(b_->BinormalPlan, v, b2);
    Store(b_->CrossPlan, v, n);
  }
  return true;
}

}  // namespace

bool GenerateTangentSpace(mesh_builder* builder) {
  if (builder == nullptr) return false;
  tangent_generator generator(builder);
  return generator.Run();
}

}  // namespace ketrel
