// Shared by the NAND end-to-end tests: a boardsim NAND board on a
// pseudo-terminal in this process, a working folder with the data files, runs
// of nand_download in-process (no flash-type detection), and readers of the
// emulated flash.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "tests/support/fw_builder.h"
#include "tests/support/test_support.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nand/image_writer.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace nandtest {

namespace ts = testsupport;
namespace fs = std::filesystem;

inline constexpr const char *kChipIdLine = "Flash chip ID is 0x9a 0xf1 0x80 \n\r";

// The XMODEM progress lines, which depend only on transfer sizes, are taken
// out so that the flow's own lines can be compared byte for byte.
inline std::string strip_progress(const std::string &out) {
  static const std::regex bar("\rprograming\t\\[[= ]{40}\\] +[0-9]+% +[0-9]+/ +[0-9]+ bytes");
  static const std::regex done("\n\rprograming done\\.\n\r");
  return std::regex_replace(std::regex_replace(out, bar, ""), done, "");
}

// CRC values of intermediate table pages are not on the flash at the end;
// the final ones are checked there.
inline std::string mask_crc(const std::string &out) {
  static const std::regex crc("crc = 0x[0-9a-f]+ \n\r");
  return std::regex_replace(out, crc, "crc = 0x? \n\r");
}

inline bool all_ff(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

class NandBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_.emplace(dir.path());
    cfg.flash = boardsim::FlashKind::nand;
    cfg.store_path = (dir / "nand.bin").string();
    cfg.complete_store_on_stop = false;
    reset_option_globals();
    g_cmd_option.baud_rate = 1500000;
    ts::write_file(dir / "flash_control_info.bin", control_info);
  }
  void TearDown() override {
    close_port();
    board.reset();
    reset_option_globals();
    operation = "nop";
  }

  void start() {
    board = std::make_unique<boardsim::PtyBoard>(cfg);
    port_ = board->slave_path();
    g_cmd_option.port = port_.c_str();
  }
  void close_port() {
    if (g_uart_hdl != 0) uart_close(g_uart_hdl);
    g_uart_hdl = 0;
  }

  void put_firmware(const std::vector<uint8_t> &fw, const std::string &name = "fw.bin") {
    ts::write_file(dir / name, fw);
  }

  struct Run {
    int status;
    std::string raw;  // as printed
    std::string out;  // without the progress lines
  };
  Run download(const char *fw_name = "fw.bin") {
    testing::internal::CaptureStdout();
    const int status = nand_download(fw_name);
    const std::string raw = testing::internal::GetCapturedStdout();
    close_port();
    return {status, raw, strip_progress(raw)};
  }

  std::vector<uint8_t> page(int block, int p = 0) const {
    return board->read_nand_page(block * 64 + p);
  }
  bool marked_bad(int block) const { return page(block)[2048] != 0xFF; }
  bool block_erased(int block) const {
    const std::vector<uint8_t> b = board->read_flash(uint64_t(block) * 135168, 135168);
    return all_ff(b.data(), b.size());
  }

  // Opening lines of every nand_download run.
  std::string opening(const std::string &fw_name, size_t fw_len) const {
    return port_ + " opened\n\r" + kChipIdLine + fw_name + " length = " + std::to_string(fw_len) + " \n\r";
  }

  ts::TempDir dir;
  boardsim::BoardConfig cfg;
  std::unique_ptr<boardsim::PtyBoard> board;
  std::vector<uint8_t> control_info = fwbuild::control_info();

 private:
  std::optional<ts::ScopedCwd> cwd_;
  std::string port_;
};

// The lines a normal write prints for one image placed in consecutive blocks
// from first_block (table records masked by mask_crc).
inline std::string image_lines(const fwbuild::ExpectedImage &img, const std::vector<int> &blocks, int record) {
  const bool image_len = img.name == "boot_1" || img.name == "boot_2" || img.name == "firmware_1" ||
                         img.name == "firmware_2" || img.name == "NN";
  char buf[256];
  std::string s;
  snprintf(buf, sizeof buf, "type_id = 0x%x 0x%x\n\r", img.type_id[1], img.type_id[0]);
  s += buf;
  snprintf(buf, sizeof buf, "%s str_address = 0x%x, %s = %u\n\r", img.name.c_str(), img.start,
           image_len ? "fw_w_imglen" : "fw_w_len", img.length);
  s += buf;
  const int total = static_cast<int>(blocks.size());
  snprintf(buf, sizeof buf, "fw_len = %u , block_w_total = %d, rec_w_total = %d\n\r", img.length, total,
           (total + 47) / 48);
  s += buf;
  for (int k = 0; k < total; ++k) {
    snprintf(buf, sizeof buf, "block_w_total=%d , block_w_done=%d , block_w_nmb=%d  \n\r", total, k, blocks[k]);
    s += buf;
    if (k % 48 == 47 || k == total - 1) {
      s += "image download done \n\r";
      s += "partition_table record " + std::to_string(record++) + " is empty \n\r";
      s += "crc = 0x? \n\r";
      s += "update partition_table done \n\r";
    }
  }
  return s;
}

inline int blocks_of(uint32_t length) { return static_cast<int>((length + 131071) / 131072); }

// Checks one image on the flash: its pages, spare bytes and erased tail.
inline void expect_image_on_flash(const boardsim::PtyBoard &board, const std::vector<uint8_t> &file,
                                  const fwbuild::ExpectedImage &img, const std::vector<int> &blocks) {
  SCOPED_TRACE(img.name);
  const uint32_t pages = (img.length + 2047) / 2048;
  for (size_t k = 0; k < blocks.size(); ++k) {
    for (int p = 0; p < 64; ++p) {
      const uint32_t ip = static_cast<uint32_t>(k) * 64 + static_cast<uint32_t>(p);
      const std::vector<uint8_t> got = board.read_nand_page(blocks[k] * 64 + p);
      if (ip >= pages) {
        ASSERT_TRUE(all_ff(got.data(), got.size())) << "block " << blocks[k] << " page " << p;
        continue;
      }
      std::vector<uint8_t> want(2112, 0xFF);
      const uint32_t n = std::min<uint32_t>(2048, img.length - ip * 2048);
      memcpy(want.data(), file.data() + img.start + ip * 2048, n);
      want[2049] = img.type_id[0];
      ASSERT_EQ(got, want) << "block " << blocks[k] << " page " << p;
    }
  }
}

// The record an image of these blocks gets, index x.
inline std::vector<uint8_t> expected_record(const fwbuild::ExpectedImage &img, const std::vector<int> &blocks,
                                            int x) {
  std::vector<uint8_t> r(128, 0xFF);
  const uint8_t head[4] = {0x87, 0xFF, 0x35, 0xFF};
  memcpy(r.data(), head, 4);
  r[4] = img.type_id[0];
  r[5] = img.type_id[1];
  r[6] = static_cast<uint8_t>(blocks.size());
  r[7] = static_cast<uint8_t>(blocks.size() >> 8);
  r[8] = static_cast<uint8_t>(x);
  r[9] = 0;
  for (size_t i = 0; i < 48 && x * 48 + i < blocks.size(); ++i) {
    r[32 + 2 * i] = static_cast<uint8_t>(blocks[x * 48 + i]);
    r[33 + 2 * i] = static_cast<uint8_t>(blocks[x * 48 + i] >> 8);
  }
  return r;
}

// A table page: the records in order, the rest empty; spare 0xFF 0xC4 and
// the CRC-16/ARC of the data (crc16 itself is pinned by published values).
inline void expect_table_page(const std::vector<uint8_t> &page, const std::vector<std::vector<uint8_t>> &records) {
  ASSERT_EQ(page.size(), 2112u);
  for (size_t r = 0; r < 16; ++r) {
    const std::vector<uint8_t> got(page.begin() + r * 128, page.begin() + (r + 1) * 128);
    if (r < records.size()) {
      EXPECT_EQ(got, records[r]) << "record " << r;
    } else {
      EXPECT_TRUE(all_ff(got.data(), 128)) << "record " << r;
    }
  }
  const auto crc = static_cast<uint16_t>(crc16(page.data(), 2048));
  EXPECT_EQ(page[2048], 0xFF);
  EXPECT_EQ(page[2049], 0xC4);
  EXPECT_EQ(page[2050], crc & 0xFF);
  EXPECT_EQ(page[2051], crc >> 8);
}

}  // namespace nandtest
