#pragma once
// curve2: every animated quantity of a file, a B-spline in one of the 20
// curve formats (ketrel_curve_formats.h).
//
// Curve model: degree p (0..3), K knots t_0..t_{K-1} (non-decreasing, t_0 = 0)
// and K control points of d floats. The value at t uses span index i = the
// first knot greater than t (clamped to K - 1) and P_{i-p}..P_i; indices before
// the curve stand for P_0 (or the preceding curve). A knot repeated p times is
// a crease, p + 1 times a jump.
//
// Builder: BeginCurve -> SetKnotArray / SetControlArray -> EndCurve, which
// writes the curve object and its data into one heap block (free it with
// FreeCurve) and frees the builder. Every builder operation accepts a null
// builder and then does nothing. Errors are logged and give null or 0.

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_curve_formats.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

struct curve_builder {
  bool OwnsItself = false;
  data_type_definition* FormatType = nullptr;
  int32_t Format = CurveFormatUnknown;
  int32_t Degree = 0;
  int32_t Dimension = 0;
  int32_t KnotCount = 0;
  const float* Knots = nullptr;
  const float* Controls = nullptr;
  const curve2* Source = nullptr;
  int32_t SampleCount = -1;
  int32_t SampleDimension = 0;
  const float* Samples = nullptr;
  const float* UnprocessedSamples = nullptr;
  const float* Steps = nullptr;  // DaSampledBits: the key step of each component
};

// An unknown format logs "Invalid format specified for a ketrel_curve2 -
// creating this curve will fail"; the builder then carries format -1.
// Null when the builder cannot be allocated.
curve_builder* BeginCurve(data_type_definition* format, int32_t degree, int32_t dimension,
                          int32_t knotCount);
// The same into caller memory (never freed by EndCurve).
void BeginCurveInPlace(curve_builder* builder, data_type_definition* format, int32_t degree,
                       int32_t dimension, int32_t knotCount);
// A builder that copies `source` (same format, degree and data).
curve_builder* BeginCurveCopy(const curve2* source);
// The same into caller memory; an unreadable source gives format -1.
void BeginCurveCopyInPlace(curve_builder* builder, const curve2* source);
void SetKnotArray(curve_builder* builder, const float* knots);
void SetControlArray(curve_builder* builder, const float* controls);
void SetSampleData(curve_builder* builder, int32_t sampleCount, int32_t sampleDimension,
                   const float* samples, const float* unprocessedSamples);
// DaSampledBits: the step of each component's keys (d floats, kept by
// reference until EndCurve). Without it a step is 1/65535 of the range.
void SetControlSteps(curve_builder* builder, const float* steps);

// Bytes of the finished curve: the curve2 object plus its data.
int32_t GetResultingCurveSize(const curve_builder* builder);
// Bytes of the data alone (what EndCurveInPlace writes at `dataMemory`).
int32_t GetResultingCurveDataSize(const curve_builder* builder);
// A new curve in one heap block, or null. Frees an allocated builder always.
curve2* EndCurve(curve_builder* builder);
// Writes the curve object at `curveMemory` and its data at `dataMemory`
// (8-aligned, GetResultingCurveDataSize bytes). Returns curveMemory or null.
curve2* EndCurveInPlace(curve_builder* builder, void* curveMemory, void* dataMemory);
// Frees a curve made by EndCurve; accepts null.
void FreeCurve(curve2* curve);

// ---- Queries ----------------------------------------------------------------

int32_t GetCurveFormat(const curve2* curve);  // -1 when unknown or null
// Whether the curve's record is of the type its data reference names. The
// record is read by the layout its own format number gives; a damaged or
// hostile file whose type says otherwise would have it read through pointers
// that are not there. Check a loaded file's curves once before decoding them.
bool CurveRecordMatchesType(const curve2* curve);
int32_t GetCurveDegree(const curve2* curve);
// 0 when the curve has no knots.
int32_t GetCurveDimension(const curve2* curve);
// The format's dimension, also for identity and constant curves.
int32_t GetCurveStoredDimension(const curve2* curve);
int32_t GetCurveKnotCount(const curve2* curve);
// Bytes of the curve object plus its data as a copy would need them.
int32_t GetCurveByteSize(const curve2* curve);
int32_t FindCurveKnot(const curve2* curve, float t);
bool ExtractCurveKnotsControls(const curve2* curve, int32_t first, int32_t count, float* knots,
                               float* controls, const float* identity);
// The first knot that is smaller than the one before it, -1 when the knots
// never decrease (a reader that binary-searches them needs that), -2 when
// the knots cannot be decoded.
int32_t FindDecreasingKnot(const curve2* curve);
bool CurveIsKeyframed(const curve2* curve);
bool CurveIsIdentity(const curve2* curve);
bool CurveIsConstantOrIdentity(const curve2* curve);
bool CurveIsConstantNotIdentity(const curve2* curve);
// Re-encodes the curve's data in place with new knots and controls of the
// same count and dimension (the record keeps its arrays).
bool SetCurveKnotsControls(curve2* curve, int32_t knotCount, int32_t dimension, const float* knots,
                           const float* controls);

// ---- Evaluation -------------------------------------------------------------

// The value at t on span `knotIndex` (as FindCurveKnot gives it). With
// `normalize`, quaternions come out unit length. `previous` / `next` are
// neighbouring curves of a looping animation (or null); `duration` is the
// time shift between them. `identity` (d floats) answers identity curves
// (zeros when null). Times outside the curve give its end values. False
// (parameter check) for keyframed curves, bad indices or degree above 3.
bool EvaluateCurveAtKnot(int32_t dimension, bool normalize, const curve2* curve,
                         const curve2* previous, const curve2* next, float duration,
                         int32_t knotIndex, float t, float* result, const float* identity);
bool EvaluateCurveAtT(int32_t dimension, bool normalize, const curve2* curve,
                      const curve2* previous, const curve2* next, float duration, float t,
                      float* result, const float* identity);

// A curve read once for many evaluations, as fitting measures one at every
// sample: the same answers as FindCurveKnot and EvaluateCurveAtKnot without
// neighbouring curves, without reading the record each time. Valid while
// the curve lives unchanged.
struct curve_reader {
  curve_data_view View;
  bool Keyframed = false;
  bool Identity = false;
};
// False (parameter check) for a null or unreadable curve.
bool BeginCurveReader(const curve2* curve, curve_reader* reader);
int32_t FindReaderKnot(const curve_reader& reader, float t);
bool EvaluateReaderAtKnot(const curve_reader& reader, int32_t dimension, bool normalize,
                          int32_t knotIndex, float t, float* result, const float* identity);

// The knots and control points last read by EvaluateReaderInWindow, kept
// for the next evaluation on the same knot: the same answers as
// EvaluateReaderAtKnot (no identity values) without reading the window
// again. Start with a fresh window for each reader; `dimension` must not
// change between calls.
struct curve_window {
  int32_t Knot = -1;  // the knot index read, or -1
  bool Normalize = false;
  // Float curves are read where they lie; the others decoded into the arrays.
  const float* DirectKnots = nullptr;
  const float* DirectControls = nullptr;
  float Knots[2 * 3];            // 2 x the highest degree
  float Controls[(3 + 1) * 15];  // degree + 1 points of the most numbers a curve holds
};
bool EvaluateReaderInWindow(const curve_reader& reader, int32_t dimension, bool normalize,
                            int32_t knotIndex, float t, float* result, curve_window* window);

// ---- Transforms (basis conversion) -------------------------------------------

// Positions: v -> L v + A. Orientations: R -> L R L^-1. Scale/shear: M ->
// L M L^-1. `linear` and `inverse` are row-major 3x3 matrices. A signed axis
// permutation with one uniform scale is applied to the stored numbers without
// re-quantizing; anything else decodes, transforms and re-encodes with the
// same knots. Identity curves and wrong dimensions are logged errors and
// leave the curve unchanged (false).
bool TransformCurve3(const float* affine, const float* linear, float tolerance, curve2* curve);
bool TransformCurve4(const float* linear, const float* inverse, float tolerance, curve2* curve);
bool TransformCurve9(const float* linear, const float* inverse, float tolerance, curve2* curve);

}  // namespace ketrel
