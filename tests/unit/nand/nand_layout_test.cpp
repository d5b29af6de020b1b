// The tables' CRC, partition records and table pages, field readers and the
// type-id and entry tables.
#include "tidewrite/nand/nand_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fw_builder.h"

namespace {

uint16_t crc_of(const std::string &s) {
  return static_cast<uint16_t>(crc16(reinterpret_cast<const uint8_t *>(s.data()), s.size()));
}

// Published CRC-16/ARC check values, not values computed by the code under test.
TEST(Crc16, KnownAnswers) {
  EXPECT_EQ(crc_of("123456789"), 0xBB3D);
  EXPECT_EQ(crc_of("abc"), 0x9738);
  EXPECT_EQ(crc_of(""), 0x0000);
  const std::vector<uint8_t> erased(2048, 0xFF);
  EXPECT_EQ(crc16(erased.data(), erased.size()), 0xA041u);
}

TEST(Crc16, ResultFitsSixteenBits) {
  const std::vector<uint8_t> data = fwbuild::pattern(4096, 3);
  for (size_t n : {size_t{1}, size_t{7}, size_t{2048}, size_t{4096}}) {
    EXPECT_LE(crc16(data.data(), n), 0xFFFFu) << n;
  }
}

TEST(Reflect, ReversesTheLowBits) {
  EXPECT_EQ(reflect(0x01, 8), 0x80u);
  EXPECT_EQ(reflect(0xC4, 8), 0x23u);
  EXPECT_EQ(reflect(0x0001, 16), 0x8000u);
  EXPECT_EQ(reflect(0x8005, 16), 0xA001u);
  EXPECT_EQ(reflect(0x1FF, 8), 0xFFu);  // bits above bitnum are dropped
}

TEST(FieldReaders, AssembleLittleEndianFromBytes) {
  const uint8_t b[4] = {0xC7, 0xC1, 0x34, 0x12};
  EXPECT_EQ(rd_le16(b), 0xC1C7);  // type-id bytes 0xC7 0xC1 read as 0xC1C7
  EXPECT_EQ(rd_le32(b), 0x1234C1C7u);
  const uint8_t body[4] = {0x00, 0xF0, 0x01, 0x00};  // 0x1F000
  EXPECT_EQ(rd_le32(body) + image_len_extra, 0x20000u);
  uint8_t out[4] = {};
  wr_le32(out, 0xFF35FF87u);
  EXPECT_EQ(0, memcmp(out, partition_record_magic, 4));
  wr_le16(out, 0x3FF);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0x03);
}

TEST(Geometry, DerivedSizes) {
  EXPECT_EQ(page_raw_size, 2112);
  EXPECT_EQ(page_xfer_size, 2052);
  EXPECT_EQ(block_raw_size, 0x21000);
  EXPECT_EQ(device_raw_size, 138412032);
  EXPECT_EQ(ftl_block_first, 1020);
}

// The programmer's entry offsets and type ids against the builder's own
// table, which is written out independently.
TEST(TypeIds, EntryOffsetsAndIdsMatchTheFirmwareFormat) {
  struct Row {
    const fwbuild::SectionKind &kind;
    int entry;
    const uint8_t *id;
    uint16_t as16;
  };
  const Row rows[] = {
      {fwbuild::certificate_1, entry_certificate_1, type_id_certificate_1, 0xE9C2},
      {fwbuild::certificate_2, entry_certificate_2, type_id_certificate_2, 0xE1C3},
      {fwbuild::boot_1, entry_boot_1, type_id_boot_1, 0xD1C5},
      {fwbuild::boot_2, entry_boot_2, type_id_boot_2, 0xC9C6},
      {fwbuild::firmware_1, entry_firmware_1, type_id_firmware_1, 0xC1C7},
      {fwbuild::firmware_2, entry_firmware_2, type_id_firmware_2, 0xB9C8},
      {fwbuild::isp_iq, entry_isp_iq, type_id_isp_iq, 0x89CE},
      {fwbuild::nn, entry_nn, type_id_nn, 0x81CF},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.kind.name);
    EXPECT_EQ(r.entry, r.kind.entry_offset);
    EXPECT_EQ(r.id[0], r.kind.type_id[0]);
    EXPECT_EQ(r.id[1], r.kind.type_id[1]);
    EXPECT_EQ(rd_le16(r.id), r.as16);
  }
  EXPECT_EQ(entry_other_first + (entry_other_count - 1) * entry_other_stride, fwbuild::other_entry(7));
}

TEST(PartitionRecord, BuiltFieldByField) {
  uint8_t rec[128];
  partition_record_init(rec);
  partition_record_set_block(rec, 0, 24);
  partition_record_set_block(rec, 1, 0x3FF);
  partition_record_complete(rec, type_id_firmware_1, 49, 1);
  const uint8_t head[10] = {
      0x87, 0xFF, 0x35, 0xFF,  // magic
      0xC7, 0xC1,              // type id, file order
      49,   0,                 // blocks of the whole image
      1,    0,                 // record index
  };
  EXPECT_EQ(0, memcmp(rec, head, sizeof head));
  for (int i = 10; i < 32; ++i) EXPECT_EQ(rec[i], 0xFF) << i;
  EXPECT_EQ(rec[32], 24);
  EXPECT_EQ(rec[33], 0);
  EXPECT_EQ(rec[34], 0xFF);
  EXPECT_EQ(rec[35], 0x03);
  for (int i = 36; i < 128; ++i) EXPECT_EQ(rec[i], 0xFF) << i;
}

TEST(PartitionRecord, EmptyOnlyWhenBothTypeIdBytesAreErased) {
  uint8_t rec[128];
  memset(rec, 0xFF, sizeof rec);
  EXPECT_TRUE(partition_record_empty(rec));
  rec[4] = 0xC7;  // 0xC7 0xFF is in use
  EXPECT_FALSE(partition_record_empty(rec));
  rec[4] = 0xFF;
  rec[5] = 0x00;
  EXPECT_FALSE(partition_record_empty(rec));
  memset(rec, 0x00, 4);  // the magic is not looked at
  rec[5] = 0xFF;
  EXPECT_TRUE(partition_record_empty(rec));
}

class TablePage : public ::testing::Test {
 protected:
  void SetUp() override { page.assign(page_raw_size, 0xFF); }
  std::vector<uint8_t> record(uint8_t t0, uint8_t t1) {
    std::vector<uint8_t> r(128, 0xFF);
    const uint8_t id[2] = {t0, t1};
    partition_record_complete(r.data(), id, 1, 0);
    return r;
  }
  std::vector<uint8_t> page;
};

TEST_F(TablePage, InsertGoesToTheFirstEmptyRecord) {
  // Record 0 in use, record 1 half-empty (not empty), record 2 empty.
  memcpy(page.data(), record(0xC5, 0xD1).data(), 128);
  page[128 + 4] = 0xC7;
  testing::internal::CaptureStdout();
  const int r = partition_table_insert(page.data(), record(0xCF, 0x81).data());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "partition_table record 2 is empty \n\r");
  EXPECT_EQ(r, 2);
  EXPECT_EQ(page[2 * 128 + 4], 0xCF);
  EXPECT_EQ(page[2 * 128 + 5], 0x81);
  EXPECT_EQ(page[1 * 128 + 4], 0xC7);
}

TEST_F(TablePage, FullTableTakesNoRecordAndIsLeftAsItWas) {
  for (int r = 0; r < 16; ++r) memcpy(page.data() + r * 128, record(0x31, static_cast<uint8_t>(r)).data(), 128);
  const std::vector<uint8_t> before = page;
  testing::internal::CaptureStdout();
  EXPECT_EQ(partition_table_insert(page.data(), record(0xCF, 0x81).data()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(page, before);
}

TEST_F(TablePage, SealSetsSpareBytesAndTheCrcOfTheData) {
  testing::internal::CaptureStdout();
  const uint16_t crc = partition_table_seal(page.data());  // an erased page: 16 empty records
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "crc = 0xa041 \n\r");
  EXPECT_EQ(crc, 0xA041);
  const uint8_t spare[4] = {0xFF, 0xC4, 0x41, 0xA0};
  EXPECT_EQ(0, memcmp(page.data() + 2048, spare, 4));
  for (int i = 2052; i < page_raw_size; ++i) EXPECT_EQ(page[i], 0xFF) << i;
}

TEST(ControlInfoPage, CarriesTheFilePageAndTheCrcOfPageZero) {
  const std::vector<uint8_t> info = fwbuild::control_info();
  const auto crc = static_cast<uint16_t>(crc16(info.data(), 2048));
  std::vector<uint8_t> page(page_raw_size, 0);
  for (int p = 0; p < 2; ++p) {
    nand_control_info_page(info.data(), p, crc, page.data());
    EXPECT_EQ(0, memcmp(page.data(), info.data() + p * 2048, 2048)) << p;
    EXPECT_EQ(page[2048], 0xFF);
    EXPECT_EQ(page[2049], 0xD0);
    EXPECT_EQ(page[2050], crc & 0xFF);
    EXPECT_EQ(page[2051], crc >> 8);
    for (int i = 2052; i < page_raw_size; ++i) EXPECT_EQ(page[i], 0xFF) << i;
  }
}

}  // namespace
