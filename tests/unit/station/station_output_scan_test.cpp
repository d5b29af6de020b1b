#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "station/output_scan.h"

namespace {

using station::OutputScan;
using station::scan_output;
using station::Stream;

struct ScanCase {
  const char *name;
  std::string out;  // what tidewrite wrote to stdout
  std::string err;  // then to stderr
  std::string last_line;
  std::optional<std::string> outcome;
};

class Scans : public testing::TestWithParam<ScanCase> {};

// The same bytes give the same result however the pipe cuts them.
TEST_P(Scans, WholeAndCutAtEveryPoint) {
  const ScanCase &c = GetParam();
  for (size_t cut = 0; cut <= c.out.size(); ++cut) {
    OutputScan s;
    scan_output(s, Stream::out, std::string_view(c.out).substr(0, cut));
    scan_output(s, Stream::out, std::string_view(c.out).substr(cut));
    if (!c.err.empty()) scan_output(s, Stream::err, c.err);
    EXPECT_EQ(s.last_line, c.last_line) << "cut at " << cut;
    EXPECT_EQ(s.outcome, c.outcome) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Station, Scans,
    testing::Values(
        ScanCase{"download_with_reset",
                 "device:ab\nlocal :ab\nhash match\n\rhash verify pass\n\rupload success\r", "", "upload success",
                 "upload success"},
        ScanCase{"success_without_outcome", "hash match\n\rhash verify pass\n\r", "", "hash verify pass",
                 std::nullopt},
        // Ended with a line feed: a message, not the outcome line.
        ScanCase{"open_fail_then_nop_fail", "uart /dev/ttyUSB3 open fail\n\rnop fail\r",
                 "open /dev/ttyUSB3: No such file or directory\n", "open /dev/ttyUSB3: No such file or directory",
                 "nop fail"},
        ScanCase{"message_only", "detect flash type fail\n\r", "", "detect flash type fail", std::nullopt},
        ScanCase{"loader_fail", "flash loader not found\n\rNOR flashloader loading fail\n\rUart boot fail\r", "",
                 "Uart boot fail", "Uart boot fail"},
        // The last of several wins (a NOR run after a loader upload).
        ScanCase{"two_outcomes", "Uart boot success\rupload fail\r", "", "upload fail", "upload fail"},
        ScanCase{"progress_redrawn", "programing [##  ] 40%\rprograming [####] 80%\r  programing [#####] 99%  ",
                 "", "programing [#####] 99%", std::nullopt},
        ScanCase{"blank_lines_skipped", "erase done\n\r \t \n\r\n\r", "", "erase done", std::nullopt},
        ScanCase{"unprintable_masked", "bad\x01\x1b[2Jbyte\xff\n", "", "bad??[2Jbyte?", std::nullopt},
        // Only standard output carries the outcome line.
        ScanCase{"outcome_words_on_stderr", "hash match\n\r", "chip erase fail\r", "chip erase fail",
                 std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(OutputScan, StreamsKeepTheirOwnUnfinishedLines) {
  OutputScan s;
  scan_output(s, Stream::out, "upload ");
  scan_output(s, Stream::err, "warning: slow port\n");
  EXPECT_EQ(s.last_line, "warning: slow port");
  scan_output(s, Stream::out, "success\r");
  EXPECT_EQ(s.outcome, "upload success");
  EXPECT_EQ(s.last_line, "upload success");
}

TEST(OutputScan, AnEndlessLineStaysBounded) {
  OutputScan s;
  const std::string chunk(100000, 'x');
  scan_output(s, Stream::out, chunk);
  scan_output(s, Stream::out, chunk);
  EXPECT_LE(s.partial_out.size(), 512u);
  EXPECT_EQ(s.last_line, std::string(512, 'x'));
  scan_output(s, Stream::out, " fail\r");
  EXPECT_EQ(s.outcome, std::nullopt);  // cut short, it no longer ends like an outcome
}

}  // namespace
