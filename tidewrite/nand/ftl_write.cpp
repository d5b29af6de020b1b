// FTL write: a raw file into consecutive blocks from block_s; a block that
// fails its read-back is marked bad and its data moved to a backup block from
// block_bs, each move recorded in the FTL table in blocks 1020-1023.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tidewrite/nand/nand_commands.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/nand/sections.h"
#include "tidewrite/options.h"

namespace {

constexpr int ftl_last_data_block = ftl_block_first - 1;  // 1019
constexpr const char *fn_name = "nand_load_ftl_block";

// Arguments that would make the run overwrite what it must not: refused before
// the table blocks are erased.
int check_ftl_arguments(int block_s, int block_bs, int block_w_total) {
  if (block_s < 0 || block_bs < 0) {
    printf("FTL write refused: negative block number (start %d, backup start %d)\n\r", block_s, block_bs);
    return -1;
  }
  if (block_w_total == 0) return 0;
  const int last = block_s + block_w_total - 1;
  if (block_s > ftl_last_data_block || last > ftl_last_data_block) {
    printf("FTL write refused: target blocks %d-%d run past block %d (FTL table from block %d)\n\r", block_s,
           last, ftl_last_data_block, ftl_block_first);
    return -1;
  }
  if (block_bs >= block_s && block_bs <= last) {
    printf("FTL write refused: backup start %d lies inside the target blocks %d-%d\n\r", block_bs, block_s, last);
    return -1;
  }
  return 0;
}

void link_lost() { printf("%s: the board stopped answering, FTL write stopped\n\r", fn_name); }

}  // namespace

bool ftl_table_add_entry(uint8_t *table, int logical, int backup) {
  for (int k = 0; k < ftl_entries_max; ++k) {
    uint8_t *e = table + sizeof(ftl_table_magic) + k * sizeof(ftl_record_t);
    if (std::any_of(e, e + sizeof(ftl_record_t), [](uint8_t b) { return b != 0xFF; })) continue;
    e[0] = 'B';
    e[1] = 'B';
    wr_le16(e + 2, static_cast<uint32_t>(logical));
    wr_le16(e + 4, static_cast<uint32_t>(backup));
    e[6] = 'b';
    e[7] = 'b';
    return true;
  }
  return false;
}

int nand_load_ftl_block(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, int block_s, int block_bs) {
  int block_w_nmb = block_s;
  const int64_t pages = (int64_t{fw_len} + page_size - 1) / page_size;
  const int block_w_total = static_cast<int>((pages + page_per_block_nmb - 1) / page_per_block_nmb);
  printf("fw_len = %d , block_w_total = %d\n\r", fw_len, block_w_total);
  if (check_ftl_arguments(block_s, block_bs, block_w_total) < 0) return -1;
  // Erasing the FTL table and writing nothing would lose the map of the
  // blocks moved earlier, reported as a success.
  if (block_w_total == 0) {
    nand_report_nothing_to_write(fn_name, g_cmd_option.fw_file, fw_len, "is empty", "the FTL table was left as it was");
    return -1;
  }
  const int target_last = block_s + block_w_total - 1;

  // The table page travels with spare bytes 0xFF: it carries no marking.
  std::vector<uint8_t> table(page_raw_size, 0xFF);
  for (int b = ftl_block_first; b < ftl_block_first + ftl_block_count; ++b) nand_erase_block(hdl, b);
  printf("clear FTL table done \n\r");
  std::memcpy(table.data(), ftl_table_magic, sizeof(ftl_table_magic));

  int backup_cursor = block_bs;

  std::vector<uint8_t> data(block_raw_size);
  std::vector<uint8_t> data_r(page_raw_size);
  for (int i = 0; i < block_w_total; ++i, ++block_w_nmb) {
    std::fill(data.begin(), data.end(), 0xFF);
    for (int j = 0; j < page_per_block_nmb; ++j) {
      const int64_t from = (int64_t{i} * page_per_block_nmb + j) * page_size;
      if (from >= fw_len) break;
      const int64_t n = std::min<int64_t>(page_size, fw_len - from);
      std::memcpy(data.data() + static_cast<size_t>(j) * page_raw_size, fw_buf + from, static_cast<size_t>(n));
    }

    nand_write_block(hdl, data.data(), block_w_nmb);
    int check = nand_verify_block(hdl, data.data(), block_w_nmb, data_r.data());
    if (check == nand_link_lost) return link_lost(), -1;
    if (check == nand_check_equal) {
      printf("block %d write sucess! \n\r", block_w_nmb);
      continue;
    }
    printf("%s, block %d write fail! \n\r", fn_name, block_w_nmb);
    nand_mark_bad_block(block_w_nmb, data_r.data());

    for (int k = 0;;) {
      const int block_backup_w_nmb = backup_cursor + k;
      printf("block %d is block_backup_w_nmb! \n\r", block_backup_w_nmb);
      // A backup never takes a target's place: the search ends there as it
      // ends at the table blocks.
      if (block_backup_w_nmb >= ftl_block_first ||
          (block_backup_w_nmb >= block_s && block_backup_w_nmb <= target_last)) {
        printf("All backup blocks are used, Qorin stop !!! \n\r");
        return -1;
      }
      nand_write_block(hdl, data.data(), block_backup_w_nmb);
      check = nand_verify_block(hdl, data.data(), block_backup_w_nmb, data_r.data());
      if (check == nand_link_lost) return link_lost(), -1;
      if (check != nand_check_equal) {
        printf("%s, block %d write fail! \n\r", fn_name, block_backup_w_nmb);
        ++k;
        nand_mark_bad_block(block_backup_w_nmb, data_r.data());
        backup_cursor = block_backup_w_nmb + 1;
        continue;
      }
      if (!ftl_table_add_entry(table.data(), block_w_nmb, block_backup_w_nmb)) {
        // The data now live in a block that no table entry names: reporting
        // success would lose them.
        printf("%s: FTL table full (%d entries), block %d cannot be recorded, FTL write stopped\n\r", fn_name,
               ftl_entries_max, block_w_nmb);
        return -1;
      }
      const int copies = nand_write_copies(table.data(), ftl_block_first, ftl_block_count, fn_name);
      if (copies == nand_link_lost) return link_lost(), -1;
      if (copies != 0) {
        // Without a readable table the moved block cannot be found again.
        printf("%s: no block of %d-%d took the FTL table, FTL write stopped\n\r", fn_name, ftl_block_first,
               ftl_block_first + ftl_block_count - 1);
        return -1;
      }
      printf("update ftl_table done \n\r");
      backup_cursor = block_backup_w_nmb + 1;
      break;
    }
  }
  return 0;
}
