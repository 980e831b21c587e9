// Curves: reads arbitrary bytes as a curve record of any format (counts and
// scales hostile, arrays inside the input) and queries, evaluates, copies and
// transforms it, which must never crash; then fits the bytes as samples twice
// and checks that both fits are the same.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_log.h"

namespace {

using namespace ketrel;

void Quiet(LogType, LogOrigin, const char*, int, const char*, void*) {}

// A record of the format named by the first byte, its scalars and counts
// taken from the input, its arrays aimed at the rest of the input. Counts
// are clamped to the bytes there (an in-memory record's pointers are
// trusted); everything else (dimension, scales, codes, disagreeing counts)
// is hostile.
void ReadHostileCurve(const uint8_t* data, size_t size) {
  if (size < 48) return;
  std::vector<float> arena((size - 48) / 4 + 1, 0.0f);
  std::memcpy(arena.data(), data + 48, size - 48);
  int64_t bytes = static_cast<int64_t>(arena.size()) * 4;
  auto count = [&](int offset, int element) {
    int32_t c;
    std::memcpy(&c, data + offset, sizeof(c));
    return c < 0 ? c : static_cast<int32_t>(c % (bytes / element + 1));
  };
  alignas(8) uint8_t record[64] = {};
  std::memcpy(record, data, sizeof(record) < size ? sizeof(record) : size);
  int32_t format = data[0] % kCurveFormatCount;
  record[0] = static_cast<uint8_t>(format);
  void* items = arena.data();
  switch (format) {
    case CurveFormatDaKeyframes32f:
    case CurveFormatDaConstant32f: {
      auto* r = reinterpret_cast<curve_data_da_constant32f*>(record);
      r->ControlCount = count(4, 4), r->Controls = arena.data();
      break;
    }
    case CurveFormatDaK32fC32f: {
      auto* r = reinterpret_cast<curve_data_da_k32f_c32f*>(record);
      r->KnotCount = count(4, 4), r->Knots = arena.data();
      r->ControlCount = count(8, 4), r->Controls = arena.data();
      break;
    }
    case CurveFormatDaK16uC16u:
    case CurveFormatDaK8uC8u: {
      auto* r = reinterpret_cast<curve_data_da_quantized*>(record);
      r->ControlScaleOffsetCount = count(4, 4), r->ControlScaleOffsets = arena.data();
      r->KnotControlCount = count(8, format == CurveFormatDaK16uC16u ? 2 : 1);
      r->KnotsControls = items;
      break;
    }
    case CurveFormatD4nK16uC15u:
    case CurveFormatD4nK8uC7u: {
      auto* r = reinterpret_cast<curve_data_d4n*>(record);
      r->KnotControlCount = count(8, format == CurveFormatD4nK16uC15u ? 2 : 1);
      r->KnotsControls = items;
      break;
    }
    case CurveFormatD9I1K16uC16u:
    case CurveFormatD9I1K8uC8u: {
      auto* r = reinterpret_cast<curve_data_d9i1*>(record);
      r->KnotControlCount = count(12, format == CurveFormatD9I1K16uC16u ? 2 : 1);
      r->KnotsControls = items;
      break;
    }
    case CurveFormatDaSampledBits: {
      auto* r = reinterpret_cast<curve_data_da_sampled_bits*>(record);
      r->KeyCount = count(8, 1);
      r->ControlScaleOffsetCount = count(12, 4), r->ControlScaleOffsets = arena.data();
      r->KeyStreamCount = count(16, 1), r->KeyStream = static_cast<uint8_t*>(items);
      break;
    }
    case CurveFormatDaIdentity:
    case CurveFormatD3Constant32f:
    case CurveFormatD4Constant32f:
      break;
    default: {
      auto* r = reinterpret_cast<curve_data_d3_scaled*>(record);
      int element = format == CurveFormatD3I1K32fC32f ? 4
                    : (format == CurveFormatD3K8uC8u || format == CurveFormatD9I3K8uC8u ||
                       format == CurveFormatD3I1K8uC8u)
                        ? 1
                        : 2;
      r->KnotControlCount = count(28, element);
      r->KnotsControls = items;
      break;
    }
  }
  curve2 curve{{GetCurveFormatType(format), record}};
  curve_data_view view;
  if (!ReadCurveData(record, &view)) return;
  float out[16 * 4], knot;
  int32_t k = GetCurveKnotCount(&curve);
  for (float t : {0.0f, 0.5f, 3.0f, -1.0f, 1e30f, NAN}) {
    EvaluateCurveAtT(view.Dimension, true, &curve, nullptr, nullptr, 1.0f, t, out, nullptr);
    EvaluateCurveAtT(view.Dimension, false, &curve, &curve, &curve, 1.0f, t, out, nullptr);
  }
  if (k > 0) ExtractCurveKnotsControls(&curve, k - 1, 1, &knot, out, nullptr);
  curve2* copy = EndCurve(BeginCurveCopy(&curve));
  if (copy != nullptr) {
    const float m[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1}, a[3] = {1, 2, 3};
    TransformCurve3(a, m, 1e-4f, copy);
    TransformCurve4(m, m, 1e-4f, copy);
    TransformCurve9(m, m, 1e-4f, copy);
    FreeCurve(copy);
  }
}

void FitTwice(const uint8_t* data, size_t size) {
  if (size < 8) return;
  int dimension = 1 + data[0] % 4;
  int flags = data[1];
  CurveFitParameters p;
  p.Degree = data[2] % 4;
  p.Tolerance = (data[3] % 16) * 0.05f;
  p.JumpThreshold = 0.5f;
  p.CreaseThreshold = 0.5f;
  p.ReduceToConstant = data[4] & 1;
  p.QuantizeOnMiss = data[4] & 2;
  p.CandidateFormats = dimension == 3 ? PositionCurveFormats : Vector4CurveFormats;
  p.CandidateFormatCount = dimension == 3 ? 6 : 3;
  std::vector<float> samples;
  for (size_t i = 8; i + 2 <= size; i += 2) {
    int16_t v;
    std::memcpy(&v, data + i, 2);
    samples.push_back(v / 1000.0f);
  }
  int n = static_cast<int>(samples.size()) / dimension;
  if (n < 1 || n > 200) return;
  BSplineSolver* solver = CreateBSplineSolver(3, 200, 4);
  curve2* first = CompressCurve(solver, flags, p, samples.data(), dimension, n, 0.1f, nullptr);
  curve2* second = CompressCurve(solver, flags, p, samples.data(), dimension, n, 0.1f, nullptr);
  if ((first == nullptr) != (second == nullptr)) __builtin_trap();
  if (first != nullptr) {
    int k = GetCurveKnotCount(first), d = GetCurveStoredDimension(first);
    if (GetCurveByteSize(first) != GetCurveByteSize(second) || k != GetCurveKnotCount(second))
      __builtin_trap();
    std::vector<float> a(k * (d + 1) + 1), b(k * (d + 1) + 1);
    if (k > 0) {
      ExtractCurveKnotsControls(first, 0, k, a.data(), a.data() + k, nullptr);
      ExtractCurveKnotsControls(second, 0, k, b.data(), b.data() + k, nullptr);
    }
    if (std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) != 0) __builtin_trap();
  }
  FreeCurve(first);
  FreeCurve(second);
  DestroyBSplineSolver(solver);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScopedLogCallback quiet(Quiet, nullptr);
  ReadHostileCurve(data, size);
  FitTwice(data, size);
  return 0;
}
