#include <array>
#include <cstdio>
#include <vector>

#include "tidewrite/main_flow.h"
#include "tidewrite/nand/image_writer.h"
#include "tidewrite/nand/nand_commands.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/nand/sections.h"
#include "tidewrite/options.h"

namespace {

constexpr const char *fn_name = "nand_flash_normal_write";

// Blocks 0..5: two verified copies, or after the first failed block every
// block up to 5. 0, or -1 when the link broke or no block verified.
int write_control_info(const std::vector<uint8_t> &info) {
  const auto crc = static_cast<uint16_t>(crc16(info.data(), page_size));
  printf("crc = 0x%lx \n\r", static_cast<unsigned long>(crc));
  std::array<std::array<uint8_t, page_raw_size>, 2> pages;
  for (int p = 0; p < 2; ++p) nand_control_info_page(info.data(), p, crc, pages[p].data());
  std::array<uint8_t, page_raw_size> data_r;
  data_r.fill(0xFF);

  bool success = false;
  bool fail = false;
  bool any_verified = false;
  for (int b = ctrl_info_block_first; b < ctrl_info_block_first + ctrl_info_block_count; ++b) {
    const int first_page = b * page_per_block_nmb;
    nand_write_page(g_uart_hdl, pages[0].data(), first_page);
    nand_write_page(g_uart_hdl, pages[1].data(), first_page + 1);
    bool both_equal = true;
    // Page 1 is checked even after page 0 marked the block: its read-back then
    // differs too, which gives the second message and marking.
    for (int p = 0; p < 2; ++p) {
      const int c = nand_verify_page(g_uart_hdl, pages[p].data(), first_page + p, data_r.data());
      if (c == nand_link_lost) return -1;
      if (c == nand_check_differs) {
        printf("%s, block %d write fail! \n\r", fn_name, b);
        fail = true;
        both_equal = false;
        nand_mark_bad_block(b, data_r.data());
      }
    }
    any_verified = any_verified || both_equal;
    if (both_equal && !fail) {
      if (success) break;
      success = true;
    }
  }
  printf("flash_control_info done for download \n\r");
  if (!any_verified) {
    // A board with no readable control information does not boot from NAND.
    printf("%s, no control information block of %d-%d verified !!!\n\r", fn_name, ctrl_info_block_first,
           ctrl_info_block_first + ctrl_info_block_count - 1);
    return -1;
  }
  return 0;
}

// Erases the good blocks of 16..23; a block marked bad is left alone.
int clear_partition_area() {
  std::array<uint8_t, page_raw_size> page;
  page.fill(0xFF);
  for (int b = partition_block_first; b < partition_block_first + partition_block_count; ++b) {
    if (nand_read_page(g_uart_hdl, page.data(), b * page_per_block_nmb) < page_xfer_size) return -1;
    const uint8_t marker = page[page_size + spare_bad_marker];
    if (marker == 0xFF) {
      nand_erase_block(g_uart_hdl, b);
    } else {
      printf("data[%d] 0x%x \n\r", b, marker);
      printf("Block %d is bad block!\n\r", b);
    }
  }
  return 0;
}

}  // namespace

int nand_flash_normal_write() {
  block_w_nmb = block_w_start;
  printf("Lira nand flash normal write\n\r");
  const char *fw_name = g_cmd_option.fw_file;

  const std::optional<std::vector<uint8_t>> info = nand_load_control_info();
  if (!info) return -1;

  // The firmware file is read and every present section checked before the
  // board is touched, so a rejected file leaves the flash as it was.
  int fw_len = 0;
  const std::optional<std::vector<uint8_t>> fw = read_fw_file(fw_name, &fw_len);
  if (!fw) {
    printf("read %s return NULL fw_buf, goto exit !!!\n\r", fw_name);
    return -1;
  }
  std::vector<nand_section_t> plan;
  if (nand_plan_sections(fw->data(), fw_len, false, plan) < 0) {
    nand_plan_sections(fw->data(), fw_len, true, plan);  // the same lines, printed this time
    return -1;
  }
  // Erasing the table area and then writing nothing would leave a board that
  // no longer boots, reported as a success.
  if (nand_plan_is_empty(plan)) {
    nand_report_nothing_to_write(fn_name, fw_name, fw_len, nand_no_section_why, "the board was not touched");
    return -1;
  }

  if (write_control_info(*info) < 0) return -1;
  if (clear_partition_area() < 0) return -1;

  printf("%s length = %d \n\r", fw_name, fw_len);
  block_w_nmb = block_w_start;
  for (const nand_section_t &s : plan) {
    printf("type_id = 0x%x 0x%x\n\r", s.type_id[1], s.type_id[0]);
    if (s.skipped) continue;
    const std::vector<uint8_t> copy(fw->begin() + s.str_address, fw->begin() + s.str_address + s.length);
    nand_print_section_write(s);
    const int placed = nand_load_image_block(g_uart_hdl, copy.data(), s.length, s.type_id);
    if (placed != image_placed) {
      // A firmware that is not wholly on the flash and in its table is a failure.
      printf("%s: image at 0x%x not recorded whole, normal write stopped !!!\n\r", fn_name,
             static_cast<unsigned>(s.str_address));
      return -1;
    }
  }
  if (partition_table_copy() == image_link_lost) return -1;
  return 0;
}
