#include "export/ketrel_fit_jobs.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
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

// The shared state of one run: the list, the index of the next job, and
// the jobs a worker could not get a solver for. Only the caller's thread
// reads `deferred` and `solverFailures` once the workers have ended; while
// they run, everything but the jobs' own slots is written under the lock.
struct JobList {
  FitJob* jobs = nullptr;
  int32_t count = 0;
  int32_t next = 0;
  std::vector<FitJob*> deferred;
  int32_t solverFailures = 0;
  ProgressWindow* progress = nullptr;
  int32_t running = 0;  // workers not yet ended
  std::mutex lock;
  std::condition_variable ended;
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

// A solver that takes the job: the worker's own when it is big enough, else
// a new one sized for this job (and no smaller than the old one, so that a
// worker drawing alternating channels does not make one per job). Memory
// follows the channels a worker draws, not the longest in the export. Null
// when it cannot be had (the old one is gone too).
BSplineSolver* SolverFor(BSplineSolver*& solver, const FitJob& job) {
  if (BSplineSolverTakes(solver, job.SampleCount, job.Dimension)) return solver;
  int32_t samples = job.SampleCount, dimension = job.Dimension;
  if (solver != nullptr) {
    samples = std::max(samples, BSplineSolverSamples(solver));
    dimension = std::max(dimension, BSplineSolverDimension(solver));
  }
  // The old one goes first: under memory pressure both may not fit.
  DestroyBSplineSolver(solver);
  solver = CreateBSplineSolver(3, samples, dimension);
  SetBSplineSolverCancel(solver, CancelFlag());  // a Ctrl-C stops a long track's fit too
  return solver;
}

void Work(JobList* list) {
  BSplineSolver* solver = nullptr;
  // A cancelled export takes no more jobs: its curves would be thrown away.
  while (CancelRequested() == 0) {
    FitJob* job = TakeJob(*list);
    if (!job) break;
    const uint64_t failures = AllocationFailuresOnThisThread();
    if (!NeedsSolver(*job) || SolverFor(solver, *job) != nullptr) {
      RunJob(solver, *job);
      CountProgressWork(list->progress, job->SampleCount * kFitWorkPerSample);
      if (job->Curve != nullptr || AllocationFailuresOnThisThread() == failures) continue;
    }
    // Short of memory: left for the caller's thread, once the other
    // workers' memory is back.
    std::lock_guard<std::mutex> guard(list->lock);
    list->deferred.push_back(job);
    ++list->solverFailures;
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

bool RunFitJobs(FitJob* jobs, int32_t count, int32_t workerCount, ProgressWindow* progress) {
  if (!jobs || count <= 0) return true;
  JobList list;
  list.jobs = jobs;
  list.count = count;
  list.progress = progress;
  list.deferred.reserve(size_t(count));  // a worker out of memory must not need more to say so
  int32_t workers = workerCount < 1                ? 1
                    : workerCount > kMaxFitWorkers ? kMaxFitWorkers
                                                   : workerCount;
  if (workers > count) workers = count;

  std::vector<std::thread> threads;
  threads.reserve(size_t(workers));
  auto worker = [&list] {
    Work(&list);
    std::lock_guard<std::mutex> guard(list.lock);
    --list.running;
    list.ended.notify_all();
  };
  for (int32_t i = 0; i < workers; ++i) {
    try {
      {
        std::lock_guard<std::mutex> guard(list.lock);
        ++list.running;
      }
      threads.emplace_back(worker);
    } catch (const std::system_error&) {
      std::lock_guard<std::mutex> guard(list.lock);
      --list.running;
      KT_LOG_WARNING_CODE(Export, warning::FittingResources, nullptr,
                          "Unable to start fitting thread %d of %d", i + 1, workers);
      break;
    }
  }
  // Without any thread the caller's thread does the work itself; otherwise
  // it shows how far the workers are (the display is only ever called from
  // this thread).
  if (threads.empty()) Work(&list);
  {
    std::unique_lock<std::mutex> guard(list.lock);
    while (list.running > 0) {
      list.ended.wait_for(guard, std::chrono::milliseconds(100));
      guard.unlock();
      ShowProgressWork(progress, "Fitting curves");
      guard.lock();
    }
  }
  for (std::thread& thread : threads) thread.join();
  // What no worker could fit for want of memory is tried once more here,
  // one job at a time, with every worker's solver freed.
  int32_t unfitted = 0, longest = 0;
  for (FitJob* job : list.deferred) {
    if (CancelRequested() != 0) break;
    BSplineSolver* solver = nullptr;
    if (!NeedsSolver(*job) || SolverFor(solver, *job) != nullptr) RunJob(solver, *job);
    CountProgressWork(progress, job->SampleCount * kFitWorkPerSample);
    if (job->Curve == nullptr) {
      ++unfitted;
      longest = std::max(longest, job->SampleCount);
    }
    DestroyBSplineSolver(solver);
  }
  if (unfitted > 0) {
    KT_LOG_ERROR(Export, "Not enough memory to fit a track of %d samples (%d tracks)", longest,
                 unfitted);
  } else if (list.solverFailures > 0) {
    KT_LOG_WARNING_CODE(Export, warning::FittingResources, nullptr,
                        "Not enough memory for every fitting worker at once (%d tracks); those "
                        "tracks were fitted afterwards, one at a time",
                        list.solverFailures);
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
