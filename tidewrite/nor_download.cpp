// NOR image download: the image goes out in at most two pieces around the
// masked area, each by XMODEM after a start command, optionally followed by
// a SHA-256 comparison; or only the comparison (verify); or an erase.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tidewrite/dialogue.h"
#include "tidewrite/failure_reason.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"
#include "tidewrite/progress.h"
#include "tidewrite/serial_port.h"
#include "tidewrite/sha256.h"
#include "tidewrite/xmodem_r.h"

namespace {

constexpr int kChipQ5 = 1;
constexpr int kChipLrm = 2;
constexpr int kQ5SettleMs = 500;
constexpr int kQ5EchoTimeoutMs = 1000;

xmodem_write_fn g_xmodem_write = nullptr;
xmodem_read_fn g_xmodem_read = nullptr;

// Flash addresses go out as 32-bit hexadecimal; the sum may pass the int
// range with a large offset, so it is formed wide and wrapped like the
// device's own 32-bit arithmetic.
unsigned flash_address(int64_t offset, int64_t in_file) { return static_cast<uint32_t>(offset + in_file); }

// The q5 boot ROM takes one command carrying the transfer rate, echoes text,
// and switches to that rate before it asks for the XMODEM transfer.
int start_q5(UARTHDL hdl, int pin_idx, int start) {
  char cmd[128];
  const int len = std::snprintf(cmd, sizeof cmd, "fwd 16 15 %d 0 0 %d 0 %x", g_cmd_option.baud_rate, pin_idx,
                                static_cast<unsigned>(start));
  uart_write(hdl, cmd, len);
  Sleep(kQ5SettleMs);
  char drop[127];
  uart_read(hdl, drop, sizeof drop, kQ5EchoTimeoutMs);
  uart_write(hdl, "\r\n", 2);
  uart_read(hdl, drop, sizeof drop, kQ5EchoTimeoutMs);
  return uart_set_baudrate(hdl, g_cmd_option.baud_rate) < 0 ? -1 : 0;
}

int send_start(UARTHDL hdl, const char *format, int pin_idx, int start) {
  if (g_cmd_option.enter_download == kChipQ5) return start_q5(hdl, pin_idx, start);
  char cmd[128];
  const int len = std::snprintf(cmd, sizeof cmd, format, pin_idx, static_cast<unsigned>(start));
  uart_write(hdl, cmd, len);
  return 0;
}

const char *chip_name(int enter_download) { return enter_download == kChipQ5 ? "q5" : "lrm"; }

}  // namespace

void nor_set_xmodem_transport(xmodem_write_fn write, xmodem_read_fn read) {
  g_xmodem_write = write;
  g_xmodem_read = read;
}

void nor_bind_xmodem() {
  xmodem_set_uart(g_uart_hdl, g_xmodem_write ? g_xmodem_write : uart_write,
                  g_xmodem_read ? g_xmodem_read : uart_read);
}

int start_xmodem(UARTHDL hdl, int pin_idx, int start) { return send_start(hdl, "fwd 0 %d %x \n", pin_idx, start); }

int start_xmodem_16k(UARTHDL hdl, int pin_idx, int start) {
  return send_start(hdl, "fwd16k 0 %d %x \n", pin_idx, start);
}

int nor_split_pieces(int fw_len, nor_pieces *pieces) {
  *pieces = {1, {0, 0}, {fw_len, 0}};
  const cmd_option_t &opt = g_cmd_option;
  if (opt.enter_download != 0 || opt.masked_start == 0 || opt.masked_end == 0) return 0;
  if (opt.masked_start >= opt.masked_end) {
    std::printf("ERROR: wrong masked area");
    return -4;
  }
  // Wide arithmetic: offsets and bounds come from the command line and their
  // differences need not fit an int.
  const int64_t offset = opt.img_offset;
  const int64_t mstart = opt.masked_start;
  const int64_t mend = opt.masked_end;
  const int64_t len = fw_len;
  auto size_error = [] {
    std::printf("ERROR: please check masked area, image offset and firmware size\n\r");
    return -5;
  };

  if (offset >= mend || offset + len <= mstart) return 0;  // clear of the masked area: whole image
  if (offset < mstart) {
    const int64_t second_start = mend - offset;
    if (len - second_start < 0) return size_error();
    *pieces = {2, {0, static_cast<int>(second_start)},
               {static_cast<int>(mstart - offset), static_cast<int>(len - second_start)}};
    return 0;
  }
  const int64_t first = mend - offset;  // begins inside the masked area
  if (len - first < 0) return size_error();
  *pieces = {1, {static_cast<int>(first), 0}, {static_cast<int>(len - first), 0}};
  return 0;
}

int nor_operation(int xmodem_txmode, const char *fw_file_name) {
  const cmd_option_t &opt = g_cmd_option;
  g_uart_hdl = uart_open(opt.port);
  if (g_uart_hdl == 0) {
    std::printf("uart %s open fail\n\r", opt.port);
    return -1;
  }

  if (opt.erase_mode >= 0) {
    operation = "erase";
    if (uart_setup(g_uart_hdl) < 0) return -1;
    return erase_device(g_uart_hdl, opt.erase_mode, opt.erase_start, opt.erase_end, opt.fpin_index);
  }
  operation = opt.is_verify_only ? "verify" : "upload";

  int fw_len = 0;
  const auto fw = read_fw_file(fw_file_name, &fw_len);
  if (!fw) return -2;
  // Never trust the reported length beyond the bytes actually held.
  if (fw_len < 0 || static_cast<size_t>(fw_len) > fw->size()) fw_len = static_cast<int>(fw->size());

  if (handshake(g_uart_hdl) < 0) return -3;

  nor_pieces pieces;
  if (const int rc = nor_split_pieces(fw_len, &pieces); rc < 0) return rc;

  nor_bind_xmodem();

  const bool compare = opt.is_verify && opt.enter_download == 0;
  if (opt.is_verify && !compare) {
    std::fprintf(stderr, "hash check skipped: chip %s has no hash query\n", chip_name(opt.enter_download));
  }

  // Both pieces of a masked download count as one upload. A verify-only
  // pass sends nothing and prints its own lines.
  int64_t to_send = 0;
  if (!opt.is_verify_only) {
    for (int i = 0; i < pieces.piece_cnt; ++i) to_send += pieces.piece_size[i];
  }
  ProgressStep progress("upload", "bytes", to_send);
  int64_t sent = 0;

  for (int i = 0; i < pieces.piece_cnt; ++i) {
    const uint8_t *piece = fw->data() + pieces.piece_start[i];
    const int size = pieces.piece_size[i];
    const int address = static_cast<int>(flash_address(opt.img_offset, pieces.piece_start[i]));
    // A piece without bytes (an empty file, an image ending right at the
    // masked end) has nothing to program or compare, and a board answers an
    // empty transfer with no "OK".
    if (size == 0) continue;

    if (opt.is_verify_only) {
      start_xmodem(g_uart_hdl, opt.fpin_index, address);
      xmodem_eot();
      std::printf("setup offset %d\n\r", i);
    } else {
      if (xmodem_txmode == 1) {
        start_xmodem(g_uart_hdl, opt.fpin_index, address);
      } else {
        start_xmodem_16k(g_uart_hdl, opt.fpin_index, address);
      }
      // A failed transfer shows as the missing "OK" that follows; its cause
      // is kept for the line on standard error.
      const int tx = xmodem_tx(piece, size, true, xmodem_txmode, 0);
      if (tx < 0) note_failure("%s", xmodem_failure_text(tx).c_str());
      if (recv_response(g_uart_hdl) < 0) return -8;
      sent += size;
      if (sent == to_send) {
        progress_end();
      } else if (compare) {
        progress_hide();  // the comparison prints whole lines on stdout
      }
    }

    if (compare) {
      uint8_t digest[32];
      sha256(piece, size, digest);
      if (chip_lira == 1) {
        if (hash_verify_lira(g_uart_hdl, size, pieces.piece_start[i], digest) < 0) return -6;
      } else {
        if (hash_verify(g_uart_hdl, size, digest) < 0) return -7;
      }
      std::printf("hash verify pass\n\r");
    }
  }
  return 0;
}
