// The five NAND commands of the flash loader, and the composite procedures
// every NAND flow repeats (read-back check, bad-block marking, table copies).
#pragma once

#include <cstdint>

#include "tidewrite/serial_port.h"

int nand_get_flash_chipID(UARTHDL hdl, uint8_t *data);            // bytes read (up to 3)
int nand_read_page(UARTHDL hdl, uint8_t *data, int page_address);  // bytes collected (2052 when whole)
int nand_write_page(UARTHDL hdl, const uint8_t *data, int page_address);    // 0 or -1
int nand_write_block(UARTHDL hdl, const uint8_t *data, int block_address);  // 0 or -1
int nand_erase_block(UARTHDL hdl, int block_address);                       // 0 or -1

// Results of the read-back checks and of the composites built on them.
inline constexpr int nand_check_equal = 0;
inline constexpr int nand_check_differs = 1;
inline constexpr int nand_link_lost = -1;  // a page read came back empty or short

// Reads the page back into data_r (2112 bytes) and compares 2052 bytes.
int nand_verify_page(UARTHDL hdl, const uint8_t *written, int page_address, uint8_t *data_r);
// Pages 0..63 of a block buffer against the device, stopping at the first difference
// (its read-back is left in data_r).
int nand_verify_block(UARTHDL hdl, const uint8_t *block, int block_address, uint8_t *data_r);

// Erase, set the bad-block marker in the read-back page, write it as page 0.
void nand_mark_bad_block(int block, uint8_t *data_r);
// One table page into page 0 of first, first+1, ... until two copies verify or
// count blocks were tried. 0 when at least one copy verified, nand_copies_none
// when none did, nand_link_lost when the board stopped answering.
inline constexpr int nand_copies_none = -2;
int nand_write_copies(const uint8_t *page, int first, int count, const char *fn_name);
