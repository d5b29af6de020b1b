// The boardsim command line: every option lands in its field; bad values are
// refused with the option named.
#include "boardsim/options.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace boardsim;

struct Good {
  std::vector<std::string> args;
  std::function<bool(const BoardConfig &)> check;
};

TEST(Options, EachOptionSetsItsField) {
  const std::vector<Good> cases = {
      {{"--link", "/tmp/x"}, [](const BoardConfig &c) { return c.link_path == "/tmp/x"; }},
      {{"--chip", "q5"}, [](const BoardConfig &c) { return c.chip == Chip::q5; }},
      {{"--chip", "lrm"}, [](const BoardConfig &c) { return c.chip == Chip::lrm; }},
      {{"--flash", "nand"}, [](const BoardConfig &c) { return c.flash == FlashKind::nand; }},
      {{"--nor-size", "2M"}, [](const BoardConfig &c) { return c.nor_size == 2u << 20; }},
      {{"--nor-size", "0x8000"}, [](const BoardConfig &c) { return c.nor_size == 0x8000; }},
      {{"--store", "f.bin"}, [](const BoardConfig &c) { return c.store_path == "f.bin"; }},
      {{"--no-complete"}, [](const BoardConfig &c) { return !c.complete_store_on_stop; }},
      {{"--and-program"}, [](const BoardConfig &c) { return c.nand_and_semantics; }},
      {{"--checksum"}, [](const BoardConfig &c) { return c.xmodem_checksum; }},
      {{"--paced", "--turnaround", "40"}, [](const BoardConfig &c) { return c.paced && c.turnaround_ms == 40; }},
      {{"--transcript", "-"}, [](const BoardConfig &c) { return c.transcript_path == "-"; }},
      {{"--bad-block", "3,0x1e"},
       [](const BoardConfig &c) { return c.faults.factory_bad_blocks == std::vector<int>{3, 30}; }},
      {{"--program-fail", "25:2", "--program-fail", "26"},
       [](const BoardConfig &c) {
         auto &p = c.faults.program_fail_blocks;
         return p.size() == 2 && p[0].block == 25 && p[0].first_n_writes == 2 && p[1].first_n_writes == 0;
       }},
      {{"--erase-fail", "16"}, [](const BoardConfig &c) { return c.faults.erase_fail_blocks == std::vector<int>{16}; }},
      {{"--wrong-first-ping"}, [](const BoardConfig &c) { return c.faults.wrong_first_ping; }},
      {{"--block-fault", "silence:3:1000:2"},
       [](const BoardConfig &c) {
         auto &f = c.faults.block_faults;
         return f.size() == 1 && f[0].kind == BlockFaultKind::silence && f[0].block == 3 && f[0].times == 1000 &&
                f[0].transfer == 2;
       }},
      {{"--block-fault", "garbage:1"},
       [](const BoardConfig &c) {
         auto &f = c.faults.block_faults;
         return f.size() == 1 && f[0].kind == BlockFaultKind::garbage && f[0].times == 1 && f[0].transfer == 0;
       }},
      {{"--cancel-at-block", "4"}, [](const BoardConfig &c) { return c.faults.cancel_at_block == 4; }},
      {{"--no-end-ack"}, [](const BoardConfig &c) { return c.faults.no_end_ack; }},
      {{"--no-start-request"}, [](const BoardConfig &c) { return c.faults.no_start_request; }},
      {{"--no-ok"}, [](const BoardConfig &c) { return c.faults.no_ok_after_transfer; }},
      {{"--short-replies"}, [](const BoardConfig &c) { return c.faults.short_replies; }},
      {{"--wrong-hash"}, [](const BoardConfig &c) { return c.faults.wrong_hash; }},
      {{"--silent-after", "0"}, [](const BoardConfig &c) { return c.faults.silent_after_commands == 0; }},
      {{"--erase-ms", "300"}, [](const BoardConfig &c) { return c.faults.erase_ms == 300; }},
      {{"--stop-reading-after", "3"}, [](const BoardConfig &c) { return c.faults.stop_reading_after_commands == 3; }},
      {{"--hang-up-after", "0x10"}, [](const BoardConfig &c) { return c.faults.hang_up_after_commands == 16; }},
      {{"--q5-application"}, [](const BoardConfig &c) { return c.faults.q5_in_application; }},
      // A value may also follow an equals sign.
      {{"--chip=q5", "--erase-fail=7,8"},
       [](const BoardConfig &c) {
         return c.chip == Chip::q5 && c.faults.erase_fail_blocks == std::vector<int>{7, 8};
       }},
  };
  for (const auto &g : cases) {
    ProgramOptions o;
    EXPECT_EQ(parse_options(g.args, o), "") << g.args[0];
    EXPECT_TRUE(g.check(o.config)) << g.args[0];
  }
}

TEST(Options, DefaultsAreALiraNorBoardWithoutFaults) {
  ProgramOptions o;
  ASSERT_EQ(parse_options({}, o), "");
  EXPECT_EQ(o.config.chip, Chip::lira);
  EXPECT_EQ(o.config.flash, FlashKind::nor);
  EXPECT_EQ(o.config.nor_size, 16u << 20);
  EXPECT_EQ(o.config.faults.silent_after_commands, -1);
  EXPECT_EQ(o.config.faults.stop_reading_after_commands, -1);
  EXPECT_EQ(o.config.faults.hang_up_after_commands, -1);
  EXPECT_TRUE(o.config.complete_store_on_stop);
  EXPECT_FALSE(o.help);
}

TEST(Options, BadValuesAreRefusedNamingTheOption) {
  const std::vector<std::vector<std::string>> bad = {
      {"--chip", "z80"},          {"--flash"},
      {"--nor-size", "0"},        {"--nor-size", "12Q"},
      {"--bad-block", "1024"},    {"--bad-block", "3,,4"},
      {"--program-fail", "5:x"},  {"--block-fault", "loud:3"},
      {"--block-fault", "nak:0"}, {"--block-fault", "nak"},
      {"--silent-after", "-1"},   {"--turnaround"},
      {"--cancel-at-block", "0"}, {"--what"},
      // Values that would overflow or wrap into another number.
      {"--nor-size", "9223372036854775807K"}, {"--nor-size", "3444444444444444444M"},
      {"--silent-after", "4294967296"},       {"--turnaround", "2147483648"},
      {"--erase-ms", "0x100000000"},          {"--block-fault", "nak:4294967297"},
      {"--program-fail", "5:4294967296"},     {"--cancel-at-block", "2048M"},
      {"--stop-reading-after", "-2"},         {"--stop-reading-after"},
      {"--hang-up-after", "4294967296"},      {"--hang-up-after", "x"},
      // No option at all, a switch given a value, a name that could be several.
      {"foo"}, {"--checksum=1"}, {"--no"},
  };
  for (const auto &args : bad) {
    ProgramOptions o;
    std::string err = parse_options(args, o);
    EXPECT_NE(err, "") << args[0];
    EXPECT_NE(err.find(args[0]), std::string::npos) << err;
  }
}

}  // namespace
