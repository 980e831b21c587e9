// Vertex member readers and writers of the mesh builder, and the vertex data
// operations the exporter uses with it: exact weight sums and index width
// conversion.

#include <cmath>
#include <cstring>

#include "rt/ketrel_half.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_mesh_builder.h"
#include "rt/ketrel_mesh_builder_internal.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

template <typename T>
void Put(uint8_t* destination, T value) {
  std::memcpy(destination, &value, sizeof(T));
}

template <typename T>
T Get(const uint8_t* source) {
  T value;
  std::memcpy(&value, source, sizeof(T));
  return value;
}

int32_t ElementSize(uint32_t type) {
  const member_type_info* info = GetMemberTypeInfo(type);
  return info != nullptr ? info->Size64 : 0;
}

int32_t PackComponent(float value) {
  if (std::isnan(value)) return 0;
  const int32_t scaled = static_cast<int32_t>(RoundClamped(value * 511.0, -511, 511));
  return scaled & 0x3FF;
}

float UnpackComponent(uint32_t bits) {
  int32_t value = static_cast<int32_t>(bits & 0x3FF);
  if (value >= 512) value -= 1024;
  const float real = static_cast<float>(value) / 511.0f;
  return real < -1.0f ? -1.0f : real;
}

}  // namespace

uint32_t PackDec3N(float x, float y, float z) {
  return static_cast<uint32_t>(PackComponent(x)) | (static_cast<uint32_t>(PackComponent(y)) << 10) |
         (static_cast<uint32_t>(PackComponent(z)) << 20);
}

void UnpackDec3N(uint32_t packed, float out[3]) {
  out[0] = UnpackComponent(packed);
  out[1] = UnpackComponent(packed >> 10);
  out[2] = UnpackComponent(packed >> 20);
}

int64_t LargestStorableInteger(uint32_t type) {
  const member_type_traits* traits = GetMemberTypeTraits(type);
  return traits ? traits->LargestExactInteger : 0;
}

void StoreMemberFloats(const vertex_member_plan& plan, uint8_t* vertex, const float* values,
                       int32_t count) {
  uint8_t* destination = vertex + plan.Offset;
  if (plan.PackedDec3N) {
    const float x = count > 0 ? values[0] : 0.0f;
    const float y = count > 1 ? values[1] : 0.0f;
    const float z = count > 2 ? values[2] : 0.0f;
    Put<uint32_t>(destination, PackDec3N(x, y, z));
    return;
  }
  const uint32_t type = plan.Member->Type;
  if (type == Real32Member) {
    // The common case: no conversion, fill the rest with zeros.
    const int32_t copied = count < plan.Width ? count : plan.Width;
    std::memcpy(destination, values, sizeof(float) * static_cast<size_t>(copied));
    if (copied < plan.Width) {
      std::memset(destination + 4 * copied, 0, 4 * static_cast<size_t>(plan.Width - copied));
    }
    return;
  }
  const int32_t size = ElementSize(type);
  for (int32_t i = 0; i < plan.Width; ++i) {
    StoreMemberReal(type, destination + i * size, i < count ? values[i] : 0.0f);
  }
}

void LoadMemberFloats(const vertex_member_plan& plan, const uint8_t* vertex, float* values,
                      int32_t count) {
  const uint8_t* source = vertex + plan.Offset;
  if (plan.PackedDec3N) {
    float unpacked[3];
    UnpackDec3N(Get<uint32_t>(source), unpacked);
    for (int32_t i = 0; i < count; ++i) values[i] = i < 3 ? unpacked[i] : 0.0f;
    return;
  }
  const uint32_t type = plan.Member->Type;
  const int32_t size = ElementSize(type);
  for (int32_t i = 0; i < count; ++i) {
    values[i] = i < plan.Width ? ConvertMemberToReal32(type, source + i * size) : 0.0f;
  }
}

bool EnsureExactOneNorm(const data_type_definition* member, void* data) {
  if (!KT_CHECK_PARAMETER(Mesh, member != nullptr && data != nullptr)) return false;
  const uint32_t type = member->Type;
  if (type == Real32Member || type == Real16Member) return true;
  const member_type_traits* traits = GetMemberTypeTraits(type);
  if (!traits || traits->Scalar != member_scalar::Normalised) {
    KT_LOG_ERROR(Mesh, "EnsureExactOneNorm called on unsupported type %d\n",
                 static_cast<int>(type));
    return false;
  }
  const int64_t target = traits->High;
  const int32_t count = GetMemberArrayWidth(member);
  const int32_t size = ElementSize(type);
  uint8_t* bytes = static_cast<uint8_t*>(data);
  auto load = [&](int32_t i) { return LoadMemberStored(type, bytes + i * size); };
  auto store = [&](int32_t i, int64_t value) { StoreMemberStored(type, bytes + i * size, value); };
  int64_t sum = 0;
  for (int32_t i = 0; i < count; ++i) sum += load(i);
  // Each pass moves every weight by at most one; a pass that changes nothing
  // (all weights full, or all zero) ends the loop so bad data cannot hang it.
  while (sum < target) {
    bool changed = false;
    for (int32_t i = 0; i < count && sum < target; ++i) {
      const int64_t value = load(i);
      if (value >= target) continue;
      store(i, value + 1);
      ++sum;
      changed = true;
    }
    if (!changed) break;
  }
  while (sum > target) {
    bool changed = false;
    for (int32_t i = count - 1; i >= 0 && sum > target; --i) {
      const int64_t value = load(i);
      if (value <= 0) continue;
      store(i, value - 1);
      --sum;
      changed = true;
    }
    if (!changed) break;
  }
  return sum == target;
}

bool ConvertIndices(int32_t count, int32_t fromBytesPerIndex, const void* from,
                    int32_t toBytesPerIndex, void* to) {
  if (fromBytesPerIndex != 1 && fromBytesPerIndex != 2 && fromBytesPerIndex != 4) {
    KT_LOG_ERROR(Mesh, "Illegal value for FromBytesPerIndex (%d)", fromBytesPerIndex);
    return false;
  }
  if (toBytesPerIndex != 1 && toBytesPerIndex != 2 && toBytesPerIndex != 4) {
    KT_LOG_ERROR(Mesh, "Illegal value for ToBytesPerIndex (%d)", toBytesPerIndex);
    return false;
  }
  if (!KT_CHECK_PARAMETER(Mesh, count >= 0 && (count == 0 || (from != nullptr && to != nullptr)))) {
    return false;
  }
  if (fromBytesPerIndex == toBytesPerIndex) {
    std::memmove(to, from, static_cast<size_t>(count) * static_cast<size_t>(toBytesPerIndex));
    return true;
  }
  const uint8_t* source = static_cast<const uint8_t*>(from);
  uint8_t* destination = static_cast<uint8_t*>(to);
  auto read = [&](int32_t i) -> uint32_t {
    const uint8_t* at = source + static_cast<size_t>(i) * fromBytesPerIndex;
    if (fromBytesPerIndex == 1) return *at;
    if (fromBytesPerIndex == 2) return Get<uint16_t>(at);
    return Get<uint32_t>(at);
  };
  auto write = [&](int32_t i, uint32_t value) {
    uint8_t* at = destination + static_cast<size_t>(i) * toBytesPerIndex;
    if (toBytesPerIndex == 1) {
      *at = static_cast<uint8_t>(value);
    } else if (toBytesPerIndex == 2) {
      Put<uint16_t>(at, static_cast<uint16_t>(value));
    } else {
      Put<uint32_t>(at, value);
    }
  };
  // Narrowing in place must run forwards, widening in place backwards, so no
  // index is overwritten before it is read.
  if (toBytesPerIndex < fromBytesPerIndex) {
    for (int32_t i = 0; i < count; ++i) write(i, read(i));
  } else {
    for (int32_t i = count - 1; i >= 0; --i) write(i, read(i));
  }
  return true;
}

}  // namespace ketrel
