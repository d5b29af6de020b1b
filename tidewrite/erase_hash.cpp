// Chip and sector erase, and the comparison of the board's SHA-256 of what
// it holds with the digest computed here.
#include <cstdio>
#include <cstring>

#include "tidewrite/dialogue.h"
#include "tidewrite/failure_reason.h"
#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace {

constexpr int kDefaultEraseTimeoutMs = 120000;
constexpr int kHashReplyTimeoutMs = 5000;
constexpr int kDigestSize = 32;
// Flash addresses are 27 bits wide; the upper bits of an address typed as a
// memory-mapped location (0x08100000) are dropped.
constexpr int kFlashAddressMask = 0x7FFFFFF;

// One bounded read of the expected reply length; the serial layer ends it
// at the deadline, or early once a reply that began has gone quiet. An
// erase may rightly take minutes: its wait is the user's -T alone.
int read_reply(UARTHDL hdl, uint8_t *buf, int len, int timeout_ms, bool patient = false) {
  const int n = patient ? uart_read_patient(hdl, buf, len, timeout_ms) : uart_read(hdl, buf, len, timeout_ms);
  return n < 0 ? 0 : n;
}

int query_and_compare(UARTHDL hdl, const char *cmd, int cmd_len, const uint8_t *hash_local) {
  uart_flush_tx(hdl);
  uart_flush_rx(hdl);
  uart_write(hdl, cmd, cmd_len);

  uint8_t resp[64] = {};
  const int got = read_reply(hdl, resp, 6, kHashReplyTimeoutMs);
  if (got != 6 || std::memcmp(resp, "hashs ", 6) != 0) {
    resp[got] = 0;  // at most the six bytes asked for
    std::printf("hashq cmd fail, recv %s\n\r", reinterpret_cast<const char *>(resp));
    return -1;
  }

  Sleep(20);
  std::memset(resp, 0, sizeof resp);
  // The digest is 32 bytes; asking for exactly that ends the read as soon as
  // it is in rather than waiting out the time-out for bytes that never come.
  const int digest_len = read_reply(hdl, resp, kDigestSize, kHashReplyTimeoutMs);

  std::printf("device:");
  print_hash(resp);
  std::printf("local :");
  print_hash(hash_local);

  if (digest_len == kDigestSize && std::memcmp(resp, hash_local, kDigestSize) == 0) {
    std::printf("hash match\n\r");
    return 0;
  }
  std::printf("hash not match\n\r");
  return -1;
}

}  // namespace

void print_hash(const uint8_t *hash) {
  for (int i = 0; i < kDigestSize; ++i) std::printf("%02x", hash[i]);
  std::printf("\n");
}

int erase_device(UARTHDL hdl, int mode, int start, int end, int flash_pin) {
  const int timeout = g_cmd_option.ce_timeout != 0 ? g_cmd_option.ce_timeout : kDefaultEraseTimeoutMs;

  char cmd[64];
  int len;
  if (mode == 0) {
    len = std::snprintf(cmd, sizeof cmd, "ceras 0 %d\n", flash_pin);
  } else {
    start &= kFlashAddressMask;
    end &= kFlashAddressMask;
    std::printf("sector erase from %x to %x\n\r", static_cast<unsigned>(start), static_cast<unsigned>(end));
    // A negative length would reach the board as a huge range and may be
    // taken as "erase everything"; the option parser refuses such ranges,
    // and this keeps any other caller from sending one.
    if (end <= start) {
      std::fprintf(stderr, "sector erase: end %x is not above start %x, nothing erased\n",
                   static_cast<unsigned>(end), static_cast<unsigned>(start));
      std::printf("ceras cmd fail\n\r");
      return -1;
    }
    len = std::snprintf(cmd, sizeof cmd, "seras %x %x 0 %d\n", static_cast<unsigned>(start),
                        static_cast<unsigned>(end - start), flash_pin);
  }
  uart_write(hdl, cmd, len);

  uint8_t resp[2] = {};
  const int n = read_reply(hdl, resp, 2, timeout, true);
  if (n == 2 && std::memcmp(resp, "OK", 2) == 0) return 0;
  if (n == 0) {
    note_failure("no reply to the erase command within %d ms (a larger -T gives a slow chip more time)", timeout);
  } else if (n == 2 && std::memcmp(resp, "ER", 2) == 0) {
    note_failure("the board answered \"ER\" to the erase command (does the range run past the end of the flash?)");
  } else {
    note_failure("the board answered \"%s\" to the erase command",
                 printable(reinterpret_cast<const char *>(resp), n).c_str());
  }
  std::printf("ceras cmd fail\n\r");
  return -1;
}

int hash_verify(UARTHDL hdl, int fw_len, const uint8_t *hash_local) {
  char hashq_cmd[64];
  const int len = std::snprintf(hashq_cmd, sizeof hashq_cmd, "hashq %d 0 0 \n", fw_len);
  return query_and_compare(hdl, hashq_cmd, len, hash_local);
}

int hash_verify_lira(UARTHDL hdl, int fw_len, int fw_offset, const uint8_t *hash_local) {
  char hashq_cmd[64];
  const int len = std::snprintf(hashq_cmd, sizeof hashq_cmd, "hashq %d %x 0 \n", fw_len,
                                static_cast<unsigned>(fw_offset));
  return query_and_compare(hdl, hashq_cmd, len, hash_local);
}
