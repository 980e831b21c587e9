// The progress window's share of work done: steps and counted work weigh
// together, the share never goes back, and fitting counts as it goes.
#include "export/ketrel_progress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "export/ketrel_fit_jobs.h"

namespace ketrel {
namespace {

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
