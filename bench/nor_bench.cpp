// NOR download of a 4 MiB image against the emulated board, in this process.
//  (a) unpaced: the board answers as fast as it can; MB/s in modes 1 and 32.
//  (b) paced at 1,500,000 baud with a 1 ms turnaround: wall time against the
//      wire-time lower bound (every byte moved at 10 bits per byte at the rate
//      in force, one turnaround per reply, and the dialogue's fixed pauses).
// Usage: nor_bench [a|b] (both when absent).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace {

namespace fs = std::filesystem;

constexpr int kImageSize = 4 << 20;
constexpr int kBaud = 1500000;
constexpr int kRomBaud = 115200;
constexpr double kTurnaroundS = 0.001;
// The handshake pauses 100 ms after setting 115200 and 100 ms before
// following the board to the transfer rate.
constexpr double kDialoguePausesS = 0.2;

struct Run {
  int status;
  double seconds;
  bool flash_ok;
  double host_seconds;  // from an acknowledgement read to the next frame written
  long frames;
};

// The XMODEM transport, timed: the host's own share of the wall time is what
// passes between a reply arriving and the next write leaving the host.
using Clock = std::chrono::steady_clock;
Clock::time_point g_last_reply{};
double g_host_seconds = 0;
long g_writes = 0;

int timed_write(UARTHDL hdl, const void *data, int len) {
  const int n = uart_write(hdl, data, len);
  if (g_last_reply != Clock::time_point{}) {
    g_host_seconds += std::chrono::duration<double>(Clock::now() - g_last_reply).count();
    g_last_reply = {};
  }
  ++g_writes;
  return n;
}

int timed_read(UARTHDL hdl, void *data, int len, int timeout) {
  const int n = uart_read(hdl, data, len, timeout);
  if (n > 0) g_last_reply = Clock::now();
  return n;
}

Run download(const fs::path &dir, const std::vector<uint8_t> &image, int mode, bool paced) {
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::nor;
  cfg.nor_size = 8u << 20;
  cfg.complete_store_on_stop = false;
  cfg.paced = paced;
  cfg.turnaround_ms = paced ? 1 : 0;
  boardsim::PtyBoard board(cfg);

  const std::string image_path = (dir / "image.bin").string();
  std::string port = board.slave_path();
  std::string mode_text = std::to_string(mode);
  std::string baud_text = std::to_string(kBaud);
  std::vector<std::string> words = {"tidewrite", "-p", port, "-f", image_path, "-b", baud_text, "-x", mode_text};
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  reset_option_globals();
  operation = "nop";
  g_uart_hdl = 0;
  g_last_reply = {};
  g_host_seconds = 0;
  g_writes = 0;
  nor_set_xmodem_transport(timed_write, timed_read);
  const auto t0 = std::chrono::steady_clock::now();
  const int status = tidewrite_main(static_cast<int>(words.size()), argv.data());
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  nor_set_xmodem_transport(nullptr, nullptr);
  return {status, s, board.read_flash(0, image.size()) == image, g_host_seconds, g_writes};
}

// The least time the paced run can take.
double wire_bound(int mode) {
  const int block = mode == 1 ? 1024 : mode * 1024;
  const int frames = (kImageSize + block - 1) / block;
  const char *start = mode == 1 ? "fwd 0 0 0 \n" : "fwd16k 0 0 0 \n";

  // At 115200: "ping\n", "ping", "ucfg 1500000 0 0\n".
  const double rom_bytes = 5 + 4 + std::strlen("ucfg 1500000 0 0\n");
  // At the transfer rate: "OK" of ucfg, the start command, 'C', each frame
  // (header, number, complement, payload, CRC) and its ACK, the end frame and
  // its ACK, the closing "OK".
  const double fast_bytes = 2 + std::strlen(start) + 1 + double(frames) * (3 + block + 2 + 1) + 4 + 1 + 2;
  // Replies: ping, ucfg "OK", 'C', one ACK per frame, the end ACK, "OK".
  const int replies = 3 + frames + 2;
  return rom_bytes * 10 / kRomBaud + fast_bytes * 10 / kBaud + replies * kTurnaroundS + kDialoguePausesS;
}

struct TempDir {
  fs::path path;
  TempDir() {
    std::string t = (fs::temp_directory_path() / "nor-bench-XXXXXX").string();
    if (mkdtemp(t.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = t;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

int main(int argc, char **argv) {
  const std::string which = argc > 1 ? argv[1] : "ab";
  TempDir dir;
  std::vector<uint8_t> image(kImageSize);
  std::mt19937 gen(1);
  for (auto &b : image) b = static_cast<uint8_t>(gen());
  {
    FILE *f = std::fopen((dir.path / "image.bin").c_str(), "wb");
    if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size()) return 1;
    std::fclose(f);
  }

  int failures = 0;
  if (which.find('a') != std::string::npos) {
    std::printf("(a) unpaced NOR download of %d MiB\n", kImageSize >> 20);
    for (int mode : {1, 32}) {
      const Run r = download(dir.path, image, mode, false);
      std::printf("  mode %2d: %6.3f s  %7.2f MB/s  status %d  flash %s\n", mode, r.seconds,
                  kImageSize / r.seconds / 1e6, r.status, r.flash_ok ? "ok" : "WRONG");
      failures += r.status != 0 || !r.flash_ok;
    }
  }
  if (which.find('b') != std::string::npos) {
    std::printf("(b) paced at %d baud, %.0f ms turnaround, %d MiB\n", kBaud, kTurnaroundS * 1000, kImageSize >> 20);
    for (int mode : {1, 32}) {
      const Run r = download(dir.path, image, mode, true);
      const double bound = wire_bound(mode);
      std::printf("  mode %2d: %7.3f s  bound %7.3f s  %+5.2f %%  host share %.3f s (%.0f us per frame)  status %d  flash %s\n",
                  mode, r.seconds, bound, (r.seconds / bound - 1) * 100, r.host_seconds,
                  r.frames ? r.host_seconds / r.frames * 1e6 : 0.0, r.status, r.flash_ok ? "ok" : "WRONG");
      failures += r.status != 0 || !r.flash_ok;
    }
  }
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}
