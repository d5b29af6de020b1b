// XMODEM sender throughput over a real pseudo-terminal against a fast
// in-process receiver, beside the raw throughput of the same kind of
// pseudo-terminal (a plain writer and reader moving the same bytes).
//
//   xmodem_bench [MiB]     (default 16 MiB per measurement)
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tidewrite/serial_port.h"
#include "tidewrite/xmodem_r.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
  int master = -1;
  std::string slave_path;
  int slave_keep = -1;  // keeps the line up while the sender opens and closes it

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("no pty name");
    slave_path = name;
    slave_keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(slave_keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_keep, TCSANOW, &tio);
  }
  ~Pty() {
    close(slave_keep);
    close(master);
  }
};

bool read_full(int fd, uint8_t *buf, size_t n) {
  size_t have = 0;
  while (have < n) {
    ssize_t r = read(fd, buf + have, n - have);
    if (r <= 0) return false;
    have += static_cast<size_t>(r);
  }
  return true;
}

void write_byte(int fd, uint8_t b) {
  while (write(fd, &b, 1) != 1) {
  }
}

size_t payload_size(uint8_t header) {
  switch (header) {
    case 0x01: return 128;
    case 0x02: return 1024;
    case 0xA3: return 4096;
    case 0xA4: return 8192;
    case 0xA0: return 16384;
    case 0xA1: return 32768;
    case 0xA2: return 65536;
    default: return 0;
  }
}

// Receives one transfer in CRC mode: reads each frame whole, checks the block
// number, acknowledges it. Returns the payload bytes received.
size_t receive(int master) {
  std::vector<uint8_t> frame(65536 + 5);
  write_byte(master, 'C');
  size_t total = 0;
  uint8_t expect = 1;
  for (;;) {
    uint8_t header = 0;
    if (!read_full(master, &header, 1)) return total;
    if (header == 0x04) {  // end frame: three more bytes
      read_full(master, frame.data(), 3);
      write_byte(master, 0x06);
      return total;
    }
    size_t n = payload_size(header);
    if (n == 0 || !read_full(master, frame.data(), n + 4)) return total;
    if (frame[0] != expect || frame[1] != static_cast<uint8_t>(~expect)) {
      write_byte(master, 0x15);
      continue;
    }
    ++expect;
    total += n;
    write_byte(master, 0x06);
  }
}

double raw_mbps(size_t bytes) {
  Pty pty;
  int w = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::vector<uint8_t> chunk(32768, 0x5A);
  size_t got = 0;
  auto t0 = Clock::now();
  std::thread reader([&] {
    std::vector<uint8_t> buf(65536);
    while (got < bytes) {
      ssize_t r = read(pty.master, buf.data(), buf.size());
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
  });
  size_t sent = 0;
  while (sent < bytes) {
    size_t n = std::min(chunk.size(), bytes - sent);
    ssize_t r = write(w, chunk.data(), n);
    if (r <= 0) break;
    sent += static_cast<size_t>(r);
  }
  reader.join();
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  close(w);
  return static_cast<double>(got) / s / 1e6;
}

double xmodem_mbps(size_t bytes, int nK, int *result) {
  Pty pty;
  UARTHDL hdl = uart_open(pty.slave_path.c_str());
  if (hdl == 0) throw std::runtime_error("uart_open failed");
  xmodem_set_uart(hdl, uart_write, uart_read);
  std::vector<uint8_t> src(bytes);
  for (size_t i = 0; i < bytes; ++i) src[i] = static_cast<uint8_t>(i * 31);
  size_t received = 0;
  std::thread rx([&] { received = receive(pty.master); });
  auto t0 = Clock::now();
  *result = xmodem_tx(src.data(), static_cast<int>(bytes), true, nK, 0);
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  rx.join();
  uart_close(hdl);
  if (received < bytes) std::fprintf(stderr, "receiver got only %zu of %zu bytes\n", received, bytes);
  return static_cast<double>(bytes) / s / 1e6;
}

}  // namespace

// Two cores are shared with whatever else runs: each figure is the best of
// a few runs, raw and XMODEM alike, so both see the same quiet moments.
constexpr int kRuns = 3;

int main(int argc, char **argv) {
  size_t mib = argc > 1 ? static_cast<size_t>(std::strtoul(argv[1], nullptr, 10)) : 16;
  if (mib == 0) mib = 16;
  const size_t bytes = mib << 20;

  struct {
    int nK;
    const char *name;
    double best;
  } modes[] = {{1, "1 KiB blocks", 0}, {4, "4 KiB blocks", 0}, {16, "16 KiB blocks", 0}, {32, "32 KiB blocks", 0}};
  double raw = 0;
  bool ok = true;
  for (int run = 0; run < kRuns; ++run) {
    raw = std::max(raw, raw_mbps(bytes));
    for (auto &m : modes) {
      int result = 0;
      m.best = std::max(m.best, xmodem_mbps(bytes, m.nK, &result));
      if (result != static_cast<int>(bytes)) ok = false;
    }
  }
  std::printf("payload %zu MiB per run, best of %d runs\n", mib, kRuns);
  std::printf("pseudo-terminal raw        : %8.1f MB/s\n", raw);
  double mb32 = 0;
  for (const auto &m : modes) {
    if (m.nK == 32) mb32 = m.best;
    std::printf("xmodem %-19s: %8.1f MB/s  (%3.0f%% of raw)\n", m.name, m.best, 100.0 * m.best / raw);
  }
  double ratio = mb32 / raw;
  std::printf("32 KiB blocks / raw        : %.2f (target >= 0.50) %s\n", ratio, ratio >= 0.5 ? "met" : "MISSED");
  if (!ok) std::printf("a transfer failed\n");
  return ok ? 0 : 1;
}
