// Test main: every test runs inside a leak scope of the library's allocator
// and fails when it leaves a block live.
#include <gtest/gtest.h>

#include "rt/ketrel_memory.h"

namespace {

class LeakCheck : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { scope_ = ketrel::OpenLeakScope(); }
  void OnTestEnd(const testing::TestInfo& info) override {
    size_t leaked = ketrel::CloseLeakScope(scope_);
    ketrel::SetAllocationFailureCountdown(-1);
    if (leaked != 0) {
      ADD_FAILURE() << info.test_suite_name() << "." << info.name() << " left " << leaked
                    << " block(s) unfreed";
    }
  }
  ketrel::LeakScope scope_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
  return RUN_ALL_TESTS();
}
