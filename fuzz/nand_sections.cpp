// The firmware section rules and the offline-image writer on firmware files
// made from the input. The rules must give the same plan whether they print
// or not and never name bytes outside the file; the writer must place every
// accepted section whole, in consecutive blocks from 24, listed in the table
// of blocks 16 and 17 - or fail when there is nothing to write or no room.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tidewrite/nand/image_writer.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/nand/sections.h"
#include "tidewrite/options.h"

namespace {

bool same(const nand_section_t &a, const nand_section_t &b) {
  return a.kind == b.kind && a.entry_offset == b.entry_offset && a.type_id[0] == b.type_id[0] &&
         a.type_id[1] == b.type_id[1] && a.str_address == b.str_address && a.length == b.length &&
         a.skipped == b.skipped;
}

uint8_t *block_at(int b) { return fw_g_buf.data() + static_cast<size_t>(b) * block_raw_size; }

// The image buffer is the whole device (132 MiB): it stays allocated across
// inputs, and the blocks an input wrote are erased again after it.
void erase_blocks(int first, int end) {
  if (fw_g_buf.size() < static_cast<size_t>(device_raw_size) || end <= first) return;
  std::memset(block_at(first), 0xFF, static_cast<size_t>(end - first) * block_raw_size);
}

void check_placed(const uint8_t *fw, const std::vector<nand_section_t> &plan) {
  const uint8_t *table = block_at(partition_block_first);
  FUZZ_CHECK(std::memcmp(table, block_at(partition_block_first + 1), block_raw_size) == 0);
  FUZZ_CHECK(table[page_size + spare_page_kind] == page_kind_partition_table);
  int block = block_w_start;
  int record = 0;
  for (const nand_section_t &s : plan) {
    if (s.skipped || s.length == 0) continue;
    const int pages = (s.length + page_size - 1) / page_size;
    const int blocks = (pages + page_per_block_nmb - 1) / page_per_block_nmb;
    for (int n = 0; n < blocks; ++n, ++block) {
      if (n % partition_blocks_per_record == 0) {
        const uint8_t *rec = table + record * sizeof(partition_record_t);
        FUZZ_CHECK(std::memcmp(rec, partition_record_magic, 4) == 0);
        FUZZ_CHECK(rec[4] == s.type_id[0] && rec[5] == s.type_id[1]);
        FUZZ_CHECK(rd_le16(rec + 6) == static_cast<uint16_t>(blocks));
        FUZZ_CHECK(rd_le16(rec + 8) == n / partition_blocks_per_record);
        ++record;
      }
      const uint8_t *rec = table + (record - 1) * sizeof(partition_record_t);
      FUZZ_CHECK(rd_le16(rec + 32 + 2 * (n % partition_blocks_per_record)) == block);
      for (int j = 0; j < page_per_block_nmb; ++j) {
        const uint8_t *page = block_at(block) + j * page_raw_size;
        const int64_t from = (int64_t{n} * page_per_block_nmb + j) * page_size;
        if (from >= s.length) {
          FUZZ_CHECK(std::all_of(page, page + page_raw_size, [](uint8_t b) { return b == 0xFF; }));
          continue;
        }
        const auto have = static_cast<size_t>(std::min<int64_t>(page_size, s.length - from));
        FUZZ_CHECK(std::memcmp(page, fw + s.str_address + from, have) == 0);
        FUZZ_CHECK(std::all_of(page + have, page + page_size, [](uint8_t b) { return b == 0xFF; }));
        FUZZ_CHECK(page[page_size + spare_bad_marker] == 0xFF && page[page_size + spare_page_kind] == s.type_id[0]);
      }
    }
  }
  FUZZ_CHECK(block == block_w_nmb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > INT_MAX) return 0;
  const int len = static_cast<int>(size);
  std::vector<nand_section_t> quiet, loud;
  const int q = nand_plan_sections(data, len, false, quiet);
  const int l = nand_plan_sections(data, len, true, loud);
  FUZZ_CHECK(q == l && quiet.size() == loud.size());
  for (size_t i = 0; i < quiet.size(); ++i) FUZZ_CHECK(same(quiet[i], loud[i]));

  int64_t records = 0;
  int64_t blocks = 0;
  for (const nand_section_t &s : quiet) {
    if (s.skipped) continue;
    FUZZ_CHECK(s.length >= 0 && s.str_address >= 0 && int64_t{s.str_address} + s.length <= len);
    constexpr int64_t block_data = int64_t{page_per_block_nmb} * page_size;
    const int64_t b = (s.length + block_data - 1) / block_data;
    blocks += b;
    records += (b + partition_blocks_per_record - 1) / partition_blocks_per_record;
  }

  g_cmd_option.fw_file = "fuzz.bin";
  block_w_nmb = block_w_start;
  const int r = nand_image_copy_sections(data, len);
  if (q < 0 || blocks == 0) {
    FUZZ_CHECK(r == -1 && block_w_nmb == block_w_start);
  } else if (records > partition_records_per_page || block_w_start + blocks > block_nmb) {
    FUZZ_CHECK(r == -1);
  } else {
    FUZZ_CHECK(r == 0);
    check_placed(data, quiet);
  }
  erase_blocks(partition_block_first, partition_block_first + 2);
  erase_blocks(block_w_start, std::min(block_w_nmb, block_nmb));
  block_w_nmb = block_w_start;
  g_cmd_option.fw_file = nullptr;
  return 0;
}
