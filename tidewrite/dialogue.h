// Download mode, handshake and reset: the text dialogue with the boot ROM or
// the flash loader, on top of the serial layer.
#pragma once

#include <string>

#include "tidewrite/serial_port.h"

int uart_setup(UARTHDL hdl);                   // 115200, pause, flush; 0 or -1
int hw_enter_download_mode(UARTHDL hdl);       // full line sequence; 0 banner seen
int hw_enter_download_mode_mini(UARTHDL hdl);  // short line sequence; 0 banner seen
int reset_to_download_mode(UARTHDL hdl);       // always 0
int handshake(UARTHDL hdl);                    // 0 ready at the working rate, -1
// 0 on "OK" within 1000 ms, else -1 with the reason recorded (nothing, an
// error reply, other bytes).
int recv_response(UARTHDL hdl);
void reset_device(UARTHDL hdl);                // "disc\n" or the q5 reset
void hw_reset_device(UARTHDL hdl);             // reset pulse on the lines

// Reply bytes as text for a message: printable ASCII as is, the rest (and
// quotes and backslashes) as \xNN.
std::string printable(const char *bytes, int n);
