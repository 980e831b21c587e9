#include "export/host/host_assimp_takes.h"

#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

// Assimp's default when a file does not say how fast its clock runs.
constexpr double kDefaultTicksPerSecond = 25.0;

// A node's transform parts, as the controller holds them.
struct Parts {
  Vector3 Position;
  Quaternion Rotation;
  Vector3 Scale{1, 1, 1};
};

// Where one take lies on the scene's timeline.
struct Span {
  int32_t Start = 0, End = 0;
  int32_t Offset = 0;  // added to the take's own ticks
};

// Keys of one track as plain floats, `Dimension` per key.
struct FlatKeys {
  std::vector<int32_t> Ticks;
  std::vector<float> Values;
  void Push(int32_t tick, const float* value, size_t dimension) {
    Ticks.push_back(tick);
    Values.insert(Values.end(), value, value + dimension);
  }
};

// One track on the scene's timeline: the rest value at the rest time, then
// per take its own keys moved to where the take lies, held to both ends
// of the take; a take that leaves the track alone holds the node's own
// unanimated value.
FlatKeys Lay(const std::vector<const FlatKeys*>& perTake, const std::vector<Span>& spans,
             int32_t restTick, const float* rest, const float* still, size_t dimension) {
  FlatKeys out;
  out.Push(restTick, rest, dimension);
  for (size_t i = 0; i < spans.size(); ++i) {
    const Span& span = spans[i];
    const FlatKeys* keys = perTake[i];
    if (!keys || keys->Ticks.empty()) {
      out.Push(span.Start, still, dimension);
      if (span.End > span.Start) out.Push(span.End, still, dimension);
      continue;
    }
    const float* firstValue = keys->Values.data();
    const float* lastValue = keys->Values.data() + keys->Values.size() - dimension;
    if (keys->Ticks.front() + span.Offset > span.Start) out.Push(span.Start, firstValue, dimension);
    for (size_t k = 0; k < keys->Ticks.size(); ++k)
      out.Push(keys->Ticks[k] + span.Offset, keys->Values.data() + k * dimension, dimension);
    if (keys->Ticks.back() + span.Offset < span.End) out.Push(span.End, lastValue, dimension);
  }
  return out;
}

FlatKeys Flat(const ValueTrack& track) { return {track.KeyTicks, track.KeyValues}; }
FlatKeys Flat(const RotationTrack& track) {
  FlatKeys out;
  for (size_t k = 0; k < track.KeyTicks.size(); ++k) {
    const Quaternion& q = track.KeyValues[k];
    const float v[4] = {q.x, q.y, q.z, q.w};
    out.Push(track.KeyTicks[k], v, 4);
  }
  return out;
}
void Store(FlatKeys keys, ValueTrack& track) {
  track.KeyTicks = std::move(keys.Ticks);
  track.KeyValues = std::move(keys.Values);
}
void Store(const FlatKeys& keys, RotationTrack& track) {
  track.KeyTicks = keys.Ticks;
  track.KeyValues.clear();
  for (size_t k = 0; k < keys.Ticks.size(); ++k) {
    const float* v = keys.Values.data() + 4 * k;
    track.KeyValues.push_back(Quaternion{v[0], v[1], v[2], v[3]});
  }
}

// The rest pose of skin bones is their bind pose: where a skin's bind
// matrix puts a bone elsewhere than its unanimated transform does, the
// bone's rest transform (relative to its parent's rest pose) differs from
// its own. The first skin that lists a bone decides.
std::map<Node*, Parts> BindRestOverrides(Scene& scene) {
  std::map<const Node*, HostMatrix> bindWorld;
  for (const auto& node : scene.Nodes) {
    for (size_t b = 0; b < node->SkinBones.size() && b < node->BindMatrices.size(); ++b) {
      if (node->SkinBones[b]) bindWorld.emplace(node->SkinBones[b], node->BindMatrices[b]);
    }
  }
  std::map<Node*, Parts> overrides;
  if (bindWorld.empty()) return overrides;
  std::map<const Node*, HostMatrix> rest;  // world; parents come before children
  for (const auto& owned : scene.Nodes) {
    Node* node = owned.get();
    const TransformController& t = node->Transform;
    const HostMatrix own = t.Evaluate(0);  // no keys yet: the unanimated transform
    const auto up = rest.find(node->Parent);
    const HostMatrix parent = up != rest.end() ? up->second : HostMatrix{};
    const auto bound = bindWorld.find(node);
    if (bound == bindWorld.end()) {
      rest[node] = Multiply(own, parent);
      continue;
    }
    rest[node] = bound->second;
    HostMatrix inverse;
    if (!Inverse(parent, inverse)) continue;
    const HostMatrix local = Multiply(bound->second, inverse);
    float difference = 0, size = 1;
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 3; ++c) {
        difference = std::max(difference, std::fabs(local.m[r][c] - own.m[r][c]));
        size = std::max(size, std::fabs(own.m[r][c]));
      }
    }
    if (difference <= 1e-5f * size) continue;
    TransformParts parts;
    DecomposeHostMatrix(local, parts);
    const float(&s)[3][3] = parts.ScaleShear;
    if (std::fabs(s[0][1]) + std::fabs(s[0][2]) + std::fabs(s[1][2]) > 1e-4f)
      KT_LOG_WARNING_CODE(Host, warning::BindPoseSheared, node->Name.c_str(),
                          "The bind pose of %s is sheared; its rest pose keeps only its scale",
                          node->Name.c_str());
    Parts p;
    p.Position = {parts.Position[0], parts.Position[1], parts.Position[2]};
    p.Rotation = Quaternion{parts.Orientation[0], parts.Orientation[1], parts.Orientation[2],
                            parts.Orientation[3]};
    p.Scale = {s[0][0], s[1][1], s[2][2]};
    overrides[node] = p;
  }
  return overrides;
}

}  // namespace

double TicksPerSecond(const aiAnimation* clip) {
  return clip->mTicksPerSecond > 0 ? clip->mTicksPerSecond : kDefaultTicksPerSecond;
}

// Clips that animate different nodes over the same span (exporters that write
// one clip per joint) are merged into one take.
std::vector<FileTake> GroupTakes(const aiScene* scene) {
  std::vector<FileTake> takes;
  std::set<std::string> animated;  // of the take being grown
  for (unsigned i = 0; i < scene->mNumAnimations; ++i) {
    const aiAnimation* clip = scene->mAnimations[i];
    if (!clip) continue;
    bool joins = false;
    if (!takes.empty()) {
      const aiAnimation* first = takes.back().Clips.front();
      double seconds = clip->mDuration / TicksPerSecond(clip);
      double firstSeconds = first->mDuration / TicksPerSecond(first);
      joins = std::fabs(seconds - firstSeconds) <= 1e-6 * std::max(1.0, firstSeconds);
      for (unsigned c = 0; joins && c < clip->mNumChannels; ++c) {
        joins = !animated.count(clip->mChannels[c]->mNodeName.C_Str());
      }
    }
    if (!joins) {
      FileTake take;
      take.Name = clip->mName.length ? clip->mName.C_Str() : "Take " + std::to_string(takes.size());
      std::string unique = take.Name;
      for (int n = 2; std::any_of(takes.begin(), takes.end(),
                                  [&](const FileTake& t) { return t.Name == unique; });
           ++n)
        unique = take.Name + "_" + std::to_string(n);
      if (unique != take.Name) {
        KT_LOG_WARNING_CODE(Host, warning::TakeRenamed, take.Name.c_str(),
                            "Two takes are named %s; the later one is called %s", take.Name.c_str(),
                            unique.c_str());
        take.Name = unique;
      }
      takes.push_back(take);
      animated.clear();
    }
    takes.back().Clips.push_back(clip);
    for (unsigned c = 0; c < clip->mNumChannels; ++c) {
      animated.insert(clip->mChannels[c]->mNodeName.C_Str());
    }
  }
  return takes;
}

int32_t KeyFrameRate(const std::vector<const aiAnimation*>& clips) {
  double finest = 0;
  auto scan = [&](auto* keys, unsigned count, double ticksPerSecond) {
    for (unsigned k = 1; k < count; ++k) {
      const double gap = (keys[k].mTime - keys[k - 1].mTime) / ticksPerSecond;
      // Keys closer than a host tick are duplicates, not a rate.
      if (gap * kTicksPerSecond >= 0.5 && (finest == 0 || gap < finest)) finest = gap;
    }
  };
  for (const aiAnimation* clip : clips) {
    const double tps = clip->mTicksPerSecond > 0 ? clip->mTicksPerSecond : kDefaultTicksPerSecond;
    for (unsigned c = 0; c < clip->mNumChannels; ++c) {
      const aiNodeAnim* channel = clip->mChannels[c];
      scan(channel->mPositionKeys, channel->mNumPositionKeys, tps);
      scan(channel->mRotationKeys, channel->mNumRotationKeys, tps);
      scan(channel->mScalingKeys, channel->mNumScalingKeys, tps);
    }
    for (unsigned c = 0; c < clip->mNumMorphMeshChannels; ++c) {
      const aiMeshMorphAnim* channel = clip->mMorphMeshChannels[c];
      if (channel) scan(channel->mKeys, channel->mNumKeys, tps);
    }
  }
  if (!(finest > 0)) return 0;
  const double rate = 1.0 / finest;
  const double whole = std::round(rate);
  if (whole < 1 || whole > kTicksPerSecond || std::fabs(rate - whole) > 1e-3 * whole) return 0;
  return IsValidFrameRate(int32_t(whole)) ? int32_t(whole) : 0;
}

double SnappedTicksPerSecond(double ticksPerSecond, int32_t keyRate) {
  if (keyRate > 0 && std::fabs(ticksPerSecond - keyRate) <= 1e-3 * keyRate) return keyRate;
  return ticksPerSecond;
}

int32_t HostTick(double time, double ticksPerSecond) {
  double seconds = time / ticksPerSecond;
  double tick = std::round(seconds * kTicksPerSecond);
  if (!(tick > -2e9)) return -2000000000;
  if (tick > 2e9) return 2000000000;
  return int32_t(tick);
}

// Every take on the scene's one timeline, in the file's order: the first
// starts at its clips' zero, each next one at least a second after the one
// before, on a whole second (a frame of any rate). The rest time lies a
// second before the first take.
bool PlaceTakes(std::vector<TakeKeys>& read, Scene& scene, std::string& error) {
  std::vector<Span> spans;
  for (const TakeKeys& keys : read) {
    Span span;
    if (spans.empty()) {
      span.Start = keys.First;
    } else {
      const int64_t previous = spans.back().End;
      const int64_t start =
          (previous + kTicksPerSecond - 1) / kTicksPerSecond * kTicksPerSecond + kTicksPerSecond;
      if (start + int64_t(keys.End) - keys.First > 2000000000) {
        error = "the takes together are longer than the host's timeline (" +
                std::to_string(read.size()) + " takes)";
        return false;
      }
      span.Start = int32_t(start);
    }
    span.Offset = span.Start - keys.First;
    span.End = keys.End + span.Offset;
    spans.push_back(span);
  }
  if (read.empty()) return true;
  const int32_t restTick = spans.front().Start - kTicksPerSecond;
  const std::map<Node*, Parts> overrides = BindRestOverrides(scene);

  std::set<Node*> keyed;
  for (const TakeKeys& keys : read)
    for (const auto& entry : keys.Nodes) keyed.insert(entry.first);
  for (const auto& entry : overrides) keyed.insert(entry.first);
  for (Node* node : keyed) {
    TransformController& t = node->Transform;
    const auto over = overrides.find(node);
    const bool moved = over != overrides.end();
    const Parts restParts = moved ? over->second : Parts{};
    std::vector<FlatKeys> position(read.size()), rotation(read.size()), scale(read.size());
    std::vector<const FlatKeys*> p(read.size()), r(read.size()), s(read.size());
    bool anyP = moved, anyR = moved, anyS = moved;
    for (size_t i = 0; i < read.size(); ++i) {
      const auto found = read[i].Nodes.find(node);
      if (found == read[i].Nodes.end()) continue;
      const TransformController& k = found->second;
      if (k.Position.Animated()) position[i] = Flat(k.Position), p[i] = &position[i], anyP = true;
      if (k.Rotation.Animated()) rotation[i] = Flat(k.Rotation), r[i] = &rotation[i], anyR = true;
      if (k.Scale.Animated()) scale[i] = Flat(k.Scale), s[i] = &scale[i], anyS = true;
    }
    const Quaternion& q0 = t.Rotation.Value;
    const float stillRotation[4] = {q0.x, q0.y, q0.z, q0.w};
    const float restPosition[3] = {restParts.Position.x, restParts.Position.y,
                                   restParts.Position.z};
    const float restRotation[4] = {restParts.Rotation.x, restParts.Rotation.y, restParts.Rotation.z,
                                   restParts.Rotation.w};
    const float restScale[3] = {restParts.Scale.x, restParts.Scale.y, restParts.Scale.z};
    if (anyP)
      Store(Lay(p, spans, restTick, moved ? restPosition : t.Position.Value.data(),
                t.Position.Value.data(), 3),
            t.Position);
    if (anyR)
      Store(Lay(r, spans, restTick, moved ? restRotation : stillRotation, stillRotation, 4),
            t.Rotation);
    if (anyS)
      Store(Lay(s, spans, restTick, moved ? restScale : t.Scale.Value.data(), t.Scale.Value.data(),
                3),
            t.Scale);
  }
  std::set<Node*> weighted;
  for (const TakeKeys& keys : read)
    for (const auto& entry : keys.Weights) weighted.insert(entry.first);
  for (Node* node : weighted) {
    for (size_t c = 0; c < node->MorphChannels.size(); ++c) {
      ValueTrack& weight = node->MorphChannels[c].Weight;
      std::vector<FlatKeys> flat(read.size());
      std::vector<const FlatKeys*> w(read.size());
      for (size_t i = 0; i < read.size(); ++i) {
        const auto found = read[i].Weights.find(node);
        if (found == read[i].Weights.end() || c >= found->second.size()) continue;
        flat[i] = Flat(found->second[c]);
        w[i] = &flat[i];
      }
      const float still = weight.Value.empty() ? 0.0f : weight.Value[0];
      Store(Lay(w, spans, restTick, &still, &still, 1), weight);
    }
  }

  for (size_t i = 0; i < read.size(); ++i)
    scene.Takes.push_back({read[i].Name, spans[i].Start, spans[i].End, read[i].FrameRate});
  if (read.front().FrameRate > 0) scene.FrameRate = read.front().FrameRate;
  for (Take& take : scene.Takes)
    if (take.FrameRate == scene.FrameRate) take.FrameRate = 0;
  scene.AnimationStart = spans.front().Start;
  scene.AnimationEnd = spans.front().End;
  scene.HasRestTime = true;
  scene.RestTime = restTick;
  return true;
}

}  // namespace ketrel::host
