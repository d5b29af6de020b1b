#include <array>
#include <cstdio>
#include <string>

#include "tidewrite/dialogue.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nand/nand_commands.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/options.h"
#include "tidewrite/output_file.h"
#include "tidewrite/progress.h"
#include "tidewrite/xmodem_r.h"

int nand_dump_file_check() {
  // A dump that writes nothing (start above end) needs no file.
  if (lira_nand_dump != 1 || block_os > block_e) return 0;
  const std::string why = output_file_refusal(dump_file_name);
  if (why.empty()) return 0;
  fprintf(stderr, "tidewrite: %s: %s; the dump cannot be written, nothing done\n", dump_file_name, why.c_str());
  return -6;
}

int nand_download(const char *fw_file_name) {
  // Refused before the port is opened, so the board is never touched for a
  // run whose dump has nowhere to go.
  if (const int r = nand_dump_file_check(); r != 0) return r;
  g_uart_hdl = uart_open(g_cmd_option.port);
  if (g_uart_hdl == 0) {
    printf("uart %s open fail\n\r", g_cmd_option.port);
    return -1;
  }
  printf("%s opened\n\r", g_cmd_option.port);
  operation = "nand download";
  if (handshake(g_uart_hdl) < 0) return -1;
  xmodem_set_uart(g_uart_hdl, uart_write, uart_read);

  uint8_t chip_id[3] = {0, 0, 0};
  // The first command after the handshake: a board that does not answer it
  // has gone (or runs no NAND loader), and every later command would only
  // wait out its own time-out.
  const int got = nand_get_flash_chipID(g_uart_hdl, chip_id);
  if (got < static_cast<int>(sizeof chip_id)) {
    if (!uart_link_lost(g_uart_hdl)) {
      fprintf(stderr, "nand_download: %d of 3 chip ID bytes arrived: the board stopped answering, nothing written\n",
              got > 0 ? got : 0);
    }
    return -1;
  }
  printf("Flash chip ID is 0x%2x 0x%2x 0x%2x \n\r", chip_id[0], chip_id[1], chip_id[2]);

  g_cmd_option.fw_file = fw_file_name;
  int fw_len = 0;
  const std::optional<std::vector<uint8_t>> fw = read_fw_file(fw_file_name, &fw_len);
  if (!fw) {
    printf("read %s return NULL fw_buf, goto exit !!!\n\r", fw_file_name);
    return -2;
  }
  printf("%s length = %d \n\r", fw_file_name, fw_len);

  if (type_id_w != nullptr) {
    if (nand_flash_partial_image_write(type_id_w) != 0) return -5;
  } else if (lira_nand_ftl_w == 1) {
    printf("Lira nand flash FTL write\n\r");
    printf("start block is %d\n\r", block_s);
    printf("back start block is %d\n\r", block_bs);
    if (nand_load_ftl_block(g_uart_hdl, fw->data(), fw_len, block_s, block_bs) != 0) return -4;
  } else {
    if (nand_flash_normal_write() != 0) return -3;
  }

  if (lira_nand_dump == 1 && nand_flash_dump(block_os, block_e) != 0) return -6;
  return 0;
}

int nand_flash_dump(int block_s, int block_e) {
  printf("Lira nand flash dump\n\r");
  printf("start block is %d\n\r", block_s);
  printf("end block is %d\n\r", block_e);
  g_cmd_option.log_file = dump_file_name;
  printf("Dump %s\n\r", dump_file_name);
  if (block_s > block_e) return 0;
  if (block_s < 0 || block_e >= block_nmb) {
    printf("dump range %d-%d lies outside blocks 0-%d, nothing dumped !!!\n\r", block_s, block_e,
           block_nmb - 1);
    return -6;
  }
  // Whole blocks, first page of the start block through the last page of the end block.
  std::array<uint8_t, page_raw_size> page;
  const int first = block_s * page_per_block_nmb;
  const int last = block_e * page_per_block_nmb + page_per_block_nmb - 1;
  ProgressStep progress("dump", "pages", last - first + 1);
  for (int p = first; p <= last; ++p) {
    page.fill(0xFF);
    if (nand_read_page(g_uart_hdl, page.data(), p) < page_xfer_size) {
      progress_end();
      printf("page %d could not be read, dump stopped !!!\n\r", p);
      return -6;
    }
    if (write_fw_file(dump_file_name, page.data(), page_size) != 0) {
      progress_end();
      printf("%s could not be written, dump stopped !!!\n\r", dump_file_name);
      return -6;
    }
    progress_add(1);
  }
  return 0;
}
