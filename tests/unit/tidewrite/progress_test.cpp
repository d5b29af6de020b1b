// The progress line with a clock and a terminal check that the test drives:
// the text of a redraw, the limit of ten redraws a second, hiding, the end,
// and silence when standard error is not a terminal.
#include "tidewrite/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::escaped;

struct FakeTerminal {
  static inline bool terminal = true;
  static inline progress_clock::time_point now{};
  static bool is_terminal() { return terminal; }
  static progress_clock::time_point clock() { return now; }
};

class Progress : public testing::Test {
 protected:
  void SetUp() override {
    FakeTerminal::terminal = true;
    FakeTerminal::now = progress_clock::time_point{} + 1000h;
    static const progress_hooks hooks{FakeTerminal::is_terminal, FakeTerminal::clock};
    progress_set_hooks(&hooks);
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (!capturing_) testing::internal::CaptureStderr();
    progress_end();  // a step a test left running ends out of sight
    testing::internal::GetCapturedStderr();
    progress_set_hooks(nullptr);
  }
  std::string drawn() {
    capturing_ = false;
    return testing::internal::GetCapturedStderr();
  }
  void advance(progress_clock::duration d) { FakeTerminal::now += d; }

 private:
  bool capturing_ = true;
};

TEST_F(Progress, LineTellsDoneTotalPercentRateAndTimeLeft) {
  progress_begin("upload", "bytes", 4194304);
  advance(3500ms);
  progress_add(524288);
  advance(25500ms);
  progress_add(4194304 - 524288);
  progress_end();
  const std::string at_3s = "upload 524288/4194304 bytes  12% 146.3 KiB/s 0:25 left";
  const std::string at_29s = "upload 4194304/4194304 bytes 100% 141.2 KiB/s";  // all sent, the step not ended
  EXPECT_EQ(escaped(drawn()), escaped("\rupload 0/4194304 bytes   0%\r" + at_3s + "\r" + at_29s +
                                      std::string(at_3s.size() - at_29s.size(), ' ') +
                                      "\rupload 4194304/4194304 bytes 100% 141.2 KiB/s in 0:29\n"));
}

TEST_F(Progress, TextForEachUnitAndSize) {
  const struct {
    const char *unit;
    int64_t done, total;
    double seconds;
    bool finished;
    const char *text;
  } cases[] = {
      {"pages", 640, 1536, 8.0, false, "dump 640/1536 pages  41% 80.0 pages/s 0:12 left"},
      {"bytes", 3 << 20, 4 << 20, 2.0, false, "dump 3145728/4194304 bytes  75% 1.50 MiB/s 0:01 left"},
      {"bytes", 500, 4500, 1.0, false, "dump 500/4500 bytes  11% 500 B/s 0:08 left"},
      {"bytes", 1, 4001, 1.0, false, "dump 1/4001 bytes   0% 1 B/s 1:06:40 left"},
      {"bytes", 0, 100, 5.0, false, "dump 0/100 bytes   0%"},       // nothing done: no rate yet
      {"bytes", 100, 100, 0.0, true, "dump 100/100 bytes 100%"},     // no time passed
      {"bytes", 40, 100, 2.0, true, "dump 40/100 bytes  40% 20 B/s 0:03 left"},  // ended short
      {"bytes", 1100, 1024, 1.0, true, "dump 1024/1024 bytes 100% 1.1 KiB/s in 0:01"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(progress_text("dump", c.unit, c.done, c.total, c.seconds, c.finished), c.text);
  }
}

// A block every 10 ms for a second: a redraw when the step begins, then at
// most one per 100 ms, then the last one and a single line feed.
TEST_F(Progress, AtMostTenRedrawsASecond) {
  progress_begin("upload", "bytes", 100 * 1024);
  for (int i = 0; i < 100; ++i) {
    advance(10ms);
    progress_add(1024);
  }
  progress_end();
  const std::string out = drawn();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 1 + 10 + 1) << escaped(out);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  EXPECT_TRUE(out.ends_with("\rupload 102400/102400 bytes 100% 100.0 KiB/s in 0:01\n")) << escaped(out);
}

TEST_F(Progress, HideWipesTheLineUntilTheNextRedraw) {
  progress_begin("upload", "bytes", 2048);
  progress_hide();
  progress_hide();  // nothing left to wipe
  advance(1s);
  progress_add(1024);
  progress_end();
  const std::string first = "upload 0/2048 bytes   0%";
  EXPECT_EQ(escaped(drawn()), escaped("\r" + first + "\r" + std::string(first.size(), ' ') + "\r" +
                                      "\rupload 1024/2048 bytes  50% 1.0 KiB/s 0:01 left" +
                                      "\rupload 1024/2048 bytes  50% 1.0 KiB/s 0:01 left\n"));
}

TEST_F(Progress, ShorterLinePaintsOverTheLongerOne) {
  progress_begin("dump", "bytes", 100000);
  advance(1s);
  progress_add(10);
  advance(1s);
  progress_add(99990);
  const std::string longer = "dump 10/100000 bytes   0% 10 B/s 2:46:39 left";
  const std::string shorter = "dump 100000/100000 bytes 100% 48.8 KiB/s";
  ASSERT_LT(shorter.size(), longer.size());
  EXPECT_TRUE(drawn().ends_with("\r" + longer + "\r" + shorter + std::string(longer.size() - shorter.size(), ' ')));
}

TEST_F(Progress, NothingAtAllWithoutATerminal) {
  FakeTerminal::terminal = false;
  progress_begin("upload", "bytes", 1000);
  advance(1s);
  progress_add(500);
  progress_hide();
  progress_end();
  EXPECT_EQ(drawn(), "");
}

TEST_F(Progress, NothingWithoutAStepOrForAnEmptyOne) {
  progress_add(100);
  progress_hide();
  progress_end();
  progress_begin("upload", "bytes", 0);
  progress_add(100);
  progress_end();
  EXPECT_EQ(drawn(), "");
}

}  // namespace
