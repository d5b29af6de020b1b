// NOR flash operations: image download around a masked area, chip and
// sector erase, SHA-256 verification, and the flash-loader upload.
#pragma once

#include <cstdint>

#include "tidewrite/serial_port.h"

// Download, verify or erase, as the options say; 0 or a negative code.
int nor_operation(int xmodem_txmode, const char *fw_file_name);
int start_xmodem(UARTHDL hdl, int pin_idx, int start);
int start_xmodem_16k(UARTHDL hdl, int pin_idx, int start);

int erase_device(UARTHDL hdl, int mode, int start, int end, int flash_pin);
int hash_verify(UARTHDL hdl, int fw_len, const uint8_t *hash_local);
int hash_verify_lira(UARTHDL hdl, int fw_len, int fw_offset, const uint8_t *hash_local);
void print_hash(const uint8_t *hash);

// Loader upload over UART boot; 0 or -1/-2/-3/-4/-9.
int uboot_flashloader(const char *loader_name);
int start_uart_boot_xmodem(UARTHDL hdl, int start);
