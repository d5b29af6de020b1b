// Normal write against a boardsim NAND board, run in-process through
// nand_download: console bytes, result and the emulated flash.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "tests/e2e/nand_fixture.h"
#include "tidewrite/dialogue.h"
#include "tidewrite/nand/nand_commands.h"
#include "tidewrite/xmodem_r.h"

namespace {

using namespace nandtest;
using fwbuild::FirmwareBuilder;

// Consecutive blocks from 24 for each image, passing over the weak ones.
std::vector<std::vector<int>> allocate(const std::vector<fwbuild::ExpectedImage> &images,
                                       const std::set<int> &weak = {}) {
  std::vector<std::vector<int>> out;
  int b = 24;
  for (const auto &img : images) {
    std::vector<int> blocks;
    for (int k = 0; k < blocks_of(img.length); ++k) {
      while (weak.count(b)) ++b;
      blocks.push_back(b++);
    }
    out.push_back(blocks);
  }
  return out;
}

std::string control_info_lines() {
  return "Lira nand flash normal write\n\rcrc = 0x? \n\rflash_control_info done for download \n\r";
}

const char *const kTableCopy =
    "Lira nand partition_table_copy 20-23\n\r"
    "partition_table read OK, Block 16 \n\r"
    "Lira nand partition_table_copy done\n\r";

class NormalWrite : public NandBoardTest {
 protected:
  void expect_control_info(int block) {
    const auto crc = static_cast<uint16_t>(crc16(control_info.data(), 2048));
    for (int p = 0; p < 2; ++p) {
      std::vector<uint8_t> want(2112, 0xFF);
      memcpy(want.data(), control_info.data() + p * 2048, 2048);
      want[2049] = 0xD0;
      want[2050] = crc & 0xFF;
      want[2051] = crc >> 8;
      EXPECT_EQ(page(block, p), want) << "block " << block << " page " << p;
    }
  }
};

TEST_F(NormalWrite, EverySectionKindThenTheTableAndItsCopies) {
  start();
  const fwbuild::Sample sample = fwbuild::sample_firmware();
  put_firmware(sample.file);
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;

  const auto blocks = allocate(sample.images);
  std::string want = opening("fw.bin", sample.file.size()) + control_info_lines() + "fw.bin length = " +
                     std::to_string(sample.file.size()) + " \n\r";
  for (size_t i = 0; i < sample.images.size(); ++i) want += image_lines(sample.images[i], blocks[i], static_cast<int>(i));
  want += kTableCopy;
  EXPECT_EQ(ts::escaped(mask_crc(run.out)), ts::escaped(want));

  expect_control_info(0);
  expect_control_info(1);
  EXPECT_TRUE(block_erased(2));
  std::vector<std::vector<uint8_t>> records;
  for (size_t i = 0; i < sample.images.size(); ++i) {
    expect_image_on_flash(*board, sample.file, sample.images[i], blocks[i]);
    records.push_back(expected_record(sample.images[i], blocks[i], 0));
  }
  const std::vector<uint8_t> table = page(16);
  expect_table_page(table, records);
  EXPECT_EQ(page(17), table);
  EXPECT_TRUE(block_erased(18));
  EXPECT_TRUE(block_erased(19));
  for (int b = 20; b < 24; ++b) EXPECT_EQ(page(b), table) << "copy in block " << b;
  EXPECT_TRUE(block_erased(blocks.back().back() + 1));
}

TEST_F(NormalWrite, SkippedSectionsPrintOnlyTheirTypeId) {
  start();
  FirmwareBuilder fb;
  fb.entry(0x30, 0x100000, 0x10, 0xC2, 0xE9);                 // certificate_1 beyond the file
  std::vector<uint8_t> isp = fwbuild::pattern(0x100, 1);
  isp[0] = 0xFF;
  fb.section(fwbuild::isp_iq, 0x3000, 0x100, isp);             // erased start byte
  fb.section(fwbuild::firmware_1, 0x4000, 0x20000, fwbuild::image(0x100, 2, 0, false));  // no "QMZ"
  fb.section(fwbuild::certificate_2, 0x6000, 0x10, fwbuild::pattern(0x10, 3));            // written
  put_firmware(fb.bytes());
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;
  const fwbuild::ExpectedImage cert2{"certificate_2", {0xC3, 0xE1}, 0x6000, 0x10};
  const std::string want = opening("fw.bin", fb.size()) + control_info_lines() + "fw.bin length = " +
                           std::to_string(fb.size()) + " \n\r" + "type_id = 0xe9 0xc2\n\r" +
                           image_lines(cert2, {24}, 0) + "type_id = 0x89 0xce\n\rtype_id = 0xc1 0xc7\n\r" +
                           kTableCopy;
  EXPECT_EQ(ts::escaped(mask_crc(run.out)), ts::escaped(want));
  expect_image_on_flash(*board, fb.bytes(), cert2, {24});
  EXPECT_TRUE(block_erased(25));
}

// A firmware with nothing to write fails before the board is touched: the
// table area of an earlier write stays, so the board still boots.
TEST_F(NormalWrite, NothingToWriteLeavesTheBoardUntouched) {
  struct Case {
    const char *name;
    std::vector<uint8_t> file;
  };
  std::vector<Case> cases = {
      {"empty file", {}},
      {"cut before its entries", std::vector<uint8_t>(16, 0x5A)},
      {"no entry marked present", FirmwareBuilder().bytes()},
      {"random bytes", fwbuild::pattern(0x5000, 77)},
  };
  {
    FirmwareBuilder fb;
    fb.entry(0x30, 0x100000, 0x10, 0xC2, 0xE9);  // certificate_1 beyond the file
    std::vector<uint8_t> isp = fwbuild::pattern(0x100, 1);
    isp[0] = 0xFF;
    fb.section(fwbuild::isp_iq, 0x3000, 0x100, isp);                                         // erased
    fb.section(fwbuild::firmware_1, 0x4000, 0x20000, fwbuild::image(0x100, 2, 0, false));  // no "QMZ"
    cases.push_back({"every present section passed over", fb.bytes()});
  }
  {
    FirmwareBuilder fb;
    fb.section(fwbuild::certificate_1, 0x3000, 0, fwbuild::pattern(0x10, 1));  // 0 bytes to write
    cases.push_back({"only a section of length 0", fb.bytes()});
  }
  // The board as an earlier normal write left it.
  FirmwareBuilder good;
  good.section(fwbuild::certificate_1, 0x3000, 0x40, fwbuild::pattern(0x40, 1));
  start();
  put_firmware(good.bytes());
  ASSERT_EQ(download().status, 0);
  const std::vector<uint8_t> before = board->read_flash(0, 25 * 135168);
  const int commands_before = board->stats().commands;

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    put_firmware(c.file);
    testing::internal::CaptureStderr();
    const Run run = download();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.status, -3);
    EXPECT_EQ(ts::escaped(run.out), ts::escaped(opening("fw.bin", c.file.size()) +
                                                "Lira nand flash normal write\n\rno firmware section to write\n\r"));
    EXPECT_NE(err.find("nand_flash_normal_write: fw.bin (" + std::to_string(c.file.size()) +
                       " bytes) holds no section to write"),
              std::string::npos)
        << err;
  }
  // Only the handshake and the chip ID query reached the board.
  EXPECT_EQ(board->stats().commands, commands_before + 3 * static_cast<int>(cases.size()));
  EXPECT_TRUE(board->read_flash(0, 25 * 135168) == before);
}

// A rejected section is found before the board is touched: the lines up to
// the failing section, nothing on the flash, -3.
struct Rejection {
  const char *name;
  std::vector<uint8_t> (*file)();
  const char *lines;
};

const Rejection rejections[] = {
    {"type_id",
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::certificate_1, 0x3000, 0x10, fwbuild::pattern(0x10, 1));
       fb.put(0x4000, fwbuild::image(0x100, 2));
       fb.entry(0x2060, 0x4000, 0x20000, 0xC7, 0x00);
       return fb.bytes();
     },
     "type_id = 0xe9 0xc2\n\rtype_id = 0x0 0xc7\n\rtype_id is not firmware_1\n\r"},
    {"size",
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::boot_1, 0x3000, 0x20000, fwbuild::image(0x20000, 1));
       fb.section(fwbuild::nn, 0x30000, 0x20000, fwbuild::image(0x100, 2, 0, false));
       return fb.bytes();
     },
     "type_id = 0xd1 0xc5\n\rboot_1 fw_w_imglen = 135168, fw_w_len = 131072\n\r"
     "fw_w_imglen > partition table image size define!!!\n\r"},
    {"nn_size",
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::nn, 0x3000, 0x1000, fwbuild::image(0x100, 2, 0, false));
       return fb.bytes();
     },
     "type_id = 0x81 0xcf\n\rNN fw_w_imglen = 4352, fw_w_len = 4096\n\r"
     "fw_w_imglen > partition table NN size define!!!\n\r"},
};

void PrintTo(const Rejection &r, std::ostream *os) { *os << r.name; }

class RejectedFirmware : public NormalWrite, public ::testing::WithParamInterface<Rejection> {};

TEST_P(RejectedFirmware, NothingIsWritten) {
  start();
  const std::vector<uint8_t> fw = GetParam().file();
  put_firmware(fw);
  const Run run = download();
  EXPECT_EQ(run.status, -3);
  EXPECT_EQ(ts::escaped(run.raw),
            ts::escaped(opening("fw.bin", fw.size()) + "Lira nand flash normal write\n\r" + GetParam().lines));
  for (int b : {0, 1, 16, 17, 24}) EXPECT_TRUE(block_erased(b)) << b;
  EXPECT_EQ(board->stats().transfers, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, RejectedFirmware, ::testing::ValuesIn(rejections),
                         [](const auto &i) { return std::string(i.param.name); });

TEST_F(NormalWrite, FactoryBadTableBlocksAreLeftAlone) {
  cfg.faults.factory_bad_blocks = {16, 17};
  start();
  FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, 0x3000, 0x10, fwbuild::pattern(0x10, 1));
  put_firmware(fb.bytes());
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;
  const fwbuild::ExpectedImage cert{"certificate_1", {0xC2, 0xE9}, 0x3000, 0x10};
  const std::string want =
      opening("fw.bin", fb.size()) + control_info_lines() +
      "data[16] 0x0 \n\rBlock 16 is bad block!\n\rdata[17] 0x0 \n\rBlock 17 is bad block!\n\r"
      "fw.bin length = " + std::to_string(fb.size()) + " \n\r"
      "type_id = 0xe9 0xc2\n\r"
      "certificate_1 str_address = 0x3000, fw_w_len = 16\n\r"
      "fw_len = 16 , block_w_total = 1, rec_w_total = 1\n\r"
      "block_w_total=1 , block_w_done=0 , block_w_nmb=24  \n\r"
      "image download done \n\r"
      "partition_table record 0 is empty \n\r"
      "crc = 0x? \n\r"
      "nand_load_image_block, block 0 write fail! \n\r"
      "sne fail,block_address=0x10\n\r"
      "nand_load_image_block, block 1 write fail! \n\r"
      "sne fail,block_address=0x11\n\r"
      "update partition_table done \n\r"
      "Lira nand partition_table_copy 20-23\n\r"
      "Block 16 is bad block!\n\rBlock 17 is bad block!\n\r"
      "partition_table read OK, Block 18 \n\r"
      "Lira nand partition_table_copy done\n\r";
  EXPECT_EQ(ts::escaped(mask_crc(run.out)), ts::escaped(want));
  EXPECT_EQ(page(16)[2048], 0x00);
  EXPECT_EQ(page(17)[2048], 0x00);
  const std::vector<uint8_t> table = page(18);
  expect_table_page(table, {expected_record(cert, {24}, 0)});
  EXPECT_EQ(page(19), table);
  for (int b = 20; b < 24; ++b) EXPECT_EQ(page(b), table) << b;
}

TEST_F(NormalWrite, WeakImageBlockIsPassedOverNotMarked) {
  cfg.faults.program_fail_blocks = {{25, 0}};
  start();
  FirmwareBuilder fb;
  fb.section(fwbuild::isp_iq, 0x3000, 0x30000, fwbuild::pattern(0x30000, 1));  // blocks 24, 26
  put_firmware(fb.bytes());
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;
  const fwbuild::ExpectedImage isp{"ISP IQ Data", {0xCE, 0x89}, 0x3000, 0x30000};
  const std::string lines = mask_crc(run.out);
  EXPECT_NE(lines.find("block_w_total=2 , block_w_done=0 , block_w_nmb=24  \n\r"
                       "nand_load_image_block, block 25 write fail! \n\r"
                       "block_w_total=2 , block_w_done=1 , block_w_nmb=26  \n\r"),
            std::string::npos)
      << ts::escaped(lines);
  expect_image_on_flash(*board, fb.bytes(), isp, {24, 26});
  expect_table_page(page(16), {expected_record(isp, {24, 26}, 0)});
  EXPECT_FALSE(marked_bad(25));
}

TEST_F(NormalWrite, WeakTableBlockIsMarkedBadAndPassedOver) {
  cfg.faults.program_fail_blocks = {{16, 0}};
  start();
  FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, 0x3000, 0x10, fwbuild::pattern(0x10, 1));
  fb.section(fwbuild::certificate_2, 0x4000, 0x20, fwbuild::pattern(0x20, 2));
  put_firmware(fb.bytes());
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string lines = mask_crc(run.out);
  // Each record update tries block 16 first (index 0 in the run of 16..23).
  size_t at = 0;
  int fails = 0;
  while ((at = lines.find("nand_load_image_block, block 0 write fail! \n\r", at)) != std::string::npos) {
    ++fails;
    ++at;
  }
  EXPECT_EQ(fails, 2) << ts::escaped(lines);
  EXPECT_NE(lines.find("Block 16 is bad block!\n\rpartition_table read OK, Block 17 \n\r"), std::string::npos);
  EXPECT_EQ(page(16)[2048], 0x00) << "block 16 carries the bad-block mark";
  const fwbuild::ExpectedImage c1{"certificate_1", {0xC2, 0xE9}, 0x3000, 0x10};
  const fwbuild::ExpectedImage c2{"certificate_2", {0xC3, 0xE1}, 0x4000, 0x20};
  const std::vector<uint8_t> table = page(17);
  expect_table_page(table, {expected_record(c1, {24}, 0), expected_record(c2, {25}, 0)});
  EXPECT_EQ(page(18), table);
  EXPECT_TRUE(block_erased(19));
  for (int b = 20; b < 24; ++b) EXPECT_EQ(page(b), table) << b;
}

TEST_F(NormalWrite, FailingCopyBlockIsMarkedAndTheLaterCopiesStillWritten) {
  cfg.faults.program_fail_blocks = {{21, 0}};
  start();
  FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, 0x3000, 0x10, fwbuild::pattern(0x10, 1));
  put_firmware(fb.bytes());
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.out.ends_with("Lira nand partition_table_copy 20-23\n\r"
                                "partition_table read OK, Block 16 \n\r"
                                "bolck 21 write fail! \n\r"
                                "Lira nand partition_table_copy done\n\r"))
      << ts::escaped(run.out);
  EXPECT_EQ(page(21)[2048], 0x00);
  const std::vector<uint8_t> table = page(16);
  for (int b : {20, 22, 23}) EXPECT_EQ(page(b), table) << b;
}

TEST_F(NormalWrite, FailingControlInfoBlockGivesTwoMessagesAndAllSixBlocks) {
  cfg.faults.program_fail_blocks = {{0, 0}};
  start();
  FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, 0x3000, 0x10, fwbuild::pattern(0x10, 1));
  put_firmware(fb.bytes());
  const Run run = download();
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string lines = mask_crc(run.out);
  EXPECT_NE(lines.find("crc = 0x? \n\r"
                       "nand_flash_normal_write, block 0 write fail! \n\r"
                       "nand_flash_normal_write, block 0 write fail! \n\r"
                       "flash_control_info done for download \n\r"),
            std::string::npos)
      << ts::escaped(lines);
  EXPECT_EQ(page(0)[2048], 0x00);
  for (int b = 1; b < 6; ++b) expect_control_info(b);
}

TEST_F(NormalWrite, FullPartitionTableFailsTheWrite) {
  // A stale table with all 16 records in use that the board fails to erase.
  cfg.faults.erase_fail_blocks = {16};
  start();
  {
    std::vector<uint8_t> full(2112, 0xFF);
    for (int r = 0; r < 16; ++r) {
      const fwbuild::ExpectedImage old{"Other FW", {0x50, static_cast<uint8_t>(r)}, 0, 1};
      const std::vector<uint8_t> rec = expected_record(old, {100 + r}, 0);
      std::copy(rec.begin(), rec.end(), full.begin() + r * 128);
    }
    full[2049] = 0xC4;
    g_uart_hdl = uart_open(g_cmd_option.port);
    ASSERT_EQ(handshake(g_uart_hdl), 0);
    xmodem_set_uart(g_uart_hdl, uart_write, uart_read);
    testing::internal::CaptureStdout();
    nand_write_page(g_uart_hdl, full.data(), 16 * 64);
    testing::internal::GetCapturedStdout();
    close_port();
  }
  const std::vector<uint8_t> stale = page(16);
  FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, 0x3000, 0x10, fwbuild::pattern(0x10, 1));
  fb.section(fwbuild::certificate_2, 0x4000, 0x10, fwbuild::pattern(0x10, 2));
  put_firmware(fb.bytes());
  const Run run = download();
  EXPECT_EQ(run.status, -3);
  EXPECT_TRUE(mask_crc(run.out).ends_with(
      "type_id = 0xe9 0xc2\n\r"
      "certificate_1 str_address = 0x3000, fw_w_len = 16\n\r"
      "fw_len = 16 , block_w_total = 1, rec_w_total = 1\n\r"
      "block_w_total=1 , block_w_done=0 , block_w_nmb=24  \n\r"
      "image download done \n\r"
      "partition_table has no empty record, record 0 of type_id 0xe9 0xc2 not stored !!!\n\r"
      "nand_flash_normal_write: image at 0x3000 not recorded whole, normal write stopped !!!\n\r"))
      << ts::escaped(run.out);
  EXPECT_NE(run.out.find("sne fail,block_address=0x10\n\r"), std::string::npos);
  EXPECT_EQ(page(16), stale) << "the full table is not rewritten";
  EXPECT_TRUE(block_erased(17));
  EXPECT_TRUE(block_erased(25)) << "the write stops at the refused record";
  EXPECT_TRUE(block_erased(20));
}

}  // namespace
