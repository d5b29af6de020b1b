#include "tidewrite/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testsupport::escaped;

// The usage text typed out line by line, as a user sees it.
std::string usage(const std::string &self) {
  const std::string port = "/dev/ttyXX or /dev/cu.XXX";
  std::string u;
  u += "Qorin Tool 1.4.3 - Jun 16 2023\n\r";
  u += "Help for Vantrel firmware download command\n\r";
  u += self + " -p [" + port + "] -f [firmware filename] -l [log filename] -v -r\n\r";
  u += "OR\n\r";
  u += self + " -p [" + port + "] -e chip\n\r";
  u += " Necessary options - download mode \n\r";
  u += "-p [port]               : use UART communicatioin port " + port + "\n\r";
  u += "-f [firmware filename]  : firmware filename for download\n\r";
  u += "-b [baud rate]          : baud rate during uart download firmware. for handshaking use 115200\n\r";
  u += " Necessary options - erase mode \n\r";
  u += "-e chip                 : do chip erase, only work with option \"-i flash pin index\"\n\r";
  u += "-e [start] [end]        : do sector erase from start to end-1, only work with option \"-i flash pin "
       "index\"\n\r";
  u += " Optional options \n\r";
  u += "-s [offset]             : image download offset(hex, eg, 0x100000)\n\r";
  u += "-m [start] [end]        : masked area, program will skip this area, start and end are hex format\n\r";
  u += "-i [flash pin idx]      : flash pin index\n\r";
  u += "-d [q5,lrm]             : enter download mode by software method, current support chip, q5, "
       "lrm(liramini)\n\r";
  u += "-T [timeout(ms)]        : overwrite chip erase timeout\n\r";
  u += "-v [lira]               : hash verify download result, support chip lira\n\r";
  u += "-r                      : reset device after download finish\n\r";
  u += "-n [lira]               : lira nand flash image download\n\r";
  u += "-t [type_id]            : lira nand flash partial image download\n\r";
  u += "-w [block_s] [block_bs] : lira nand FTL write, block_s is block start, block_bs is block backup start\n\r";
  u += "-o [block_os] [block_e]  : lira nand dump flash, block_os is block start, block_e is block end\n\r";
  u += "-U                      : Uart boot - load flash loader\n\r";
  u += "-G                      : lira nand generate mp flash image\n\r";
  u += "-x                      : xmodem TX mode 1:1K 16:16K 32:32K\n\r";
  u += "-h                      : show this help\n\r";
  return u;
}

const std::string kSelf = "tidewrite";
const std::string kUsage = usage(kSelf);

struct Parsed {
  int status;
  std::string out;
};

Parsed parse(std::vector<std::string> words) {
  // The record points into argv, so the words outlive the call (until the next parse).
  static std::vector<std::string> store;
  static std::vector<char *> argv;
  reset_option_globals();
  store = std::move(words);
  store.insert(store.begin(), kSelf);
  argv.clear();
  for (auto &w : store) argv.push_back(w.data());
  argv.push_back(nullptr);
  const auto &words_ = store;
  testing::internal::CaptureStdout();
  int status = parse_option(static_cast<int>(words_.size()), argv.data());
  return {status, testing::internal::GetCapturedStdout()};
}

// Words that every download-mode command line needs; tests add to them.
std::vector<std::string> base(std::vector<std::string> more = {}) {
  std::vector<std::string> w = {"-p", "/dev/ttyUSB0", "-f", "fw.bin", "-b", "1500000"};
  w.insert(w.end(), more.begin(), more.end());
  return w;
}

struct Case {
  const char *name;
  std::vector<std::string> words;
  int status;
  std::string out;
  std::function<void()> check;  // the record and globals after parsing
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class OptionTable : public testing::TestWithParam<Case> {};

TEST_P(OptionTable, ParsesAsSpecified) {
  const Case &c = GetParam();
  Parsed p = parse(c.words);
  EXPECT_EQ(p.status, c.status);
  EXPECT_EQ(escaped(p.out), escaped(c.out));
  if (c.check) c.check();
}

const auto &o = g_cmd_option;

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionTable,
    testing::Values(
        Case{"no_arguments", {}, -1, kUsage, nullptr},
        Case{"help_after_valid_options", {"-p", "/dev/ttyUSB0", "-h", "-f"}, -1, kUsage, nullptr},
        Case{"stray_word", {"-p", "/dev/ttyUSB0", "fw.bin"}, -1, kUsage, nullptr},
        Case{"unknown_letter_skips_one_word", {"-z", "x"}, -1, kUsage, nullptr},
        Case{"unknown_letter_and_lone_dash_skipped", base({"-z", "-", "--"}), 0, "", nullptr},
        Case{"missing_baud_prints_5", {"-p", "/dev/ttyUSB0", "-f", "fw.bin"}, -1, kUsage + "5", nullptr},
        Case{"missing_file_prints_4", {"-p", "/dev/ttyUSB0", "-b", "1500000"}, -1, kUsage + "4", nullptr},
        Case{"missing_port_usage_only", {"-f", "fw.bin", "-b", "115200"}, -1, kUsage, nullptr},
        Case{"download_accepted", base(), 0, "",
             [] {
               EXPECT_STREQ(o.port, "/dev/ttyUSB0");
               EXPECT_STREQ(o.fw_file, "fw.bin");
               EXPECT_EQ(o.baud_rate, 1500000);
               EXPECT_EQ(o.erase_mode, -1);
               EXPECT_EQ(xmodem_txmode, 1);
               EXPECT_EQ(xmodem_nk, 1);
             }},
        Case{"last_option_wins", base({"-b", "115200", "-p", "/dev/ttyS1"}), 0, "",
             [] {
               EXPECT_EQ(o.baud_rate, 115200);
               EXPECT_STREQ(o.port, "/dev/ttyS1");
             }},
        Case{"decimal_values", base({"-i", "3", "-T", "250000", "-l", "log.bin", "-t", "0xAB"}), 0, "",
             [] {
               EXPECT_EQ(o.fpin_index, 3);
               EXPECT_EQ(o.ce_timeout, 250000);
               EXPECT_STREQ(o.log_file, "log.bin");
               EXPECT_STREQ(type_id_w, "0xAB");
             }},
        Case{"decimal_without_digits_is_zero", {"-p", "/dev/ttyUSB0", "-f", "fw.bin", "-b", "fast"}, -1,
             kUsage + "5", nullptr},
        Case{"chip_erase_needs_no_file", {"-p", "/dev/ttyUSB0", "-e", "chip"}, 0, "",
             [] { EXPECT_EQ(o.erase_mode, 0); }},
        Case{"chip_erase_prefix", {"-p", "/dev/ttyUSB0", "-e", "chipall"}, 0, "",
             [] { EXPECT_EQ(o.erase_mode, 0); }},
        Case{"sector_erase", {"-p", "/dev/ttyUSB0", "-e", "0x1000", "0x3000"}, 0, "",
             [] {
               EXPECT_EQ(o.erase_mode, 1);
               EXPECT_EQ(o.erase_start, 0x1000);
               EXPECT_EQ(o.erase_end, 0x3000);
             }},
        Case{"sector_erase_unprefixed_silent", {"-p", "/dev/ttyUSB0", "-e", "1000", "3000"}, -1, "", nullptr},
        Case{"sector_erase_bad_digit", {"-p", "/dev/ttyUSB0", "-e", "0x10g0", "0x3000"}, -1,
             "0x10g0 is not hex string\n\r", nullptr},
        Case{"sector_erase_end_not_above_start", {"-p", "/dev/ttyUSB0", "-e", "0x3000", "0x3000"}, -1,
             "sector erase end 0x3000 is not above start 0x3000\n\r", nullptr},
        // 0x8001000 reduces to 0x1000 on the board's 27-bit address bus.
        Case{"sector_erase_end_wraps_below_start", {"-p", "/dev/ttyUSB0", "-e", "0x2000", "0x8001000"}, -1,
             "sector erase end 0x1000 is not above start 0x2000\n\r", nullptr},
        Case{"sector_erase_checked_after_walk", {"-e", "0x5000", "0x1000", "-p", "/dev/ttyUSB0"}, -1,
             "sector erase end 0x1000 is not above start 0x5000\n\r", nullptr},
        Case{"masked_area", base({"-m", "0x100", "0x200"}), 0, "",
             [] {
               EXPECT_EQ(o.masked_start, 0x100);
               EXPECT_EQ(o.masked_end, 0x200);
             }},
        Case{"masked_capital_x_silent", base({"-m", "0X100", "0x200"}), -1, "", nullptr},
        Case{"masked_bare_prefix_stores_nothing", base({"-m", "0x100", "0x200", "-m", "0x", "0x"}), 0, "",
             [] {
               EXPECT_EQ(o.masked_start, 0x100);
               EXPECT_EQ(o.masked_end, 0x200);
             }},
        Case{"masked_zero_zero_means_none", base({"-m", "0x0", "0x0", "-d", "q5"}), 0, "", nullptr},
        Case{"masked_start_zero_refused", base({"-m", "0x0", "0x200"}), -1,
             "masked area cannot start at 0x0 (end 0x200)\n\r", nullptr},
        Case{"masked_with_q5_refused", base({"-m", "0x100", "0x200", "-d", "q5"}), -1,
             "masked area is not supported with -d q5, this chip skips no area\n\r", nullptr},
        Case{"masked_with_lrm_refused_any_order", base({"-d", "lrm", "-m", "0x100", "0x200"}), -1,
             "masked area is not supported with -d lrm, this chip skips no area\n\r", nullptr},
        Case{"offset_hex", base({"-s", "0x100000"}), 0, "", [] { EXPECT_EQ(o.img_offset, 0x100000); }},
        Case{"offset_zero_word", base({"-s", "0x100", "-s", "0"}), 0, "", [] { EXPECT_EQ(o.img_offset, 0); }},
        Case{"offset_unprefixed_refused", base({"-s", "100000"}), -1, "100000 is not hex string\n\r", nullptr},
        Case{"offset_capital_x_refused", base({"-s", "0X100"}), -1, "0X100 is not hex string\n\r", nullptr},
        Case{"offset_bad_digit_refused", base({"-s", "0x1z"}), -1, "0x1z is not hex string\n\r", nullptr},
        Case{"x_8", base({"-x", "8"}), 0, "", [] { EXPECT_EQ(xmodem_txmode, 8); }},
        Case{"x_64_caps_at_32", base({"-x", "64"}), 0, "", [] { EXPECT_EQ(xmodem_txmode, 32); }},
        Case{"x_31_gives_1", base({"-x", "31"}), 0, "", [] { EXPECT_EQ(xmodem_txmode, 1); }},
        Case{"x_2_gives_1", base({"-x", "2"}), 0, "", [] { EXPECT_EQ(xmodem_txmode, 1); }},
        Case{"x_negative_gives_1", base({"-x", "-16"}), 0, "", [] { EXPECT_EQ(xmodem_txmode, 1); }},
        Case{"U_then_x", base({"-U", "-x", "16"}), 0, "",
             [] {
               EXPECT_EQ(xmodem_txmode, 16);
               EXPECT_EQ(uart_boot, 1);
             }},
        Case{"x_then_U", base({"-x", "16", "-U"}), 0, "", [] { EXPECT_EQ(xmodem_txmode, 32); }},
        Case{"d_q5_prefix", base({"-d", "q5x"}), 0, "", [] { EXPECT_EQ(o.enter_download, 1); }},
        Case{"d_lrm", base({"-d", "lrmini"}), 0, "", [] { EXPECT_EQ(o.enter_download, 2); }},
        Case{"d_unknown", base({"-d", "abc"}), -1, "chip abc not support this feature\n\r", nullptr},
        Case{"n_prefix", base({"-n", "liramini"}), 0, "", [] { EXPECT_EQ(lira_nand, 1); }},
        Case{"n_unknown", base({"-n", "lir"}), -1, "chip lir not support this feature\n\r", nullptr},
        Case{"v_only", base({"-v", "only"}), 0, "",
             [] {
               EXPECT_EQ(o.is_verify, 1);
               EXPECT_EQ(o.is_verify_only, 1);
               EXPECT_EQ(chip_lira, 0);
             }},
        Case{"v_lira_only", base({"-v", "lira", "only"}), 0, "",
             [] {
               EXPECT_EQ(o.is_verify, 1);
               EXPECT_EQ(o.is_verify_only, 1);
               EXPECT_EQ(chip_lira, 1);
             }},
        Case{"v_only_lira_stray", base({"-v", "only", "lira"}), -1, kUsage, nullptr},
        Case{"v_last_word", base({"-v"}), 0, "",
             [] {
               EXPECT_EQ(o.is_verify, 1);
               EXPECT_EQ(o.is_verify_only, 0);
               EXPECT_EQ(chip_lira, 0);
             }},
        Case{"v_leaves_option_for_walk", base({"-v", "-r"}), 0, "",
             [] {
               EXPECT_EQ(o.is_verify, 1);
               EXPECT_EQ(o.is_reset, 1);
             }},
        Case{"v_only_with_q5_refused", base({"-v", "only", "-d", "q5"}), -1,
             "verify only is not supported with -d q5, this chip has no hash check\n\r", nullptr},
        Case{"v_lira_only_with_lrm_refused", base({"-d", "lrm", "-v", "lira", "only"}), -1,
             "verify only is not supported with -d lrm, this chip has no hash check\n\r", nullptr},
        Case{"v_with_q5_accepted", base({"-v", "-d", "q5"}), 0, "", nullptr},
        Case{"nand_words", base({"-n", "lira", "-w", "100", "200", "-o", "3", "9", "-G"}), 0, "",
             [] {
               EXPECT_EQ(lira_nand_ftl_w, 1);
               EXPECT_EQ(block_s, 100);
               EXPECT_EQ(block_bs, 200);
               EXPECT_EQ(lira_nand_dump, 1);
               EXPECT_EQ(block_os, 3);
               EXPECT_EQ(block_e, 9);
               EXPECT_EQ(generate_nand_flash_image, 1);
             }},
        // A negative -T is refused since it ends every erase at once (see the
        // refusal table below); negative block numbers are still stored.
        Case{"negative_values_stored", base({"-o", "-3", "-1", "-w", "-2", "-9"}), 0, "",
             [] {
               EXPECT_EQ(block_os, -3);
               EXPECT_EQ(block_e, -1);
               EXPECT_EQ(block_s, -2);
               EXPECT_EQ(block_bs, -9);
             }},
        Case{"too_few_p", {"-p"}, -1, kUsage, nullptr},
        Case{"too_few_m", base({"-m", "0x100"}), -1, kUsage, nullptr},
        Case{"too_few_e_sector", {"-p", "/dev/ttyUSB0", "-e", "0x100"}, -1, kUsage, nullptr},
        Case{"too_few_e", {"-p", "/dev/ttyUSB0", "-e"}, -1, kUsage, nullptr},
        Case{"too_few_w", base({"-w", "1"}), -1, kUsage, nullptr},
        Case{"too_few_o", base({"-o"}), -1, kUsage, nullptr},
        Case{"too_few_x", base({"-x"}), -1, kUsage, nullptr},
        Case{"too_few_d", base({"-d"}), -1, kUsage, nullptr}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Values that do not fit their field, rates the port cannot take, and
// unknown letters: the exact words on both streams.
struct Refusal {
  const char *name;
  std::vector<std::string> words;
  int status;
  std::string out;
  std::string err;
  std::function<void()> check;
};

void PrintTo(const Refusal &c, std::ostream *os) { *os << c.name; }

class RefusalTable : public testing::TestWithParam<Refusal> {};

TEST_P(RefusalTable, RefusesOrAcceptsAsTheValueFits) {
  const Refusal &c = GetParam();
  testing::internal::CaptureStderr();
  Parsed p = parse(c.words);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(p.status, c.status);
  EXPECT_EQ(escaped(p.out), escaped(c.out));
  EXPECT_EQ(escaped(err), escaped(c.err));
  if (c.check) c.check();
}

const std::string kRates =
    "115200, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000";
const std::vector<std::string> kErase = {"-p", "/dev/ttyUSB0", "-e"};

std::vector<std::string> erase(std::vector<std::string> more) {
  std::vector<std::string> w = kErase;
  w.insert(w.end(), more.begin(), more.end());
  return w;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTable,
    testing::Values(
        Refusal{"offset_above_32_bits", base({"-s", "0x100000000"}), -1, "0x100000000 is out of range\n\r", "",
                [] { EXPECT_EQ(o.img_offset, 0); }},
        Refusal{"offset_above_int", base({"-s", "0x80000000"}), -1, "0x80000000 is out of range\n\r", "", nullptr},
        Refusal{"offset_int_max", base({"-s", "0x7fffffff"}), 0, "", "",
                [] { EXPECT_EQ(o.img_offset, 0x7fffffff); }},
        Refusal{"offset_leading_zeros", base({"-s", "0x0000000000100000"}), 0, "", "",
                [] { EXPECT_EQ(o.img_offset, 0x100000); }},
        Refusal{"offset_long_overflow", base({"-s", "0x10000000000000000000"}), -1,
                "0x10000000000000000000 is out of range\n\r", "", nullptr},
        Refusal{"masked_end_above_int", base({"-m", "0x1", "0x1ffffffff"}), -1, "0x1ffffffff is out of range\n\r",
                "", nullptr},
        Refusal{"masked_start_above_int", base({"-m", "0x80000000", "0x80000001"}), -1,
                "0x80000000 is out of range\n\r", "", nullptr},
        Refusal{"sector_end_above_32_bits", erase({"0x0", "0x100000000"}), -1, "0x100000000 is out of range\n\r",
                "", nullptr},
        Refusal{"sector_start_above_int", erase({"0xffffffff", "0x1000"}), -1, "0xffffffff is out of range\n\r", "",
                nullptr},
        Refusal{"baud_beyond_int", base({"-b", "99999999999"}), -1, "99999999999 is out of range\n\r", "", nullptr},
        Refusal{"baud_below_int", base({"-b", "-99999999999"}), -1, "-99999999999 is out of range\n\r", "", nullptr},
        Refusal{"baud_beyond_long_long", base({"-b", "99999999999999999999999"}), -1,
                "99999999999999999999999 is out of range\n\r", "", nullptr},
        Refusal{"pin_index_beyond_int", base({"-i", "2147483648"}), -1, "2147483648 is out of range\n\r", "",
                nullptr},
        Refusal{"pin_index_int_max", base({"-i", "2147483647"}), 0, "", "",
                [] { EXPECT_EQ(o.fpin_index, 2147483647); }},
        Refusal{"timeout_negative", base({"-T", "-5"}), -1, "-5 is out of range\n\r", "", nullptr},
        Refusal{"timeout_beyond_int", erase({"chip", "-T", "4294967296"}), -1, "4294967296 is out of range\n\r", "",
                nullptr},
        Refusal{"timeout_zero_is_the_default", erase({"chip", "-T", "0"}), 0, "", "",
                [] { EXPECT_EQ(o.ce_timeout, 0); }},
        Refusal{"ftl_backup_beyond_int", base({"-w", "1", "3000000000"}), -1, "3000000000 is out of range\n\r", "",
                nullptr},
        Refusal{"dump_start_below_int", base({"-o", "-3000000000", "1"}), -1, "-3000000000 is out of range\n\r", "",
                nullptr},
        Refusal{"word_without_digits_is_still_zero", base({"-i", "abc", "-T", "x"}), 0, "", "",
                [] {
                  EXPECT_EQ(o.fpin_index, 0);
                  EXPECT_EQ(o.ce_timeout, 0);
                }},
        Refusal{"x_beyond_int_is_32", base({"-x", "4294967300"}), 0, "", "", [] { EXPECT_EQ(xmodem_txmode, 32); }},
        Refusal{"x_below_int_is_1", base({"-x", "-4294967292"}), 0, "", "", [] { EXPECT_EQ(xmodem_txmode, 1); }},
        Refusal{"rate_not_in_table", base({"-b", "123456"}), -1, "",
                "baud rate 123456 is not supported; use one of " + kRates + "\n", nullptr},
        Refusal{"customary_low_rate", base({"-b", "9600"}), -1, "",
                "baud rate 9600 is not supported; use one of " + kRates + "\n", nullptr},
        Refusal{"negative_rate", base({"-b", "-115200", "-n", "lira"}), -1, "",
                "baud rate -115200 is not supported; use one of " + kRates + "\n", nullptr},
        Refusal{"every_table_rate_accepted", base({"-b", "4000000"}), 0, "", "", nullptr},
        Refusal{"rate_unused_by_chip_erase", erase({"chip", "-b", "123456"}), 0, "", "", nullptr},
        Refusal{"rate_unused_by_sector_erase", erase({"0x1000", "0x2000", "-b", "123456"}), 0, "", "", nullptr},
        Refusal{"rate_unused_by_offline_image", base({"-b", "123456", "-G"}), 0, "", "", nullptr},
        Refusal{"unknown_letter_named", base({"-z", "-"}), 0, "", "unknown option -z ignored\nunknown option - ignored\n",
                nullptr}),
    [](const testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

TEST(IsHexString, AcceptsPrefixedDigitsOnly) {
  struct {
    const char *text;
    int result;
    const char *out;
  } cases[] = {
      {"0x1aF9", 0, ""},
      {"0x", 0, ""},  // bare prefix passes; the scan then stores nothing
      {"0X10", -1, ""},
      {"10", -1, ""},
      {"x10", -1, ""},
      {"", -1, ""},
      {"0x12 ", -1, "0x12  is not hex string\n\r"},
      {"0xg", -1, "0xg is not hex string\n\r"},
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStdout();
    int r = is_hex_string(c.text);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, c.result) << c.text;
    EXPECT_EQ(out, c.out) << c.text;
  }
  EXPECT_EQ(is_hex_string(nullptr), -1);
}

TEST(ShowHelp, FillsInvocationName) {
  testing::internal::CaptureStdout();
  show_help("./bin/tw");
  EXPECT_EQ(escaped(testing::internal::GetCapturedStdout()), escaped(usage("./bin/tw")));
}

TEST(ParseOption, KeepsPointersIntoArgv) {
  reset_option_globals();
  std::string self = "tw", p = "-p", port = "/dev/ttyACM0", e = "-e", chip = "chip";
  char *argv[] = {self.data(), p.data(), port.data(), e.data(), chip.data(), nullptr};
  testing::internal::CaptureStdout();
  ASSERT_EQ(parse_option(5, argv), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(g_cmd_option.port, argv[2]);
}

TEST(ParseOption, ResetsRecordButNotModeGlobals) {
  parse(base({"-r", "-s", "0x10", "-v", "lira", "-U"}));
  ASSERT_EQ(g_cmd_option.is_reset, 1);
  // A second parse in the same process starts from a clean record; the mode
  // globals keep what the first parse set, as the program only parses once.
  std::string self = "tw", p = "-p", port = "/dev/x", e = "-e", chip = "chip";
  char *argv[] = {self.data(), p.data(), port.data(), e.data(), chip.data(), nullptr};
  testing::internal::CaptureStdout();
  ASSERT_EQ(parse_option(5, argv), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(g_cmd_option.is_reset, 0);
  EXPECT_EQ(g_cmd_option.img_offset, 0);
  EXPECT_EQ(g_cmd_option.erase_mode, 0);
  EXPECT_EQ(chip_lira, 1);
  EXPECT_EQ(uart_boot, 1);
}

}  // namespace
