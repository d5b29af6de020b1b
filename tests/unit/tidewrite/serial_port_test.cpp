// The serial layer on a real pseudo-terminal: settings as the device sees
// them, bounded reads, flushes, and the seams below the line requests.
#include "tidewrite/serial_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/support/line_recorder.h"
#include "tests/support/pty_pair.h"

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
    // Character size, parity and stop bits stay as the device had them.
    constexpr tcflag_t kControl = CSIZE | CSTOPB | PARENB | PARODD | CREAD | CLOCAL | HUPCL | CRTSCTS;
    EXPECT_EQ(tio.c_cflag & kControl, cooked.c_cflag & kControl);
  }
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
