// The programmer's download-mode dialogue end to end against the emulated
// board on a pseudo-terminal: handshake and rate switch, the q5 paths and the
// flash-type detection. The board's flash stays untouched by all of these.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "boardsim/board.h"
#include "tests/support/line_recorder.h"
#include "tests/support/test_support.h"
#include "tidewrite/dialogue.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace {

using testsupport::escaped;

class DialogueE2e : public testing::Test {
 protected:
  void SetUp() override { reset_option_globals(); }
  void TearDown() override {
    if (capturing_) testing::internal::GetCapturedStdout();
    if (hdl_ != 0) uart_close(hdl_);
  }

  boardsim::PtyBoard &board(boardsim::BoardConfig cfg) {
    cfg.store_path = (tmp_ / "flash.bin").string();
    cfg.complete_store_on_stop = false;
    board_.emplace(cfg);
    g_cmd_option.port = board_->slave_path().c_str();
    return *board_;
  }
  UARTHDL open_port() {
    hdl_ = uart_open(board_->slave_path().c_str());
    EXPECT_GT(hdl_, 0);
    return hdl_;
  }
  void capture() {
    testing::internal::CaptureStdout();
    capturing_ = true;
  }
  std::string out() {
    std::fflush(stdout);
    capturing_ = false;
    return testing::internal::GetCapturedStdout();
  }
  // Reads exactly n bytes (or what came within a second).
  std::string read_n(int n) {
    std::string s(size_t(n), '\0');
    int got = uart_read(hdl_, s.data(), n, 1000);
    s.resize(size_t(std::max(got, 0)));
    return s;
  }

  testsupport::TempDir tmp_;
  std::optional<boardsim::PtyBoard> board_;
  // The lines are refused by a pseudo-terminal; the pauses are real, as the
  // board relies on the host's timing (a flush right after ATXX, say).
  testsupport::LineRecorder lines_{true};
  UARTHDL hdl_ = 0;
  bool capturing_ = false;
};

TEST_F(DialogueE2e, LiraHandshakeMovesBothEndsToTheWorkingRate) {
  auto &b = board({});
  g_cmd_option.baud_rate = 1500000;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), 0);
  EXPECT_EQ(out(), "");
  EXPECT_EQ(b.stats().device_baud, 1500000);
  uart_write(hdl_, "ping\n", 5);  // still understood at the new rate
  EXPECT_EQ(read_n(4), "ping");
}

TEST_F(DialogueE2e, LrmHandshakeIsTheLiraOne) {
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::lrm;
  board(cfg);
  g_cmd_option.enter_download = 2;
  g_cmd_option.baud_rate = 921600;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), 0);
  EXPECT_EQ(out(), "");
}

TEST_F(DialogueE2e, WrongFirstPingIsRetriedOnce) {
  boardsim::BoardConfig cfg;
  cfg.faults.wrong_first_ping = true;
  board(cfg);
  g_cmd_option.baud_rate = 1500000;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), 0);
  EXPECT_EQ(escaped(out()), escaped("ping fail pong\n\r"));
}

TEST_F(DialogueE2e, SilentBoardFailsBothPings) {
  boardsim::BoardConfig cfg;
  cfg.faults.silent_after_commands = 0;
  board(cfg);
  g_cmd_option.baud_rate = 1500000;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), -1);
  EXPECT_EQ(escaped(out()), escaped("ping fail \n\rping retry fail \n\r"));
}

TEST_F(DialogueE2e, RateTheHostCannotTakeLosesTheAcknowledgement) {
  board({});
  g_cmd_option.baud_rate = 9600;  // sent to the board, not set on the port
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), -1);
  EXPECT_EQ(escaped(out()), escaped("ucfg fail\n\r"));
}

TEST_F(DialogueE2e, Q5RomAtItsPrompt) {
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::q5;
  board(cfg);
  g_cmd_option.enter_download = 1;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), 0);
  EXPECT_EQ(escaped(out()), escaped("download mode ok\n\r"));
}

TEST_F(DialogueE2e, Q5ApplicationIsSentToItsRomByAtxx) {
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::q5;
  cfg.faults.q5_in_application = true;
  board(cfg);
  g_cmd_option.enter_download = 1;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), 0);
  EXPECT_EQ(escaped(out()), escaped("download mode ok\n\r"));
  // WDTRST restarts the board into its application: the prompt again.
  reset_device(hdl_);
  uart_flush_rx(hdl_);
  uart_write(hdl_, "\r\n", 2);
  EXPECT_EQ(escaped(read_n(4)), escaped("\r\n# "));
}

TEST_F(DialogueE2e, Q5SilentBoard) {
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::q5;
  cfg.faults.silent_after_commands = 0;
  board(cfg);
  g_cmd_option.enter_download = 1;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), -1);
  EXPECT_EQ(escaped(out()), escaped("download mode fail\n\r"));
}

// The detection opens its own descriptor; the board, left at 115200 by the
// reopening, then takes a normal handshake on the next opening.
TEST_F(DialogueE2e, DetectionFindsNorThenTheNextOpeningHandshakes) {
  auto &b = board({});
  EXPECT_EQ(lira_detect_flash_type(), 0);
  g_cmd_option.baud_rate = 1500000;
  open_port();
  capture();
  EXPECT_EQ(handshake(hdl_), 0);
  EXPECT_EQ(out(), "");
  EXPECT_EQ(b.stats().opens, 2);
}

TEST_F(DialogueE2e, DetectionFindsNand) {
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::nand;
  board(cfg);
  EXPECT_EQ(lira_detect_flash_type(), 1);
}

}  // namespace
