// Image block writer: one image into consecutive good blocks from the block
// cursor, recorded in 48-block partition records; and the table copy.
#pragma once

#include <cstdint>
#include <vector>

#include "tidewrite/serial_port.h"

extern int block_w_nmb;               // block cursor of the image writers
// Offline image in the raw layout; the copy form grows it to the whole device
// (filled with 0xFF) when it is smaller.
extern std::vector<uint8_t> fw_g_buf;

// Results of the writers.
inline constexpr int image_placed = 0;
inline constexpr int image_cursor_past_end = -1;  // cursor reached block 1024
inline constexpr int image_table_full = -2;       // a record found no empty slot
inline constexpr int image_link_lost = -3;        // the board stopped answering
inline constexpr int image_table_not_stored = -4; // no table block verified (device form)

int nand_load_image_block(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, const uint8_t *id);
int nand_image_copy_block(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, const uint8_t *id);
// 0 copied, -1 no table in blocks 16..19, image_link_lost.
int partition_table_copy();
