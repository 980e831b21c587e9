#include "export/host/host_scene.h"

#include <cstdlib>

#include <algorithm>
#include <cmath>

namespace ketrel::host {
namespace {

// The key interval containing `tick`: index of the key at or before it and
// the fraction towards the next. Ticks before the first or after the last key
// hold the end value (fraction 0).
struct Span {
  size_t key = 0;
  float t = 0;
};

Span FindSpan(const std::vector<int32_t>& ticks, int32_t tick) {
  if (tick <= ticks.front()) return {0, 0};
  if (tick >= ticks.back()) return {ticks.size() - 1, 0};
  size_t next =
      static_cast<size_t>(std::upper_bound(ticks.begin(), ticks.end(), tick) - ticks.begin());
  size_t key = next - 1;
  double length = double(ticks[next]) - ticks[key];
  return {key, length > 0 ? float((double(tick) - ticks[key]) / length) : 0.0f};
}

// Eases a fraction in and out of the keys (zero slope at both ends).
float Ease(float t) { return t * t * (3 - 2 * t); }

}  // namespace

void ValueTrack::Evaluate(int32_t tick, float* out) const {
  if (Dimension <= 0) return;
  size_t n = static_cast<size_t>(Dimension);
  if (KeyTicks.empty() || KeyValues.size() < KeyTicks.size() * n) {
    for (size_t d = 0; d < n; ++d) out[d] = d < Value.size() ? Value[d] : 0.0f;
    return;
  }
  Span span = FindSpan(KeyTicks, tick);
  const float* a = &KeyValues[span.key * n];
  if (span.t == 0 || Mode == Interpolation::Step) {
    for (size_t d = 0; d < n; ++d) out[d] = a[d];
    return;
  }
  const float* b = &KeyValues[(span.key + 1) * n];
  if (Mode == Interpolation::Linear) {
    for (size_t d = 0; d < n; ++d) out[d] = a[d] + (b[d] - a[d]) * span.t;
    return;
  }
  // Smooth: cubic Hermite with Catmull-Rom tangents scaled to the key spacing,
  // so unevenly spaced keys do not overshoot.
  size_t k = span.key;
  double dt = double(KeyTicks[k + 1]) - KeyTicks[k];
  float t = span.t, t2 = t * t, t3 = t2 * t;
  float h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t, h01 = -2 * t3 + 3 * t2, h11 = t3 - t2;
  for (size_t d = 0; d < n; ++d) {
    auto slope = [&](size_t i) -> double {
      size_t lo = i > 0 ? i - 1 : i, hi = i + 1 < KeyTicks.size() ? i + 1 : i;
      double span_ticks = double(KeyTicks[hi]) - KeyTicks[lo];
      return span_ticks > 0 ? (KeyValues[hi * n + d] - KeyValues[lo * n + d]) / span_ticks : 0.0;
    };
    out[d] = float(h00 * a[d] + h10 * slope(k) * dt + h01 * b[d] + h11 * slope(k + 1) * dt);
  }
}

Quaternion RotationTrack::Evaluate(int32_t tick) const {
  if (KeyTicks.empty() || KeyValues.size() < KeyTicks.size()) return Normalize(Value);
  Span span = FindSpan(KeyTicks, tick);
  const Quaternion& a = KeyValues[span.key];
  if (span.t == 0 || Mode == Interpolation::Step) return Normalize(a);
  const Quaternion& b = KeyValues[span.key + 1];
  return Slerp(Normalize(a), Normalize(b), Mode == Interpolation::Smooth ? Ease(span.t) : span.t);
}

TransformController::TransformController() {
  Position.Dimension = 3;
  Position.Value = {0, 0, 0};
  Scale.Dimension = 3;
  Scale.Value = {1, 1, 1};
}

HostMatrix TransformController::Evaluate(int32_t tick) const {
  float p[3], s[3];
  Position.Evaluate(tick, p);
  Scale.Evaluate(tick, s);
  return ComposeHostMatrix({p[0], p[1], p[2]}, Rotation.Evaluate(tick), {s[0], s[1], s[2]});
}

Scene::Scene() : Root(std::make_unique<Node>()) { Root->Name = "Scene Root"; }

Node* Scene::AddNode(const std::string& name, Node* parent) {
  auto node = std::make_unique<Node>();
  node->Name = name;
  node->Parent = parent ? parent : Root.get();
  node->Index = static_cast<int32_t>(Nodes.size());
  node->Parent->Children.push_back(node.get());
  Nodes.push_back(std::move(node));
  return Nodes.back().get();
}

Material* Scene::AddMaterial(const std::string& name) {
  auto material = std::make_unique<Material>();
  material->Name = name;
  Materials.push_back(std::move(material));
  return Materials.back().get();
}

Node* Scene::FindNode(const std::string& name) const {
  for (const auto& node : Nodes)
    if (node->Name == name) return node.get();
  return nullptr;
}

void Scene::ClearSelection() {
  for (const auto& node : Nodes) node->Selected = false;
}

HostMatrix Scene::NodeTransform(const Node* node, int32_t tick) const {
  HostMatrix result;
  // Parents are finite chains (the loader refuses cycles); the depth cap
  // keeps a hand-built cyclic scene from hanging.
  size_t depth = 0;
  for (const Node* at = node; at && at != Root.get() && depth <= Nodes.size();
       at = at->Parent, ++depth) {
    result = Multiply(result, at->Transform.Evaluate(tick));
  }
  return result;
}

std::vector<std::string> UniqueTakeNames(const Scene& scene) {
  std::vector<std::string> names;
  for (const Take& take : scene.Takes) {
    std::string name = take.Name;
    for (int n = 2; std::find(names.begin(), names.end(), name) != names.end(); ++n)
      name = take.Name + "_" + std::to_string(n);
    names.push_back(name);
  }
  return names;
}

bool ResolveTakes(const Scene& scene, const std::vector<std::string>& asked,
                  std::vector<int32_t>& indices, std::string& error) {
  std::vector<bool> wanted(scene.Takes.size(), false);
  for (const std::string& name : asked) {
    size_t found = scene.Takes.size();
    for (size_t i = 0; i < scene.Takes.size() && found == scene.Takes.size(); ++i)
      if (scene.Takes[i].Name == name) found = i;
    char* end = nullptr;
    const long index = std::strtol(name.c_str(), &end, 10);
    if (found == scene.Takes.size() && !name.empty() && end && *end == 0 && index >= 0 &&
        size_t(index) < scene.Takes.size())
      found = size_t(index);
    if (found == scene.Takes.size()) {
      error = "no take \"" + name + "\" in the scene (takes:";
      for (size_t i = 0; i < scene.Takes.size(); ++i)
        error.append(" ")
            .append(std::to_string(i))
            .append(" \"")
            .append(scene.Takes[i].Name)
            .append("\"");
      error += scene.Takes.empty() ? " none)" : ")";
      return false;
    }
    wanted[found] = true;
  }
  indices.clear();
  for (size_t i = 0; i < wanted.size(); ++i)
    if (wanted[i]) indices.push_back(int32_t(i));
  return true;
}

bool IsValidFrameRate(int32_t frameRate) {
  return frameRate >= 1 && frameRate <= kTicksPerSecond && kTicksPerSecond % frameRate == 0;
}

int32_t KeyRateOversampling(const Scene& scene, int32_t most) {
  int32_t finest = 0;
  auto inOneTake = [&](int32_t a, int32_t b) {
    if (scene.Takes.empty()) return true;
    for (const Take& take : scene.Takes) {
      if (a >= take.Start && b <= take.End) return a != take.Start && b != take.End;
    }
    return false;
  };
  auto scan = [&](const std::vector<int32_t>& ticks) {
    for (size_t k = 1; k < ticks.size(); ++k) {
      const int64_t gap = int64_t(ticks[k]) - ticks[k - 1];
      if (gap > 0 && (finest == 0 || gap < finest) && inOneTake(ticks[k - 1], ticks[k]))
        finest = int32_t(std::min<int64_t>(gap, INT32_MAX));
    }
  };
  for (const auto& node : scene.Nodes) {
    scan(node->Transform.Position.KeyTicks);
    scan(node->Transform.Rotation.KeyTicks);
    scan(node->Transform.Scale.KeyTicks);
  }
  const int32_t perFrame = scene.TicksPerFrame();
  if (finest <= 0 || finest >= perFrame) return 1;
  return std::min(most, (perFrame + finest - 1) / finest);
}

const MapChannel* TriMesh::FindMap(int32_t channel) const {
  for (const MapChannel& map : Maps)
    if (map.Channel == channel) return &map;
  return nullptr;
}

}  // namespace ketrel::host
