// The image writer's copy form (the offline image): block placement, records
// of 48 blocks, the table in blocks 16 and 17, the cursor at the device end.
// The device form runs the same algorithm; its tests run against boardsim.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fw_builder.h"
#include "tidewrite/nand/image_writer.h"
#include "tidewrite/nand/nand_layout.h"

namespace {

constexpr size_t kPage = 2112;
constexpr size_t kBlock = 64 * kPage;

class CopyWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    fw_g_buf.assign(static_cast<size_t>(device_raw_size), 0xFF);
    block_w_nmb = 24;
  }
  void TearDown() override { std::vector<uint8_t>().swap(fw_g_buf); }

  const uint8_t *page(int block, int p) const { return fw_g_buf.data() + block * kBlock + p * kPage; }
  bool erased(const uint8_t *p, size_t n) const {
    for (size_t i = 0; i < n; ++i)
      if (p[i] != 0xFF) return false;
    return true;
  }
  const uint8_t *record(int r) const { return page(16, 0) + r * 128; }
  int run(const std::vector<uint8_t> &img, const uint8_t *id, std::string *out = nullptr) {
    testing::internal::CaptureStdout();
    const int r = nand_image_copy_block(0, img.data(), static_cast<int>(img.size()), id);
    const std::string text = testing::internal::GetCapturedStdout();
    if (out) *out = text;
    return r;
  }
  // The table page's spare bytes: 0xFF, 0xC4 and the CRC of its data.
  void expect_sealed_table() const {
    const uint8_t *t = page(16, 0);
    const auto crc = static_cast<uint16_t>(crc16(t, 2048));
    EXPECT_EQ(t[2048], 0xFF);
    EXPECT_EQ(t[2049], 0xC4);
    EXPECT_EQ(t[2050], crc & 0xFF);
    EXPECT_EQ(t[2051], crc >> 8);
    EXPECT_EQ(0, memcmp(page(16, 0), page(17, 0), kBlock)) << "blocks 16 and 17 differ";
  }
};

TEST_F(CopyWriter, EmptyImageWritesNothing) {
  std::string out;
  EXPECT_EQ(image_placed, run({}, type_id_nn, &out));
  EXPECT_EQ(out, "fw_len = 0 , block_w_total = 0, rec_w_total = 0\n\r");
  EXPECT_EQ(block_w_nmb, 24);
  EXPECT_TRUE(erased(page(16, 0), kBlock));
  EXPECT_TRUE(erased(page(24, 0), kBlock));
}

TEST_F(CopyWriter, OneByteImage) {
  std::string out;
  ASSERT_EQ(image_placed, run({0x42}, type_id_firmware_1, &out));
  const uint8_t *p0 = page(24, 0);
  EXPECT_EQ(p0[0], 0x42);
  EXPECT_TRUE(erased(p0 + 1, 2047));
  EXPECT_EQ(p0[2048], 0xFF);
  EXPECT_EQ(p0[2049], 0xC7);
  EXPECT_TRUE(erased(p0 + 2050, 62));
  EXPECT_TRUE(erased(page(24, 1), 63 * kPage));
  EXPECT_EQ(block_w_nmb, 25);
  const uint8_t head[10] = {0x87, 0xFF, 0x35, 0xFF, 0xC7, 0xC1, 1, 0, 0, 0};
  EXPECT_EQ(0, memcmp(record(0), head, sizeof head));
  EXPECT_EQ(record(0)[32], 24);
  EXPECT_EQ(record(0)[33], 0);
  EXPECT_TRUE(erased(record(0) + 34, 94));
  EXPECT_TRUE(erased(record(1), 15 * 128));
  expect_sealed_table();
  char crc_line[32];
  snprintf(crc_line, sizeof crc_line, "crc = 0x%x \n\r", page(16, 0)[2050] | (page(16, 0)[2051] << 8));
  EXPECT_EQ(out, std::string("fw_len = 1 , block_w_total = 1, rec_w_total = 1\n\r"
                             "block_w_total=1 , block_w_done=0 , block_w_nmb=24  \n\r"
                             "image download done \n\r"
                             "partition_table record 0 is empty \n\r") +
                     crc_line + "update partition_table done \n\r");
}

TEST_F(CopyWriter, BlockBoundaries) {
  // 131,072 bytes fill one block exactly; one more byte needs a second block.
  const std::vector<uint8_t> exact = fwbuild::pattern(131072, 5);
  ASSERT_EQ(image_placed, run(exact, type_id_boot_1));
  EXPECT_EQ(block_w_nmb, 25);
  for (int p = 0; p < 64; ++p) {
    ASSERT_EQ(0, memcmp(page(24, p), exact.data() + p * 2048, 2048)) << p;
    EXPECT_EQ(page(24, p)[2049], 0xC5);
  }
  std::vector<uint8_t> plus = fwbuild::pattern(131073, 6);
  ASSERT_EQ(image_placed, run(plus, type_id_boot_2));
  EXPECT_EQ(block_w_nmb, 27);
  EXPECT_EQ(page(26, 0)[0], plus.back());
  EXPECT_TRUE(erased(page(26, 0) + 1, 2047));
  EXPECT_TRUE(erased(page(26, 1), 63 * kPage));
  // Two images, two records in write order.
  EXPECT_EQ(record(0)[4], 0xC5);
  EXPECT_EQ(record(1)[4], 0xC6);
  EXPECT_EQ(record(1)[6], 2);
  EXPECT_EQ(record(1)[32], 25);
  EXPECT_EQ(record(1)[34], 26);
  expect_sealed_table();
}

TEST_F(CopyWriter, FortyNineBlocksTakeTwoRecords) {
  const std::vector<uint8_t> img = fwbuild::pattern(48 * 131072 + 100, 7);
  std::string out;
  ASSERT_EQ(image_placed, run(img, type_id_firmware_2, &out));
  EXPECT_EQ(block_w_nmb, 24 + 49);
  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(record(r)[4], 0xC8);
    EXPECT_EQ(record(r)[5], 0xB9);
    EXPECT_EQ(rd_le16(record(r) + 6), 49);
    EXPECT_EQ(rd_le16(record(r) + 8), r);
  }
  for (int i = 0; i < 48; ++i) EXPECT_EQ(rd_le16(record(0) + 32 + 2 * i), 24 + i) << i;
  EXPECT_EQ(rd_le16(record(1) + 32), 72);
  for (int i = 1; i < 48; ++i) EXPECT_EQ(rd_le16(record(1) + 32 + 2 * i), 0xFFFF) << i;
  EXPECT_TRUE(erased(record(2), 14 * 128));
  EXPECT_NE(out.find("block_w_total=49 , block_w_done=48 , block_w_nmb=72  \n\r"), std::string::npos);
  EXPECT_NE(out.find("partition_table record 1 is empty \n\r"), std::string::npos);
  // The last block holds the 100 bytes in its page 0.
  EXPECT_EQ(0, memcmp(page(72, 0), img.data() + 48 * 131072, 100));
  expect_sealed_table();
}

TEST_F(CopyWriter, CursorReachingTheDeviceEnd) {
  block_w_nmb = 1023;
  const std::vector<uint8_t> img = fwbuild::pattern(131072 + 1, 8);
  std::string out;
  EXPECT_EQ(image_cursor_past_end, run(img, type_id_firmware_1, &out));
  EXPECT_EQ(out,
            "fw_len = 131073 , block_w_total = 2, rec_w_total = 1\n\r"
            "block_w_total=2 , block_w_done=0 , block_w_nmb=1023  \n\r"
            "Error block_w_nmb>block_nmb 1024\n\r");
  EXPECT_EQ(0, memcmp(page(1023, 0), img.data(), 2048));
  EXPECT_TRUE(erased(page(16, 0), kBlock)) << "no record may reach the table";
  // Later calls fail at once.
  EXPECT_EQ(image_cursor_past_end, run({1}, type_id_nn));
}

TEST_F(CopyWriter, FullTableRefusesTheRecordWithAMessage) {
  for (int i = 0; i < 16; ++i) ASSERT_EQ(image_placed, run({static_cast<uint8_t>(i)}, type_id_nn));
  const std::vector<uint8_t> before(page(16, 0), page(16, 0) + 2 * kBlock);
  std::string out;
  EXPECT_EQ(image_table_full, run({0x77}, type_id_firmware_1, &out));
  EXPECT_NE(out.find("partition_table has no empty record"), std::string::npos) << out;
  EXPECT_EQ(out.find("update partition_table done"), std::string::npos) << out;
  EXPECT_EQ(0, memcmp(before.data(), page(16, 0), 2 * kBlock));
}

}  // namespace
