#include "tidewrite/nand/nand_commands.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/options.h"
#include "tidewrite/xmodem_r.h"

namespace {

// Every command fits the 64-byte buffer and goes out in one write.
[[gnu::format(printf, 2, 3)]] void send_command(UARTHDL hdl, const char *fmt, ...) {
  char cmd[64];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(cmd, sizeof cmd, fmt, ap);
  va_end(ap);
  uart_write(hdl, cmd, n);
}

bool reply_ok(UARTHDL hdl, int timeout) {
  uint8_t reply[2] = {0, 0};
  uart_read(hdl, reply, 2, timeout);
  return reply[0] == 'O' && reply[1] == 'K';
}

int write_raw(UARTHDL hdl, const uint8_t *data, unsigned raw_offset, int len, int reply_timeout) {
  send_command(hdl, "sfwd 0 0 0x%x\n", raw_offset);
  const int tx_ret = xmodem_tx(data, len, true, xmodem_nk, 1);
  if (reply_ok(hdl, reply_timeout) && tx_ret >= 0) return 0;
  printf("sfwd fail,tx_ret = %d \n\r", tx_ret);
  return -1;
}

}  // namespace

int nand_get_flash_chipID(UARTHDL hdl, uint8_t *data) {
  uart_write(hdl, "snb 0x10\n", 9);
  return uart_read(hdl, data, 3, 2000);
}

int nand_read_page(UARTHDL hdl, uint8_t *data, int page_address) {
  send_command(hdl, "snr 0x%x 0 %d 0\n", static_cast<unsigned>(page_address), page_xfer_size);
  int count = 0;
  while (count < page_xfer_size) {
    const int n = uart_read(hdl, data + count, page_xfer_size - count, 3000);
    // Nothing within a read's time-out means the board has gone quiet: report
    // the short count rather than wait on. A lost line has had its cause
    // recorded already (hang-up, stall, silence, a stop signal).
    if (n <= 0) {
      if (!uart_link_lost(hdl)) {
        fprintf(stderr, "nand_read_page: page %d: %d of %d bytes arrived, the board stopped answering\n",
                page_address, count, page_xfer_size);
      }
      break;
    }
    count += n;
  }
  return count;
}

int nand_write_page(UARTHDL hdl, const uint8_t *data, int page_address) {
  return write_raw(hdl, data, static_cast<unsigned>(page_address) * page_raw_size, page_xfer_size, 2000);
}

int nand_write_block(UARTHDL hdl, const uint8_t *data, int block_address) {
  return write_raw(hdl, data, static_cast<unsigned>(block_address) * block_raw_size, block_raw_size,
                   1000);
}

int nand_erase_block(UARTHDL hdl, int block_address) {
  send_command(hdl, "sne 0x%x 0x%x\n", static_cast<unsigned>(block_address) * block_raw_size,
               static_cast<unsigned>(block_raw_size));
  if (reply_ok(hdl, 1000)) return 0;
  printf("sne fail,block_address=0x%x\n\r", static_cast<unsigned>(block_address));
  return -1;
}

int nand_verify_page(UARTHDL hdl, const uint8_t *written, int page_address, uint8_t *data_r) {
  if (nand_read_page(hdl, data_r, page_address) < page_xfer_size) return nand_link_lost;
  return memcmp(written, data_r, page_xfer_size) == 0 ? nand_check_equal : nand_check_differs;
}

int nand_verify_block(UARTHDL hdl, const uint8_t *block, int block_address, uint8_t *data_r) {
  for (int j = 0; j < page_per_block_nmb; ++j) {
    const int c = nand_verify_page(hdl, block + j * page_raw_size,
                                   block_address * page_per_block_nmb + j, data_r);
    if (c != nand_check_equal) return c;
  }
  return nand_check_equal;
}

void nand_mark_bad_block(int block, uint8_t *data_r) {
  nand_erase_block(g_uart_hdl, block);
  data_r[page_size + spare_bad_marker] = bad_block_mark;
  nand_write_page(g_uart_hdl, data_r, block * page_per_block_nmb);
}

int nand_write_copies(const uint8_t *page, int first, int count, const char *fn_name) {
  std::array<uint8_t, page_raw_size> data_r;
  data_r.fill(0xFF);
  bool one_passed = false;
  for (int t = 0; t < count; ++t) {
    const int page_address = (first + t) * page_per_block_nmb;
    nand_write_page(g_uart_hdl, page, page_address);
    const int c = nand_verify_page(g_uart_hdl, page, page_address, data_r.data());
    if (c == nand_link_lost) return nand_link_lost;
    if (c == nand_check_equal) {
      if (one_passed) return 0;
      one_passed = true;
    } else {
      printf("%s, block %d write fail! \n\r", fn_name, t);
      nand_mark_bad_block(first + t, data_r.data());
    }
  }
  return one_passed ? 0 : nand_copies_none;
}
