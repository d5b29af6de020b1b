// XMODEM sender: 128-byte, 1 KiB and 4..64 KiB blocks, CRC-16 or checksum.
#pragma once

#include <cstdint>
#include <string>

#include "tidewrite/serial_port.h"

using xmodem_write_fn = int (*)(UARTHDL hdl, const void *data, int len);
using xmodem_read_fn = int (*)(UARTHDL hdl, void *data, int len, int timeout);

void xmodem_set_uart(UARTHDL uart, xmodem_write_fn write, xmodem_read_fn read);
// len (bytes consumed, whole blocks) on success; -1 cancelled, -2 no start,
// -4 a block failed 25 times, -5 end frame not acknowledged, -6 the line
// failed (a read or write returned an error: hang-up, stall, stop signal),
// which ends the transfer at once, without retries and without CANs.
int xmodem_tx(const uint8_t *src, int srcsz, bool use1K, int nK, int show_progress);
// Why xmodem_tx ended with this negative result, for people (names the
// block for -1 and -4); empty for a success.
std::string xmodem_failure_text(int result);
int xmodem_eot();  // 0 acknowledged, -1 otherwise (at once when the line failed)
void xmodem_draw_progress(const char *desc, int curr, int max);
uint8_t xmodem_get_start_code(int use1K, int &nK);
int calcrc(const uint8_t *ptr, int count);
void out_buff(const uint8_t *buff, int size);
uint8_t in_byte();  // one byte within 1000 ms, 0x00 when none came
