// The serial layer on a real pseudo-terminal: settings as the device sees
// them, bounded reads, flushes, and the seams below the line requests.
#include "tidewrite/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/line_recorder.h"
#include "tests/support/pty_pair.h"
#include "tests/support/test_support.h"
#include "tidewrite/failure_reason.h"
#include "tidewrite/stop_signal.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::PeerThread;
using testsupport::PtyPair;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

class SerialPort : public testing::Test {
 protected:
  void SetUp() override {
    hdl = uart_open(pty.slave_path().c_str());
    ASSERT_GT(hdl, 0);
  }
  void TearDown() override { uart_close(hdl); }
  termios settings() const {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.slave(), &tio), 0);
    return tio;
  }
  PtyPair pty;
  UARTHDL hdl = 0;
};

TEST_F(SerialPort, OpenGivesRawMode115200) {
  termios tio = settings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(SerialPort, SpeedCodesForEverySupportedRate) {
  struct {
    int rate;
    speed_t code;
  } table[] = {{115200, B115200},   {500000, B500000},   {576000, B576000},   {921600, B921600},
               {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
               {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
  for (auto row : table) {
    ASSERT_EQ(uart_set_baudrate(hdl, row.rate), 0) << row.rate;
    termios tio = settings();
    EXPECT_EQ(cfgetospeed(&tio), row.code) << row.rate;
    EXPECT_EQ(cfgetispeed(&tio), row.code) << row.rate;
  }
}

TEST_F(SerialPort, UnsupportedRateKeepsSpeedButStillSetsRawMode) {
  ASSERT_EQ(uart_set_baudrate(hdl, 1500000), 0);
  termios cooked = settings();
  cooked.c_iflag |= INLCR | IGNCR | ICRNL | IXON | IXOFF;
  cooked.c_oflag |= ONLCR | OCRNL;
  cooked.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
  cooked.c_cc[VMIN] = 5;
  cooked.c_cc[VTIME] = 7;
  cooked.c_cflag |= CSTOPB | PARENB;
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &cooked), 0);
  cooked = settings();  // the control flags as the device keeps them

  for (int rate : {9600, 230400, 0, -1}) {
    EXPECT_EQ(uart_set_baudrate(hdl, rate), 0) << rate;
    termios tio = settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B1500000)) << rate;
    EXPECT_EQ(tio.c_iflag & (INLCR | IGNCR | ICRNL | IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_oflag & (ONLCR | OCRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    // The whole line is set too: one stop bit where two were left.
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  }
}

// What a terminal program may leave behind, on a settings record (a
// pseudo-terminal itself forces 8 bits and no parity, so those two are
// shown here and the rest on a real pseudo-terminal below).
TEST(SerialLine, RawLineSettingsOverWhatAPreviousProgramLeft) {
  termios tio{};
  tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL | B9600;
  tio.c_iflag = IXON | IXOFF | IXANY | ISTRIP | INPCK | PARMRK | ICRNL | IGNBRK;
  tio.c_oflag = OPOST | ONLCR | OLCUC;
  tio.c_lflag = ICANON | ECHO | ISIG;
  tio.c_cc[VMIN] = 4;
  uart_raw_line_settings(tio);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(tio.c_cflag & (HUPCL | CBAUD), static_cast<tcflag_t>(HUPCL | B9600));  // not the line's business
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | INPCK | PARMRK | ICRNL), 0u);
  EXPECT_EQ(tio.c_iflag & IGNBRK, static_cast<tcflag_t>(IGNBRK));
  EXPECT_EQ(tio.c_oflag & (OPOST | ONLCR), 0u);  // no output processing at all (OLCUC is off with it)
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
}

TEST(SerialLine, OpenSetsTheWholeLineAndCloseRestoresIt) {
  PtyPair pty;
  termios spoiled{};
  ASSERT_EQ(tcgetattr(pty.slave(), &spoiled), 0);
  spoiled.c_cflag |= CRTSCTS | CSTOPB;
  spoiled.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  spoiled.c_iflag |= IXON | IXOFF | IXANY | ISTRIP | PARMRK;
  spoiled.c_lflag |= ICANON | ECHO;
  cfsetspeed(&spoiled, B9600);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &spoiled), 0);
  ASSERT_EQ(tcgetattr(pty.slave(), &spoiled), 0);
  ASSERT_NE(spoiled.c_cflag & CRTSCTS, 0u) << "the pseudo-terminal did not keep the spoiled flags";

  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | PARMRK), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));

  uart_close(hdl);
  ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
  EXPECT_EQ(tio.c_cflag, spoiled.c_cflag);
  EXPECT_EQ(tio.c_iflag, spoiled.c_iflag);
  EXPECT_EQ(tio.c_oflag, spoiled.c_oflag);
  EXPECT_EQ(tio.c_lflag, spoiled.c_lflag);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
}

// A path that is not a terminal is refused before anything reaches it.
TEST(SerialOpen, OnlyATerminalIsAPort) {
  testsupport::TempDir dir;
  const auto file = dir / "image.bin";
  const std::string content = "firmware bytes that must survive";
  testsupport::write_text(file, content);
  const auto fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  const struct {
    std::string path;
    std::string line;
  } cases[] = {
      {file.string(), file.string() + " is not a serial port: it is a regular file, left untouched (are -p and -f "
                                      "swapped?)\n"},
      {dir.path().string(), dir.path().string() + " is not a serial port: it is a directory\n"},
      {fifo.string(), fifo.string() + " is not a serial port: it is a named pipe\n"},
      {"/dev/null", "/dev/null is not a serial port: it is not a terminal device\n"},
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_open(c.path.c_str()), 0) << c.path;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
  }
  EXPECT_EQ(testsupport::read_text(file), content);
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

std::string own_comm() {
  std::ifstream in("/proc/self/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

// One open holds the port: a second is refused at once with the holder
// named, and the port is free again once the first is closed.
TEST(SerialOpen, SecondOpenIsRefusedWhileTheFirstHoldsThePort) {
  PtyPair pty;
  const char *path = pty.slave_path().c_str();
  UARTHDL first = uart_open(path);
  ASSERT_GT(first, 0);

  testing::internal::CaptureStderr();
  auto t0 = Clock::now();
  EXPECT_EQ(uart_open(path), 0);
  EXPECT_LT(ms_since(t0), 1000);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            pty.slave_path() + " is busy: pid " + std::to_string(getpid()) + " (" + own_comm() + ") has it open\n");

  // Any other opener that asks for the lock is refused as well.
  int other = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);

  uart_close(first);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  flock(other, LOCK_UN);
  close(other);
  UARTHDL again = uart_open(path);
  EXPECT_GT(again, 0);
  uart_close(again);
}

TEST(SerialOpen, ExclusiveModeWhileOpenOnly) {
  PtyPair pty;
  int excl = -1;
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 1);
  uart_close(hdl);
  ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 0);
}

TEST(SerialOpen, NoHolderNamedForAPortNobodyHas) {
  PtyPair pty;
  // Only this test's own raw descriptor has it; leaving that one out too
  // leaves nobody.
  EXPECT_EQ(uart_port_holders(pty.slave_path().c_str(), pty.slave()), "");
  EXPECT_EQ(uart_port_holders(pty.slave_path().c_str(), -1),
            "pid " + std::to_string(getpid()) + " (" + own_comm() + ")");
  EXPECT_EQ(uart_port_holders("/dev/tidewrite-no-such-port", -1), "");
}

// A driver in the style of a USB serial adapter: keeps its flags and logs
// each request as "get", or "set" with the low-latency bit.
struct FakeDriver {
  static inline int flags = 0;
  static inline bool refuse = false;
  static inline std::vector<std::string> log;
  static int request(int, unsigned long request, serial_struct *info) {
    if (refuse) {
      errno = ENOTTY;
      return -1;
    }
    if (request == TIOCGSERIAL) {
      *info = serial_struct{};
      info->flags = flags;
      log.push_back("get");
    } else if (request == TIOCSSERIAL) {
      flags = info->flags;
      log.push_back((flags & ASYNC_LOW_LATENCY) != 0 ? "set low latency" : "set normal");
    }
    return 0;
  }
};

TEST(SerialOpen, LowLatencyModeIsRequestedAndUndone) {
  struct Case {
    const char *name;
    int flags;
    bool refuse;
    std::vector<std::string> at_open, at_close;
  };
  const Case cases[] = {
      {"driver in normal mode", ASYNC_SPD_HI, false, {"get", "set low latency"}, {"get", "set normal"}},
      {"already in low-latency mode", ASYNC_LOW_LATENCY, false, {"get"}, {}},
      {"driver without the request", 0, true, {}, {}},
  };
  PtyPair pty;
  uart_set_serial_request_hook(FakeDriver::request);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver::flags = c.flags;
    FakeDriver::refuse = c.refuse;
    FakeDriver::log.clear();
    testing::internal::CaptureStderr();
    UARTHDL hdl = uart_open(pty.slave_path().c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // a refusing driver is accepted silently
    ASSERT_GT(hdl, 0);
    EXPECT_EQ(FakeDriver::log, c.at_open);
    FakeDriver::log.clear();
    uart_close(hdl);
    EXPECT_EQ(FakeDriver::log, c.at_close);
    EXPECT_EQ(FakeDriver::flags, c.flags);  // as the driver had them
  }
  uart_set_serial_request_hook(nullptr);
  // The real request on a pseudo-terminal is refused: still no word about it.
  testing::internal::CaptureStderr();
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  EXPECT_GT(hdl, 0);
  uart_close(hdl);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SerialPort, TimerAndMinimumCountValues) {
  struct {
    int ms;
    int vtime;
  } timers[] = {{1000, 0}, {9999, 0}, {10000, 1}, {120000, 12}, {2550000, 255}};
  for (auto t : timers) {
    ASSERT_EQ(uart_set_timeout(hdl, t.ms), 0);
    EXPECT_EQ(settings().c_cc[VTIME], t.vtime) << t.ms;
  }
  struct {
    int cnt;
    int vmin;
  } mins[] = {{2, 2}, {127, 127}, {256, 0}, {1024, 0}, {2052, 4}};
  for (auto m : mins) {
    ASSERT_EQ(uart_set_min_byte(hdl, m.cnt), 0);
    EXPECT_EQ(settings().c_cc[VMIN], m.vmin) << m.cnt;
  }
}

TEST_F(SerialPort, SettingsCallsFailOnNonTerminal) {
  int fd = open("/dev/null", O_RDWR);
  ASSERT_GT(fd, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(uart_set_baudrate(fd, 115200), -1);
  EXPECT_EQ(uart_set_timeout(fd, 1000), -1);
  EXPECT_EQ(uart_set_min_byte(fd, 2), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("tcgetattr failed: "), std::string::npos) << err;
  close(fd);
}

TEST_F(SerialPort, TimedOutReadLeavesBufferUntouched) {
  uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 4, 150), 0);
  EXPECT_GE(ms_since(t0), 140);
  for (uint8_t b : buf) EXPECT_EQ(b, 0xEE);
  EXPECT_EQ(uart_read(hdl, buf, 4, 0), 0);  // a plain read with nothing there
  for (uint8_t b : buf) EXPECT_EQ(b, 0xEE);
}

TEST_F(SerialPort, ReadOfExactLengthReturnsAtOnce) {
  ASSERT_TRUE(testsupport::write_all(pty.master(), "ping"));
  char buf[4] = {};
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 4, 5000), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  EXPECT_LT(ms_since(t0), 2500);  // did not sit out the time-out
}

TEST_F(SerialPort, ShortReplyEndsAfterQuietLine) {
  // A 38-byte reply read with room for 64: the read must end on the quiet
  // line after the reply, long before its 5000 ms time-out.
  std::string reply = "hashs " + std::string(32, '\x5A');
  ASSERT_TRUE(testsupport::write_all(pty.master(), reply));
  char buf[64] = {};
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 64, 5000), 38);
  EXPECT_EQ(std::string(buf, 38), reply);
  EXPECT_LT(ms_since(t0), 2500);
  EXPECT_EQ(buf[38], 0);
}

TEST_F(SerialPort, MinimumCountDoesNotHoldAShortReply) {
  // With a minimum count of 64 in force the terminal would report the two
  // bytes only once 64 had come; the read must still return them short.
  ASSERT_EQ(uart_set_min_byte(hdl, 64), 0);
  ASSERT_TRUE(testsupport::write_all(pty.master(), "OK"));
  char buf[64] = {};
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 64, 3000), 2);
  EXPECT_LT(ms_since(t0), 2000);
  EXPECT_EQ(std::string(buf, 2), "OK");
}

TEST_F(SerialPort, TrickleIsGatheredUntilItStops) {
  PeerThread peer([&] {
    for (char c : std::string("0123456789")) {
      std::this_thread::sleep_for(20ms);
      testsupport::write_all(pty.master(), std::string(1, c));
    }
  });
  char buf[64] = {};
  EXPECT_EQ(uart_read(hdl, buf, 64, 5000), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
}

TEST_F(SerialPort, EndlessTrickleStillEndsAtTheDeadline) {
  std::atomic<bool> stop{false};
  PeerThread peer([&] {
    while (!stop) {
      testsupport::write_all(pty.master(), "x");
      std::this_thread::sleep_for(10ms);
    }
  });
  char buf[1024];
  auto t0 = Clock::now();
  int n = uart_read(hdl, buf, sizeof buf, 300);
  double took = ms_since(t0);
  stop = true;
  EXPECT_GT(n, 0);
  EXPECT_LT(n, 1024);
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 2000);
}

TEST_F(SerialPort, ReadErrorIsReported) {
  const int fd = 987;  // a descriptor that is not open
  ASSERT_EQ(fcntl(fd, F_GETFD), -1);
  char buf[4];
  testing::internal::CaptureStdout();
  EXPECT_LT(uart_read(fd, buf, 4, 100), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rest len < 0\n\r");
}

TEST_F(SerialPort, WriteReachesTheDevice) {
  EXPECT_EQ(uart_write(hdl, "ucfg 1500000 0 0\n", 17), 17);
  EXPECT_EQ(testsupport::read_exact(pty.master(), 17, 2000), "ucfg 1500000 0 0\n");
}

TEST_F(SerialPort, LargeWriteGoesOutWhole) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::string got;
  PeerThread peer([&] { got = testsupport::read_exact(pty.master(), big.size(), 10000); });
  EXPECT_EQ(uart_write(hdl, big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  peer.join();
  EXPECT_TRUE(got == big);
}

TEST_F(SerialPort, StalledWriteEndsShort) {
  // Nobody reads the far end: the line fills up and takes no more bytes.
  int saved = uart_write_stall_ms;
  uart_write_stall_ms = 200;
  std::string big(4 << 20, 'x');
  auto t0 = Clock::now();
  int n = uart_write(hdl, big.data(), static_cast<int>(big.size()));
  double took = ms_since(t0);
  uart_write_stall_ms = saved;
  EXPECT_GT(n, 0);
  EXPECT_LT(n, static_cast<int>(big.size()));
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 3000);
}

TEST(SerialWrite, HungUpLineIsAnError) {
  auto pty = std::make_unique<PtyPair>();
  UARTHDL hdl = uart_open(pty->slave_path().c_str());
  ASSERT_GT(hdl, 0);
  pty.reset();  // the far end goes away
  EXPECT_LT(uart_write(hdl, "ping\n", 5), 0);
  char buf[4];
  testing::internal::CaptureStdout();
  EXPECT_LT(uart_read(hdl, buf, 4, 1000), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rest len < 0\n\r");
  uart_close(hdl);
}

TEST_F(SerialPort, FlushRxDiscardsPendingInput) {
  ASSERT_TRUE(testsupport::write_all(pty.master(), "stale banner"));
  std::this_thread::sleep_for(50ms);
  uart_flush_rx(hdl);
  char buf[32];
  EXPECT_EQ(uart_read(hdl, buf, sizeof buf, 100), 0);
}

TEST(SerialOpen, MissingDeviceGivesZeroAndAReason) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(uart_open("/dev/tidewrite-no-such-port"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/dev/tidewrite-no-such-port"), std::string::npos) << err;
  EXPECT_NE(err.find("no such device"), std::string::npos) << err;
  EXPECT_EQ(uart_open(nullptr), 0);
}

TEST(SerialOpen, ErrorMessagesTellCausesApart) {
  struct {
    int err;
    const char *must_contain;
  } cases[] = {
      {ENOENT, "no such device"},   {EACCES, "permission denied"}, {EACCES, "dialout"},
      {EPERM, "permission denied"}, {EBUSY, "busy"},               {ENXIO, "not present"},
      {ENODEV, "not present"},      {EIO, std::strerror(EIO)},
  };
  for (auto c : cases) {
    std::string m = uart_open_error_message("/dev/ttyUSB0", c.err);
    EXPECT_NE(m.find("/dev/ttyUSB0"), std::string::npos) << m;
    EXPECT_NE(m.find(c.must_contain), std::string::npos) << c.err << ": " << m;
  }
  EXPECT_EQ(uart_open_error_message("/dev/x", EBUSY).find("permission"), std::string::npos);
}

TEST(SerialOpen, NeverHandsOutDescriptorZero) {
  PtyPair pty;
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);  // the next open would get descriptor 0
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  dup2(saved, 0);
  close(saved);
  EXPECT_GT(hdl, 0);
  uart_close(hdl);
}

TEST(ModemLines, PolarityOfTheRequests) {
  testsupport::LineRecorder rec;
  EXPECT_EQ(uart_set_rts(5, 1), 0);
  EXPECT_EQ(uart_set_rts(5, 0), 0);
  EXPECT_EQ(uart_set_dtr(5, 7), 0);
  EXPECT_EQ(uart_set_dtr(5, 0), 0);
  std::vector<std::string> want = {"release RTS", "assert RTS", "release DTR", "assert DTR"};
  EXPECT_EQ(rec.steps(), want);
}

TEST(ModemLines, RealRequestsOnAPtyDoNotFailTheCaller) {
  PtyPair pty;
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  EXPECT_EQ(uart_set_rts(hdl, 0), 0);
  EXPECT_EQ(uart_set_dtr(hdl, 1), 0);
  uart_close(hdl);
}

TEST(SleepSeam, RecordsAndRestores) {
  {
    testsupport::LineRecorder rec;
    auto t0 = Clock::now();
    Sleep(1000);
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_EQ(rec.steps(), std::vector<std::string>{"pause 1000"});
  }
  auto t0 = Clock::now();
  Sleep(30);
  EXPECT_GE(ms_since(t0), 29);
}

}  // namespace

// ---- lost lines, the silence limit, stop signals, the bounded close

namespace {

// Sets a limit of this layer for one test and puts it back.
class ScopedLimit {
 public:
  ScopedLimit(int &limit, int value) : limit_(limit), saved_(limit) { limit_ = value; }
  ~ScopedLimit() { limit_ = saved_; }
  ScopedLimit(const ScopedLimit &) = delete;
  ScopedLimit &operator=(const ScopedLimit &) = delete;

 private:
  int &limit_;
  int saved_;
};

// After a stall the line is lost: later writes and reads fail at once and
// quietly (the stall has been recorded as the cause), until a new open.
TEST_F(SerialPort, StalledLineStaysLostUntilReopened) {
  ScopedLimit stall(uart_write_stall_ms, 200);
  forget_failure_reason();
  std::string big(4 << 20, 'x');
  ASSERT_LT(uart_write(hdl, big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  EXPECT_TRUE(uart_link_lost(hdl));
  EXPECT_EQ(failure_reason(), "the serial line took no data for 200 ms (adapter gone?)");
  char buf[4];
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  EXPECT_EQ(uart_write(hdl, "ping\n", 5), -1);
  EXPECT_EQ(uart_read(hdl, buf, 4, 1000), -1);
  EXPECT_LT(ms_since(t0), 100);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  forget_failure_reason();

  uart_close(hdl);
  tcflush(pty.master(), TCIFLUSH);
  hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  EXPECT_FALSE(uart_link_lost(hdl));
  EXPECT_EQ(uart_write(hdl, "ping\n", 5), 5);
}

// Silence counts across reads; a byte from the board starts the count
// afresh. Once the limit is used up the line is lost.
TEST_F(SerialPort, BoardSilentPastTheLimitLosesTheLine) {
  ScopedLimit limit(uart_silence_limit_ms, 300);
  forget_failure_reason();
  char buf[4];
  EXPECT_EQ(uart_read(hdl, buf, 4, 200), 0);
  ASSERT_TRUE(testsupport::write_all(pty.master(), "O"));
  EXPECT_EQ(uart_read(hdl, buf, 1, 200), 1);
  EXPECT_EQ(uart_read(hdl, buf, 4, 200), 0);  // 200 of 300 ms: the count began again
  EXPECT_FALSE(uart_link_lost(hdl));
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 4, 250), 0);  // waits only what is left of the limit
  const double took = ms_since(t0);
  EXPECT_GE(took, 90);
  EXPECT_LT(took, 240);
  EXPECT_TRUE(uart_link_lost(hdl));
  EXPECT_EQ(failure_reason(),
            "the board has sent nothing for 300 ms: the link is lost (board reset, stopped or unplugged?)");
  t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 4, 1000), -1);
  EXPECT_LT(ms_since(t0), 100);
  forget_failure_reason();
}

// The wait for a reply that may rightly take long (an erase) is its own
// time-out: neither cut by the limit nor counted against it.
TEST_F(SerialPort, PatientReadIsNotCutByTheLimit) {
  ScopedLimit limit(uart_silence_limit_ms, 100);
  char buf[2];
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read_patient(hdl, buf, 2, 400), 0);
  EXPECT_GE(ms_since(t0), 390);
  EXPECT_FALSE(uart_link_lost(hdl));
  t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 2, 50), 0);
  EXPECT_EQ(uart_read(hdl, buf, 2, 400), 0);  // 50 of 100 ms were left
  EXPECT_LT(ms_since(t0), 300);
  EXPECT_TRUE(uart_link_lost(hdl));
  forget_failure_reason();
}

TEST(SerialLine, HungUpLineIsLost) {
  auto pty = std::make_unique<PtyPair>();
  UARTHDL hdl = uart_open(pty->slave_path().c_str());
  ASSERT_GT(hdl, 0);
  EXPECT_FALSE(uart_link_lost(hdl));
  pty.reset();
  EXPECT_LT(uart_write(hdl, "ping\n", 5), 0);
  EXPECT_TRUE(uart_link_lost(hdl));
  forget_failure_reason();
  uart_close(hdl);
}

// A stop signal ends a wait in progress within a fraction of a second (the
// waits look for it at least every 200 ms), quietly; so do later calls.
TEST_F(SerialPort, StopSignalEndsReadsWritesAndPausesAtOnce) {
  PeerThread stopper([] {
    std::this_thread::sleep_for(100ms);
    stop_signal_note(SIGTERM);
  });
  char buf[4];
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  EXPECT_EQ(uart_read(hdl, buf, 4, 5000), -1);
  EXPECT_LT(ms_since(t0), 600);
  EXPECT_EQ(uart_write(hdl, "ping\n", 5), -1);
  t0 = Clock::now();
  Sleep(3000);
  EXPECT_LT(ms_since(t0), 100);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(uart_link_lost(hdl));
  stopper.join();
  stop_signal_forget();
}

TEST(SerialClose, DrainBudgetFollowsTheQueueAndTheRate) {
  EXPECT_EQ(uart_drain_budget_ms(0, 115200), 0);
  EXPECT_EQ(uart_drain_budget_ms(4096, 115200), 2 * 355 + 50);
  EXPECT_EQ(uart_drain_budget_ms(4096, 1500000), 2 * 27 + 50);
  EXPECT_EQ(uart_drain_budget_ms(4096, 0), uart_drain_budget_ms(4096, 115200));  // unknown rate
  EXPECT_EQ(uart_drain_budget_ms(4096, 9600), 2000);  // never more than 2 s
}

int g_queue_calls = 0;
int stuck_queue(int, int *queued) {
  ++g_queue_calls;
  *queued = 4096;
  return 0;
}
int draining_queue(int, int *queued) {
  *queued = g_queue_calls++ < 3 ? 100 : 0;
  return 0;
}

// An adapter whose output never leaves: the close waits the drain budget
// (4096 bytes at 115200 baud: 760 ms), discards the rest (which a
// pseudo-terminal does not show) and still puts the settings back.
TEST(SerialClose, StuckOutputNeverHoldsTheClose) {
  PtyPair pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  ASSERT_EQ(uart_write(hdl, "disc\n", 5), 5);
  g_queue_calls = 0;
  uart_set_output_queue_hook(stuck_queue);
  auto t0 = Clock::now();
  uart_close(hdl);
  const double took = ms_since(t0);
  uart_set_output_queue_hook(nullptr);
  EXPECT_GE(took, 700);
  EXPECT_LT(took, 2000);
  EXPECT_GT(g_queue_calls, 10);
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

// A queue that empties ends the wait at once, and nothing is discarded.
TEST(SerialClose, OutputThatLeavesIsNotDiscarded) {
  PtyPair pty;
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  ASSERT_EQ(uart_write(hdl, "disc\n", 5), 5);
  g_queue_calls = 0;
  uart_set_output_queue_hook(draining_queue);
  auto t0 = Clock::now();
  uart_close(hdl);
  const double took = ms_since(t0);
  uart_set_output_queue_hook(nullptr);
  EXPECT_LT(took, 300);
  EXPECT_EQ(g_queue_calls, 4);
  EXPECT_EQ(testsupport::read_for(pty.master(), 100), "disc\n");
}

}  // namespace
