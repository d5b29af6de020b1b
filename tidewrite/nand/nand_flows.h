// The NAND write flows on a connected board, the offline image, and the run
// driver with the page dump.
#pragma once

#include <cstdint>

#include "tidewrite/serial_port.h"

int nand_flash_normal_write();                             // 0, -1
int nand_flash_partial_image_write(const char *type_id_w);  // 0, -1
int nand_load_ftl_block(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, int block_s, int block_bs);  // 0, -1
// Puts one entry into the first free slot of an FTL table page (2048 bytes,
// magic first); false when all 255 entries are in use.
bool ftl_table_add_entry(uint8_t *table, int logical, int backup);
int nand_flash_generate_image();                           // 0 file written, -1
// Called after each piece of the image file is written (bytes written so
// far, of total), for tests that need a slow write; null for none.
using nand_image_write_hook_fn = void (*)(int64_t written, int64_t total);
void nand_image_set_write_hook(nand_image_write_hook_fn hook);
// The section step of the offline image: every section the rules accept,
// copied into fw_g_buf from block_w_nmb on. 0, or -1 after the message of a
// rejected section, of a firmware with nothing to write, or of a full device.
int nand_image_copy_sections(const uint8_t *fw, int fw_len);
int nand_download(const char *fw_file_name);               // 0, -1 .. -6
int nand_flash_dump(int block_s, int block_e);             // 0, -6
// With -o (and a range that dumps anything): -6 and the reason on standard
// error when "flash_log.bin" cannot take the dump (not a regular file), else 0.
int nand_dump_file_check();
