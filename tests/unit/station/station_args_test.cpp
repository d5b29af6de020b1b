#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/args.h"

namespace {

using station::Args;
using station::parse_args;
using Words = std::vector<std::string>;

struct Accepted {
  const char *name;
  Words words;
  int jobs, retry;
  std::string report, log_dir, tidewrite;
  Words ports, tidewrite_args;
};

class AcceptedLines : public testing::TestWithParam<Accepted> {};

TEST_P(AcceptedLines, FillTheRecord) {
  const Accepted &c = GetParam();
  Args a;
  ASSERT_EQ(parse_args(c.words, a), "");
  EXPECT_EQ(a.jobs, c.jobs);
  EXPECT_EQ(a.retry, c.retry);
  EXPECT_EQ(a.report, c.report);
  EXPECT_EQ(a.log_dir, c.log_dir);
  EXPECT_EQ(a.tidewrite, c.tidewrite);
  EXPECT_EQ(a.ports, c.ports);
  EXPECT_EQ(a.tidewrite_args, c.tidewrite_args);
  EXPECT_FALSE(a.help);
  EXPECT_FALSE(a.version);
}

INSTANTIATE_TEST_SUITE_P(
    Station, AcceptedLines,
    testing::Values(
        Accepted{"defaults", {"/dev/ttyUSB0", "--", "-f", "a.bin", "-b", "1500000"}, 0, 0, "", ".", "",
                 {"/dev/ttyUSB0"}, {"-f", "a.bin", "-b", "1500000"}},
        Accepted{"every_option",
                 {"--jobs", "4", "--retry", "2", "--report", "r.json", "--log-dir", "logs", "--tidewrite", "/x/tw",
                  "/dev/ttyUSB0", "/dev/ttyUSB1", "--", "-e", "chip"},
                 4, 2, "r.json", "logs", "/x/tw", {"/dev/ttyUSB0", "/dev/ttyUSB1"}, {"-e", "chip"}},
        Accepted{"equals_forms_and_options_between_ports",
                 {"/dev/a", "--jobs=1", "/dev/b", "--retry=0", "--report=out/r.json", "--", "-f", "x"}, 1, 0,
                 "out/r.json", ".", "", {"/dev/a", "/dev/b"}, {"-f", "x"}},
        // Everything after "--" is tidewrite's, even words that look like ours.
        Accepted{"after_separator_untouched",
                 {"/dev/a", "--", "-f", "--jobs", "-v", "lira", "--", "-r"}, 0, 0, "", ".", "", {"/dev/a"},
                 {"-f", "--jobs", "-v", "lira", "--", "-r"}}),
    [](const auto &info) { return std::string(info.param.name); });

struct Refused {
  const char *name;
  Words words;
  const char *message_part;
};

class RefusedLines : public testing::TestWithParam<Refused> {};

TEST_P(RefusedLines, SayWhy) {
  const Refused &c = GetParam();
  Args a;
  std::string why = parse_args(c.words, a);
  EXPECT_NE(why.find(c.message_part), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Station, RefusedLines,
    testing::Values(Refused{"nothing", {}, "no port"},
                    Refused{"no_port", {"--", "-f", "a"}, "no port"},
                    Refused{"no_separator", {"/dev/a", "-f", "a"}, "unknown option -f"},
                    Refused{"separator_missing_after_ports", {"/dev/a", "/dev/b"}, "no \"--\""},
                    Refused{"nothing_after_separator", {"/dev/a", "--"}, "no tidewrite arguments"},
                    Refused{"jobs_zero", {"--jobs", "0", "/dev/a", "--", "-e", "chip"}, "--jobs"},
                    Refused{"jobs_word", {"--jobs", "many", "/dev/a", "--", "-e", "chip"}, "--jobs"},
                    Refused{"jobs_trailing", {"--jobs", "4x", "/dev/a", "--", "-e", "chip"}, "--jobs"},
                    Refused{"retry_negative", {"--retry", "-1", "/dev/a", "--", "-e", "chip"}, "--retry"},
                    Refused{"value_missing", {"/dev/a", "--report"}, "missing value for --report"},
                    Refused{"empty_path", {"--log-dir=", "/dev/a", "--", "-e", "chip"}, "--log-dir wants a path"},
                    Refused{"unknown", {"--speed", "3", "/dev/a", "--", "-e", "chip"}, "unknown option --speed"},
                    // A -p among the common words would win over each run's own.
                    Refused{"port_in_common", {"/dev/a", "--", "-f", "x", "-p", "/dev/b"}, "-p"},
                    Refused{"port_glued", {"/dev/a", "--", "-p/dev/b", "-f", "x"}, "-p/dev/b"},
                    Refused{"offline_image", {"/dev/a", "--", "-f", "x", "-G"}, "-G"},
                    Refused{"shared_dump", {"/dev/a", "--", "-f", "x", "-n", "lira", "-o", "0", "3"},
                            "flash_log.bin"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StationArgs, HelpNeedsNothingElse) {
  for (const Words &w : {Words{"--help"}, Words{"-h"}, Words{"/dev/a", "-h", "--jobs", "0"}}) {
    Args a;
    EXPECT_EQ(parse_args(w, a), "");
    EXPECT_TRUE(a.help);
  }
}

// --version, like --help, needs nothing else; after "--" it is tidewrite's word.
TEST(StationArgs, VersionNeedsNothingElse) {
  for (const Words &w : {Words{"--version"}, Words{"/dev/a", "--version", "--jobs", "0"}}) {
    Args a;
    EXPECT_EQ(parse_args(w, a), "");
    EXPECT_TRUE(a.version);
  }
  Args a;
  EXPECT_EQ(parse_args({"/dev/a", "--", "--version"}, a), "");
  EXPECT_FALSE(a.version);
  EXPECT_EQ(a.tidewrite_args, Words{"--version"});
}

}  // namespace
