// One table of board faults (boardsim's own switches) against every
// operation: each row must fail with its status, print no success line, end
// in bounded time, and leave the flash consistent with what was reported.
// Rows run in this process against a board on a pseudo-terminal; the silence
// and stall limits of the serial layer are shortened so that a dead line
// costs a fraction of a second instead of the 20 s and 5 s of a real run
// (one whole-program case per kind of dead line lives in nor_program_test
// and nand_program_test). Fault rows that other tests already hold with
// their own assertions (the cause lines in failure_reason_test, the silent
// boards of the flow tests) are not repeated here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/options.h"
#include "tests/support/fw_builder.h"
#include "tests/support/test_support.h"
#include "tidewrite/failure_reason.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testsupport;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

enum class Op { nor1, nor32, verify, erase, loader, nand_normal, nand_partial, nand_ftl, nand_dump };

bool is_nand(Op op) { return op >= Op::nand_normal; }

// What every run of an operation prints last when it fails.
std::string fail_line(Op op) {
  switch (op) {
    case Op::nor1:
    case Op::nor32: return "upload fail\r";
    case Op::verify: return "verify fail\r";
    case Op::erase: return "erase fail\r";
    case Op::loader: return "Uart boot fail\r";
    default: return "nand download fail\r";
  }
}

constexpr int kPageData = 2048;
constexpr int kPageRaw = 2112;
constexpr int kBlockPages = 64;

// The inputs every row finds in its folder.
const Bytes &nor_image() {
  static const Bytes img = fwbuild::pattern(70000, 0x31);
  return img;
}
const Bytes &ftl_file() {
  static const Bytes f = fwbuild::pattern(300000, 0x5E);  // three blocks
  return f;
}

// The NAND firmware: an ISP IQ section and a firmware_1 image, two blocks
// each (blocks 24-25 and 26-27 of a normal write).
struct NandFirmware {
  Bytes file;
  std::vector<fwbuild::ExpectedImage> images;
};
const NandFirmware &nand_firmware() {
  static const NandFirmware fw = [] {
    NandFirmware f;
    fwbuild::FirmwareBuilder fb;
    fb.section(fwbuild::isp_iq, 0x3000, 0x30000, fwbuild::pattern(0x30000, 3));
    const Bytes fw1 = fwbuild::image(0x30000, 6);
    fb.section(fwbuild::firmware_1, 0x40000, 0x32000, fw1);
    f.file = fb.bytes();
    f.images = {{"ISP IQ Data", {0xCE, 0x89}, 0x3000, 0x30000},
                {"firmware_1", {0xC7, 0xC1}, 0x40000, static_cast<uint32_t>(fw1.size())}};
    return f;
  }();
  return fw;
}

// ---- the flash afterwards, read without the programmer's own layout code

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
  double seconds = 0;
  const boardsim::PtyBoard *board = nullptr;
  fs::path dir;

  Bytes page(int p) const { return board->read_nand_page(p); }
  bool marked_bad(int block) const { return page(block * kBlockPages)[kPageData] != 0xFF; }
};

void expect_nor_untouched(const Outcome &o) {
  const Bytes flash = o.board->read_flash(0, nor_image().size());
  EXPECT_EQ(flash, Bytes(flash.size(), 0xFF)) << "a failed transfer left data on the flash";
}

void expect_nor_is(const Outcome &o, const Bytes &want) { EXPECT_EQ(o.board->read_flash(0, want.size()), want); }

// A lost line never marks a block bad: the blocks the run touched are good.
void expect_no_block_marked(const Outcome &o) {
  for (int b = 0; b < 64; ++b) EXPECT_FALSE(o.marked_bad(b)) << "block " << b;
  for (int b = 100; b < 104; ++b) EXPECT_FALSE(o.marked_bad(b)) << "block " << b;
}

uint16_t crc16_arc(const uint8_t *p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

// Whatever the partition table lists is on the flash whole: a run that
// failed may have lost an image, but the table never claims one that is
// not there. Returns the type ids listed.
std::vector<std::pair<uint8_t, uint8_t>> expect_table_truthful(const Outcome &o) {
  std::vector<std::pair<uint8_t, uint8_t>> listed;
  const auto &fw = nand_firmware();
  for (int b = 16; b < 24; ++b) {
    const Bytes t = o.page(b * kBlockPages);
    if (t[kPageData] != 0xFF || t[kPageData + 1] != 0xC4) continue;  // bad, or no table page
    const uint16_t crc = crc16_arc(t.data(), kPageData);
    EXPECT_EQ(t[kPageData + 2] | (t[kPageData + 3] << 8), crc) << "table in block " << b;
    for (int r = 0; r < 16; ++r) {
      const uint8_t *rec = t.data() + r * 128;
      if (std::all_of(rec, rec + 128, [](uint8_t x) { return x == 0xFF; })) continue;
      const fwbuild::ExpectedImage *img = nullptr;
      for (const auto &i : fw.images)
        if (i.type_id[0] == rec[4] && i.type_id[1] == rec[5]) img = &i;
      if (img == nullptr) {
        ADD_FAILURE() << "table in block " << b << " lists an unknown type";
        continue;
      }
      listed.emplace_back(rec[4], rec[5]);
      const int x = rec[8];
      const int total = rec[6] | (rec[7] << 8);
      for (int i = 0; i < 48 && x * 48 + i < total; ++i) {
        const int block = rec[32 + 2 * i] | (rec[33 + 2 * i] << 8);
        for (int p = 0; p < kBlockPages; ++p) {
          const int64_t from = (int64_t{x} * 48 + i) * kBlockPages * kPageData + int64_t{p} * kPageData;
          const Bytes got = o.page(block * kBlockPages + p);
          Bytes want(kPageData, 0xFF);
          if (from < img->length) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(kPageData, img->length - from));
            std::memcpy(want.data(), fw.file.data() + img->start + from, n);
          }
          if (!std::equal(want.begin(), want.end(), got.begin())) {
            ADD_FAILURE() << img->name << " listed in block " << block << " page " << p << " but not there";
            return listed;
          }
        }
      }
    }
    break;  // the first good table page is the table
  }
  return listed;
}

// No entry in the FTL table (nothing failed programming), so nothing points
// to a block that does not hold its data.
void expect_ftl_table_empty(const Outcome &o) {
  for (int b = 1020; b < 1024; ++b) {
    const Bytes t = o.page(b * kBlockPages);
    EXPECT_TRUE(std::all_of(t.begin() + 8, t.begin() + kPageData, [](uint8_t x) { return x == 0xFF; }))
        << "FTL table in block " << b << " has entries";
  }
  for (int b = 100; b < 103; ++b) EXPECT_FALSE(o.marked_bad(b)) << "target block " << b;
}

// The dump holds whole pages only, each the data of its page on the flash.
void expect_dump_whole_pages(const Outcome &o) {
  std::error_code ec;
  const Bytes log = fs::exists(o.dir / "flash_log.bin", ec) ? ts::read_file(o.dir / "flash_log.bin") : Bytes{};
  ASSERT_EQ(log.size() % kPageData, 0u);
  EXPECT_LT(log.size(), size_t{2} * kBlockPages * kPageData) << "the dump was not cut short";
  for (size_t p = 0; p * kPageData < log.size(); ++p) {
    const Bytes page = o.page(static_cast<int>(p));
    ASSERT_TRUE(std::equal(log.begin() + static_cast<long>(p * kPageData),
                           log.begin() + static_cast<long>((p + 1) * kPageData), page.begin()))
        << "dump page " << p;
  }
}

// ---- the table

using Check = std::function<void(const Outcome &)>;

struct Row {
  const char *name;
  Op op;
  // boardsim's command-line switches; "W+n" stands for the command count of
  // the write flow that a dump follows, plus n.
  std::vector<std::string> switches;
  int status;  // tidewrite's result (not reduced modulo 256)
  Check check;
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// A limit of the serial layer for one row.
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

struct Captured {
  int status = 0;
  std::string out;
  std::string err;
};

// The main flow in this process, from freshly reset globals.
Captured run_main(std::vector<std::string> words) {
  reset_option_globals();
  operation = "nop";
  g_uart_hdl = 0;
  words.insert(words.begin(), "tidewrite");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  Captured c;
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  c.status = tidewrite_main(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  c.err = testing::internal::GetCapturedStderr();
  c.out = testing::internal::GetCapturedStdout();
  return c;
}

// A NAND run without the flash-type probe (whose 5 s of waiting for a
// banner a pseudo-terminal never sends would dominate every row): the
// options, the NAND flow and the main flow's end.
Captured run_nand(std::vector<std::string> words) {
  reset_option_globals();
  operation = "nop";
  g_uart_hdl = 0;
  forget_failure_reason();
  words.insert(words.begin(), "tidewrite");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  Captured c;
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  if (parse_option(static_cast<int>(words.size()), argv.data()) < 0) {
    c.status = -100;
  } else {
    c.status = finish_run(nand_download(g_cmd_option.fw_file));
  }
  std::fflush(stdout);
  c.err = testing::internal::GetCapturedStderr();
  c.out = testing::internal::GetCapturedStdout();
  return c;
}

std::vector<std::string> op_args(Op op, const std::string &port) {
  const std::vector<std::string> nor = {"-p", port, "-f", "image.bin", "-b", "1500000", "-r"};
  const std::vector<std::string> nand = {"-p", port, "-b", "1500000", "-f", "fw.bin", "-n", "lira", "-r"};
  auto plus = [](std::vector<std::string> a, const std::vector<std::string> &more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  switch (op) {
    case Op::nor1: return nor;
    case Op::nor32: return plus(nor, {"-x", "32"});
    case Op::verify: return plus(nor, {"-v", "lira", "only"});
    case Op::erase: return {"-p", port, "-e", "chip", "-T", "1000", "-r"};
    case Op::loader: return plus(nor, {"-U"});
    case Op::nand_normal: return nand;
    case Op::nand_partial: return plus(nand, {"-t", "FW1"});
    case Op::nand_ftl: return {"-p", port, "-b", "1500000", "-f", "raw.bin", "-n", "lira", "-w", "100", "900", "-r"};
    case Op::nand_dump: return plus(nand, {"-o", "0", "1"});
  }
  return {};
}

class FaultTable : public testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<ts::ScopedCwd>(dir.path());
    ts::write_file(dir / "image.bin", nor_image());
    ts::write_file(dir / "flash_loader_nor.bin", fwbuild::pattern(3000, 0x4C));
    ts::write_file(dir / "flash_control_info.bin", fwbuild::control_info());
    ts::write_file(dir / "fw.bin", nand_firmware().file);
    ts::write_file(dir / "raw.bin", ftl_file());
  }
  void TearDown() override {
    board.reset();
    reset_option_globals();
    operation = "nop";
  }

  boardsim::BoardConfig config(const std::vector<std::string> &switches, Op op) {
    boardsim::ProgramOptions o;
    const std::string err = boardsim::parse_options(switches, o);
    EXPECT_EQ(err, "");
    boardsim::BoardConfig cfg = o.config;
    cfg.flash = is_nand(op) ? boardsim::FlashKind::nand : boardsim::FlashKind::nor;
    cfg.nor_size = 1u << 20;
    cfg.store_path = (dir / "flash.bin").string();
    cfg.complete_store_on_stop = false;
    return cfg;
  }

  // A fault-free board writes the NAND firmware the normal way first (the
  // partial write needs its table; the dump follows the write). Returns the
  // command lines that took.
  int normal_write_first() {
    board = std::make_unique<boardsim::PtyBoard>(config({}, Op::nand_normal));
    const Captured c = run_nand(op_args(Op::nand_normal, board->slave_path()));
    EXPECT_EQ(c.status, 0) << ts::escaped(c.out);
    const int commands = board->stats().commands;
    board.reset();
    return commands;
  }

  ts::TempDir dir;
  std::unique_ptr<boardsim::PtyBoard> board;

 private:
  std::unique_ptr<ts::ScopedCwd> cwd_;
};

TEST_P(FaultTable, FailsInBoundedTimeWithoutSuccess) {
  const Row &row = GetParam();
  std::vector<std::string> switches = row.switches;
  if (row.op == Op::nand_partial) normal_write_first();
  if (row.op == Op::nand_dump) {
    // The dump's faults count from the end of a write flow on a fresh board.
    const int write_commands = normal_write_first();
    fs::remove(dir / "flash.bin");
    fs::remove(dir / "flash_log.bin");
    for (auto &s : switches)
      if (s.rfind("W+", 0) == 0) s = std::to_string(write_commands + std::stoi(s.substr(2)));
  }
  if (row.op == Op::verify) ts::write_file(dir / "flash.bin", nor_image());
  if (row.op == Op::erase) ts::write_file(dir / "flash.bin", fwbuild::pattern(0x20000, 0xE5));
  board = std::make_unique<boardsim::PtyBoard>(config(switches, row.op));

  ScopedLimit silence(uart_silence_limit_ms, 400);
  ScopedLimit stall(uart_write_stall_ms, 300);
  const std::vector<std::string> args = op_args(row.op, board->slave_path());
  const auto t0 = Clock::now();
  const Captured c = is_nand(row.op) ? run_nand(args) : run_main(args);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

  EXPECT_EQ(c.status, row.status) << ts::escaped(c.out) << "\n" << c.err;
  EXPECT_EQ(c.out.find("success"), std::string::npos) << ts::escaped(c.out);
  EXPECT_TRUE(c.out.ends_with(fail_line(row.op))) << ts::escaped(c.out);
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(g_uart_hdl, 0) << "the port was left open";
  Outcome o{c.status, c.out, c.err, seconds, board.get(), dir.path()};
  if (row.check) row.check(o);
}

// Shared checks of the rows.
const Check nor_untouched = expect_nor_untouched;
const Check nand_consistent = [](const Outcome &o) {
  expect_no_block_marked(o);
  expect_table_truthful(o);
};
const Check hung_up = [](const Outcome &o) {
  EXPECT_EQ(o.err, "the serial line hung up (adapter unplugged or board switched off?)\n");
};
const Check silence_named = [](const Outcome &o) {
  EXPECT_EQ(o.err, "the board has sent nothing for 400 ms: the link is lost (board reset, stopped or unplugged?)\n");
};
Check both(Check a, Check b) {
  return [a, b](const Outcome &o) {
    a(o);
    b(o);
  };
}

// Command lines of the flows, for the switches that count them: NOR runs
// take ping, ucfg, then the start command (3); a NAND write takes ping,
// ucfg, snb, then its page and block commands; a partial write begins with
// 8 table reads at most, an FTL write with 4 table erases.
INSTANTIATE_TEST_SUITE_P(
    Rows, FaultTable,
    testing::Values(
        // NOR download, 1 KiB blocks.
        // A frame of 1 KiB fits the line: the board's silence ends these runs
        // (the 32 KiB frame that stalls is the whole-program case).
        Row{"nor1_stops_reading", Op::nor1, {"--stop-reading-after", "3"}, -8, both(nor_untouched, silence_named)},
        Row{"nor1_short_replies", Op::nor1, {"--short-replies"}, -3, nor_untouched},
        Row{"nor1_silent_after_the_start_command", Op::nor1, {"--silent-after", "2"}, -8,
            both(nor_untouched, silence_named)},
        Row{"nor1_garbage_for_a_block", Op::nor1, {"--block-fault", "garbage:2:1000"}, -8, nor_untouched},
        Row{"nor1_hangs_up_at_the_transfer", Op::nor1, {"--hang-up-after", "3"}, -8, both(nor_untouched, hung_up)},
        // NOR download, 32 KiB blocks.
        Row{"nor32_hangs_up_at_the_transfer", Op::nor32, {"--hang-up-after", "3"}, -8,
            both(nor_untouched, hung_up)},
        Row{"nor32_silent_block", Op::nor32, {"--block-fault", "silence:2:1000"}, -8,
            both(nor_untouched, silence_named)},
        Row{"nor32_cancel", Op::nor32, {"--cancel-at-block", "2"}, -8, nor_untouched},
        Row{"nor32_no_start_request", Op::nor32, {"--no-start-request"}, -8, nor_untouched},
        Row{"nor32_no_end_ack", Op::nor32, {"--no-end-ack"}, -8, nor_untouched},
        // Verify only, on a board that holds the image.
        Row{"verify_wrong_hash", Op::verify, {"--wrong-hash"}, -6,
            [](const Outcome &o) { expect_nor_is(o, nor_image()); }},
        Row{"verify_silent_after_the_start_command", Op::verify, {"--silent-after", "2"}, -6,
            [](const Outcome &o) {
              expect_nor_is(o, nor_image());
              silence_named(o);
            }},
        Row{"verify_stops_reading", Op::verify, {"--stop-reading-after", "3"}, -6,
            [](const Outcome &o) { expect_nor_is(o, nor_image()); }},
        Row{"verify_hangs_up", Op::verify, {"--hang-up-after", "3"}, -6,
            [](const Outcome &o) {
              expect_nor_is(o, nor_image());
              hung_up(o);
            }},
        // Chip erase with -T 1000, on a board whose flash holds data.
        Row{"erase_hangs_up", Op::erase, {"--hang-up-after", "0"}, -1,
            [](const Outcome &o) {
              EXPECT_EQ(o.board->read_flash(0, 0x20000), fwbuild::pattern(0x20000, 0xE5));
              hung_up(o);
            }},
        Row{"erase_stops_reading", Op::erase, {"--stop-reading-after", "0"}, -1,
            [](const Outcome &o) {
              EXPECT_EQ(o.board->read_flash(0, 0x20000), fwbuild::pattern(0x20000, 0xE5));
              EXPECT_GE(o.seconds, 0.9) << "the erase waits its -T";
            }},
        // The erase took place, only its "OK" came short: reported as failed,
        // and the flash is erased whole (never in part).
        Row{"erase_short_reply", Op::erase, {"--short-replies"}, -1,
            [](const Outcome &o) {
              const Bytes flash = o.board->read_flash(0, 0x20000);
              EXPECT_EQ(flash, Bytes(flash.size(), 0xFF));
            }},
        // Flash loader upload, then no NOR operation.
        Row{"loader_hangs_up", Op::loader, {"--hang-up-after", "3"}, -4,
            [](const Outcome &o) {
              EXPECT_FALSE(o.board->stats().loader_running);
              expect_nor_untouched(o);
              hung_up(o);
            }},
        Row{"loader_stops_reading", Op::loader, {"--stop-reading-after", "3"}, -4,
            [](const Outcome &o) {
              EXPECT_FALSE(o.board->stats().loader_running);
              expect_nor_untouched(o);
            }},
        Row{"loader_cancel", Op::loader, {"--cancel-at-block", "2"}, -4,
            [](const Outcome &o) { EXPECT_FALSE(o.board->stats().loader_running); }},
        Row{"loader_silent_block", Op::loader, {"--block-fault", "silence:1:1000"}, -4,
            [](const Outcome &o) {
              EXPECT_FALSE(o.board->stats().loader_running);
              silence_named(o);
            }},
        // NAND normal write.
        Row{"nand_hangs_up_in_the_control_information", Op::nand_normal, {"--hang-up-after", "6"}, -3,
            both(nand_consistent, hung_up)},
        Row{"nand_hangs_up_in_an_image", Op::nand_normal, {"--hang-up-after", "60"}, -3,
            both(nand_consistent, hung_up)},
        Row{"nand_stops_reading_in_an_image", Op::nand_normal, {"--stop-reading-after", "40"}, -3,
            nand_consistent},
        // Silent once the first image is written and listed: the table holds
        // that image, and it is on the flash whole.
        Row{"nand_silent_in_the_table", Op::nand_normal, {"--silent-after", "160"}, -3,
            [](const Outcome &o) {
              expect_no_block_marked(o);
              const auto listed = expect_table_truthful(o);
              EXPECT_EQ(listed, (std::vector<std::pair<uint8_t, uint8_t>>{{0xCE, 0x89}}));
              silence_named(o);
            }},
        Row{"nand_short_chip_id", Op::nand_normal, {"--short-replies"}, -1,
            [](const Outcome &o) { EXPECT_EQ(o.board->stats().transfers, 0) << "nothing may be written"; }},
        // The board cancels every transfer and never says "OK": its silence
        // after the cancels ends the run before the control information.
        Row{"nand_every_transfer_cancelled", Op::nand_normal, {"--cancel-at-block", "2"}, -3,
            [](const Outcome &o) {
              EXPECT_NE(o.out.find("sfwd fail,tx_ret = -1 \n\r"), std::string::npos) << ts::escaped(o.out);
              EXPECT_EQ(o.board->stats().transfers_ok, 0);
              nand_consistent(o);
              silence_named(o);
            }},
        // NAND partial write of firmware_1 on a board written the normal way.
        Row{"partial_hangs_up", Op::nand_partial, {"--hang-up-after", "20"}, -5,
            [](const Outcome &o) {
              expect_no_block_marked(o);
              const auto listed = expect_table_truthful(o);
              EXPECT_NE(std::find(listed.begin(), listed.end(), std::make_pair(uint8_t{0xCE}, uint8_t{0x89})),
                        listed.end())
                  << "the other image's record was lost";
              hung_up(o);
            }},
        Row{"partial_stops_reading", Op::nand_partial, {"--stop-reading-after", "30"}, -5, nand_consistent},
        Row{"partial_silent", Op::nand_partial, {"--silent-after", "8"}, -5, both(nand_consistent, silence_named)},
        // NAND FTL write of three blocks from block 100.
        Row{"ftl_hangs_up", Op::nand_ftl, {"--hang-up-after", "10"}, -4, both(expect_ftl_table_empty, hung_up)},
        Row{"ftl_stops_reading", Op::nand_ftl, {"--stop-reading-after", "8"}, -4, expect_ftl_table_empty},
        Row{"ftl_silent", Op::nand_ftl, {"--silent-after", "40"}, -4,
            both(expect_ftl_table_empty, silence_named)},
        // NAND dump of blocks 0-1 after a normal write.
        Row{"dump_hangs_up", Op::nand_dump, {"--hang-up-after", "W+5"}, -6,
            both(expect_dump_whole_pages, hung_up)},
        Row{"dump_stops_reading", Op::nand_dump, {"--stop-reading-after", "W+5"}, -6, expect_dump_whole_pages}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
