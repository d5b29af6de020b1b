// The board on a real pseudo-terminal: the host side here is plain termios
// code of the test, independent of both the board and the programmer.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TempDir;

speed_t speed_code(int baud) {
  switch (baud) {
    case 115200: return B115200;
    case 1500000: return B1500000;
    case 921600: return B921600;
    default: return B0;
  }
}

// A minimal host port: raw mode, a rate, bounded reads.
class HostPort {
 public:
  explicit HostPort(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_GE(fd_, 0);
    set_baud(115200);
    tcflush(fd_, TCIOFLUSH);
  }
  ~HostPort() {
    if (fd_ >= 0) close(fd_);
  }
  void set_baud(int baud) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed_code(baud));
    cfsetospeed(&t, speed_code(baud));
    tcsetattr(fd_, TCSANOW, &t);
  }
  void send(const std::string &s) { ASSERT_EQ(write(fd_, s.data(), s.size()), ssize_t(s.size())); }
  void send(const std::vector<uint8_t> &s) { ASSERT_EQ(write(fd_, s.data(), s.size()), ssize_t(s.size())); }
  // Collects up to n bytes or until the deadline.
  std::string read(size_t n, std::chrono::milliseconds timeout = 2000ms) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, int(left.count())) <= 0) break;
      char buf[4096];
      ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (k <= 0) break;
      got.append(buf, size_t(k));
    }
    return got;
  }

 private:
  int fd_;
};

TEST(PtyBoard, AnswersPingAndSwitchesRateWithTheHost) {
  TempDir tmp;
  boardsim::BoardConfig cfg;
  cfg.store_path = (tmp / "nor.bin").string();
  boardsim::PtyBoard board(cfg);
  HostPort host(board.slave_path());
  host.send("ping\n");
  EXPECT_EQ(host.read(4), "ping");
  host.send("ucfg 1500000 0 0\n");
  std::this_thread::sleep_for(100ms);
  host.set_baud(1500000);
  EXPECT_EQ(host.read(2), "OK");
  host.send("ping\n");
  EXPECT_EQ(host.read(4), "ping");
}

TEST(PtyBoard, UcfgAtTheWrongHostRateGivesNoOk) {
  TempDir tmp;
  boardsim::BoardConfig cfg;
  cfg.store_path = (tmp / "nor.bin").string();
  boardsim::PtyBoard board(cfg);
  HostPort host(board.slave_path());
  host.send("ucfg 1500000 0 0\n");
  std::string reply = host.read(2, 1500ms);  // the host never switches
  EXPECT_EQ(reply.size(), 2u);
  EXPECT_NE(reply, "OK");
}

TEST(PtyBoard, ReopenKeepsTheBoardAndResetsTheRate) {
  TempDir tmp;
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::nand;
  cfg.store_path = (tmp / "nand.bin").string();
  cfg.complete_store_on_stop = false;
  boardsim::PtyBoard board(cfg);
  {
    HostPort host(board.slave_path());
    host.send("ucfg 921600 0 0\n");
    std::this_thread::sleep_for(100ms);
    host.set_baud(921600);
    ASSERT_EQ(host.read(2), "OK");
    host.send("sne 0x0 0x21000\n");
    ASSERT_EQ(host.read(2), "OK");
  }
  for (int i = 0; i < 3; ++i) {
    HostPort host(board.slave_path());  // back at 115200, as after a reset
    host.send("ping\n");
    EXPECT_EQ(host.read(4), "ping") << "opening " << i;
    host.send("snb 0x10\n");
    EXPECT_EQ(host.read(3).size(), 3u);
  }
  EXPECT_EQ(board.stats().opens, 4);
}

// A second program opening a port in use is no reset: the first keeps its
// rate and its session.
TEST(PtyBoard, OpeningAPortInUseChangesNothing) {
  boardsim::BoardConfig cfg;
  cfg.complete_store_on_stop = false;
  boardsim::PtyBoard board(cfg);
  HostPort host(board.slave_path());
  host.send("ucfg 921600 0 0\n");
  std::this_thread::sleep_for(100ms);
  host.set_baud(921600);
  ASSERT_EQ(host.read(2), "OK");
  {
    int other = open(board.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    std::this_thread::sleep_for(50ms);
    close(other);
  }
  std::this_thread::sleep_for(50ms);
  host.send("ping\n");
  EXPECT_EQ(host.read(4), "ping");
  EXPECT_EQ(board.stats().opens, 1);
  EXPECT_EQ(board.stats().device_baud, 921600);
}

TEST(PtyBoard, FlashTypeQueryIsAnsweredOnlyByNor) {
  TempDir tmp;
  for (auto kind : {boardsim::FlashKind::nor, boardsim::FlashKind::nand}) {
    boardsim::BoardConfig cfg;
    cfg.flash = kind;
    cfg.complete_store_on_stop = false;
    cfg.store_path = (tmp / (kind == boardsim::FlashKind::nor ? "nor.bin" : "nand.bin")).string();
    boardsim::PtyBoard board(cfg);
    HostPort host(board.slave_path());
    host.send("hashq 0 0 0\n");
    std::string reply = host.read(38, kind == boardsim::FlashKind::nor ? 2000ms : 300ms);
    if (kind == boardsim::FlashKind::nor) {
      ASSERT_EQ(reply.size(), 38u);
      EXPECT_EQ(reply.substr(0, 6), "hashs ");
      // SHA-256 of no bytes (FIPS 180-4 example family): e3b0c442...
      EXPECT_EQ(uint8_t(reply[6]), 0xe3);
      EXPECT_EQ(uint8_t(reply[37]), 0x55);
    } else {
      EXPECT_EQ(reply, "");
    }
  }
}

}  // namespace

namespace {

TEST(PtyBoard, PacedRepliesTakeTheLineTimeAndTheTurnaround) {
  TempDir tmp;
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::nand;
  cfg.store_path = (tmp / "nand.bin").string();
  cfg.complete_store_on_stop = false;
  cfg.paced = true;
  cfg.turnaround_ms = 150;
  boardsim::PtyBoard board(cfg);
  HostPort host(board.slave_path());
  auto t0 = std::chrono::steady_clock::now();
  host.send("snr 0x0 0 2052 0\n");
  std::string page = host.read(2052, 3000ms);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(page, std::string(2052, '\xFF'));
  // 17 + 2052 bytes of 10 bits at 115200 baud, plus the turnaround.
  EXPECT_GE(ms, 150 + (17 + 2052) * 10 * 1000 / 115200);
}

}  // namespace

namespace {

// A board that has stopped reading leaves the host's bytes in the line: it
// fills, and the host's writes stall for good.
TEST(PtyBoard, StoppedReadingFillsTheLine) {
  TempDir tmp;
  boardsim::BoardConfig cfg;
  cfg.store_path = (tmp / "nor.bin").string();
  cfg.faults.stop_reading_after_commands = 2;
  boardsim::PtyBoard board(cfg);
  HostPort host(board.slave_path());
  host.send("ping\n");
  EXPECT_EQ(host.read(4), "ping");
  host.send("fwd 0 0 0 \n");
  EXPECT_EQ(host.read(1), "C");

  const int fd = open(board.slave_path().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  // Until the line has taken nothing for 300 ms (the kernel moves bytes
  // between its own buffers for a moment after the first refusal).
  const std::vector<char> chunk(1024, 'x');
  size_t taken = 0;
  for (;;) {
    const ssize_t k = write(fd, chunk.data(), chunk.size());
    if (k > 0) {
      taken += size_t(k);
      ASSERT_LT(taken, 1u << 20) << "the line never filled";
      continue;
    }
    ASSERT_EQ(errno, EAGAIN);
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 300) == 0) break;
  }
  EXPECT_GT(taken, 0u);
  close(fd);
  EXPECT_EQ(board.stats().commands, 2);
}

// The line goes down when the host goes on after the reply to the last
// command: reads report the hang-up, writes fail, the flash stays readable.
TEST(PtyBoard, HangsUpAfterCommands) {
  TempDir tmp;
  boardsim::BoardConfig cfg;
  cfg.store_path = (tmp / "nor.bin").string();
  cfg.faults.hang_up_after_commands = 1;
  boardsim::PtyBoard board(cfg);
  const int fd = open(board.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  ASSERT_EQ(write(fd, "ping\n", 5), 5);
  std::string got;
  ssize_t k = 0;
  const auto end = std::chrono::steady_clock::now() + 2s;
  char buf[16];
  while (std::chrono::steady_clock::now() < end) {
    if (got == "ping") {
      ASSERT_EQ(write(fd, "ping\n", 5), 5);
      got += "|";
    }
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 100);
    k = read(fd, buf, sizeof buf);
    if (k > 0) got.append(buf, size_t(k));
    if (k == 0 || (k < 0 && errno == EIO)) break;
  }
  EXPECT_EQ(got, "ping|");
  EXPECT_TRUE(k == 0 || (k < 0 && errno == EIO)) << "no hang-up seen";
  EXPECT_LT(write(fd, "ping\n", 5), 0);
  close(fd);
  EXPECT_EQ(board.read_flash(0, 4), std::vector<uint8_t>(4, 0xFF));
}

}  // namespace
