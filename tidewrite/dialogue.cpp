#include "tidewrite/dialogue.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tidewrite/failure_reason.h"
#include "tidewrite/options.h"

namespace {

constexpr int kBaseRate = 115200;
constexpr int kReplyTimeoutMs = 1000;
constexpr int kBannerTimeoutMs = 2000;
constexpr int kBannerMax = 1024;

constexpr int kRelease = 1;
constexpr int kAssert = 0;

void flush_both(UARTHDL hdl) {
  uart_flush_tx(hdl);
  uart_flush_rx(hdl);
}

void send(UARTHDL hdl, std::string_view text) {
  uart_write(hdl, text.data(), static_cast<int>(text.size()));
}

// The bytes one read delivered, searched as bytes (a NUL does not end them).
bool contains(const char *buf, int n, std::string_view token) {
  if (n <= 0) return false;
  return std::string_view(buf, static_cast<size_t>(n)).find(token) != std::string_view::npos;
}

int read_banner(UARTHDL hdl) {
  char banner[kBannerMax] = {};
  int n = uart_read(hdl, banner, kBannerMax, kBannerTimeoutMs);
  return contains(banner, n, "Test Mode") || contains(banner, n, "Download Image") ? 0 : -1;
}

// Writes "ping\n" and judges the four-byte echo; *n gets the count received.
bool ping_once(UARTHDL hdl, char (&reply)[5], int *n) {
  std::memset(reply, 0, sizeof reply);
  send(hdl, "ping\n");
  *n = uart_read(hdl, reply, 4, kReplyTimeoutMs);
  return *n == 4 && std::memcmp(reply, "ping", 4) == 0;
}

int received_len(int n) { return n > 0 ? n : 0; }

int handshake_lira(UARTHDL hdl) {
  uart_flush_rx(hdl);
  char reply[5];
  int n = 0;
  if (!ping_once(hdl, reply, &n)) {
    std::printf("ping fail %.*s\n\r", received_len(n), reply);
    if (!ping_once(hdl, reply, &n)) {
      std::printf("ping retry fail %.*s\n\r", received_len(n), reply);
      return -1;
    }
  }

  uart_flush_rx(hdl);
  char cmd[64];
  int len = std::snprintf(cmd, sizeof cmd, "ucfg %d 0 0\n", g_cmd_option.baud_rate);
  uart_write(hdl, cmd, len);
  // The board switches as soon as it has taken the command; its "OK" comes
  // at the new rate, so the host must switch before it arrives.
  Sleep(100);
  if (uart_set_baudrate(hdl, g_cmd_option.baud_rate) != 0) return -1;
  char ok[2] = {};
  n = uart_read(hdl, ok, 2, kReplyTimeoutMs);
  if (n == 2 && std::memcmp(ok, "OK", 2) == 0) return 0;
  std::printf("ucfg fail\n\r");
  return -1;
}

constexpr std::string_view kWakeWord = std::string_view("Vtl4420K\r\n").substr(0, 8);
constexpr std::string_view kRomPrompt = "$4420k>";

bool q5_wake(UARTHDL hdl) {
  send(hdl, kWakeWord);
  char reply[9] = {};
  int n = uart_read(hdl, reply, sizeof reply, kReplyTimeoutMs);
  return contains(reply, n, kRomPrompt);
}

int handshake_q5(UARTHDL hdl) {
  flush_both(hdl);
  if (q5_wake(hdl)) {
    std::printf("download mode ok\n\r");
    return 0;
  }
  send(hdl, "\r\n");
  char prompt[127] = {};
  int n = uart_read(hdl, prompt, sizeof prompt, kReplyTimeoutMs);
  if (!contains(prompt, n, "#")) {
    std::printf("download mode fail\n\r");
    return -1;
  }
  // A running application answered: ask it to restart into the ROM.
  send(hdl, std::string_view("ATXX\r\n").substr(0, 5));
  Sleep(1000);
  flush_both(hdl);
  if (q5_wake(hdl)) {
    std::printf("download mode ok\n\r");
    return 0;
  }
  std::printf("download mode fail\n\r");
  return -1;
}

}  // namespace

int uart_setup(UARTHDL hdl) {
  if (uart_set_baudrate(hdl, kBaseRate) != 0) return -1;
  Sleep(100);
  flush_both(hdl);
  return 0;
}

int hw_enter_download_mode(UARTHDL hdl) {
  uart_set_rts(hdl, kRelease);
  Sleep(50);
  uart_set_dtr(hdl, kAssert);
  Sleep(10);
  uart_set_rts(hdl, kRelease);
  Sleep(50);
  flush_both(hdl);
  uart_set_dtr(hdl, kRelease);
  Sleep(10);
  uart_set_rts(hdl, kAssert);
  Sleep(50);
  uart_set_rts(hdl, kRelease);
  Sleep(10);
  uart_set_dtr(hdl, kAssert);
  int seen = read_banner(hdl);
  Sleep(50);
  flush_both(hdl);
  Sleep(100);
  return seen;
}

int hw_enter_download_mode_mini(UARTHDL hdl) {
  uart_set_dtr(hdl, kRelease);
  uart_set_rts(hdl, kAssert);
  Sleep(50);
  uart_set_dtr(hdl, kAssert);
  uart_set_rts(hdl, kRelease);
  Sleep(50);
  int seen = read_banner(hdl);
  Sleep(50);
  flush_both(hdl);
  Sleep(50);
  return seen;
}

int reset_to_download_mode(UARTHDL hdl) {
  if (g_cmd_option.enter_download == 2) {
    hw_enter_download_mode_mini(hdl);
  } else if (hw_enter_download_mode(hdl) != 0) {
    hw_enter_download_mode_mini(hdl);
  }
  return 0;
}

int handshake(UARTHDL hdl) {
  if (uart_set_baudrate(hdl, kBaseRate) != 0) return -1;
  Sleep(100);
  flush_both(hdl);
  return g_cmd_option.enter_download == 1 ? handshake_q5(hdl) : handshake_lira(hdl);
}

int recv_response(UARTHDL hdl) {
  char ok[2] = {};
  int n = uart_read(hdl, ok, 2, kReplyTimeoutMs);
  if (n == 2 && std::memcmp(ok, "OK", 2) == 0) return 0;
  if (n <= 0) {
    note_failure("no \"OK\" came from the board within %d ms after the transfer", kReplyTimeoutMs);
  } else if (n == 2 && std::memcmp(ok, "ER", 2) == 0) {
    note_failure("the board answered \"ER\" instead of \"OK\": it refused the data (does the image run past the "
                 "end of the flash?)");
  } else {
    note_failure("the board answered \"%s\" instead of \"OK\" after the transfer", printable(ok, n).c_str());
  }
  return -1;
}

void reset_device(UARTHDL hdl) {
  if (g_cmd_option.enter_download != 1) {
    send(hdl, "disc\n");
    return;
  }
  uart_set_baudrate(hdl, kBaseRate);
  flush_both(hdl);
  send(hdl, "WDTRST\r\n");
}

void hw_reset_device(UARTHDL hdl) {
  uart_set_dtr(hdl, kRelease);
  uart_set_rts(hdl, kRelease);
  Sleep(50);
  uart_set_dtr(hdl, kRelease);
  uart_set_rts(hdl, kAssert);
  Sleep(50);
  uart_set_dtr(hdl, kRelease);
  uart_set_rts(hdl, kRelease);
}

std::string printable(const char *bytes, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}
