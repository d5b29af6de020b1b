#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"

namespace {

std::vector<uint8_t> fresh_table() {
  std::vector<uint8_t> t(page_size, 0xFF);
  std::memcpy(t.data(), "BBTTRRbb", 8);
  return t;
}

TEST(FtlTable, EntriesFillInOrderWithLittleEndianBlocks) {
  auto t = fresh_table();
  ASSERT_TRUE(ftl_table_add_entry(t.data(), 101, 900));
  ASSERT_TRUE(ftl_table_add_entry(t.data(), 0x1234, 0x3FB));
  const uint8_t expected[] = {
      'B', 'B', 'T', 'T', 'R', 'R', 'b', 'b',  // magic
      0x42, 0x42, 0x65, 0x00, 0x84, 0x03, 0x62, 0x62,  // entry 0: "BB", 101, 900, "bb"
      0x42, 0x42, 0x34, 0x12, 0xFB, 0x03, 0x62, 0x62,  // entry 1
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // entry 2 still free
  };
  EXPECT_EQ(0, std::memcmp(t.data(), expected, sizeof expected));
}

TEST(FtlTable, OnlyEightBytesOf0xFFMakeAFreeEntry) {
  auto t = fresh_table();
  t[8 + 7] = 0x00;  // entry 0 holds something
  ASSERT_TRUE(ftl_table_add_entry(t.data(), 7, 8));
  EXPECT_EQ(0x00, t[15]);
  EXPECT_EQ(0x42, t[16]);
  EXPECT_EQ(7, rd_le16(&t[18]));
}

TEST(FtlTable, FullTableRefusesTheEntryAndStaysUnchanged) {
  auto t = fresh_table();
  for (int k = 0; k < ftl_entries_max; ++k) ASSERT_TRUE(ftl_table_add_entry(t.data(), 24 + k, 600 + k)) << k;
  EXPECT_EQ(254 + 24, rd_le16(&t[8 + 254 * 8 + 2]));
  auto before = t;
  EXPECT_FALSE(ftl_table_add_entry(t.data(), 1000, 1001));
  EXPECT_EQ(before, t);
}

}  // namespace
