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
int nand_download(const char *fw_file_name);               // 0, -1 .. -6
int nand_flash_dump(int block_s, int block_e);             // 0, -6
