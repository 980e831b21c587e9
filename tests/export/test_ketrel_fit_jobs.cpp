#include "export/ketrel_fit_jobs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "export/ketrel_progress.h"
#include "rt/ketrel_memory.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

const float kIdentity3[3] = {0, 0, 0};

// Samples of a smooth channel of `dimension` floats that differ per job.
std::vector<float> Wave(int32_t dimension, int32_t count, float phase) {
  std::vector<float> samples;
  for (int32_t s = 0; s < count; ++s)
    for (int32_t d = 0; d < dimension; ++d)
      samples.push_back(std::sin(0.1f * float(s) + phase + 0.7f * float(d)));
  return samples;
}

FitJob Job(const std::vector<float>& samples, int32_t dimension, bool compress = true) {
  FitJob job;
  job.Samples = samples.data();
  job.Dimension = dimension;
  job.SampleCount = int32_t(samples.size()) / dimension;
  job.TimeStep = 1.0f / 60;
  job.Compress = compress;
  job.Flags = FitStartKnots | FitPinEnds;
  job.Parameters.Degree = 2;
  job.Parameters.ReduceToConstant = 1;
  job.Parameters.Tolerance = 0.01f;
  job.Parameters.CandidateFormats = GetCurveCandidateFormats(
      curve_channel::Vector, dimension, true, true, &job.Parameters.CandidateFormatCount);
  return job;
}

std::vector<unsigned char> Bytes(const curve2* curve) {
  std::vector<unsigned char> bytes;
  if (!curve) return bytes;
  const int32_t knots = GetCurveKnotCount(curve);
  const int32_t dimension = GetCurveStoredDimension(curve);
  std::vector<float> k(size_t(knots > 0 ? knots : 1)),
      c(size_t((knots > 0 ? knots : 1) * dimension));
  ExtractCurveKnotsControls(curve, 0, knots, k.data(), c.data(), nullptr);
  bytes.push_back(uint8_t(GetCurveFormat(curve)));
  bytes.insert(bytes.end(), reinterpret_cast<unsigned char*>(k.data()),
               reinterpret_cast<unsigned char*>(k.data() + knots));
  bytes.insert(bytes.end(), reinterpret_cast<unsigned char*>(c.data()),
               reinterpret_cast<unsigned char*>(c.data() + size_t(knots) * size_t(dimension)));
  return bytes;
}

TEST(FitJobs, EveryWorkerCountGivesTheSameCurvesForEveryDimension) {
  // One channel of every width 1..15, and the widest first and last so that
  // whichever job a worker takes first, its solver must already fit them all.
  std::vector<std::vector<float>> samples;
  for (int32_t d = 15; d >= 1; --d) samples.push_back(Wave(d, 61, float(d)));
  samples.push_back(Wave(15, 121, 0.5f));
  std::vector<std::vector<unsigned char>> reference;
  for (int32_t workers : {1, 2, 8}) {
    std::vector<FitJob> jobs;
    for (const auto& s : samples) {
      int32_t d = jobs.size() < 15 ? 15 - int32_t(jobs.size()) : 15;
      jobs.push_back(Job(s, d));
    }
    RunFitJobs(jobs.data(), int32_t(jobs.size()), workers);
    for (size_t j = 0; j < jobs.size(); ++j) {
      ASSERT_NE(jobs[j].Curve, nullptr) << workers << " " << j;
      EXPECT_TRUE(jobs[j].Achieved) << workers << " " << j;
      EXPECT_EQ(GetCurveStoredDimension(jobs[j].Curve), jobs[j].Dimension);
      if (workers == 1) {
        reference.push_back(Bytes(jobs[j].Curve));
      } else {
        EXPECT_EQ(Bytes(jobs[j].Curve), reference[j]) << workers << " " << j;
      }
    }
    FreeFitJobCurves(jobs.data(), int32_t(jobs.size()));
    EXPECT_EQ(jobs[0].Curve, nullptr);
  }
}

TEST(FitJobs, TracksWiderThanACurveAreLeftOutSafely) {
  // A source may report 16 floats; a curve holds at most 15.
  std::vector<float> wide = Wave(16, 10, 0);
  for (bool compress : {true, false}) {
    std::vector<FitJob> jobs = {Job(wide, 16, compress)};
    test::LogCapture log;
    EXPECT_TRUE(RunFitJobs(jobs.data(), 1, 2));  // left out, not lost
    EXPECT_EQ(jobs[0].Curve, nullptr) << compress;
    EXPECT_FALSE(jobs[0].Achieved) << compress;
    EXPECT_TRUE(log.Contains("left out")) << log.All();
  }
}

// A worker that cannot get (or grow) its solver leaves the job to the
// caller's thread, which fits it once the workers' memory is back; when even
// that fails the run says so. Whatever allocation fails, a run that reports
// success has every curve exactly as a run with memory to spare.
TEST(FitJobs, WithoutASolverTheCallerFitsOrTheRunFails) {
  const std::vector<float> small = Wave(3, 20, 0), large = Wave(4, 90, 1);
  auto makeJobs = [&] {
    return std::vector<FitJob>{Job(small, 3), Job(large, 4), Job(small, 3, false), Job(small, 3)};
  };
  std::vector<FitJob> reference = makeJobs();
  const uint64_t before = NextAllocationNumber();
  ASSERT_TRUE(RunFitJobs(reference.data(), 4, 1));
  const long allocations = long(NextAllocationNumber() - before);
  {
    std::vector<FitJob> jobs = makeJobs();
    test::LogCapture log;
    SetAllocationFailureCountdown(0);  // the first worker's solver
    EXPECT_TRUE(RunFitJobs(jobs.data(), 4, 1));
    SetAllocationFailureCountdown(-1);
    for (const FitJob& job : jobs) EXPECT_NE(job.Curve, nullptr);
    EXPECT_TRUE(log.Contains("fitted afterwards, one at a time")) << log.All();
    FreeFitJobCurves(jobs.data(), 4);
  }
  for (long countdown = 0; countdown < allocations + 10; countdown += 1 + allocations / 200) {
    for (int32_t workers : {1, 2}) {
      std::vector<FitJob> jobs = makeJobs();
      test::LogCapture log;
      SetAllocationFailureCountdown(countdown);
      const bool ok = RunFitJobs(jobs.data(), 4, workers);
      SetAllocationFailureCountdown(-1);
      bool complete = true;
      for (const FitJob& job : jobs) complete = complete && job.Curve != nullptr;
      EXPECT_EQ(ok, complete) << countdown;
      for (size_t j = 0; ok && j < jobs.size(); ++j)
        EXPECT_EQ(Bytes(jobs[j].Curve), Bytes(reference[j].Curve)) << countdown << " " << j;
      FreeFitJobCurves(jobs.data(), 4);
    }
  }
  FreeFitJobCurves(reference.data(), 4);
}

TEST(FitJobs, UncompressedChannelsAreKeyframesOrReduced) {
  // Not constant: every sample is kept as it is.
  std::vector<float> moving = {1, 2, 3, 1, 2, 4, -0.0f, 2, 3};
  FitJob job = Job(moving, 3, false);
  curve2* curve = MakeKeyframeCurve(job);
  ASSERT_NE(curve, nullptr);
  EXPECT_EQ(GetCurveFormat(curve), CurveFormatDaKeyframes32f);
  EXPECT_EQ(GetCurveDegree(curve), 0);
  EXPECT_EQ(GetCurveKnotCount(curve), 3);
  FreeCurve(curve);

  // -0 and +0 are the same value: the identity channel reduces to it.
  std::vector<float> zeros = {0, -0.0f, 0, -0.0f, 0, 0};
  job = Job(zeros, 3, false);
  job.Parameters.IdentityValue = kIdentity3;
  curve = MakeKeyframeCurve(job);
  EXPECT_TRUE(CurveIsIdentity(curve));
  FreeCurve(curve);

  // Constant but not the identity: a constant curve of the constant format.
  std::vector<float> held = {1, 2, 3, 1, 2, 3};
  job = Job(held, 3, false);
  job.Parameters.IdentityValue = kIdentity3;
  job.Parameters.ConstantFormat = D3Constant32fType;
  curve = MakeKeyframeCurve(job);
  EXPECT_EQ(GetCurveFormat(curve), CurveFormatD3Constant32f);
  float value[3];
  ASSERT_TRUE(ExtractCurveKnotsControls(curve, 0, 1, nullptr, value, nullptr));
  EXPECT_EQ(value[2], 3.0f);
  FreeCurve(curve);

  // Without "Reduce curves where possible" even a constant keeps every sample.
  job.Parameters.ReduceToConstant = 0;
  curve = MakeKeyframeCurve(job);
  EXPECT_TRUE(CurveIsKeyframed(curve));
  EXPECT_EQ(GetCurveKnotCount(curve), 2);
  FreeCurve(curve);
}

TEST(FitJobs, WorkerCountIsTheRequestWithinItsBounds) {
  EXPECT_EQ(FitWorkerCount(3), 3);
  const int32_t machine = FitWorkerCount(0);
  EXPECT_GE(machine, 1);
  EXPECT_LE(machine, kMaxFitWorkers);
  EXPECT_EQ(FitWorkerCount(kMaxFitWorkers + 1), machine);  // beyond the cap: the machine decides
  EXPECT_EQ(FitWorkerCount(-2), machine);
}

// The progress window's share of work done: steps and counted work weigh
// together, the share never goes back, and fitting counts as it goes.
struct Shown {
  std::vector<double> done;
};

void Item(void* user, const char*, int, int, double done) {
  static_cast<Shown*>(user)->done.push_back(done);
}

const ProgressDisplay kDisplay = {nullptr, nullptr, nullptr, Item, nullptr, nullptr};

TEST(Progress, WorkWeighsWithStepsAndTheShareNeverGoesBack) {
  Shown shown;
  ProgressWindow window;
  OpenProgress(&window, &kDisplay, &shown, true);
  SetProgressStepTotal(&window, 2);
  AddProgressWork(&window, 2 * kProgressStepWork);  // as much as the two steps
  ProgressItem(&window, "first");
  EXPECT_DOUBLE_EQ(shown.done.back(), 0.25);
  CountProgressWork(&window, kProgressStepWork);
  ShowProgressWork(&window, "fitting");
  EXPECT_DOUBLE_EQ(shown.done.back(), 0.5);
  // An estimate that was too low grows: the bar holds instead of moving back.
  AddProgressWork(&window, 10 * kProgressStepWork);
  ShowProgressWork(&window, "fitting");
  EXPECT_DOUBLE_EQ(shown.done.back(), 0.5);
  // Work beyond every total ends at 1, not past it.
  CountProgressWork(&window, 100 * kProgressStepWork);
  ProgressItem(&window, "second");
  EXPECT_DOUBLE_EQ(shown.done.back(), 1.0);
  FinishProgress(&window);
}

TEST(Progress, FittingCountsEachJobsSamples) {
  std::vector<float> samples;
  for (int i = 0; i < 3 * 200; ++i) samples.push_back(std::sin(0.05f * float(i)));
  std::vector<FitJob> jobs(4);
  for (FitJob& job : jobs) {
    job.Samples = samples.data();
    job.Dimension = 3;
    job.SampleCount = 200;
    job.TimeStep = 1.0f / 30;
    job.Parameters.Degree = 2;
    job.Parameters.Tolerance = 0.01f;
  }
  Shown shown;
  ProgressWindow window;
  OpenProgress(&window, &kDisplay, &shown, true);
  AddProgressWork(&window, 4 * 200 * kFitWorkPerSample);
  ASSERT_TRUE(RunFitJobs(jobs.data(), 4, 2, &window));
  EXPECT_EQ(window.work.load(), 4 * 200 * kFitWorkPerSample);
  FinishProgress(&window);
  FreeFitJobCurves(jobs.data(), 4);
}

}  // namespace
}  // namespace ketrel
