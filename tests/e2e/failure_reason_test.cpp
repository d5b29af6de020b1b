// A failed run says why: the failure line on standard output stays as it is,
// and exactly one line on standard error names the cause.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "tests/e2e/nor_fixture.h"
#include "tests/support/pty_pair.h"
#include "tidewrite/failure_reason.h"

namespace nortest {
namespace {

using namespace std::chrono_literals;

// Short reply waits for the sender's retry budgets (16 start requests, 10
// end frames), so that a board that never answers costs milliseconds.
int quick_read(UARTHDL hdl, void *data, int len, int timeout) {
  return uart_read(hdl, data, len, timeout > 20 ? 20 : timeout);
}

struct Cause {
  const char *name;
  std::function<void(boardsim::BoardConfig &)> fault;
  std::vector<std::string> extra;
  int status;
  std::string out;
  std::string err;
};

void PrintTo(const Cause &c, std::ostream *os) { *os << c.name; }

// One case per test, so that the waits for a missing "OK" run side by side.
class FailureCause : public testing::TestWithParam<Cause> {};

TEST_P(FailureCause, OneLineNamesTheCause) {
  const Cause &c = GetParam();
  TempDir dir;
  testsupport::ScopedCwd cwd(dir.path());
  testsupport::write_file(dir / "image.bin", random_bytes(0x10000, 31));
  testsupport::write_file(dir / "flash_loader_nor.bin", random_bytes(2048, 32));
  boardsim::BoardConfig cfg;
  c.fault(cfg);
  NorBoard board(dir.path(), cfg);  // 1 MiB of flash
  std::vector<std::string> args = {"-p", board.port(), "-f", (dir / "image.bin").string(), "-b", "1500000"};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  nor_set_xmodem_transport(nullptr, quick_read);
  const auto r = run_in_process(args);
  nor_set_xmodem_transport(nullptr, nullptr);
  EXPECT_EQ(r.status, c.status);
  EXPECT_OUT(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
}

const std::string kNoOk = "no \"OK\" came from the board within 1000 ms after the transfer\n";

INSTANTIATE_TEST_SUITE_P(
    Causes, FailureCause,
    testing::Values(
        Cause{"error_reply_past_the_end_of_the_flash", [](auto &) {}, {"-s", "0xf8000"}, -8, "upload fail\r",
              "the board answered \"ER\" instead of \"OK\": it refused the data (does the image run past the end "
              "of the flash?)\n"},
        Cause{"cancel", [](auto &c) { c.faults.cancel_at_block = 2; }, {}, -8, "upload fail\r",
              "the board cancelled the transfer at block 2\n"},
        Cause{"block_refused",
              [](auto &c) { c.faults.block_faults = {{0, 3, boardsim::BlockFaultKind::nak, 1000}}; }, {}, -8,
              "upload fail\r", "block 3 was refused after 25 attempts (NAK, other bytes or no answer)\n"},
        Cause{"no_start_request", [](auto &c) { c.faults.no_start_request = true; }, {}, -8, "upload fail\r",
              "no transfer start request ('C' or NAK) came from the board in 16 tries\n"},
        Cause{"end_not_acknowledged", [](auto &c) { c.faults.no_end_ack = true; }, {}, -8, "upload fail\r",
              "the board did not acknowledge the end of the transfer in 10 attempts\n"},
        Cause{"no_ok", [](auto &c) { c.faults.no_ok_after_transfer = true; }, {"-x", "32"}, -8, "upload fail\r",
              kNoOk},
        Cause{"no_ok_after_the_flash_loader", [](auto &c) { c.faults.no_ok_after_transfer = true; }, {"-U"}, -4,
              "uboot fail\n\rNOR flashloader loading fail\n\rUart boot fail\r", kNoOk},
        Cause{"erase_past_the_end_of_the_flash", [](auto &) {}, {"-e", "0x0", "0x200000"}, -1,
              "sector erase from 0 to 200000\n\rceras cmd fail\n\rerase fail\r",
              "the board answered \"ER\" to the erase command (does the range run past the end of the flash?)\n"}),
    [](const testing::TestParamInfo<Cause> &info) { return std::string(info.param.name); });

// Today's only word on a hang-up was "rest len < 0": now the line says so.
TEST(FailureReason, HungUpLine) {
  TempDir dir;
  const auto img = random_bytes(200 * 1024, 33);
  testsupport::write_file(dir / "image.bin", img);
  boardsim::BoardConfig cfg;
  cfg.paced = true;  // the transfer lasts long enough to pull the plug in the middle
  NorBoard board(dir.path(), cfg);
  testsupport::PeerThread unplug([&] {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (board.stats().transfers < 1 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(2ms);
    std::this_thread::sleep_for(100ms);
    board.board().stop();  // the far end of the pseudo-terminal closes
  });
  const auto r = run_in_process({"-p", board.port(), "-f", (dir / "image.bin").string(), "-b", "1500000", "-r"});
  unplug.join();
  EXPECT_EQ(r.status, -8);
  EXPECT_NE(r.out.find("rest len < 0\n\r"), std::string::npos) << testsupport::escaped(r.out);
  EXPECT_TRUE(r.out.ends_with("upload fail\r")) << testsupport::escaped(r.out);
  EXPECT_EQ(r.err, "the serial line hung up (adapter unplugged or board switched off?)\n");
}

TEST(FailureReason, FirstCauseStandsAndIsPrintedOnce) {
  forget_failure_reason();
  note_failure("block %d was refused", 3);
  note_failure("no \"OK\" came");  // a consequence of the first
  EXPECT_EQ(failure_reason(), "block 3 was refused");
  testing::internal::CaptureStderr();
  print_failure_reason();
  print_failure_reason();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "block 3 was refused\n");
  EXPECT_EQ(failure_reason(), "");
}

// A run that succeeds says nothing, even when a lower layer met trouble on
// the way (a retried block).
TEST(FailureReason, SuccessfulRunPrintsNoReason) {
  TempDir dir;
  const auto img = random_bytes(0x3000, 34);
  testsupport::write_file(dir / "image.bin", img);
  boardsim::BoardConfig cfg;
  cfg.faults.block_faults = {{0, 2, boardsim::BlockFaultKind::nak, 3}};
  NorBoard board(dir.path(), cfg);
  const auto r = run_in_process({"-p", board.port(), "-f", (dir / "image.bin").string(), "-b", "1500000", "-r"});
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "upload success\r");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.flash(0, img.size()), img);
}

}  // namespace
}  // namespace nortest
