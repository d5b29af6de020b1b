// Flash-loader upload over UART boot: the loader file goes to the boot ROM
// by XMODEM, the board is told to run it, and the port is closed so that the
// operation that follows starts afresh against the loader.
#include <cstdio>
#include <string>

#include "tidewrite/data_search.h"
#include "tidewrite/dialogue.h"
#include "tidewrite/failure_reason.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"
#include "tidewrite/progress.h"
#include "tidewrite/serial_port.h"
#include "tidewrite/xmodem_r.h"

namespace {

constexpr size_t kLoaderPathLimit = 2048;
constexpr int kAfterResetPauseMs = 100;

// fw_file names the file most recently loaded; the options record only
// points, so the text lives here.
std::string g_loader_path;

int close_port(int rc) {
  uart_close(g_uart_hdl);
  g_uart_hdl = 0;
  return rc;
}

}  // namespace

int start_uart_boot_xmodem(UARTHDL hdl, int /*start*/) {
  uart_write(hdl, "uboot \n", 7);
  return 0;
}

int uboot_flashloader(const char *loader_name) {
  g_uart_hdl = uart_open(g_cmd_option.port);
  if (g_uart_hdl == 0) {
    std::printf("uart %s open fail\n\r", g_cmd_option.port);
    return -1;
  }
  operation = "Uart boot";

  if (handshake(g_uart_hdl) < 0) return close_port(-2);

  // The current directory wins over the copies shipped with the program.
  if (const auto found = find_data_file(loader_name, kLoaderPathLimit)) {
    g_loader_path = *found;
  } else {
    note_failure("%s is in none of the places searched: %s", loader_name,
                 data_file_places(kLoaderPathLimit).c_str());
    std::printf("flash loader not found\n\r");
    return close_port(-9);
  }
  g_cmd_option.fw_file = g_loader_path.c_str();

  int fw_len = 0;
  const auto fw = read_fw_file(g_loader_path.c_str(), &fw_len);
  if (!fw) {
    std::printf("fw_buf is NULL, goto exit !!!\n\r");
    return close_port(-3);
  }

  nor_bind_xmodem();
  start_uart_boot_xmodem(g_uart_hdl, 0);
  bool acknowledged = false;
  {
    ProgressStep progress("flash loader", "bytes", static_cast<int64_t>(fw->size()));
    // A failed transfer shows as the missing "OK" that follows.
    const int tx = xmodem_tx(fw->data(), static_cast<int>(fw->size()), true, 1, 0);
    if (tx < 0) note_failure("%s", xmodem_failure_text(tx).c_str());
    acknowledged = recv_response(g_uart_hdl) == 0;
  }
  if (!acknowledged) {
    std::printf("uboot fail\n\r");
    return close_port(-4);
  }

  reset_device(g_uart_hdl);
  Sleep(kAfterResetPauseMs);
  return close_port(0);
}
