// The only layer that touches the serial device: raw mode, speed, bounded
// reads, writes, flushes and the DTR/RTS modem-control lines.
#pragma once

#include <cstdint>
#include <string>

using UARTHDL = int;  // the open descriptor; 0 means no port

extern UARTHDL g_uart_hdl;  // the port of the running operation

// 0 on failure; the reason then goes to standard error (the caller prints
// its own stdout line). Only a terminal device is taken, and only when no
// other open of it holds the lock: the port is claimed with an exclusive
// flock (never waited for) and exclusive mode, its settings and driver flags
// are saved, low-latency mode is requested where the driver has it, and the
// line is set up raw at 115200 8N1 without flow control.
UARTHDL uart_open(const char *port);
// The standard-error line for a port that failed to open with errno err:
// tells a missing device from a permission problem from a busy port.
std::string uart_open_error_message(const char *port, int err);
// The processes that have the device open, as /proc shows them ("pid 12
// (tidewrite)", comma-separated; empty when none is visible). The
// descriptor own_fd of this process is left out.
std::string uart_port_holders(const char *port, int own_fd);
// Puts back what uart_open changed (driver flags, settings as at open,
// exclusive mode, the lock) and closes the handle, whatever state the line
// is in: output still queued on a working line gets uart_drain_budget_ms to
// go out, the rest is discarded, so a close never waits on a stuck line.
void uart_close(UARTHDL hdl);
// How long a close lets queued bytes go out at the line's rate (0: unknown,
// taken as 115200): twice their time on the line plus 50 ms, at most 2 s.
int uart_drain_budget_ms(int queued, int rate);
// One write of len bytes; the count written (short when the line stalled
// for uart_write_stall_ms) or negative on an error.
int uart_write(UARTHDL hdl, const void *data, int len);
// Up to len bytes within timeout ms: the count, 0 on time-out (data
// untouched), negative on a read error. Never waits past its deadline; once
// bytes have begun to arrive, uart_quiet_ms of silence ends the read early,
// so a reply shorter than asked for costs milliseconds.
int uart_read(UARTHDL hdl, void *data, int len, int timeout);
// uart_read for a reply the board may rightly take long to send (an erase):
// its wait is not counted against uart_silence_limit_ms.
int uart_read_patient(UARTHDL hdl, void *data, int len, int timeout);
inline constexpr int uart_quiet_ms = 100;
// A write ends short once the line has taken no byte for this long (a stuck
// flow control or a vanished adapter); tests shorten it.
extern int uart_write_stall_ms;  // 5000
// Reads of a port end once the board has sent nothing for this long of
// waiting in all (each read's own time-out counts only up to what is left);
// then the line is lost. A byte from the board starts the count afresh.
// Tests shorten it.
extern int uart_silence_limit_ms;  // 20000
// The line of a port is lost once it hung up, stalled, stayed silent past
// uart_silence_limit_ms, or a stop signal came (stop_signal.h). From then on
// every read and write of it fails at once (-1): quietly, the cause having
// been recorded when it happened (failure_reason.h), except that a hung-up
// line's reads still print their read-error line. Cleared by a new open.
bool uart_link_lost(UARTHDL hdl);
int uart_open_count();  // successful uart_open calls so far in this process
// Raw mode and the whole line (8N1, receiver on, modem status ignored, no
// flow control) at the rate; a rate outside the speed table keeps the speed.
int uart_set_baudrate(UARTHDL hdl, int baudrate);
// The part of that setup that does not depend on the rate, on a settings
// record: whatever a previous program left in it.
void uart_raw_line_settings(struct termios &tio);
bool uart_rate_supported(int baudrate);
std::string uart_supported_rates();  // "115200, 500000, ..., 4000000"
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
// The driver's serial-flags requests (TIOCGSERIAL, TIOCSSERIAL) for
// low-latency mode: a pseudo-terminal has none, so tests record them here.
using uart_serial_request_fn = int (*)(int fd, unsigned long request, struct serial_struct *info);
using uart_sleep_fn = void (*)(int ms);
// The output-queue count (TIOCOUTQ) a close drains by: a pseudo-terminal
// queues nothing, so tests play a stuck adapter here.
using uart_output_queue_fn = int (*)(int fd, int *queued);
void uart_set_modem_request_hook(uart_modem_request_fn fn);
void uart_set_serial_request_hook(uart_serial_request_fn fn);
void uart_set_sleep_hook(uart_sleep_fn fn);
void uart_set_output_queue_hook(uart_output_queue_fn fn);
