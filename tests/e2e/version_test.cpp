// --version of the four programs: "NAME VERSION" and a line feed on standard
// output, nothing else, status 0; recognised only as the whole first word
// (the station, whose options are its own, takes it like its --help).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "bsp_version.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::run_process;

TEST(Version, EveryProgramPrintsTheProjectVersion) {
  ASSERT_TRUE(std::regex_match(kBspVersion, std::regex(R"(\d+\.\d+\.\d+)"))) << kBspVersion;
  const struct {
    const char *bin;
    const char *name;
  } programs[] = {{TIDEWRITE_BIN, "tidewrite"},
                  {BOARDSIM_BIN, "boardsim"},
                  {MODELPREP_BIN, "modelprep"},
                  {TIDEWRITE_STATION_BIN, "tidewrite-station"}};
  for (const auto &p : programs) {
    SCOPED_TRACE(p.name);
    // Later words do not matter once the first one asks for the version.
    for (const std::vector<std::string> &argv : {std::vector<std::string>{p.bin, "--version"},
                                                 std::vector<std::string>{p.bin, "--version", "-p", "x"}}) {
      const auto r = run_process(argv);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, std::string(p.name) + " " + kBspVersion + "\n");
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(Version, TidewriteTakesItOnlyAsTheWholeFirstWord) {
  // Elsewhere it is an unknown option: skipped with a note, and the command
  // line then lacks its port (usage text, status 255).
  for (const std::vector<std::string> &argv :
       {std::vector<std::string>{TIDEWRITE_BIN, "-f", "fw.bin", "--version"},
        std::vector<std::string>{TIDEWRITE_BIN, "--versions"}}) {
    const auto r = run_process(argv);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.starts_with("Qorin Tool 1.4.3 - Jun 16 2023\n\r")) << testsupport::escaped(r.out);
    EXPECT_EQ(r.out.find(kBspVersion), std::string::npos);
    EXPECT_NE(r.err.find("unknown option " + argv.back() + " ignored\n"), std::string::npos) << r.err;
  }
}

TEST(Version, ModelprepWithTheWrongArgumentCountPrintsItsUsage) {
  for (const std::vector<std::string> &argv :
       {std::vector<std::string>{MODELPREP_BIN}, std::vector<std::string>{MODELPREP_BIN, "a", "b"},
        std::vector<std::string>{MODELPREP_BIN, "a", "b", "c", "d"}}) {
    const auto r = run_process(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: modelprep BUILD_DIR PLATFORM_DIR MODEL_SOURCE\n");
  }
}

}  // namespace
