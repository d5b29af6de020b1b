// The port at a real bench: only a serial port is taken, one run owns it at
// a time, and the whole line is set up whatever a previous program left.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/e2e/nor_fixture.h"
#include "tests/support/pty_pair.h"

namespace nortest {
namespace {

using namespace std::chrono_literals;

class PortClaim : public testing::Test {
 protected:
  TempDir dir;
  fs::path image_path = dir / "image.bin";
};

// -p and -f swapped: the "port" is the image file, which must survive.
TEST_F(PortClaim, APathThatIsNotAPortIsNeverWritten) {
  const auto img = random_bytes(4096, 3);
  testsupport::write_file(image_path, img);
  const std::string file = image_path.string();
  const std::string file_line = file + " is not a serial port: it is a regular file, left untouched (are -p and -f "
                                       "swapped?)\n";
  const struct {
    std::vector<std::string> args;
    std::string port;
    std::string err;
  } cases[] = {
      {{"-p", file, "-f", "/dev/ttyUSB0", "-b", "1500000", "-r"}, file, file_line},
      {{"-p", file, "-f", "/dev/ttyUSB0", "-b", "115200", "-d", "q5", "-r"}, file, file_line},
      {{"-p", file, "-e", "chip", "-r"}, file, file_line},
      {{"-p", dir.path().string(), "-f", file, "-b", "115200", "-r"}, dir.path().string(),
       dir.path().string() + " is not a serial port: it is a directory\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[3]);
    const auto r = run_in_process(c.args);
    EXPECT_EQ(r.status, -1);
    EXPECT_OUT(r.out, "uart " + c.port + " open fail\n\rnop fail\r");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(testsupport::read_file(image_path), img);
  }
}

// Two programs on one port: the second ends at once, naming the first, and
// the first is not disturbed.
TEST_F(PortClaim, SecondRunIsRefusedWhileTheFirstOwnsThePort) {
  const auto img = random_bytes(200 * 1024, 5);
  testsupport::write_file(image_path, img);
  boardsim::BoardConfig cfg;
  cfg.paced = true;  // about 1.5 s on the line at 1.5 Mbaud
  NorBoard board(dir.path(), cfg);
  const std::vector<std::string> args = {"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-r"};

  std::atomic<int> first_pid{0};
  testsupport::ProcessResult first;
  testsupport::PeerThread runner([&] {
    testsupport::ProcessOptions opts;
    opts.on_start = [&](int pid) { first_pid = pid; };
    std::vector<std::string> argv = {TIDEWRITE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    first = testsupport::run_process(argv, opts);
  });
  // Wait until the first run is talking to the board (its handshake is done).
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (board.stats().commands < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_GE(board.stats().commands, 2) << board.transcript();

  const auto second = run_program(args);
  EXPECT_EQ(second.status, 255);
  EXPECT_LT(second.seconds, 1.0);
  EXPECT_OUT(second.out, "uart " + board.port() + " open fail\n\rnop fail\r");
  // The board's own side (the master, in this process) is not a holder.
  EXPECT_EQ(second.err,
            board.port() + " is busy: pid " + std::to_string(first_pid.load()) + " (tidewrite) has it open\n");

  runner.join();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_OUT(first.out, "upload success\r");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(board.flash(0, img.size()), img);
  EXPECT_EQ(board.stats().opens, 1);  // the refused opening did not count as a reset
  EXPECT_EQ(board.stats().transfers_ok, 1);
}

// A run in this process finds the lock held by another descriptor of the
// same process and says so; once it is released, the run goes ahead.
TEST_F(PortClaim, HeldLockEndsTheRunBeforeTheLineIsTouched) {
  const auto img = random_bytes(3000, 6);
  testsupport::write_file(image_path, img);
  NorBoard board(dir.path());
  const std::vector<std::string> args = {"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-r"};
  int holder = open(board.port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const int commands_before = board.stats().commands;

  const auto r = run_in_process(args);
  EXPECT_EQ(r.status, -1);
  EXPECT_OUT(r.out, "uart " + board.port() + " open fail\n\rnop fail\r");
  EXPECT_NE(r.err.find(board.port() + " is busy: pid " + std::to_string(getpid()) + " ("), std::string::npos)
      << r.err;
  EXPECT_EQ(board.stats().commands, commands_before);

  close(holder);
  const auto ok = run_in_process(args);
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(board.flash(0, img.size()), img);
}

// Settings seen on the descriptor each time a modem line is requested
// (during the reset and the tidy-up, just before the port is closed).
std::vector<termios> g_seen;
int observe_settings(int fd, unsigned long, int) {
  termios tio{};
  tcgetattr(fd, &tio);
  g_seen.push_back(tio);
  return 0;
}

// A port left with hardware and software flow control, two stop bits, the
// eighth bit stripped and parity errors marked: the run sets the whole line,
// succeeds (the digests come through whole), and puts the settings back.
TEST_F(PortClaim, SpoiledPortIsSetUpWholeAndRestoredAfterwards) {
  const auto img = random_bytes(40000, 8);
  testsupport::write_file(image_path, img);
  NorBoard board(dir.path());
  termios spoiled{};
  {
    int fd = open(board.port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &spoiled), 0);
    spoiled.c_cflag |= CRTSCTS | CSTOPB;
    spoiled.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    spoiled.c_iflag |= ISTRIP | PARMRK | IXON | IXOFF | IXANY;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &spoiled), 0);
    ASSERT_EQ(tcgetattr(fd, &spoiled), 0);
    close(fd);
  }
  ASSERT_NE(spoiled.c_iflag & ISTRIP, 0u);

  g_seen.clear();
  uart_set_modem_request_hook(observe_settings);
  const auto r = run_in_process({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-v", "lira", "-r"});
  uart_set_modem_request_hook(nullptr);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_OUT(r.out, hash_pass_lines(img.data(), img.size()) + "upload success\r");
  EXPECT_EQ(board.flash(0, img.size()), img);

  ASSERT_FALSE(g_seen.empty());
  for (const auto &tio : g_seen) {
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (ISTRIP | PARMRK | IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1500000));
  }

  int fd = open(board.port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  close(fd);
  EXPECT_EQ(after.c_cflag, spoiled.c_cflag);
  EXPECT_EQ(after.c_iflag, spoiled.c_iflag);
}

}  // namespace
}  // namespace nortest
