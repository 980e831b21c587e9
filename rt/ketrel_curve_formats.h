#pragma once
// The 20 curve formats: their data type definitions (written into files like
// any other type), native packed records, the quaternion scale/offset table,
// the per-format decoding and encoding used by the curve builder, and the
// candidate lists the exporter offers to the fitter.
//
// A curve's data record starts with an inline header {Format, Degree}; the
// arrays it refers to follow the record in the curve's block. Every decoder
// here treats a record as hostile: counts are clamped to what the arrays can
// hold and scales that would divide by zero decode to 0.

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

// Format numbers, stored in every record's header. Never renumber.
enum curve_format : int32_t {
  CurveFormatUnknown = -1,
  CurveFormatDaKeyframes32f = 0,
  CurveFormatDaK32fC32f = 1,
  CurveFormatDaIdentity = 2,
  CurveFormatDaConstant32f = 3,
  CurveFormatD3Constant32f = 4,
  CurveFormatD4Constant32f = 5,
  CurveFormatDaK16uC16u = 6,
  CurveFormatDaK8uC8u = 7,
  CurveFormatD4nK16uC15u = 8,
  CurveFormatD4nK8uC7u = 9,
  CurveFormatD3K16uC16u = 10,
  CurveFormatD3K8uC8u = 11,
  CurveFormatD9I1K16uC16u = 12,
  CurveFormatD9I3K16uC16u = 13,
  CurveFormatD9I1K8uC8u = 14,
  CurveFormatD9I3K8uC8u = 15,
  CurveFormatD3I1K32fC32f = 16,
  CurveFormatD3I1K16uC16u = 17,
  CurveFormatD3I1K8uC8u = 18,
  // One quantized key per sample, degree 1 (ketrel_curve_sampled.h). Files
  // hold it only when "Use sampled key curves" is on.
  CurveFormatDaSampledBits = 19,
};
inline constexpr int32_t kCurveFormatCount = 20;

// ---- Definitions -----------------------------------------------------------

extern data_type_definition CurveDataHeaderType[];  // Format, Degree (UInt8 each)
extern data_type_definition DaKeyframes32fType[];
extern data_type_definition DaK32fC32fType[];
extern data_type_definition DaIdentityType[];
extern data_type_definition DaConstant32fType[];
extern data_type_definition D3Constant32fType[];
extern data_type_definition D4Constant32fType[];
extern data_type_definition DaK16uC16uType[];
extern data_type_definition DaK8uC8uType[];
extern data_type_definition D4nK16uC15uType[];
extern data_type_definition D4nK8uC7uType[];
extern data_type_definition D3K16uC16uType[];
extern data_type_definition D3K8uC8uType[];
extern data_type_definition D9I1K16uC16uType[];
extern data_type_definition D9I3K16uC16uType[];
extern data_type_definition D9I1K8uC8uType[];
extern data_type_definition D9I3K8uC8uType[];
extern data_type_definition D3I1K32fC32fType[];
extern data_type_definition D3I1K16uC16uType[];
extern data_type_definition D3I1K8uC8uType[];
extern data_type_definition DaSampledBitsType[];

// The definition of a format number, or null outside 0..19.
data_type_definition* GetCurveFormatType(int32_t format);
// "DaK32fC32f" etc.; "" outside 0..19.
const char* GetCurveFormatName(int32_t format);
// The format number of a data type (same pointer, or equal with names), or
// CurveFormatUnknown.
int32_t FindCurveFormat(const data_type_definition* type);

// ---- Native records (match the definitions byte for byte) -------------------

#pragma pack(push, 1)
struct curve_data_header {
  uint8_t Format;
  uint8_t Degree;
};
struct curve_data_da_keyframes32f {  // 0
  curve_data_header Header;
  int16_t Dimension;
  int32_t ControlCount;
  float* Controls;
};
struct curve_data_da_k32f_c32f {  // 1
  curve_data_header Header;
  int16_t Padding;
  int32_t KnotCount;
  float* Knots;
  int32_t ControlCount;
  float* Controls;
};
struct curve_data_da_identity {  // 2
  curve_data_header Header;
  int16_t Dimension;
};
struct curve_data_da_constant32f {  // 3
  curve_data_header Header;
  int16_t Padding;
  int32_t ControlCount;
  float* Controls;
};
struct curve_data_d3_constant32f {  // 4
  curve_data_header Header;
  int16_t Padding;
  float Controls[3];
};
struct curve_data_d4_constant32f {  // 5
  curve_data_header Header;
  int16_t Padding;
  float Controls[4];
};
struct curve_data_da_quantized {  // 6, 7
  curve_data_header Header;
  uint16_t OneOverKnotScaleTrunc;
  int32_t ControlScaleOffsetCount;
  float* ControlScaleOffsets;  // d scales, then d offsets
  int32_t KnotControlCount;
  void* KnotsControls;  // uint16 or uint8 codes
};
struct curve_data_d4n {  // 8, 9
  curve_data_header Header;
  uint16_t ScaleOffsetTableEntries;
  float OneOverKnotScale;
  int32_t KnotControlCount;
  void* KnotsControls;
};
// 10, 11, 13, 15, 16 (the first field is Padding there), 17, 18.
struct curve_data_d3_scaled {
  curve_data_header Header;
  uint16_t OneOverKnotScaleTrunc;
  float ControlScales[3];
  float ControlOffsets[3];
  int32_t KnotControlCount;
  void* KnotsControls;
};
struct curve_data_da_sampled_bits {  // 19
  curve_data_header Header;
  int16_t Dimension;
  float SampleSpacing;  // key i lies at i * SampleSpacing
  int32_t KeyCount;
  int32_t ControlScaleOffsetCount;
  float* ControlScaleOffsets;  // d steps, then d bases
  int32_t KeyStreamCount;
  uint8_t* KeyStream;
};
struct curve_data_d9i1 {  // 12, 14
  curve_data_header Header;
  uint16_t OneOverKnotScaleTrunc;
  float ControlScale;
  float ControlOffset;
  int32_t KnotControlCount;
  void* KnotsControls;
};
#pragma pack(pop)

// ---- Quaternion packing (D4n) ------------------------------------------------

struct quaternion_scale_offset {
  float Scale;
  float Offset;
};
// 16 entries; 8..15 are 0..7 negated. Decoded component = code / Q * Scale + Offset.
extern const quaternion_scale_offset QuaternionScaleOffsetTable[16];

// ---- Per-format decoding and encoding (used by the curve builder) ---------

// A record read into plain numbers. Filled by ReadCurveData, which never
// trusts the record: counts are made consistent and non-negative.
struct curve_data_view {
  int32_t Format = CurveFormatUnknown;
  int32_t Degree = 0;
  int32_t Dimension = 0;  // of the decoded controls
  int32_t KnotCount = 0;
  int32_t Stored = 0;               // numbers stored per control point
  int32_t CodeBytes = 0;            // 1, 2 or 4 (float) per stored number; 0 = plain float arrays
  int32_t CodeMax = 0;              // M or Q of the format
  const float* Knots = nullptr;     // float knots (formats 1)
  const float* Controls = nullptr;  // float controls (formats 0, 1, 3, 4, 5)
  const void* Codes = nullptr;      // KnotsControls of the packed formats
  float KnotInverse = 0.0f;         // decoded knot = code * KnotInverse
  float KnotScale = 0.0f;           // code of t = floor(t * KnotScale)
  float Scales[16] = {};            // per stored number
  float Offsets[16] = {};
  int32_t TableEntries = 0;  // D4n: ScaleOffsetTableEntries
  int64_t StreamBytes = 0;   // DaSampledBits: bytes of the key stream at Codes
};

// Reads a record; false (view Format -1) for a null record or an unknown
// format number in its header. The record is read by its header's format:
// a record from a file must pass CurveDataIsOfType first.
bool ReadCurveData(const void* record, curve_data_view* view);

// True when `type` is the type (by pointer, or by members and names) of the
// format `record`'s header names. The header is read only once the type
// says the record starts with one.
bool CurveDataIsOfType(const void* record, const data_type_definition* type);

// Knots first..first+count-1 and their control points, decoded. `knots` or
// `controls` may be null. Indices outside the curve are a parameter check.
bool DecodeKnotsControls(const curve_data_view& view, int32_t first, int32_t count, float* knots,
                         float* controls, const float* identity);

// One knot, and one control point (view.Dimension floats), without the
// checks: `index` must lie in 0..KnotCount-1 of a view ReadCurveData
// accepted, and the format must not be DaSampledBits (whose keys are read
// through a key stream) nor the identity. For players that step through a
// curve one knot at a time.
float DecodeKnotUnchecked(const curve_data_view& view, int32_t index);
void DecodeControlUnchecked(const curve_data_view& view, int32_t index, float* out);

// The same per format, chosen once: a player that binds a curve steps
// through it without the format dispatch. Same results and preconditions as
// the two above; null for formats they do not cover (the identity, and for
// controls DaSampledBits) or a number outside 0..19.
using knot_decoder = float (*)(const curve_data_view& view, int32_t index);
using control_decoder = void (*)(const curve_data_view& view, int32_t index, float* out);
knot_decoder GetKnotDecoder(int32_t format);
control_decoder GetControlDecoder(int32_t format);

// First knot index whose knot is greater than t (|t| for float knots);
// K - 1 when there is none; -1 when K = 0.
int32_t FindKnotInView(const curve_data_view& view, float t);

// Bytes of the record plus its arrays for a curve of this shape, laid out as
// EncodeCurveData writes them; 0 for an unknown format and for
// DaSampledBits, whose size depends on its keys (SampledCurveDataSize).
size_t CurveDataSize(int32_t format, int32_t dimension, int32_t knotCount);

// Writes the record (at `memory`, 8-aligned, CurveDataSize bytes, zeroed by
// the caller) for K knots and K control points of `dimension` floats. Knots
// may be null for a single knot (read as 0) or for keyframed data.
bool EncodeCurveData(int32_t format, int32_t degree, int32_t dimension, int32_t knotCount,
                     const float* knots, const float* controls, void* memory);

// DaSampledBits (degree 1): K uniform knots (i * spacing) and their keys,
// coded at `steps` (d floats; null: 1/65535 of each component's range). The
// size is 0 and the encoding false for another degree, knots that are not
// uniform or a key that cannot be coded at its step.
size_t SampledCurveDataSize(int32_t degree, int32_t dimension, int32_t knotCount,
                            const float* knots, const float* controls, const float* steps);
bool EncodeSampledCurveData(int32_t degree, int32_t dimension, int32_t knotCount,
                            const float* knots, const float* controls, const float* steps,
                            void* memory, size_t size);

// Size of a copy of `record` (same format and arrays) and the copy itself.
size_t CurveDataCopySize(const void* record);
bool CopyCurveData(const void* record, void* memory);

// Copies the numbers of `encoded` (a record written by EncodeCurveData) into
// `record`, a record of the same format and shape, keeping the record's own
// arrays. False when the shapes differ.
bool OverwriteCurveData(const void* encoded, void* record);

// Applies new component j = old component perm[j] * factor[j] + offset[j] to
// a three-dimensional curve in place, without re-quantizing: float formats
// move their numbers, quantized ones their codes, scales and offsets. False
// (nothing changed) for formats or dimensions it does not cover.
bool PermuteCurveData3(void* record, const int32_t* perm, const float* factor, const float* offset);

// ---- Candidate lists -----------------------------------------------------

// The formats the exporter offers the fitter; the first entry is always
// DaK32fC32f. GetCurveCandidateFormats says how many entries to use.
extern data_type_definition* const PositionCurveFormats[6];
extern data_type_definition* const OrientationCurveFormats[3];
extern data_type_definition* const ScaleShearCurveFormats[7];
extern data_type_definition* const Vector4CurveFormats[3];
extern data_type_definition* const MorphNormalCurveFormats[3];

enum class curve_channel { Position, Orientation, ScaleShear, Vector };

// The list for a channel (vector tracks choose by dimension: 3 -> position
// list, 9 -> scale/shear list, others -> the four-dimensional list) and how
// many entries of it to use. With `sampledKeys` the list used ends with
// DaSampledBits.
data_type_definition* const* GetCurveCandidateFormats(curve_channel channel, int32_t dimension,
                                                      bool useQuantized, bool allow16BitOrientation,
                                                      int32_t* count, bool sampledKeys = false);

}  // namespace ketrel
