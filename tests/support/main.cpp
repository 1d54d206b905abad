// The main of every test program: GoogleTest's, with a listener that makes a
// skipped test fail when CI=true. On a developer's machine a skip stays a
// skip, and says so on standard error.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

class SkipsFailInCi final : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (!info.result()->Skipped()) {
      return;
    }
    if (RunningInCi()) {
      ADD_FAILURE() << "skipped with CI=true: every test must run in CI";
    } else {
      std::fprintf(stderr, "*** %s.%s was SKIPPED on this machine (it fails with CI=true)\n",
                   info.test_suite_name(), info.name());
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // End events reach the listeners in reverse order: this one sees the end of
  // a test before the printer does, so the failure is the printed result.
  ::testing::UnitTest::GetInstance()->listeners().Append(new SkipsFailInCi);  // NOLINT
  return RUN_ALL_TESTS();
}
