#include "rt/ketrel_curve_formats.h"

#include "rt/ketrel_curve_format_layout.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_curve_sampled.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

using type_table::End;
using type_table::M;
#define KT_HEADER(name) M(InlineMember, "CurveDataHeader_" #name, CurveDataHeaderType)

}  // namespace

data_type_definition CurveDataHeaderType[] = {M(UInt8Member, "Format"), M(UInt8Member, "Degree"),
                                              End()};

data_type_definition DaKeyframes32fType[] = {KT_HEADER(DaKeyframes32f), M(Int16Member, "Dimension"),
                                             M(ReferenceToArrayMember, "Controls", Real32Type),
                                             End()};
data_type_definition DaK32fC32fType[] = {KT_HEADER(DaK32fC32f), M(Int16Member, "Padding"),
                                         M(ReferenceToArrayMember, "Knots", Real32Type),
                                         M(ReferenceToArrayMember, "Controls", Real32Type), End()};
data_type_definition DaIdentityType[] = {KT_HEADER(DaIdentity), M(Int16Member, "Dimension"), End()};
data_type_definition DaConstant32fType[] = {KT_HEADER(DaConstant32f), M(Int16Member, "Padding"),
                                            M(ReferenceToArrayMember, "Controls", Real32Type),
                                            End()};
data_type_definition D3Constant32fType[] = {KT_HEADER(D3Constant32f), M(Int16Member, "Padding"),
                                            M(Real32Member, "Controls", nullptr, 3), End()};
data_type_definition D4Constant32fType[] = {KT_HEADER(D4Constant32f), M(Int16Member, "Padding"),
                                            M(Real32Member, "Controls", nullptr, 4), End()};

#define KT_DA_QUANTIZED(name, element)                              \
  data_type_definition name##Type[] = {                             \
      KT_HEADER(name), M(UInt16Member, "OneOverKnotScaleTrunc"),    \
      M(ReferenceToArrayMember, "ControlScaleOffsets", Real32Type), \
      M(ReferenceToArrayMember, "KnotsControls", element), End()}
KT_DA_QUANTIZED(DaK16uC16u, UInt16Type);
KT_DA_QUANTIZED(DaK8uC8u, UInt8Type);

#define KT_D4N(name, element)                                                      \
  data_type_definition name##Type[] = {KT_HEADER(name),                            \
                                       M(UInt16Member, "ScaleOffsetTableEntries"), \
                                       M(Real32Member, "OneOverKnotScale"),        \
                                       M(ReferenceToArrayMember, "KnotsControls", element), End()}
KT_D4N(D4nK16uC15u, UInt16Type);
KT_D4N(D4nK8uC7u, UInt8Type);

#define KT_D3_SCALED(name, first, element)                                                  \
  data_type_definition name##Type[] = {KT_HEADER(name),                                     \
                                       M(UInt16Member, first),                              \
                                       M(Real32Member, "ControlScales", nullptr, 3),        \
                                       M(Real32Member, "ControlOffsets", nullptr, 3),       \
                                       M(ReferenceToArrayMember, "KnotsControls", element), \
                                       End()}
KT_D3_SCALED(D3K16uC16u, "OneOverKnotScaleTrunc", UInt16Type);
KT_D3_SCALED(D3K8uC8u, "OneOverKnotScaleTrunc", UInt8Type);
KT_D3_SCALED(D9I3K16uC16u, "OneOverKnotScaleTrunc", UInt16Type);
KT_D3_SCALED(D9I3K8uC8u, "OneOverKnotScaleTrunc", UInt8Type);
KT_D3_SCALED(D3I1K32fC32f, "Padding", Real32Type);
KT_D3_SCALED(D3I1K16uC16u, "OneOverKnotScaleTrunc", UInt16Type);
KT_D3_SCALED(D3I1K8uC8u, "OneOverKnotScaleTrunc", UInt8Type);

#define KT_D9I1(name, element)                                                              \
  data_type_definition name##Type[] = {KT_HEADER(name),                                     \
                                       M(UInt16Member, "OneOverKnotScaleTrunc"),            \
                                       M(Real32Member, "ControlScale"),                     \
                                       M(Real32Member, "ControlOffset"),                    \
                                       M(ReferenceToArrayMember, "KnotsControls", element), \
                                       End()}
KT_D9I1(D9I1K16uC16u, UInt16Type);
KT_D9I1(D9I1K8uC8u, UInt8Type);

data_type_definition DaSampledBitsType[] = {
    KT_HEADER(DaSampledBits),
    M(Int16Member, "Dimension"),
    M(Real32Member, "SampleSpacing"),
    M(Int32Member, "KeyCount"),
    M(ReferenceToArrayMember, "ControlScaleOffsets", Real32Type),
    M(ReferenceToArrayMember, "KeyStream", UInt8Type),
    End()};

const quaternion_scale_offset QuaternionScaleOffsetTable[16] = {
    {1.4142135f, -0.70710677f},   {0.70710677f, -0.35355338f}, {0.35355338f, -0.53033006f},
    {0.35355338f, -0.17677669f},  {0.35355338f, 0.17677669f},  {0.17677669f, -0.17677669f},
    {0.17677669f, -0.088388346f}, {0.17677669f, 0.0f},         {-1.4142135f, 0.70710677f},
    {-0.70710677f, 0.35355338f},  {-0.35355338f, 0.53033006f}, {-0.35355338f, 0.17677669f},
    {-0.35355338f, -0.17677669f}, {-0.17677669f, 0.17677669f}, {-0.17677669f, 0.088388346f},
    {-0.17677669f, -0.0f}};

namespace curve_format_internal {

#define KT_OFF(record, field) static_cast<int32_t>(offsetof(record, field))
const format_layout kLayouts[kCurveFormatCount] = {
    {DaKeyframes32fType,
     "DaKeyframes32f",
     sizeof(curve_data_da_keyframes32f),
     0,
     0,
     0,
     0,
     1,
     {KT_OFF(curve_data_da_keyframes32f, ControlCount)},
     {KT_OFF(curve_data_da_keyframes32f, Controls)},
     {4}},
    {DaK32fC32fType,
     "DaK32fC32f",
     sizeof(curve_data_da_k32f_c32f),
     0,
     0,
     0,
     0,
     2,
     {KT_OFF(curve_data_da_k32f_c32f, KnotCount), KT_OFF(curve_data_da_k32f_c32f, ControlCount)},
     {KT_OFF(curve_data_da_k32f_c32f, Knots), KT_OFF(curve_data_da_k32f_c32f, Controls)},
     {4, 4}},
    {DaIdentityType, "DaIdentity", sizeof(curve_data_da_identity), 0, 0, 0, 0, 0, {}, {}, {}},
    {DaConstant32fType,
     "DaConstant32f",
     sizeof(curve_data_da_constant32f),
     0,
     0,
     0,
     0,
     1,
     {KT_OFF(curve_data_da_constant32f, ControlCount)},
     {KT_OFF(curve_data_da_constant32f, Controls)},
     {4}},
    {D3Constant32fType,
     "D3Constant32f",
     sizeof(curve_data_d3_constant32f),
     3,
     0,
     0,
     0,
     0,
     {},
     {},
     {}},
    {D4Constant32fType,
     "D4Constant32f",
     sizeof(curve_data_d4_constant32f),
     4,
     0,
     0,
     0,
     0,
     {},
     {},
     {}},
    {DaK16uC16uType,
     "DaK16uC16u",
     sizeof(curve_data_da_quantized),
     0,
     0,
     2,
     65535,
     2,
     {KT_OFF(curve_data_da_quantized, ControlScaleOffsetCount),
      KT_OFF(curve_data_da_quantized, KnotControlCount)},
     {KT_OFF(curve_data_da_quantized, ControlScaleOffsets),
      KT_OFF(curve_data_da_quantized, KnotsControls)},
     {4, 2}},
    {DaK8uC8uType,
     "DaK8uC8u",
     sizeof(curve_data_da_quantized),
     0,
     0,
     1,
     255,
     2,
     {KT_OFF(curve_data_da_quantized, ControlScaleOffsetCount),
      KT_OFF(curve_data_da_quantized, KnotControlCount)},
     {KT_OFF(curve_data_da_quantized, ControlScaleOffsets),
      KT_OFF(curve_data_da_quantized, KnotsControls)},
     {4, 1}},
    {D4nK16uC15uType,
     "D4nK16uC15u",
     sizeof(curve_data_d4n),
     4,
     3,
     2,
     32767,
     1,
     {KT_OFF(curve_data_d4n, KnotControlCount)},
     {KT_OFF(curve_data_d4n, KnotsControls)},
     {2}},
    {D4nK8uC7uType,
     "D4nK8uC7u",
     sizeof(curve_data_d4n),
     4,
     3,
     1,
     127,
     1,
     {KT_OFF(curve_data_d4n, KnotControlCount)},
     {KT_OFF(curve_data_d4n, KnotsControls)},
     {1}},
#define KT_SCALED(type, name, dimension, stored, bytes, max)                    \
  {                                                                             \
    type, name, sizeof(curve_data_d3_scaled), dimension, stored, bytes, max, 1, \
        {KT_OFF(curve_data_d3_scaled, KnotControlCount)},                       \
        {KT_OFF(curve_data_d3_scaled, KnotsControls)}, {                        \
      bytes                                                                     \
    }                                                                           \
  }
#define KT_I1(type, name, bytes, max)                                                            \
  {                                                                                              \
    type, name, sizeof(curve_data_d9i1), 9, 1, bytes, max, 1,                                    \
        {KT_OFF(curve_data_d9i1, KnotControlCount)}, {KT_OFF(curve_data_d9i1, KnotsControls)}, { \
      bytes                                                                                      \
    }                                                                                            \
  }
    KT_SCALED(D3K16uC16uType, "D3K16uC16u", 3, 3, 2, 65535),
    KT_SCALED(D3K8uC8uType, "D3K8uC8u", 3, 3, 1, 255),
    KT_I1(D9I1K16uC16uType, "D9I1K16uC16u", 2, 65535),
    KT_SCALED(D9I3K16uC16uType, "D9I3K16uC16u", 9, 3, 2, 65535),
    KT_I1(D9I1K8uC8uType, "D9I1K8uC8u", 1, 255),
    KT_SCALED(D9I3K8uC8uType, "D9I3K8uC8u", 9, 3, 1, 255),
    KT_SCALED(D3I1K32fC32fType, "D3I1K32fC32f", 3, 1, 4, 0),
    KT_SCALED(D3I1K16uC16uType, "D3I1K16uC16u", 3, 1, 2, 65535),
    KT_SCALED(D3I1K8uC8uType, "D3I1K8uC8u", 3, 1, 1, 255),
    {DaSampledBitsType,
     "DaSampledBits",
     sizeof(curve_data_da_sampled_bits),
     0,
     0,
     0,
     0,
     2,
     {KT_OFF(curve_data_da_sampled_bits, ControlScaleOffsetCount),
      KT_OFF(curve_data_da_sampled_bits, KeyStreamCount)},
     {KT_OFF(curve_data_da_sampled_bits, ControlScaleOffsets),
      KT_OFF(curve_data_da_sampled_bits, KeyStream)},
     {4, 1}},
#undef KT_SCALED
#undef KT_I1
};
#undef KT_OFF

}  // namespace curve_format_internal

using namespace curve_format_internal;

data_type_definition* GetCurveFormatType(int32_t format) {
  return (format >= 0 && format < kCurveFormatCount) ? kLayouts[format].Type : nullptr;
}

const char* GetCurveFormatName(int32_t format) {
  return (format >= 0 && format < kCurveFormatCount) ? kLayouts[format].Name : "";
}

int32_t FindCurveFormat(const data_type_definition* type) {
  if (type == nullptr) return CurveFormatUnknown;
  for (int32_t format = 0; format < kCurveFormatCount; ++format) {
    if (kLayouts[format].Type == type) return format;
  }
  // Formats 10, 13 and 17 (and others) share member types; only the names
  // (the header's name above all) tell them apart.
  for (int32_t format = 0; format < kCurveFormatCount; ++format) {
    if (DataTypesAreEqualWithNames(kLayouts[format].Type, type)) return format;
  }
  return CurveFormatUnknown;
}

bool CurveDataIsOfType(const void* record, const data_type_definition* type) {
  if (record == nullptr || type == nullptr || type->Type != InlineMember) return false;
  if (type->ReferenceType != CurveDataHeaderType &&
      !DataTypesAreEqualWithNames(type->ReferenceType, CurveDataHeaderType))
    return false;
  const data_type_definition* expected =
      GetCurveFormatType(static_cast<const curve_data_header*>(record)->Format);
  return expected != nullptr && (type == expected || DataTypesAreEqualWithNames(expected, type));
}

bool ReadCurveData(const void* record, curve_data_view* view) {
  *view = curve_data_view{};
  if (record == nullptr) return false;
  const auto* header = static_cast<const curve_data_header*>(record);
  int32_t format = header->Format;
  if (format >= kCurveFormatCount) return false;
  const format_layout& layout = kLayouts[format];
  view->Degree = header->Degree;
  view->CodeBytes = layout.CodeBytes;
  view->CodeMax = layout.CodeMax;
  // Counts of the arrays, never negative and never beyond what a missing
  // array can hold.
  int64_t counts[2] = {0, 0};
  const void* arrays[2] = {nullptr, nullptr};
  for (int32_t a = 0; a < layout.ArrayCount; ++a) {
    arrays[a] = ReadPointer(record, layout.PointerOffset[a]);
    int32_t count = ReadInt32(record, layout.CountOffset[a]);
    counts[a] = (arrays[a] != nullptr && count > 0) ? count : 0;
  }
  int32_t dimension = layout.FixedDimension;
  int64_t knots = 0;
  switch (format) {
    case CurveFormatDaKeyframes32f: {
      int16_t d;
      std::memcpy(&d, static_cast<const char*>(record) + 2, sizeof(d));
      dimension = d > 0 ? d : 0;
      knots = dimension > 0 ? counts[0] / dimension : 0;
      view->Controls = static_cast<const float*>(arrays[0]);
      break;
    }
    case CurveFormatDaK32fC32f:
      knots = counts[0];
      dimension = knots > 0 ? static_cast<int32_t>(counts[1] / knots) : 0;
      view->Knots = static_cast<const float*>(arrays[0]);
      view->Controls = static_cast<const float*>(arrays[1]);
      break;
    case CurveFormatDaIdentity: {
      int16_t d;
      std::memcpy(&d, static_cast<const char*>(record) + 2, sizeof(d));
      dimension = d > 0 ? d : 0;
      break;
    }
    case CurveFormatDaConstant32f:
      dimension = static_cast<int32_t>(counts[0]);
      knots = dimension > 0 ? 1 : 0;
      view->Controls = static_cast<const float*>(arrays[0]);
      break;
    case CurveFormatD3Constant32f:
    case CurveFormatD4Constant32f:
      knots = 1;
      view->Controls = reinterpret_cast<const float*>(static_cast<const char*>(record) + 4);
      break;
    case CurveFormatDaK16uC16u:
    case CurveFormatDaK8uC8u:
      dimension = static_cast<int32_t>(counts[0] / 2);
      knots = counts[1] / (dimension + 1);
      break;
    case CurveFormatDaSampledBits: {
      const auto* r = static_cast<const curve_data_da_sampled_bits*>(record);
      int16_t d = r->Dimension;
      int32_t keys = r->KeyCount;
      dimension = d > 0 ? d : 0;
      // Without a step and a base per component, or a stream that holds at
      // least its header for that many keys, nothing decodes.
      bool whole = dimension > 0 && counts[0] == 2 * int64_t{dimension} && keys > 0 &&
                   dimension + 4 * int64_t{SampledSegmentCount(keys)} <= counts[1];
      knots = whole && keys > 0 ? keys : 0;
      view->KnotScale = r->SampleSpacing;
      view->Codes = arrays[1];
      view->StreamBytes = counts[1];
      break;
    }
    default:
      knots = counts[0] / (1 + layout.Stored);
      break;
  }
  // A dimension the library could never evaluate is refused here once, so
  // no decoder has to size its scratch for it.
  if (dimension > kMaxCurveDimension) return false;
  if (knots > INT32_MAX) knots = INT32_MAX;
  view->Dimension = dimension;
  view->KnotCount = static_cast<int32_t>(knots);
  view->Stored = StoredCount(format, dimension);
  if (format == CurveFormatDaSampledBits && knots > 0) {
    const float* stepsBases = static_cast<const float*>(arrays[0]);
    for (int32_t j = 0; j < dimension; ++j) {
      view->Scales[j] = stepsBases[j];
      view->Offsets[j] = stepsBases[dimension + j];
    }
  }
  if (IsPacked(format)) {
    view->Codes = arrays[layout.ArrayCount - 1];
    if (format == CurveFormatDaK16uC16u || format == CurveFormatDaK8uC8u) {
      const float* scaleOffsets = static_cast<const float*>(arrays[0]);
      for (int32_t j = 0; j < dimension; ++j) {
        view->Scales[j] = scaleOffsets[j];
        view->Offsets[j] = scaleOffsets[dimension + j];
      }
    } else if (format == CurveFormatD4nK16uC15u || format == CurveFormatD4nK8uC7u) {
      const auto* q = static_cast<const curve_data_d4n*>(record);
      view->TableEntries = q->ScaleOffsetTableEntries;
      view->KnotScale = q->OneOverKnotScale;
      for (int32_t k = 0; k < 4; ++k) {
        const quaternion_scale_offset& entry =
            QuaternionScaleOffsetTable[(view->TableEntries >> (4 * k)) & 15];
        view->Scales[k] = entry.Scale;
        view->Offsets[k] = entry.Offset;
      }
    } else if (format == CurveFormatD9I1K16uC16u || format == CurveFormatD9I1K8uC8u) {
      const auto* r = static_cast<const curve_data_d9i1*>(record);
      view->Scales[0] = r->ControlScale;
      view->Offsets[0] = r->ControlOffset;
    } else {
      const auto* r = static_cast<const curve_data_d3_scaled*>(record);
      for (int32_t j = 0; j < 3; ++j) {
        view->Scales[j] = r->ControlScales[j];
        view->Offsets[j] = r->ControlOffsets[j];
      }
    }
    if (HasTruncatedKnotScale(format)) {
      uint16_t truncated;
      std::memcpy(&truncated, static_cast<const char*>(record) + 2, sizeof(truncated));
      view->KnotScale = FloatFromBits(uint32_t{truncated} << 16);
    }
    view->KnotInverse = InverseOfScale(view->KnotScale);
    if (view->Codes == nullptr) view->KnotCount = 0;
  }
  view->Format = format;
  return true;
}

namespace {

// Through the per-format decoders, whose formats are those ReadCurveData
// accepted.
float KnotAt(const curve_data_view& view, int32_t index) {
  const knot_decoder decode = GetKnotDecoder(view.Format);
  return decode != nullptr ? decode(view, index) : 0.0f;
}

void DecodeControl(const curve_data_view& view, int32_t index, float* out) {
  const control_decoder decode = GetControlDecoder(view.Format);
  if (decode != nullptr) {
    decode(view, index, out);
  } else {
    for (int32_t j = 0; j < view.Dimension; ++j) out[j] = 0.0f;
  }
}

}  // namespace

bool DecodeKnotsControls(const curve_data_view& view, int32_t first, int32_t count, float* knots,
                         float* controls, const float* identity) {
  if (view.Format == CurveFormatDaIdentity) {
    // An identity curve has no knots; it answers with the identity value.
    if (!KT_CHECK_PARAMETER(Curve, count <= 1)) return false;
    if (count == 1) {
      if (knots != nullptr) knots[0] = 0.0f;
      for (int32_t j = 0; controls != nullptr && j < view.Dimension; ++j) {
        controls[j] = identity != nullptr ? identity[j] : 0.0f;
      }
    }
    return true;
  }
  if (!KT_CHECK_PARAMETER(Curve, view.Format >= 0 && first >= 0 && count >= 0 &&
                                     int64_t{first} + count <= view.KnotCount)) {
    return false;
  }
  if (view.Format == CurveFormatDaSampledBits) {
    for (int32_t i = 0; knots != nullptr && i < count; ++i) knots[i] = KnotAt(view, first + i);
    // A stream that does not hold its keys is a damaged record, not a caller's slip.
    return controls == nullptr || count == 0 ||
           ReadSampledKeys(static_cast<const uint8_t*>(view.Codes), view.StreamBytes,
                           view.Dimension, view.KnotCount, view.Scales, view.Offsets, first, count,
                           controls);
  }
  for (int32_t i = 0; i < count; ++i) {
    if (knots != nullptr) knots[i] = KnotAt(view, first + i);
    if (controls != nullptr) DecodeControl(view, first + i, controls + int64_t{i} * view.Dimension);
  }
  return true;
}

float DecodeKnotUnchecked(const curve_data_view& view, int32_t index) {
  return KnotAt(view, index);
}

void DecodeControlUnchecked(const curve_data_view& view, int32_t index, float* out) {
  DecodeControl(view, index, out);
}

int32_t FindKnotInView(const curve_data_view& view, float t) {
  int32_t count = view.KnotCount;
  if (count <= 0) return -1;
  int32_t low = 0, high = count;  // first index in [low, high) whose knot > t
  if (view.Format == CurveFormatDaK32fC32f || view.Format == CurveFormatD3I1K32fC32f) {
    // Non-negative floats order like their bit patterns; |t| keeps the
    // search total for negative times.
    uint32_t key = BitsFromFloat(std::fabs(t));
    const float* knots =
        view.Format == CurveFormatDaK32fC32f ? view.Knots : static_cast<const float*>(view.Codes);
    while (low < high) {
      int32_t mid = low + (high - low) / 2;
      if (BitsFromFloat(knots[mid]) > key)
        high = mid;
      else
        low = mid + 1;
    }
  } else if (IsPacked(view.Format)) {
    // A code c decodes to a knot greater than t exactly when c > floor(t * s).
    float scaled = std::floor(t * view.KnotScale);
    int64_t limit = KnotCodeMax(view.Format);
    int64_t q = !(scaled > 0.0f)
                    ? (t * view.KnotScale < 0.0f ? -1 : 0)
                    : (scaled >= static_cast<float>(limit) ? limit : static_cast<int64_t>(scaled));
    while (low < high) {
      int32_t mid = low + (high - low) / 2;
      if (static_cast<int64_t>(CodeAt(view, mid)) > q)
        high = mid;
      else
        low = mid + 1;
    }
  } else if (view.Format == CurveFormatDaKeyframes32f) {
    float index = std::floor(std::fabs(t)) + 1.0f;
    low = index < static_cast<float>(count) ? static_cast<int32_t>(index) : count;
  } else if (view.Format == CurveFormatDaSampledBits) {
    // Estimate from the spacing, then settle on the knots as they decode.
    float spacing = view.KnotScale;
    // A damaged spacing gives no order to walk: every key is then the first.
    if (!(spacing > 0.0f) || !std::isfinite(spacing)) return 0;
    if (std::isnan(t)) return count - 1;  // as the float-knot search answers
    float guess = t > 0.0f ? std::floor(t / spacing) + 1.0f : 0.0f;
    low = guess < static_cast<float>(count) ? static_cast<int32_t>(guess) : count;
    while (low > 0 && KnotAt(view, low - 1) > t) --low;
    while (low < count && !(KnotAt(view, low) > t)) ++low;
  } else {
    return 0;  // constants: their one knot
  }
  return low < count ? low : count - 1;
}

size_t CurveDataSize(int32_t format, int32_t dimension, int32_t knotCount) {
  if (format < 0 || format >= kCurveFormatCount || dimension < 0 || knotCount < 0 ||
      format == CurveFormatDaSampledBits) {
    return 0;
  }
  const format_layout& layout = kLayouts[format];
  int64_t counts[2] = {0, 0};
  ArrayCounts(format, dimension, knotCount, counts);
  size_t size = static_cast<size_t>(layout.RecordSize);
  for (int32_t a = 0; a < layout.ArrayCount; ++a) {
    if (counts[a] > INT32_MAX) return 0;
    size = AlignUp(size, 4) + static_cast<size_t>(counts[a]) * layout.ElementSize[a];
  }
  return AlignUp(size, 8);
}

namespace {

// Array counts of a record as a copy lays them out.
void CopyCounts(const curve_data_view& view, int64_t* counts) {
  if (view.Format == CurveFormatDaSampledBits) {
    counts[0] = view.KnotCount > 0 ? 2 * int64_t{view.Dimension} : 0;
    counts[1] = view.KnotCount > 0 ? view.StreamBytes : 0;
    return;
  }
  ArrayCounts(view.Format, view.Dimension, view.KnotCount, counts);
}

}  // namespace

size_t CurveDataCopySize(const void* record) {
  curve_data_view view;
  if (!ReadCurveData(record, &view)) return 0;
  if (view.Format != CurveFormatDaSampledBits)
    return CurveDataSize(view.Format, view.Dimension, view.KnotCount);
  int64_t counts[2] = {0, 0};
  CopyCounts(view, counts);
  if (counts[1] > INT32_MAX) return 0;
  size_t size = AlignUp(sizeof(curve_data_da_sampled_bits), 4) + static_cast<size_t>(counts[0]) * 4;
  return AlignUp(size + static_cast<size_t>(counts[1]), 8);
}

bool CopyCurveData(const void* record, void* memory) {
  curve_data_view view;
  if (!ReadCurveData(record, &view) || memory == nullptr) return false;
  const format_layout& layout = kLayouts[view.Format];
  // Re-lay the arrays behind the new record with the counts of the view, so
  // a copy is always self-consistent even when the source was not.
  std::memcpy(memory, record, layout.RecordSize);
  int64_t counts[2] = {0, 0};
  CopyCounts(view, counts);
  char* cursor = static_cast<char*>(memory) + layout.RecordSize;
  for (int32_t a = 0; a < layout.ArrayCount; ++a) {
    cursor = reinterpret_cast<char*>(AlignUp(reinterpret_cast<uintptr_t>(cursor), 4));
    const void* source = ReadPointer(record, layout.PointerOffset[a]);
    size_t bytes = static_cast<size_t>(counts[a]) * layout.ElementSize[a];
    if (bytes > 0) std::memcpy(cursor, source, bytes);
    WriteInt32(memory, layout.CountOffset[a], static_cast<int32_t>(counts[a]));
    WritePointer(memory, layout.PointerOffset[a], bytes > 0 ? cursor : nullptr);
    cursor += bytes;
  }
  return true;
}

bool OverwriteCurveData(const void* encoded, void* record) {
  curve_data_view source, target;
  if (!ReadCurveData(encoded, &source) || !ReadCurveData(record, &target) ||
      source.Format != target.Format || source.Dimension != target.Dimension ||
      source.KnotCount != target.KnotCount) {
    KT_PARAMETER_CHECK_FAILED(Curve);
    return false;
  }
  const format_layout& layout = kLayouts[source.Format];
  void* pointers[2] = {nullptr, nullptr};
  int32_t counts[2] = {0, 0};
  for (int32_t a = 0; a < layout.ArrayCount; ++a) {
    pointers[a] = ReadPointer(record, layout.PointerOffset[a]);
    counts[a] = ReadInt32(record, layout.CountOffset[a]);
    if (ReadInt32(encoded, layout.CountOffset[a]) != counts[a]) {
      KT_PARAMETER_CHECK_FAILED(Curve);
      return false;
    }
  }
  std::memcpy(record, encoded, layout.RecordSize);
  for (int32_t a = 0; a < layout.ArrayCount; ++a) {
    WriteInt32(record, layout.CountOffset[a], counts[a]);
    WritePointer(record, layout.PointerOffset[a], pointers[a]);
    const void* from = ReadPointer(encoded, layout.PointerOffset[a]);
    if (counts[a] > 0 && pointers[a] != nullptr && from != nullptr) {
      std::memcpy(pointers[a], from, static_cast<size_t>(counts[a]) * layout.ElementSize[a]);
    }
  }
  return true;
}

// ---- Candidate lists ---------------------------------------------------------

data_type_definition* const PositionCurveFormats[6] = {DaK32fC32fType,   D3I1K8uC8uType,
                                                       D3I1K16uC16uType, D3K8uC8uType,
                                                       D3K16uC16uType,   D3I1K32fC32fType};
data_type_definition* const OrientationCurveFormats[3] = {DaK32fC32fType, D4nK8uC7uType,
                                                          D4nK16uC15uType};
data_type_definition* const ScaleShearCurveFormats[7] = {
    DaK32fC32fType, D9I1K8uC8uType,   D9I3K8uC8uType,  DaK8uC8uType,
    DaK16uC16uType, D9I1K16uC16uType, D9I3K16uC16uType};
data_type_definition* const Vector4CurveFormats[3] = {DaK32fC32fType, DaK8uC8uType, DaK16uC16uType};
data_type_definition* const MorphNormalCurveFormats[3] = {DaK32fC32fType, D3K8uC8uType,
                                                          D3K16uC16uType};

namespace {

// The lists above with DaSampledBits at the end ("Use sampled key curves").
data_type_definition* const PositionKeyFormats[7] = {
    DaK32fC32fType, D3I1K8uC8uType,   D3I1K16uC16uType, D3K8uC8uType,
    D3K16uC16uType, D3I1K32fC32fType, DaSampledBitsType};
data_type_definition* const OrientationKeyFormats[4] = {DaK32fC32fType, D4nK8uC7uType,
                                                        D4nK16uC15uType, DaSampledBitsType};
data_type_definition* const Orientation8KeyFormats[3] = {DaK32fC32fType, D4nK8uC7uType,
                                                         DaSampledBitsType};
data_type_definition* const ScaleShearKeyFormats[8] = {
    DaK32fC32fType, D9I1K8uC8uType,   D9I3K8uC8uType,   DaK8uC8uType,
    DaK16uC16uType, D9I1K16uC16uType, D9I3K16uC16uType, DaSampledBitsType};
data_type_definition* const Vector4KeyFormats[4] = {DaK32fC32fType, DaK8uC8uType, DaK16uC16uType,
                                                    DaSampledBitsType};
data_type_definition* const FloatKeyFormats[2] = {DaK32fC32fType, DaSampledBitsType};

}  // namespace

data_type_definition* const* GetCurveCandidateFormats(curve_channel channel, int32_t dimension,
                                                      bool useQuantized, bool allow16BitOrientation,
                                                      int32_t* count, bool sampledKeys) {
  data_type_definition* const* list = Vector4CurveFormats;
  data_type_definition* const* keyList = Vector4KeyFormats;
  int32_t full = 3;
  bool positionLike =
      channel == curve_channel::Position || (channel == curve_channel::Vector && dimension == 3);
  bool scaleLike =
      channel == curve_channel::ScaleShear || (channel == curve_channel::Vector && dimension == 9);
  if (positionLike) {
    list = PositionCurveFormats;
    keyList = PositionKeyFormats;
    full = 6;
  } else if (scaleLike) {
    list = ScaleShearCurveFormats;
    keyList = ScaleShearKeyFormats;
    full = 7;
  } else if (channel == curve_channel::Orientation) {
    list = OrientationCurveFormats;
    keyList = allow16BitOrientation ? OrientationKeyFormats : Orientation8KeyFormats;
    full = allow16BitOrientation ? 3 : 2;
  }
  int32_t used = useQuantized ? full : 1;
  if (sampledKeys) {
    list = useQuantized ? keyList : FloatKeyFormats;
    ++used;
  }
  if (count != nullptr) *count = used;
  return list;
}

}  // namespace ketrel
