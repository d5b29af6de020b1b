// SIGINT, SIGTERM and SIGHUP in the middle of a run, and the port's
// settings after every way a run ends: the program stops within about a
// second, puts the port back as it found it, releases the lines and the
// lock, takes back a -G append, names the signal in one line and ends by it.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/e2e/nand_fixture.h"
#include "tests/e2e/nor_fixture.h"
#include "tests/support/fw_builder.h"
#include "tests/support/pty_pair.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/stop_signal.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nortest::NorBoard;

termios port_settings(const std::string &port) {
  termios tio{};
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << port;
  if (fd < 0) return tio;
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  close(fd);
  return tio;
}

// What a terminal program may leave on a port: flow control both ways, two
// stop bits, the modem lines heeded, the eighth bit stripped, canonical
// input with echo, and 9600 baud.
termios spoil_port(const std::string &port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  termios tio{};
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_cflag |= CRTSCTS | CSTOPB;
  tio.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  tio.c_iflag |= ISTRIP | PARMRK | IXON | IXOFF | IXANY | ICRNL;
  tio.c_lflag |= ICANON | ECHO;
  tio.c_oflag |= OPOST | ONLCR;
  cfsetspeed(&tio, B9600);
  EXPECT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  close(fd);
  EXPECT_NE(tio.c_iflag & ISTRIP, 0u) << "the pseudo-terminal did not keep the spoiled flags";
  return tio;
}

void expect_same_settings(const termios &after, const termios &before) {
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

// A program run with a signal sent once `when` holds (checked every 2 ms):
// the result, and the seconds from the signal to the end of the program.
struct StoppedRun {
  ts::ProcessResult result;
  double after_signal = -1;  // -1: the signal was never sent
};

StoppedRun run_and_signal(const std::vector<std::string> &argv, const fs::path &cwd, int sig,
                          std::function<bool()> when) {
  std::atomic<int> pid{0};
  std::atomic<bool> done{false};
  Clock::time_point sent{};
  std::atomic<bool> was_sent{false};
  ts::PeerThread stopper([&] {
    const auto give_up = Clock::now() + 60s;
    while (!done && Clock::now() < give_up) {
      if (pid != 0 && when()) {
        sent = Clock::now();
        was_sent = true;
        kill(pid, sig);
        return;
      }
      std::this_thread::sleep_for(2ms);
    }
  });
  ts::ProcessOptions opts;
  opts.cwd = cwd;
  opts.timeout = 90s;
  opts.on_start = [&pid](int p) { pid = p; };
  StoppedRun r;
  r.result = ts::run_process(argv, opts);
  const auto ended = Clock::now();
  done = true;
  stopper.join();
  if (was_sent) r.after_signal = std::chrono::duration<double>(ended - sent).count();
  return r;
}

// The ending every stopped run shares: death by the signal within about a
// second, the fail line and never a success, one line naming the signal.
void expect_stopped(const StoppedRun &r, int sig, const std::string &fail_line, const std::string &undone) {
  ASSERT_GE(r.after_signal, 0) << "the run ended before the signal: " << ts::escaped(r.result.out);
  EXPECT_FALSE(r.result.timed_out);
  EXPECT_EQ(r.result.status, -sig) << ts::escaped(r.result.out) << r.result.err;
  EXPECT_LT(r.after_signal, 2.0);
  EXPECT_EQ(r.result.out.find("success"), std::string::npos) << ts::escaped(r.result.out);
  EXPECT_TRUE(r.result.out.ends_with(fail_line)) << ts::escaped(r.result.out);
  EXPECT_EQ(r.result.err, "tidewrite: interrupted by " + stop_signal_name(sig) + undone + "\n");
}

// ---- the port after a success, a failure and a signal

struct EndCase {
  const char *name;
  bool paced;           // a transfer long enough to be stopped in
  bool no_ok;           // the board never acknowledges the transfer
  int sig;              // sent once the transfer has begun; 0: none
  int status;
  std::string out_end;  // what standard output ends with
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

class PortAfterTheRun : public testing::TestWithParam<EndCase> {};

TEST_P(PortAfterTheRun, SettingsAreTheOnesFoundAtOpen) {
  const EndCase &c = GetParam();
  ts::TempDir dir;
  const auto img = nortest::random_bytes(c.paced ? 400 * 1024 : 20000, 5);
  ts::write_file(dir / "image.bin", img);
  boardsim::BoardConfig cfg;
  cfg.paced = c.paced;
  cfg.faults.no_ok_after_transfer = c.no_ok;
  NorBoard board(dir.path(), cfg);
  const termios spoiled = spoil_port(board.port());

  const std::vector<std::string> argv = {TIDEWRITE_BIN, "-p", board.port(), "-f", (dir / "image.bin").string(),
                                         "-b", "1500000", "-r"};
  StoppedRun r;
  if (c.sig != 0) {
    r = run_and_signal(argv, dir.path(), c.sig, [&board] { return board.stats().transfers >= 1; });
    expect_stopped(r, c.sig, c.out_end, ", port restored");
  } else {
    ts::ProcessOptions opts;
    opts.timeout = 60s;
    r.result = ts::run_process(argv, opts);
    EXPECT_EQ(r.result.status, c.status) << r.result.err;
    EXPECT_TRUE(r.result.out.ends_with(c.out_end)) << ts::escaped(r.result.out);
  }
  if (c.sig == 0) {
    EXPECT_EQ(board.flash(0, img.size()), img);  // programmed (the failure is the missing "OK")
  }
  // The run had the port raw at 1,500,000 baud: the board takes a transfer
  // start only after an "OK" that the host heard at the new rate.
  EXPECT_GE(board.stats().transfers, 1);
  expect_same_settings(port_settings(board.port()), spoiled);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, PortAfterTheRun,
    testing::Values(EndCase{"success", false, false, 0, 0, "upload success\r"},
                    EndCase{"failure", false, true, 0, 248, "upload fail\r"},
                    EndCase{"sigterm", true, false, SIGTERM, -SIGTERM, "upload fail\r"}),
    [](const testing::TestParamInfo<EndCase> &info) { return std::string(info.param.name); });

// ---- each stop signal in the middle of a flow, as a whole program

TEST(StopSignal, SigintDuringANorDownload) {
  ts::TempDir dir;
  ts::write_file(dir / "image.bin", nortest::random_bytes(400 * 1024, 6));
  boardsim::BoardConfig cfg;
  cfg.paced = true;
  NorBoard board(dir.path(), cfg);
  const termios before = port_settings(board.port());
  const StoppedRun r = run_and_signal(
      {TIDEWRITE_BIN, "-p", board.port(), "-f", (dir / "image.bin").string(), "-b", "1500000", "-x", "32", "-r"},
      dir.path(), SIGINT, [&board] { return board.stats().transfers >= 1; });
  expect_stopped(r, SIGINT, "upload fail\r", ", port restored");
  EXPECT_FALSE(board.received("disc")) << "a stopped run resets nothing";
  EXPECT_EQ(board.stats().transfers_ok, 0);
  expect_same_settings(port_settings(board.port()), before);
}

class StopSignalNand : public nandtest::NandBoardTest {};

TEST_F(StopSignalNand, SighupDuringANandWrite) {
  cfg.paced = true;
  start();
  fwbuild::FirmwareBuilder fb;
  fb.section(fwbuild::isp_iq, 0x3000, 0x60000, fwbuild::pattern(0x60000, 3));
  put_firmware(fb.bytes());
  const termios before = port_settings(board->slave_path());
  const StoppedRun r = run_and_signal(
      {TIDEWRITE_BIN, "-p", board->slave_path(), "-b", "1500000", "-f", "fw.bin", "-n", "lira", "-r"}, dir.path(),
      SIGHUP, [this] { return board->stats().transfers >= 6; });
  expect_stopped(r, SIGHUP, "nand download fail\r", ", port restored");
  EXPECT_EQ(r.result.out.find("write fail!"), std::string::npos) << "no block taken for bad";
  for (int b = 0; b < 64; ++b) EXPECT_FALSE(marked_bad(b)) << b;
  expect_same_settings(port_settings(board->slave_path()), before);
}

// The image file grows by pieces with a pause after each (a test build of
// the program): the signal comes once the first piece is in, and the file
// goes back to its earlier length.
TEST(StopSignal, SigtermDuringAnOfflineImageTakesTheAppendBack) {
  ts::TempDir dir;
  ts::write_file(dir / "flash_control_info.bin", fwbuild::control_info());
  ts::write_file(dir / "boot_recover.bin", fwbuild::pattern(100, 1));
  fwbuild::FirmwareBuilder fb;
  fb.section(fwbuild::isp_iq, 0x3000, 0x30000, fwbuild::pattern(0x30000, 2));
  ts::write_file(dir / "fw.bin", fb.bytes());
  const std::vector<uint8_t> earlier = fwbuild::pattern(4096, 9);
  const fs::path image = dir / "flash_nand_generate_image.bin";
  ts::write_file(image, earlier);
  const StoppedRun r = run_and_signal(
      {TIDEWRITE_SLOW_IMAGE_BIN, "-p", "/dev/tidewrite-no-such-port", "-f", "fw.bin", "-b", "115200", "-G"},
      dir.path(), SIGTERM, [&image] {
        std::error_code ec;
        return fs::file_size(image, ec) > 4096 && !ec;
      });
  expect_stopped(r, SIGTERM, "generate nand flash image fail\r", ", no image written");
  EXPECT_EQ(ts::read_file(image), earlier);
}

// ---- in this process: the lines, the lock, the reset that is not made

std::vector<std::string> g_requests;
int record_request(int, unsigned long request, int bits) {
  const char *line = bits == TIOCM_DTR ? "DTR" : bits == TIOCM_RTS ? "RTS" : "?";
  g_requests.push_back(std::string(request == TIOCMBIC ? "release " : "assert ") + line);
  return 0;
}

TEST(StopSignalInProcess, LinesReleasedLockFreedNoReset) {
  ts::TempDir dir;
  ts::write_file(dir / "image.bin", nortest::random_bytes(300 * 1024, 7));
  boardsim::BoardConfig cfg;
  cfg.paced = true;
  NorBoard board(dir.path(), cfg);
  const termios before = port_settings(board.port());
  g_requests.clear();
  uart_set_modem_request_hook(record_request);
  ts::PeerThread stopper([&board] {
    const auto give_up = Clock::now() + 30s;
    while (board.stats().transfers < 1 && Clock::now() < give_up) std::this_thread::sleep_for(2ms);
    stop_signal_note(SIGTERM);
  });
  const auto r = nortest::run_in_process(
      {"-p", board.port(), "-f", (dir / "image.bin").string(), "-b", "1500000", "-r"});
  stopper.join();
  uart_set_modem_request_hook(nullptr);
  EXPECT_EQ(stop_signal_caught(), SIGTERM);
  stop_signal_forget();

  EXPECT_EQ(r.status, -8);
  EXPECT_EQ(ts::escaped(r.out), ts::escaped("upload fail\r"));
  EXPECT_EQ(r.err, "tidewrite: interrupted by SIGTERM, port restored\n");
  EXPECT_EQ(g_requests, (std::vector<std::string>{"release DTR", "release RTS"})) << "no reset pulse, lines released";
  EXPECT_FALSE(board.received("disc"));
  EXPECT_EQ(g_uart_hdl, 0);
  const int fd = open(board.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is still locked";
  close(fd);
  expect_same_settings(port_settings(board.port()), before);
}

// A stop that comes between two pieces of the image file: the earlier
// image stays as it was, nothing of the new one remains.
TEST(StopSignalInProcess, OfflineImageStoppedBetweenPieces) {
  ts::TempDir dir;
  ts::ScopedCwd cwd(dir.path());
  ts::write_file(dir / "flash_control_info.bin", fwbuild::control_info());
  ts::write_file(dir / "boot_recover.bin", fwbuild::pattern(100, 1));
  fwbuild::FirmwareBuilder fb;
  fb.section(fwbuild::isp_iq, 0x3000, 0x30000, fwbuild::pattern(0x30000, 2));
  ts::write_file(dir / "fw.bin", fb.bytes());
  const std::vector<uint8_t> earlier = fwbuild::pattern(1000, 4);
  ts::write_file(dir / "flash_nand_generate_image.bin", earlier);
  static int pieces = 0;
  pieces = 0;
  nand_image_set_write_hook([](int64_t written, int64_t) {
    if (++pieces == 2) {
      EXPECT_GT(fs::file_size("flash_nand_generate_image.bin"), 1000u + static_cast<uintmax_t>(written) / 2);
      stop_signal_note(SIGINT);
    }
  });
  const auto r = nortest::run_in_process({"-p", "/dev/tidewrite-no-such-port", "-f", "fw.bin", "-b", "115200", "-G"});
  nand_image_set_write_hook(nullptr);
  EXPECT_EQ(stop_signal_caught(), SIGINT);
  stop_signal_forget();
  EXPECT_EQ(pieces, 2) << "the write went on after the stop";
  EXPECT_EQ(r.status, -1);
  EXPECT_TRUE(r.out.ends_with("generate nand flash image fail\r")) << ts::escaped(r.out);
  EXPECT_EQ(r.out.find("success"), std::string::npos);
  EXPECT_EQ(r.err, "tidewrite: interrupted by SIGINT, no image written\n");
  EXPECT_EQ(ts::read_file(dir / "flash_nand_generate_image.bin"), earlier);
}

}  // namespace
