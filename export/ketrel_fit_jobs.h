#pragma once
// Fitting jobs: one per sampled channel (a bone's position, orientation or
// scale/shear, a vector track, a morph weight), run on worker threads.
//
// RunFitJobs starts the workers; they take jobs one at a time under a lock
// and write each result into the job's own slot. A worker's B-spline solver
// grows with the channels it draws (sample count, dimension), so memory
// follows the jobs rather than the longest track of the export; a job whose
// worker could not get a solver is fitted afterwards on the caller's thread,
// when every worker's memory is back. RunFitJobs returns only after every
// worker has ended, so the caller reads results that no thread touches any
// more. Every job's result depends on its inputs alone, so the file is the
// same whatever the number of workers.
//
// Worker count: the machine's processors, at most kMaxFitWorkers, unless the
// export asks for a count of its own.

#include <cstdint>

#include "export/ketrel_progress.h"
#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"

namespace ketrel {

inline constexpr int32_t kMaxFitWorkers = 8;

struct FitJob {
  // Inputs; the samples stay read-only and alive until RunFitJobs returns.
  const float* Samples = nullptr;  // SampleCount x Dimension floats
  int32_t Dimension = 0;
  int32_t SampleCount = 0;
  float TimeStep = 0;
  bool Compress = true;  // "Compress animation data": fit, else keyframes
  int32_t Flags = 0;     // FitFlags
  CurveFitParameters Parameters;
  // Results, written by exactly one worker.
  curve2* Curve = nullptr;  // owned by the job list's user; FreeCurve
  bool Achieved = false;
};

// `requested` when it is 1..8, else min(processors, 8).
int32_t FitWorkerCount(int32_t requested);

// Runs every job (see above) on `workerCount` threads (clamped to 1..8 and
// to the job count). A job whose fit fails keeps a null curve; so does a
// job wider than a curve holds (kMaxCurveDimension, logged, and not a
// failure: the caller leaves that track out), and a job that could not get
// a solver even alone (logged). False when any job
// that should have a curve has none (memory ran out): the caller must not
// write a file without it.
// With a progress window, each job counts kFitWorkPerSample units of work
// per sample as it ends, and the caller's thread shows the share done while
// it waits for the workers.
bool RunFitJobs(FitJob* jobs, int32_t count, int32_t workerCount,
                ProgressWindow* progress = nullptr);

// What fitting weighs against a step of the progress window, per sample of
// a job.
inline constexpr long long kFitWorkPerSample = 6;

// Frees every job's curve and clears it. Accepts null.
void FreeFitJobCurves(FitJob* jobs, int32_t count);

// The curve of a job without compression: with ReduceToConstant, an identity
// curve when every sample equals the identity value, a constant curve when
// every sample equals the first (negative zeros counting as +0); otherwise a
// DaKeyframes32f curve of degree 0 holding every sample. Null when out of
// memory or the job is malformed (logged).
curve2* MakeKeyframeCurve(const FitJob& job);

}  // namespace ketrel
