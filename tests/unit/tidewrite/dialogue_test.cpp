// The download-mode dialogue against a small scripted board on a
// pseudo-terminal; the line sequences through the recording seams.
#include "tidewrite/dialogue.h"

#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/line_recorder.h"
#include "tests/support/pty_pair.h"
#include "tests/support/test_support.h"
#include "tidewrite/options.h"

namespace {

using namespace std::chrono_literals;
using testsupport::escaped;
using testsupport::PeerThread;
using testsupport::read_exact;
using testsupport::read_until;
using testsupport::write_all;
using Steps = std::vector<std::string>;

speed_t line_speed(int fd) {
  termios tio{};
  tcgetattr(fd, &tio);
  return cfgetospeed(&tio);
}

// The scripted board sends at board_speed. A pty carries bytes whatever the
// speed, so a mismatch with the host's speed is played as garbled bytes, the
// way a real UART would receive them. Waits briefly for the host to switch.
void send_at(int master, const std::string &bytes, speed_t board_speed) {
  auto deadline = std::chrono::steady_clock::now() + 500ms;
  while (line_speed(master) != board_speed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  std::string out = bytes;
  if (line_speed(master) != board_speed) {
    for (char &c : out) c = static_cast<char>(c ^ 0xA5);
  }
  write_all(master, out);
}

class Dialogue : public testing::Test {
 protected:
  void SetUp() override {
    reset_option_globals();
    g_cmd_option.baud_rate = 1500000;
    hdl = uart_open(pty.slave_path().c_str());
    ASSERT_GT(hdl, 0);
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    if (!captured) testing::internal::GetCapturedStdout();
    uart_close(hdl);
  }
  std::string out() {
    captured = true;
    return testing::internal::GetCapturedStdout();
  }
  int master() const { return pty.master(); }

  testsupport::PtyPair pty;
  testsupport::LineRecorder lines;  // pauses skipped: only bytes matter here
  UARTHDL hdl = 0;
  bool captured = false;
};

// ---- lira / lrm handshake

TEST_F(Dialogue, HandshakeSwitchesBothEnds) {
  std::string got_ping, got_ucfg;
  PeerThread board([&] {
    got_ping = read_until(master(), "\n", 2000);
    write_all(master(), "ping");
    got_ucfg = read_until(master(), "\n", 2000);
    send_at(master(), "OK", B1500000);
  });
  EXPECT_EQ(handshake(hdl), 0);
  board.join();
  EXPECT_EQ(got_ping, "ping\n");
  EXPECT_EQ(got_ucfg, "ucfg 1500000 0 0\n");
  EXPECT_EQ(line_speed(pty.slave()), static_cast<speed_t>(B1500000));
  EXPECT_EQ(out(), "");
  EXPECT_EQ(lines.steps(), (Steps{"pause 100", "pause 100"}));
}

TEST_F(Dialogue, HandshakeStartsFrom115200) {
  ASSERT_EQ(uart_set_baudrate(hdl, 3000000), 0);
  speed_t at_ping = 0;
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    at_ping = line_speed(master());
    write_all(master(), "ping");
    read_until(master(), "\n", 2000);
    send_at(master(), "OK", B1500000);
  });
  EXPECT_EQ(handshake(hdl), 0);
  board.join();
  EXPECT_EQ(at_ping, static_cast<speed_t>(B115200));
}

TEST_F(Dialogue, SecondPingRescuesTheHandshake) {
  std::string second;
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    write_all(master(), "pong");
    second = read_until(master(), "\n", 2000);
    write_all(master(), "ping");
    read_until(master(), "\n", 2000);
    send_at(master(), "OK", B1500000);
  });
  EXPECT_EQ(handshake(hdl), 0);
  board.join();
  EXPECT_EQ(second, "ping\n");
  EXPECT_EQ(escaped(out()), escaped("ping fail pong\n\r"));
}

TEST_F(Dialogue, ShortPingRepliesFailFastAndPrintOnlyWhatCame) {
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    write_all(master(), "pi");
    read_until(master(), "\n", 2000);
    write_all(master(), "p");
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(handshake(hdl), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);  // quiet line, not two time-outs
  EXPECT_EQ(escaped(out()), escaped("ping fail pi\n\rping retry fail p\n\r"));
}

TEST_F(Dialogue, SilentBoardFailsAfterTwoPings) {
  std::string seen;
  PeerThread board([&] { seen = testsupport::read_for(master(), 2500); });
  EXPECT_EQ(handshake(hdl), -1);
  board.join();
  EXPECT_EQ(seen, "ping\nping\n");
  EXPECT_EQ(escaped(out()), escaped("ping fail \n\rping retry fail \n\r"));
}

TEST_F(Dialogue, UnsupportedRateStillSentButAckIsLost) {
  g_cmd_option.baud_rate = 9600;  // the board takes it, the host port cannot
  std::string got_ucfg;
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    write_all(master(), "ping");
    got_ucfg = read_until(master(), "\n", 2000);
    send_at(master(), "OK", B9600);
  });
  EXPECT_EQ(handshake(hdl), -1);
  board.join();
  EXPECT_EQ(got_ucfg, "ucfg 9600 0 0\n");
  EXPECT_EQ(escaped(out()), escaped("ucfg fail\n\r"));
}

TEST_F(Dialogue, BoardThatStaysAt115200FailsUcfg) {
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    write_all(master(), "ping");
    read_until(master(), "\n", 2000);
    std::this_thread::sleep_for(50ms);  // the host has switched by now
    send_at(master(), "OK", B115200);
  });
  EXPECT_EQ(handshake(hdl), -1);
  board.join();
  EXPECT_EQ(escaped(out()), escaped("ucfg fail\n\r"));
}

TEST_F(Dialogue, Rate115200IsStillNegotiated) {
  g_cmd_option.baud_rate = 115200;
  std::string got_ucfg;
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    write_all(master(), "ping");
    got_ucfg = read_until(master(), "\n", 2000);
    send_at(master(), "OK", B115200);
  });
  EXPECT_EQ(handshake(hdl), 0);
  board.join();
  EXPECT_EQ(got_ucfg, "ucfg 115200 0 0\n");
}

TEST_F(Dialogue, StaleBytesBeforePingAreFlushed) {
  write_all(master(), "Download Image\r\n");
  std::this_thread::sleep_for(50ms);
  PeerThread board([&] {
    read_until(master(), "\n", 2000);
    write_all(master(), "ping");
    read_until(master(), "\n", 2000);
    send_at(master(), "OK", B1500000);
  });
  EXPECT_EQ(handshake(hdl), 0);
}

// ---- q5 dialogue

TEST_F(Dialogue, Q5RomAlreadyAtPrompt) {
  g_cmd_option.enter_download = 1;
  std::string wake, after;
  PeerThread board([&] {
    wake = read_exact(master(), 8, 2000);
    write_all(master(), "\r\n$4420k>");
    after = testsupport::read_for(master(), 300);
  });
  EXPECT_EQ(handshake(hdl), 0);
  board.join();
  EXPECT_EQ(wake, "Vtl4420K");
  EXPECT_EQ(after, "");  // no probe, no ATXX
  EXPECT_EQ(line_speed(pty.slave()), static_cast<speed_t>(B115200));
  EXPECT_EQ(escaped(out()), escaped("download mode ok\n\r"));
}

TEST_F(Dialogue, Q5ApplicationPromptThenAtxx) {
  g_cmd_option.enter_download = 1;
  lines.set_pause_divisor(10);  // the flush after ATXX must not beat the board to it
  std::string probe, atxx, wake2;
  PeerThread board([&] {
    read_exact(master(), 8, 2000);  // the application ignores the wake word
    probe = read_exact(master(), 2, 2000);
    write_all(master(), "\r\nroot@q5:~# ");
    atxx = read_exact(master(), 5, 2000);
    wake2 = read_exact(master(), 8, 2000);
    write_all(master(), "$4420k>");
  });
  EXPECT_EQ(handshake(hdl), 0);
  board.join();
  EXPECT_EQ(probe, "\r\n");
  EXPECT_EQ(atxx, "ATXX\r");
  EXPECT_EQ(wake2, "Vtl4420K");
  EXPECT_EQ(lines.steps(), (Steps{"pause 100", "pause 1000"}));
  EXPECT_EQ(escaped(out()), escaped("download mode ok\n\r"));
}

TEST_F(Dialogue, Q5PromptButRomNeverComes) {
  g_cmd_option.enter_download = 1;
  lines.set_pause_divisor(10);
  PeerThread board([&] {
    read_exact(master(), 8, 2000);
    read_exact(master(), 2, 2000);
    write_all(master(), "# ");
    read_exact(master(), 13, 2000);
    write_all(master(), "# ");  // still the application
  });
  EXPECT_EQ(handshake(hdl), -1);
  EXPECT_EQ(escaped(out()), escaped("download mode fail\n\r"));
}

TEST_F(Dialogue, Q5SilentBoard) {
  g_cmd_option.enter_download = 1;
  std::string seen;
  PeerThread board([&] { seen = testsupport::read_for(master(), 2500); });
  EXPECT_EQ(handshake(hdl), -1);
  board.join();
  EXPECT_EQ(seen, "Vtl4420K\r\n");
  EXPECT_EQ(escaped(out()), escaped("download mode fail\n\r"));
}

// ---- acknowledgement and reset

TEST_F(Dialogue, RecvResponse) {
  struct {
    const char *reply;
    int result;
  } cases[] = {{"OK", 0}, {"NO", -1}, {"O", -1}, {"ok", -1}};
  for (auto c : cases) {
    write_all(master(), c.reply);
    EXPECT_EQ(recv_response(hdl), c.result) << c.reply;
  }
  EXPECT_EQ(recv_response(hdl), -1);  // nothing at all
}

TEST_F(Dialogue, ResetDeviceLira) {
  reset_device(hdl);
  EXPECT_EQ(read_exact(master(), 5, 1000), "disc\n");
}

TEST_F(Dialogue, ResetDeviceQ5ReturnsTo115200First) {
  g_cmd_option.enter_download = 1;
  ASSERT_EQ(uart_set_baudrate(hdl, 1500000), 0);
  reset_device(hdl);
  EXPECT_EQ(line_speed(pty.slave()), static_cast<speed_t>(B115200));
  EXPECT_EQ(read_exact(master(), 8, 1000), "WDTRST\r\n");
}

TEST_F(Dialogue, UartSetup) {
  ASSERT_EQ(uart_set_baudrate(hdl, 2000000), 0);
  write_all(master(), "stale");
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(uart_setup(hdl), 0);
  EXPECT_EQ(line_speed(pty.slave()), static_cast<speed_t>(B115200));
  EXPECT_EQ(lines.steps(), Steps{"pause 100"});
  char buf[8];
  EXPECT_EQ(uart_read(hdl, buf, sizeof buf, 50), 0);
}

// ---- line sequences

const Steps kFull = {"release RTS", "pause 50",    "assert DTR", "pause 10",  "release RTS", "pause 50",
                     "release DTR", "pause 10",    "assert RTS", "pause 50",  "release RTS", "pause 10",
                     "assert DTR",  "pause 50",    "pause 100"};
const Steps kMini = {"release DTR", "assert RTS", "pause 50", "assert DTR", "release RTS",
                     "pause 50",    "pause 50",   "pause 50"};
const Steps kResetPulse = {"release DTR", "release RTS", "pause 50", "release DTR",
                           "assert RTS",  "pause 50",    "release DTR", "release RTS"};

Steps concat(Steps a, const Steps &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class LineSequences : public Dialogue {
 protected:
  // The board prints its banner when the n-th "assert DTR" lets it run.
  void banner_on_dtr_assert(int n, std::string banner) {
    lines.on_request([this, n, banner, count = 0](const std::string &step) mutable {
      if (step == "assert DTR" && ++count == n) write_all(master(), banner);
    });
  }
};

TEST_F(LineSequences, FullSequenceSeesTestModeBanner) {
  banner_on_dtr_assert(2, "\r\nROM v2\r\nTest Mode\r\n");
  EXPECT_EQ(hw_enter_download_mode(hdl), 0);
  EXPECT_EQ(lines.steps(), kFull);
}

TEST_F(LineSequences, BannerBeforeTheFlushDoesNotCount) {
  banner_on_dtr_assert(1, "Download Image");  // flushed at step 7
  EXPECT_EQ(hw_enter_download_mode(hdl), -1);
  EXPECT_EQ(lines.steps(), kFull);
}

TEST_F(LineSequences, ShortSequence) {
  banner_on_dtr_assert(1, "..Download Image..");
  EXPECT_EQ(hw_enter_download_mode_mini(hdl), 0);
  EXPECT_EQ(lines.steps(), kMini);
}

TEST_F(LineSequences, ResetToDownloadModeFullOnlyWhenBannerSeen) {
  banner_on_dtr_assert(2, "Download Image");
  EXPECT_EQ(reset_to_download_mode(hdl), 0);
  EXPECT_EQ(lines.steps(), kFull);
}

TEST_F(LineSequences, ResetToDownloadModeFallsBackToShort) {
  banner_on_dtr_assert(3, "Test Mode");  // only the short sequence wakes it
  EXPECT_EQ(reset_to_download_mode(hdl), 0);
  EXPECT_EQ(lines.steps(), concat(kFull, kMini));
}

TEST_F(LineSequences, LrmUsesShortSequenceOnly) {
  g_cmd_option.enter_download = 2;
  EXPECT_EQ(reset_to_download_mode(hdl), 0);
  EXPECT_EQ(lines.steps(), kMini);
}

TEST_F(LineSequences, ResetPulse) {
  hw_reset_device(hdl);
  EXPECT_EQ(lines.steps(), kResetPulse);
  EXPECT_EQ(testsupport::read_for(master(), 50), "");  // reads and writes nothing
}

}  // namespace
