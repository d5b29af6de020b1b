// The programmer's main flow: the file helpers, the flash-type detection on
// a scripted board, the end of a run (reset, outcome line, tidy-up), and the
// whole program's early exits.
#include "tidewrite/main_flow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/line_recorder.h"
#include "tests/support/pty_pair.h"
#include "tests/support/test_support.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace {

using testsupport::escaped;
using testsupport::PeerThread;
using testsupport::TempDir;
using Steps = std::vector<std::string>;
namespace fs = std::filesystem;

// ---- read_fw_file / write_fw_file

TEST(ReadFwFile, WholeFile) {
  TempDir dir;
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  testsupport::write_file(dir / "fw.bin", data);
  int len = -1;
  auto buf = read_fw_file((dir / "fw.bin").c_str(), &len);
  ASSERT_TRUE(buf.has_value());
  EXPECT_EQ(len, 70000);
  EXPECT_TRUE(*buf == data);
}

TEST(ReadFwFile, EmptyFileGivesEmptyBuffer) {
  TempDir dir;
  testsupport::write_file(dir / "empty.bin", {});
  int len = -1;
  auto buf = read_fw_file((dir / "empty.bin").c_str(), &len);
  ASSERT_TRUE(buf.has_value());
  EXPECT_EQ(len, 0);
  EXPECT_TRUE(buf->empty());
}

TEST(ReadFwFile, FailuresAndTheirMessages) {
  TempDir dir;
  std::string missing = (dir / "missing.bin").string();
  std::string folder = dir.path().string();
  std::string fifo = (dir / "pipe").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opening it for reading must not wait for a writer
  struct {
    const char *name;
    std::string out;
  } cases[] = {
      {missing.c_str(), "read_fw_file : " + missing + " open fail\n\r"},
      {folder.c_str(), "read_fw_file : " + folder + " open fail\n\r"},
      {fifo.c_str(), "read_fw_file : " + fifo + " open fail\n\r"},
      {nullptr, ""},
  };
  for (const auto &c : cases) {
    int len = 1234;
    testing::internal::CaptureStdout();
    auto buf = read_fw_file(c.name, &len);
    EXPECT_EQ(escaped(testing::internal::GetCapturedStdout()), escaped(c.out));
    EXPECT_FALSE(buf.has_value());
    EXPECT_EQ(len, 1234);
  }
}

TEST(WriteFwFile, AppendsNeverTruncates) {
  TempDir dir;
  std::string name = (dir / "flash_log.bin").string();
  const uint8_t a[] = {1, 2, 3};
  const uint8_t b[] = {4, 5};
  EXPECT_EQ(write_fw_file(name.c_str(), a, 3), 0);
  EXPECT_EQ(write_fw_file(name.c_str(), b, 2), 0);
  EXPECT_EQ(write_fw_file(name.c_str(), b, 0), 0);
  EXPECT_EQ(testsupport::read_file(name), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST(WriteFwFile, FailureIsSilentButReported) {
  TempDir dir;
  std::string name = (dir / "no-dir" / "x.bin").string();
  const uint8_t a[] = {1};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_fw_file(name.c_str(), a, 1), -1);
  EXPECT_EQ(write_fw_file(nullptr, a, 1), -1);
  EXPECT_EQ(write_fw_file((dir / "y.bin").c_str(), nullptr, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(name));
}

TEST(WriteFwFile, FullDeviceIsDetected) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<uint8_t> data(100000, 0xAB);
  EXPECT_EQ(write_fw_file("/dev/full", data.data(), static_cast<int>(data.size())), -1);
}

TEST(PathBesideProgram, DirectoryOfTheRunningProgram) {
  fs::path exe = fs::read_symlink("/proc/self/exe");
  std::string want = (exe.parent_path() / "flash_loader_nor.bin").string();
  auto p = path_beside_program("flash_loader_nor.bin", 4096);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(*p, want);
  EXPECT_TRUE(path_beside_program("flash_loader_nor.bin", want.size() + 1).has_value());
  EXPECT_FALSE(path_beside_program("flash_loader_nor.bin", want.size()).has_value());
  EXPECT_FALSE(path_beside_program(nullptr, 4096).has_value());
}

// ---- flash-type detection on a scripted board

class Detection : public testing::Test {
 protected:
  void SetUp() override {
    reset_option_globals();
    port = pty.slave_path();
    g_cmd_option.port = port.c_str();
    // The board prints its banner once the full sequence lets it run.
    lines.on_request([this, count = 0](const std::string &step) mutable {
      if (step == "assert DTR" && ++count % 2 == 0) testsupport::write_all(pty.master(), "Download Image\r\n");
    });
  }
  int detect(const std::string &answer, std::string *query) {
    PeerThread board([&] {
      *query = testsupport::read_until(pty.master(), "\n", 3000);
      if (!answer.empty()) testsupport::write_all(pty.master(), answer);
    });
    testing::internal::CaptureStdout();
    int r = lira_detect_flash_type();
    out = testing::internal::GetCapturedStdout();
    return r;
  }
  testsupport::PtyPair pty;
  testsupport::LineRecorder lines;
  std::string port;
  std::string out;
};

TEST_F(Detection, HashAnswerMeansNor) {
  std::string query;
  EXPECT_EQ(detect("hashs " + std::string(32, '\x11'), &query), 0);
  EXPECT_EQ(query, "hashq 0 0 0\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_uart_hdl, 0);  // its own descriptor, closed again
  // 115200 set up, the full sequence (banner seen), nothing more.
  ASSERT_GE(lines.steps().size(), 2u);
  EXPECT_EQ(lines.steps()[0], "pause 100");
  EXPECT_EQ(lines.steps()[1], "release RTS");
  EXPECT_EQ(lines.steps().size(), 16u);
}

TEST_F(Detection, OtherAnswerOrSilenceMeansNand) {
  std::string query;
  EXPECT_EQ(detect("hash", &query), 1);
  EXPECT_EQ(detect("ERR\r\n", &query), 1);
  EXPECT_EQ(detect("", &query), 1);
  EXPECT_EQ(query, "hashq 0 0 0\n");
}

TEST(DetectionPort, MissingPort) {
  reset_option_globals();
  g_cmd_option.port = "/dev/tidewrite-missing";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(lira_detect_flash_type(), -1);
  EXPECT_EQ(escaped(testing::internal::GetCapturedStdout()), escaped("uart /dev/tidewrite-missing open fail\n\r"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no such device"), std::string::npos);
}

// ---- end of a run: reset, outcome line, tidy-up

struct FinishCase {
  const char *name;
  int result;
  int is_reset;
  int erase_mode;
  bool port_open;
  const char *operation_name;
  std::string out;
  std::string board_got;
  Steps steps;
};

void PrintTo(const FinishCase &c, std::ostream *os) { *os << c.name; }

const Steps kPulse = {"release DTR", "release RTS", "pause 50", "release DTR",
                      "assert RTS",  "pause 50",    "release DTR", "release RTS"};
const Steps kTidy = {"release DTR", "release RTS"};

Steps concat(Steps a, const Steps &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class FinishRun : public testing::TestWithParam<FinishCase> {};

TEST_P(FinishRun, ResetOutcomeAndTidyUp) {
  const FinishCase &c = GetParam();
  reset_option_globals();
  g_cmd_option.is_reset = c.is_reset;
  g_cmd_option.erase_mode = c.erase_mode;
  operation = c.operation_name;
  testsupport::PtyPair pty;
  testsupport::LineRecorder lines;
  UARTHDL hdl = 0;
  if (c.port_open) {
    hdl = uart_open(pty.slave_path().c_str());
    ASSERT_GT(hdl, 0);
  }
  g_uart_hdl = hdl;

  testing::internal::CaptureStdout();
  int r = finish_run(c.result);
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(r, c.result);
  EXPECT_EQ(escaped(out), escaped(c.out));
  EXPECT_EQ(lines.steps(), c.steps);
  EXPECT_EQ(testsupport::read_for(pty.master(), 50), c.board_got);
  EXPECT_EQ(g_uart_hdl, 0);
  if (hdl > 0) {
    EXPECT_EQ(fcntl(hdl, F_GETFD), -1) << "port left open";
  }
  operation = "nop";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FinishRun,
    testing::Values(
        FinishCase{"download_ok_with_reset", 0, 1, -1, true, "upload", "upload success\r", "disc\n",
                   concat(kPulse, kTidy)},
        FinishCase{"download_failed_with_reset", -7, 1, -1, true, "verify", "verify fail\r", "disc\n",
                   concat(kPulse, kTidy)},
        FinishCase{"download_ok_without_reset", 0, 0, -1, true, "upload", "", "", kTidy},
        FinishCase{"download_failed_without_reset", -8, 0, -1, true, "upload", "upload fail\r", "", kTidy},
        FinishCase{"chip_erase_ok", 0, 0, 0, true, "erase", "erase success\r", "", kTidy},
        FinishCase{"sector_erase_ok", 0, 0, 1, true, "erase", "", "", kTidy},
        FinishCase{"port_never_opened", -1, 1, -1, false, "nop", "nop fail\r", "", {}},
        FinishCase{"nand_ok_without_reset", 0, 0, -1, true, "nand download", "", "", kTidy}),
    [](const testing::TestParamInfo<FinishCase> &info) { return std::string(info.param.name); });

// ---- the whole program

#ifdef TIDEWRITE_BIN
testsupport::ProcessResult run_tidewrite(std::vector<std::string> args, const fs::path &cwd = {}) {
  args.insert(args.begin(), TIDEWRITE_BIN);
  testsupport::ProcessOptions opts;
  opts.cwd = cwd;
  opts.timeout = std::chrono::milliseconds(20000);
  return testsupport::run_process(args, opts);
}

TEST(Program, NoArgumentsShowUsage) {
  auto r = run_tidewrite({});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.rfind("Qorin Tool 1.4.3 - Jun 16 2023\n\r", 0), 0u) << escaped(r.out);
  EXPECT_NE(r.out.find(std::string(TIDEWRITE_BIN) + " -p [/dev/ttyXX or /dev/cu.XXX] -e chip\n\r"),
            std::string::npos);
}

TEST(Program, RejectedCombinationNeverOpensThePort) {
  auto r = run_tidewrite({"-p", "/dev/tidewrite-missing", "-e", "0x2000", "0x1000"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(escaped(r.out), escaped("sector erase end 0x1000 is not above start 0x2000\n\r"));
  EXPECT_EQ(r.err, "");  // no open was tried
}

TEST(Program, DetectionOnMissingPort) {
  auto r = run_tidewrite({"-p", "/dev/tidewrite-missing", "-f", "fw.bin", "-b", "1500000", "-n", "lira"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(escaped(r.out), escaped("uart /dev/tidewrite-missing open fail\n\rdetect flash type fail\n\r"));
  EXPECT_NE(r.err.find("no such device"), std::string::npos) << r.err;
}

TEST(Program, GenerationWithUnreadableFirmware) {
  TempDir dir;
  auto r = run_tidewrite({"-p", "/dev/tidewrite-missing", "-f", "missing.bin", "-b", "1500000", "-G", "-r"},
                         dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(escaped(r.out), escaped("read_fw_file : missing.bin open fail\n\r"
                                    "read missing.bin return NULL fw_buf, goto exit !!!\n\r"
                                    "generate nand flash image fail\r"));
  EXPECT_EQ(r.err, "");  // the port was never opened
}
#endif

}  // namespace
