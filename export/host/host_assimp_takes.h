#pragma once
// Part of the Assimp importer (host_assimp_import.cpp): the takes of a file
// and their place on the host scene's one timeline.
//
// A take is one clip, or several clips that share a timeline (exporters
// that write one clip per joint). Its keys are read into a TakeKeys (ticks
// from the clips' own zero, at the keys' own rate); PlaceTakes then lays
// every take on the scene's timeline one after another, keys each track a
// take animates at both ends of it, holds the others at their unanimated
// value, and puts the rest pose a second before the first take (skin bones
// in their bind pose).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "export/host/host_scene.h"

struct aiScene;
struct aiAnimation;

namespace ketrel::host {

struct FileTake {
  std::string Name;
  std::vector<const aiAnimation*> Clips;
};

// The file's takes in its order, each named after its first clip ("Take n"
// for an unnamed one; a repeated name gets "_2", "_3", ..., with a warning).
std::vector<FileTake> GroupTakes(const aiScene* scene);

// A clip's clock (Assimp's default of 25 when the file gives none).
double TicksPerSecond(const aiAnimation* clip);

// The rate of a take's keys: the finest spacing between two keys of one
// channel, as a host frame rate when it is one (4800 divisible by it) and
// the keys lie on its frames. 0 when the keys have no such rate (uneven
// spacing, a single key, or a rate the host cannot count).
int32_t KeyFrameRate(const std::vector<const aiAnimation*>& clips);

// A clip clock within a thousandth of the key rate counts that rate's frames
// (BVH frame times such as 0.008333 give 120.0048 ticks per second): taken
// as the rate, every key lands on a frame tick instead of drifting off it.
double SnappedTicksPerSecond(double ticksPerSecond, int32_t keyRate);

// A clip time as a host tick, clamped to +-2e9.
int32_t HostTick(double time, double ticksPerSecond);

// Keys at times that round to the same host tick keep the last value, so the
// tick list stays strictly ascending; keys out of order are ignored.
template <typename Key, typename Store>
void ConvertKeys(const Key* keys, unsigned count, double ticksPerSecond,
                 std::vector<int32_t>& ticks, Store store) {
  for (unsigned k = 0; k < count; ++k) {
    int32_t tick = HostTick(keys[k].mTime, ticksPerSecond);
    if (!ticks.empty() && tick <= ticks.back()) {
      if (tick < ticks.back()) continue;  // out of order: ignored
      store(k, true);
      continue;
    }
    ticks.push_back(tick);
    store(k, false);
  }
}

// One take's keys, in ticks from its clips' own zero.
struct TakeKeys {
  std::string Name;
  int32_t First = 0;                           // the earliest key, down to a whole frame; at most 0
  int32_t End = 0;                             // a whole frame at or after the last key
  int32_t FrameRate = 30;                      // its keys' rate, or the host's default
  std::map<Node*, TransformController> Nodes;  // keyed tracks only
  std::map<Node*, std::vector<ValueTrack>> Weights;  // per morph channel
};

// Lays the takes on the scene's timeline in their order (see above) and adds
// them to scene.Takes with the rest time; the scene's frame rate and
// animation range become the first take's. False when they do not fit on
// the timeline.
bool PlaceTakes(std::vector<TakeKeys>& takes, Scene& scene, std::string& error);

}  // namespace ketrel::host
