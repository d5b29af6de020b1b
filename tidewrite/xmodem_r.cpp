#include "tidewrite/xmodem_r.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>

#include "tidewrite/progress.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_START = 'C';
constexpr uint8_t CTRLZ = 0x1A;

constexpr int kReplyTimeoutMs = 1000;
constexpr int kStartAttempts = 16;
constexpr int kBlockAttempts = 25;
constexpr int kEndAttempts = 10;
constexpr int kEotAttempts = 16;
// A receiver that answers an EOT with NAKs only would otherwise hold one
// attempt for ever; this many NAKs in a row end the attempt.
constexpr int kEotNaksPerAttempt = 32;

UARTHDL uart_xmodem = 0;
// Ordinal (1 = first frame) of the block the last transfer ended on; 0 while
// it waited for the start request.
int g_last_block = 0;
xmodem_write_fn intf_write = nullptr;
xmodem_read_fn intf_read = nullptr;

// One frame: header, number, complement, up to 64 KiB payload, two CRC bytes.
constexpr size_t kFrameBufferSize = 65568;
uint8_t xbuff[kFrameBufferSize];

// CRC-16/XMODEM, eight bytes per step ("slicing by 8"): table k holds the
// register after one byte and k zero bytes, so eight lookups replace eight
// dependent steps. A 32 KiB block costs a few times less than byte by byte,
// which matters once the link is faster than the CPU's byte loop.
using CrcTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    t[0][static_cast<size_t>(i)] = crc;
  }
  for (size_t k = 1; k < 8; ++k) {
    for (size_t i = 0; i < 256; ++i) {
      uint16_t prev = t[k - 1][i];
      t[k][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
    }
  }
  return t;
}

constexpr CrcTables kCrc = make_crc_tables();

// A read or write that failed (the line hung up, stalled or the run was
// stopped) ends the transfer at once: retrying into a dead line only adds
// one time-out per attempt, minutes in all.
constexpr int kLineFailed = -6;

// One reply byte within the reply time-out: 1 with it, 0 when none came,
// -1 when the line failed.
int read_reply(uint8_t *c) {
  if (intf_read == nullptr) return 0;
  const int n = intf_read(uart_xmodem, c, 1, kReplyTimeoutMs);
  return n > 0 ? 1 : n < 0 ? -1 : 0;
}

// false when the line failed.
bool send(const uint8_t *buff, int size) {
  return intf_write == nullptr || intf_write(uart_xmodem, buff, size) >= 0;
}

bool send_byte(uint8_t c) { return send(&c, 1); }

void cancel_transfer() {
  for (int i = 0; i < 3; ++i) send_byte(CAN);
}

enum class Reply { byte, none, line_failed };

Reply reply(uint8_t *c) {
  *c = 0;
  const int r = read_reply(c);
  return r > 0 ? Reply::byte : r < 0 ? Reply::line_failed : Reply::none;
}

// After a CAN: a second CAN confirms the cancel, which the sender
// acknowledges. 1 confirmed, 0 not, kLineFailed.
int cancel_confirmed() {
  uint8_t c = 0;
  const Reply r = reply(&c);
  if (r == Reply::line_failed) return kLineFailed;
  if (r != Reply::byte || c != CAN) return 0;
  send_byte(ACK);
  return 1;
}

}  // namespace

void xmodem_set_uart(UARTHDL uart, xmodem_write_fn write, xmodem_read_fn read) {
  uart_xmodem = uart;
  intf_write = write;
  intf_read = read;
}

int calcrc(const uint8_t *ptr, int count) {
  if (ptr == nullptr || count <= 0) return 0;
  uint16_t crc = 0;
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const uint8_t *p = ptr + i;
    crc = static_cast<uint16_t>(kCrc[7][p[0] ^ (crc >> 8)] ^ kCrc[6][p[1] ^ (crc & 0xFF)] ^ kCrc[5][p[2]] ^
                                kCrc[4][p[3]] ^ kCrc[3][p[4]] ^ kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]]);
  }
  for (; i < count; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCrc[0][((crc >> 8) ^ ptr[i]) & 0xFF]);
  return crc;
}

void out_buff(const uint8_t *buff, int size) {
  if (intf_write != nullptr) intf_write(uart_xmodem, buff, size);
}

uint8_t in_byte() {
  uint8_t c = 0;
  return read_reply(&c) > 0 ? c : 0x00;
}

uint8_t xmodem_get_start_code(int use1K, int &nK) {
  if (!use1K) return SOH;
  switch (nK) {
    case 4: return 0xA3;
    case 8: return 0xA4;
    case 16: return 0xA0;
    case 32: return 0xA1;
    case 64: return 0xA2;
    default:
      nK = 1;
      return STX;
  }
}

int xmodem_tx(const uint8_t *src, int srcsz, bool use1K, int nK, int show_progress) {
  if (src == nullptr) srcsz = 0;
  if (nK < 1) nK = 1;

  g_last_block = 0;
  bool crc = false;
  bool started = false;
  for (int attempt = 0; attempt < kStartAttempts && !started; ++attempt) {
    uint8_t c = 0;
    if (reply(&c) == Reply::line_failed) return kLineFailed;
    if (c == CRC_START) {
      crc = true;
      started = true;
    } else if (c == NAK) {
      crc = false;
      started = true;
    } else if (c == CAN) {
      const int confirmed = cancel_confirmed();
      if (confirmed != 0) return confirmed < 0 ? kLineFailed : -1;
    }
  }
  if (!started) {
    cancel_transfer();
    return -2;
  }

  uint8_t packetno = 1;
  long long len = 0;  // grows by whole blocks, so it may pass srcsz (and INT_MAX)
  for (;;) {
    uint8_t header = xmodem_get_start_code(use1K ? 1 : 0, nK);
    const int bufsz = header == SOH ? 128 : header == STX ? 1024 : nK * 1024;
    const long long left = static_cast<long long>(srcsz) - len;
    if (left <= 0) break;
    const int n = static_cast<int>(std::min<long long>(left, bufsz));
    ++g_last_block;

    xbuff[0] = header;
    xbuff[1] = packetno;
    xbuff[2] = static_cast<uint8_t>(~packetno);
    std::memcpy(&xbuff[3], src + len, static_cast<size_t>(n));
    if (n < bufsz) {
      xbuff[3 + n] = CTRLZ;
      std::memset(&xbuff[4 + n], 0, static_cast<size_t>(bufsz - n - 1));
    }
    int frame_len;
    if (crc) {
      int ccrc = calcrc(&xbuff[3], bufsz);
      xbuff[3 + bufsz] = static_cast<uint8_t>((ccrc >> 8) & 0xFF);
      xbuff[4 + bufsz] = static_cast<uint8_t>(ccrc & 0xFF);
      frame_len = bufsz + 5;
    } else {
      uint8_t sum = 0;
      for (int i = 0; i < bufsz; ++i) sum = static_cast<uint8_t>(sum + xbuff[3 + i]);
      xbuff[3 + bufsz] = sum;
      frame_len = bufsz + 4;
    }

    bool acked = false;
    for (int attempt = 0; attempt < kBlockAttempts && !acked; ++attempt) {
      if (!send(xbuff, frame_len)) return kLineFailed;
      uint8_t c = 0;
      if (reply(&c) == Reply::line_failed) return kLineFailed;
      if (c == ACK) {
        acked = true;
      } else if (c == CAN) {
        const int confirmed = cancel_confirmed();
        if (confirmed != 0) return confirmed < 0 ? kLineFailed : -1;
      }
    }
    if (!acked) {
      cancel_transfer();
      return -4;
    }
    ++packetno;
    len += bufsz;
    progress_add(n);  // the bytes of the source this block carried
    if (show_progress != 0) {
      xmodem_draw_progress("programing", static_cast<int>(std::min<long long>(len, INT_MAX)), srcsz);
    }
  }

  static const uint8_t kEndFrame[4] = {EOT, 0x00, 0x00, 0x00};
  for (int attempt = 0; attempt < kEndAttempts; ++attempt) {
    if (!send(kEndFrame, sizeof kEndFrame)) return kLineFailed;
    uint8_t c = 0;
    if (reply(&c) == Reply::line_failed) return kLineFailed;
    if (c == ACK) return static_cast<int>(std::min<long long>(len, INT_MAX));
  }
  return -5;
}

std::string xmodem_failure_text(int result) {
  char buf[160];
  switch (result) {
    case -1:
      if (g_last_block == 0) return "the board cancelled the transfer before the first block";
      std::snprintf(buf, sizeof buf, "the board cancelled the transfer at block %d", g_last_block);
      return buf;
    case -2:
      std::snprintf(buf, sizeof buf, "no transfer start request ('C' or NAK) came from the board in %d tries",
                    kStartAttempts);
      return buf;
    case -4:
      std::snprintf(buf, sizeof buf, "block %d was refused after %d attempts (NAK, other bytes or no answer)",
                    g_last_block, kBlockAttempts);
      return buf;
    case -5:
      std::snprintf(buf, sizeof buf, "the board did not acknowledge the end of the transfer in %d attempts",
                    kEndAttempts);
      return buf;
    case kLineFailed:
      return "the serial line failed during the transfer";
    default:
      return {};
  }
}

int xmodem_eot() {
  for (int attempt = 0; attempt < kEotAttempts; ++attempt) {
    if (!send_byte(EOT)) return -1;
    uint8_t c = 0;
    Reply r = reply(&c);
    for (int naks = 0; r == Reply::byte && c == NAK && naks < kEotNaksPerAttempt; ++naks) r = reply(&c);
    if (r == Reply::line_failed) return -1;
    if (r == Reply::byte && c == ACK) return 0;
  }
  return -1;
}

void xmodem_draw_progress(const char *desc, int curr, int max) {
  static char buf[41];
  long long total = std::max(max, curr);
  if (total == 0) total = 1;
  long long progress = static_cast<long long>(curr) * 40 / total;
  long long bar = std::clamp<long long>(progress, 0, 40);
  for (int x = 0; x < 40; ++x) buf[x] = x < bar ? '=' : ' ';
  buf[40] = '\0';
  std::printf("\r%s\t[%s] %3lld%% %12d/%12d bytes", desc, buf, static_cast<long long>(curr) * 100 / total, curr,
              static_cast<int>(total));
  if (progress >= 40) std::printf("\n\r%s done.\n\r", desc);
  std::fflush(stdout);
}
