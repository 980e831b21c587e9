#include "export/ketrel_fit_jobs.h"

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "export/ketrel_progress.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {
namespace {

// The shared state of one run: the list and the index of the next job.
// Only `next` is written by more than one thread, always under the lock.
struct JobList {
  FitJob* jobs = nullptr;
  int32_t count = 0;
  int32_t next = 0;
  int32_t maxSamples = 1;
  int32_t maxDimension = 1;
  bool needsSolver = false;
  int32_t solverFailures = 0;  // workers that could not make their solver
  std::mutex lock;
};

FitJob* TakeJob(JobList& list) {
  std::lock_guard<std::mutex> guard(list.lock);
  return list.next < list.count ? &list.jobs[list.next++] : nullptr;
}

void RunJob(BSplineSolver* solver, FitJob& job) {
  job.Curve = nullptr;
  job.Achieved = false;
  // Too wide for any curve: reported by the caller's thread once all
  // workers have ended, so that the log's callback (the progress window)
  // is never called from a worker for it.
  if (job.Dimension > kMaxCurveDimension) return;
  if (job.Compress) {
    job.Curve = CompressCurve(solver, job.Flags, job.Parameters, job.Samples, job.Dimension,
                              job.SampleCount, job.TimeStep, &job.Achieved);
    return;
  }
  job.Curve = MakeKeyframeCurve(job);
  job.Achieved = job.Curve != nullptr;
}

bool NeedsSolver(const FitJob& job) { return job.Compress && job.Dimension <= kMaxCurveDimension; }

void Work(JobList* list) {
  // Made before the first job, so that a worker without one takes none and
  // leaves them all to the others; a list of keyframe jobs needs none.
  BSplineSolver* solver = nullptr;
  if (list->needsSolver) {
    solver = CreateBSplineSolver(3, list->maxSamples, list->maxDimension);
    if (solver == nullptr) {
      std::lock_guard<std::mutex> guard(list->lock);
      ++list->solverFailures;
      return;
    }
  }
  // A cancelled export takes no more jobs: its curves would be thrown away.
  while (CancelRequested() == 0) {
    FitJob* job = TakeJob(*list);
    if (!job) break;
    RunJob(solver, *job);
  }
  DestroyBSplineSolver(solver);
}

}  // namespace

int32_t FitWorkerCount(int32_t requested) {
  if (requested >= 1 && requested <= kMaxFitWorkers) return requested;
  unsigned processors = std::thread::hardware_concurrency();
  if (processors < 1) processors = 1;
  return processors < unsigned(kMaxFitWorkers) ? int32_t(processors) : kMaxFitWorkers;
}

bool RunFitJobs(FitJob* jobs, int32_t count, int32_t workerCount) {
  if (!jobs || count <= 0) return true;
  JobList list;
  list.jobs = jobs;
  list.count = count;
  // Every worker's solver must take every job it may draw, so it is sized for
  // the widest and longest channel in the whole list.
  for (int32_t i = 0; i < count; ++i) {
    if (!NeedsSolver(jobs[i])) continue;
    list.needsSolver = true;
    if (jobs[i].SampleCount > list.maxSamples) list.maxSamples = jobs[i].SampleCount;
    if (jobs[i].Dimension > list.maxDimension) list.maxDimension = jobs[i].Dimension;
  }
  int32_t workers = workerCount < 1                ? 1
                    : workerCount > kMaxFitWorkers ? kMaxFitWorkers
                                                   : workerCount;
  if (workers > count) workers = count;

  std::vector<std::thread> threads;
  threads.reserve(size_t(workers));
  for (int32_t i = 0; i < workers; ++i) {
    try {
      threads.emplace_back(Work, &list);
    } catch (const std::system_error&) {
      KT_LOG_WARNING_CODE(Export, warning::FittingResources, nullptr,
                          "Unable to start fitting thread %d of %d", i + 1, workers);
      break;
    }
  }
  // Without any thread the caller's thread does the work itself; so it does
  // what no worker could take for want of a solver.
  if (threads.empty()) Work(&list);
  for (std::thread& thread : threads) thread.join();
  if (list.next < list.count && CancelRequested() == 0) Work(&list);
  if (list.solverFailures > 0) {
    KT_LOG_WARNING_CODE(Export, warning::FittingResources, nullptr,
                        "Unable to create a curve solver for fitting (%d times)%s",
                        list.solverFailures,
                        list.next < list.count ? "" : "; the other workers fitted every curve");
  }
  int32_t lost = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (jobs[i].Dimension <= kMaxCurveDimension) {
      lost += jobs[i].Curve == nullptr;
      continue;
    }
    KT_LOG_WARNING_CODE(Export, warning::TrackTooWide, nullptr,
                        "A track of %d values per sample is wider than a curve holds (%d); it is "
                        "left out",
                        jobs[i].Dimension, kMaxCurveDimension);
  }
  if (lost > 0 && CancelRequested() == 0)
    KT_LOG_ERROR(Export, "%d of %d curves could not be fitted", lost, count);
  return lost == 0;
}

void FreeFitJobCurves(FitJob* jobs, int32_t count) {
  if (!jobs) return;
  for (int32_t i = 0; i < count; ++i) {
    FreeCurve(jobs[i].Curve);
    jobs[i].Curve = nullptr;
  }
}

curve2* MakeKeyframeCurve(const FitJob& job) {
  if (!KT_CHECK_PARAMETER(Export, job.Samples && job.Dimension > 0 && job.SampleCount > 0))
    return nullptr;
  const int32_t dimension = job.Dimension;
  const size_t total = size_t(job.SampleCount) * size_t(dimension);
  const CurveFitParameters& p = job.Parameters;
  if (!p.ReduceToConstant) {
    curve_builder* builder = BeginCurve(DaKeyframes32fType, 0, dimension, job.SampleCount);
    SetControlArray(builder, job.Samples);
    return EndCurve(builder);
  }

  float* samples = KT_ALLOCATE_ARRAY(float, total);
  if (!samples) return nullptr;
  std::memcpy(samples, job.Samples, total * sizeof(float));
  // -0 and +0 are one value here, so a channel that only touches zero from
  // both sides still reduces.
  for (size_t i = 0; i < total; ++i) {
    if (samples[i] == 0.0f) samples[i] = 0.0f;
  }
  bool constant = true;
  for (size_t i = size_t(dimension); i < total && constant; ++i) {
    constant = samples[i] == samples[i % size_t(dimension)];
  }
  bool identity = constant && p.IdentityValue != nullptr;
  for (int32_t d = 0; d < dimension && identity; ++d) identity = samples[d] == p.IdentityValue[d];

  curve_builder* builder = nullptr;
  if (identity) {
    builder = BeginCurve(p.IdentityFormat ? p.IdentityFormat : DaIdentityType, 0, dimension, 0);
  } else if (constant) {
    builder = BeginCurve(p.ConstantFormat ? p.ConstantFormat : DaConstant32fType, 0, dimension, 1);
    SetControlArray(builder, samples);
  } else {
    builder = BeginCurve(DaKeyframes32fType, 0, dimension, job.SampleCount);
    SetControlArray(builder, samples);
  }
  curve2* curve = EndCurve(builder);
  FreeBlock(samples);
  return curve;
}

}  // namespace ketrel
