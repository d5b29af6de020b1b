// NOR flash operations: image download around a masked area, chip and
// sector erase, SHA-256 verification, and the flash-loader upload.
#pragma once

#include <cstdint>

#include "tidewrite/serial_port.h"
#include "tidewrite/xmodem_r.h"

// Download, verify or erase, as the options say; 0 or a negative code.
int nor_operation(int xmodem_txmode, const char *fw_file_name);

// The parts of the image that are sent, around the masked area: piece i is
// the file range [piece_start[i], piece_start[i] + piece_size[i]) and goes
// to flash address img_offset + piece_start[i].
struct nor_pieces {
  int piece_cnt;
  int piece_start[2];
  int piece_size[2];
};
// From the options: 0, -4 (masked start not below its end) or -5 (the image
// ends inside the masked area); prints the error lines. Every piece lies
// within [0, fw_len].
int nor_split_pieces(int fw_len, nor_pieces *pieces);

int start_xmodem(UARTHDL hdl, int pin_idx, int start);
int start_xmodem_16k(UARTHDL hdl, int pin_idx, int start);

int erase_device(UARTHDL hdl, int mode, int start, int end, int flash_pin);
int hash_verify(UARTHDL hdl, int fw_len, const uint8_t *hash_local);
int hash_verify_lira(UARTHDL hdl, int fw_len, int fw_offset, const uint8_t *hash_local);
void print_hash(const uint8_t *hash);

// Loader upload over UART boot; 0 or -1/-2/-3/-4/-9.
int uboot_flashloader(const char *loader_name);
int start_uart_boot_xmodem(UARTHDL hdl, int start);

// The transport the NOR download and the loader upload bind the XMODEM
// sender to (uart_write / uart_read unless set). Tests pass a read with short
// time-outs so that a silent board costs milliseconds; null restores the port.
void nor_set_xmodem_transport(xmodem_write_fn write, xmodem_read_fn read);
// Binds the XMODEM sender to g_uart_hdl with that transport.
void nor_bind_xmodem();
