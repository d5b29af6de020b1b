// The only layer that touches the serial device: raw mode, speed, bounded
// reads, writes, flushes and the DTR/RTS modem-control lines.
#pragma once

#include <cstdint>

using UARTHDL = int;  // the open descriptor; 0 means no port

extern UARTHDL g_uart_hdl;  // the port of the running operation

UARTHDL uart_open(const char *port);  // 0 on failure
void uart_close(UARTHDL hdl);
int uart_write(UARTHDL hdl, const void *data, int len);
// Up to len bytes within timeout ms: the count, 0 on time-out (data
// untouched), negative on a read error. Never waits past its deadline.
int uart_read(UARTHDL hdl, void *data, int len, int timeout);
int uart_set_baudrate(UARTHDL hdl, int baudrate);
int uart_set_timeout(UARTHDL hdl, int timeout);
int uart_set_min_byte(UARTHDL hdl, int cnt);
int uart_set_rts(UARTHDL hdl, int state);  // nonzero releases, 0 asserts
int uart_set_dtr(UARTHDL hdl, int state);
void uart_flush_tx(UARTHDL hdl);
void uart_flush_rx(UARTHDL hdl);
void Sleep(int ms);

// Seams below the line requests and the pauses. A pseudo-terminal refuses
// modem-control requests, so tests record them here instead. Passing null
// restores the real ioctl / usleep.
using uart_modem_request_fn = int (*)(int fd, unsigned long request, int bits);
using uart_sleep_fn = void (*)(int ms);
void uart_set_modem_request_hook(uart_modem_request_fn fn);
void uart_set_sleep_hook(uart_sleep_fn fn);
