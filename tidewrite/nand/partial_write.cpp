// Partial write: replace one image (firmware_1, firmware_2 or the NN model)
// on a board that already carries a partition table, leaving the rest alone.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tidewrite/main_flow.h"
#include "tidewrite/nand/image_writer.h"
#include "tidewrite/nand/nand_commands.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/nand/sections.h"
#include "tidewrite/options.h"

namespace {

struct partial_target_t {
  const char *hex_text;
  const char *name_text;
  nand_section_kind kind;
  int entry_offset;
  const uint8_t *type_id;
  const char *load_message;
  const char *type_id_message;
  const char *section_name;
};

// In the order the -t text is matched.
const partial_target_t partial_targets[] = {
    {"0xc1c7", "FW1", nand_section_kind::firmware_1, entry_firmware_1, type_id_firmware_1,
     "type_id=0xc1c7, FW1 load\n\r", "type_id is not FW1\n\r", "firmware_1"},
    {"0xb9c8", "FW2", nand_section_kind::firmware_2, entry_firmware_2, type_id_firmware_2,
     "type_id=0xb9c8, FW2 load\n\r", "type_id is not FW2\n\r", "firmware_2"},
    {"0x81cf", "NN_MDL", nand_section_kind::nn, entry_nn, type_id_nn, "type_id=0x81cf, NN load\n\r",
     "type_id is not NN\n\r", "NN"},
};

constexpr const char *fn_name = "nand_flash_partial_image_write";
constexpr int cursor_scan_limit = 0x7FF;  // block numbers above this are not blocks

const partial_target_t *match_target(const char *text) {
  if (text == nullptr) return nullptr;
  for (const partial_target_t &t : partial_targets)
    if (std::strcmp(text, t.hex_text) == 0 || std::strcmp(text, t.name_text) == 0) return &t;
  return nullptr;
}

// The section's type id and size rules. The type-id line and message are
// this flow's own; the size rules and their messages are those of the
// normal write.
int examine_section(const std::vector<uint8_t> &fw, const partial_target_t &t, bool print, nand_section_t &s) {
  const int fw_len = static_cast<int>(fw.size());
  uint8_t id[2] = {0xFF, 0xFF};
  if (t.entry_offset + 10 <= fw_len) std::memcpy(id, fw.data() + t.entry_offset + 8, 2);
  if (print) printf("type_id = 0x%x 0x%x\n\r", id[1], id[0]);
  if (id[0] != t.type_id[0] || id[1] != t.type_id[1]) {
    if (print) printf("%s", t.type_id_message);
    return -1;
  }
  return nand_section_rule(fw.data(), fw_len, t.kind, t.entry_offset, false, print, s);
}

bool is_partition_table_page(const uint8_t *page) {
  return page[page_size + spare_bad_marker] == 0xFF && page[page_size + spare_page_kind] == page_kind_partition_table;
}

}  // namespace

int nand_flash_partial_image_write(const char *type_id_w) {
  printf("Lira nand flash partial image write\n\r");
  const char *fw_name = g_cmd_option.fw_file;
  int fw_len = 0;
  auto fw = read_fw_file(fw_name, &fw_len);
  if (!fw) {
    printf("read %s return NULL fw_buf, goto exit !!!\n\r", fw_name);
    return -1;
  }
  printf("%s length = %d \n\r", fw_name, fw_len);

  std::vector<uint8_t> data(page_raw_size, 0xFF);
  bool found = false;
  for (int b = partition_block_first; b < partition_block_first + partition_block_count; ++b) {
    if (nand_read_page(g_uart_hdl, data.data(), b * page_per_block_nmb) != page_xfer_size) {
      printf("%s: the board stopped answering, partial write stopped\n\r", fn_name);
      return -1;
    }
    if (is_partition_table_page(data.data())) {
      printf("partition_table read OK, Block %d \n\r", b);
      found = true;
      break;
    }
    printf("Block %d is bad block!\n\r", b);
  }
  if (!found) {
    printf("can not find partition table !\n\r");
    return -1;
  }

  const partial_target_t *t = match_target(type_id_w);
  if (t == nullptr) {
    printf("type_id is invalid!  \n\r");
    return -1;
  }
  printf("%s", t->load_message);

  // An unusable section must leave the board's table as it was: examine it
  // quietly now, and print its lines where they belong once it passes.
  nand_section_t s{};
  if (examine_section(*fw, *t, false, s) < 0) {
    examine_section(*fw, *t, true, s);
    return -1;
  }
  // Clearing the old records with no image to put in their place would
  // remove the image from the board and report a success.
  if (s.skipped || s.length == 0) {
    examine_section(*fw, *t, true, s);
    const std::string why = std::string("holds no ") + t->section_name +
                            " image to write: the section lies beyond the end of the file, is erased, "
                            "lacks the \"QMZ\" signature or has length 0";
    nand_report_nothing_to_write(fn_name, fw_name, fw_len, why.c_str(), "the partition table was left as it was");
    return -1;
  }

  // Drop the records of this type and move the cursor past every block the
  // remaining records list.
  block_w_nmb = block_w_start;
  for (int r = 0; r < partition_records_per_page; ++r) {
    uint8_t *rec = data.data() + r * sizeof(partition_record_t);
    if (rec[4] == t->type_id[0] && rec[5] == t->type_id[1]) {
      std::memset(rec, 0xFF, sizeof(partition_record_t));
      printf("partition_table record %d clear \n\r", r);
    }
    for (int e = 0; e < partition_blocks_per_record; ++e) {
      const int v = rd_le16(rec + offsetof(partition_record_t, blocks) + 2 * e);
      if (v >= block_w_nmb && v <= cursor_scan_limit) block_w_nmb = v + 1;
    }
  }
  printf("block_w_nmb=%d\n\r", block_w_nmb);

  const uint64_t crc = crc16(data.data(), page_size);
  printf("crc = 0x%lx \n\r", static_cast<unsigned long>(crc));
  data[page_size + spare_crc_lo] = static_cast<uint8_t>(crc);
  data[page_size + spare_crc_hi] = static_cast<uint8_t>(crc >> 8);
  const int copies = nand_write_copies(data.data(), partition_block_first, partition_block_count, fn_name);
  if (copies == nand_link_lost) {
    printf("%s: the board stopped answering, partial write stopped\n\r", fn_name);
    return -1;
  }
  if (copies != 0) {
    printf("%s: no block of %d-%d took the partition table, partial write stopped\n\r", fn_name,
           partition_block_first, partition_block_first + partition_block_count - 1);
    return -1;
  }
  printf("update partition_table done \n\r");

  examine_section(*fw, *t, true, s);
  nand_print_section_write(s);
  const int r = nand_load_image_block(g_uart_hdl, fw->data() + s.str_address, s.length, t->type_id);
  if (r != image_placed) {
    printf("%s: %s image not placed whole (%d), partition table not copied\n\r", fn_name, t->section_name, r);
    return -1;
  }
  if (partition_table_copy() == image_link_lost) {
    printf("%s: the board stopped answering, partial write stopped\n\r", fn_name);
    return -1;
  }
  return 0;
}
