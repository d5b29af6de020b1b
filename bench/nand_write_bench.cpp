// Normal NAND write of a firmware with 8 MiB of sections onto boardsim:
//  (a) unpaced, in-process: wall time and MB/s of the programmer's own work;
//  (b) the whole program, paced at 1,500,000 baud with a 1 ms turnaround,
//      against the wire-time lower bound of the same run.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "tests/support/fw_builder.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/nand/sections.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

#include "tests/support/fw_builder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSections = 8u << 20;
constexpr int kBaud = 1500000;
constexpr int kTurnaroundMs = 1;

// Sizes whose written images add up to exactly 8 MiB.
fwbuild::Sample bench_firmware() {
  fwbuild::SampleSizes z;
  z.firmware_1_body = (4u << 20) - 0x1000;
  z.firmware_2_body = (2u << 20) - 0x1000;
  const uint32_t fixed = z.certificate + z.certificate / 2 + z.isp_iq + (z.boot_body + 0x1000) +
                         z.boot_2_reserved + (4u << 20) + (2u << 20) + z.other * 4;
  z.nn_body = kSections - fixed - 0x1000;
  fwbuild::Sample s = fwbuild::sample_firmware(z);
  uint64_t total = 0;
  for (const auto &img : s.images) total += img.length;
  if (total != kSections) std::fprintf(stderr, "sample holds %llu section bytes\n", (unsigned long long)total);
  return s;
}

// Bytes and turnarounds of one run, counted from the flow's fixed structure.
struct Wire {
  double slow_bytes = 0;  // at 115200 baud
  double fast_bytes = 0;  // at the working rate
  long turnarounds = 0;
  double fixed_ms = 0;
  void command(const char *text, int reply) {
    fast_bytes += static_cast<double>(strlen(text)) + reply;
    ++turnarounds;
  }
  void transfer(const char *cmd, int len) {
    command(cmd, 1);  // the start request answers the command
    const int frames = (len + 1023) / 1024;
    fast_bytes += frames * (1024 + 5 + 1) + 4 + 1 + 2;  // frames and ACKs; end frame, ACK, "OK"
    turnarounds += frames + 1;
  }
  void page_read(int page) {
    char c[64];
    snprintf(c, sizeof c, "snr 0x%x 0 %d 0\n", page, 2052);
    command(c, 2052);
  }
  void page_write(int page) {
    char c[64];
    snprintf(c, sizeof c, "sfwd 0 0 0x%x\n", page * 2112);
    transfer(c, 2052);
  }
  void block_write(int block) {
    char c[64];
    snprintf(c, sizeof c, "sfwd 0 0 0x%x\n", block * 135168);
    transfer(c, 135168);
  }
  void erase(int block) {
    char c[64];
    snprintf(c, sizeof c, "sne 0x%x 0x%x\n", block * 135168, 135168);
    command(c, 2);
  }
  double seconds(int baud) const {
    return slow_bytes * 10 / 115200 + fast_bytes * 10 / baud + turnarounds * kTurnaroundMs / 1000.0 +
           fixed_ms / 1000.0;
  }
};

// A fault-free normal write on a fresh board, preceded by the flash-type
// detection and the handshake of a whole-program run.
Wire wire_of(const fwbuild::Sample &s) {
  Wire w;
  // Detection: 115200 baud; both line sequences wait out their banner read
  // (no modem lines on a pseudo-terminal), then the query's reply time-out.
  w.fixed_ms += 100;                                     // uart_setup
  w.fixed_ms += 50 + 10 + 50 + 10 + 50 + 10 + 2000 + 50 + 100;  // full sequence
  w.fixed_ms += 50 + 2000 + 50 + 50;                     // short sequence
  w.slow_bytes += 12;
  w.fixed_ms += 1000;  // a NAND board does not answer the hash query
  // Handshake: ping and ucfg at 115200, "OK" at the working rate.
  w.fixed_ms += 100 + 100;
  w.slow_bytes += 5 + 4 + strlen("ucfg 1500000 0 0\n");
  w.turnarounds += 2;
  w.fast_bytes += 2;
  w.command("snb 0x10\n", 3);
  for (int b = 0; b < 2; ++b) {  // control information: two good blocks
    w.page_write(b * 64);
    w.page_write(b * 64 + 1);
    w.page_read(b * 64);
    w.page_read(b * 64 + 1);
  }
  for (int b = 16; b < 24; ++b) {  // table area cleared
    w.page_read(b * 64);
    w.erase(b);
  }
  int block = 24;
  int table_copies_first = 16;
  for (const auto &img : s.images) {
    const int blocks = static_cast<int>((img.length + 131071) / 131072);
    for (int k = 0; k < blocks; ++k) {
      w.block_write(block);
      for (int p = 0; p < 64; ++p) w.page_read(block * 64 + p);
      ++block;
      if (k % 48 == 47 || k == blocks - 1) {
        w.page_read(16 * 64);
        for (int t = 0; t < 2; ++t) {
          w.page_write((table_copies_first + t) * 64);
          w.page_read((table_copies_first + t) * 64);
        }
      }
    }
  }
  w.page_read(16 * 64);
  for (int b = 20; b < 24; ++b) {
    w.page_write(b * 64);
    w.page_read(b * 64);
  }
  return w;
}

void prepare(const fs::path &dir, const fwbuild::Sample &s) {
  fs::create_directories(dir);
  fwbuild::write_bytes((dir / "fw.bin").string(), s.file);
  fwbuild::write_bytes((dir / "flash_control_info.bin").string(), fwbuild::control_info());
}

double unpaced(const fs::path &dir) {
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::nand;
  cfg.store_path = (dir / "unpaced.bin").string();
  cfg.complete_store_on_stop = false;
  boardsim::PtyBoard board(cfg);
  const std::string port = board.slave_path();
  reset_option_globals();
  g_cmd_option.port = port.c_str();
  g_cmd_option.baud_rate = kBaud;
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  // The programmer's console output would dominate a terminal: keep it out.
  fflush(stdout);
  const int saved = dup(1);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);
  const auto t0 = Clock::now();
  const int r = nand_download("fw.bin");
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  uart_close(g_uart_hdl);
  g_uart_hdl = 0;
  fs::current_path(old);
  if (r != 0) std::fprintf(stderr, "unpaced run failed: %d\n", r);
  return s;
}

// Wall seconds; cpu gets the CPU seconds (user and system) of the program,
// an upper bound on the delay the host itself adds.
double paced_whole_program(const fs::path &dir, double &cpu) {
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::nand;
  cfg.store_path = (dir / "paced.bin").string();
  cfg.complete_store_on_stop = false;
  cfg.paced = true;
  cfg.turnaround_ms = kTurnaroundMs;
  boardsim::PtyBoard board(cfg);
  const std::string cmd = std::string("cd '") + dir.string() + "' && '" + TIDEWRITE_BIN + "' -p " +
                          board.slave_path() + " -b " + std::to_string(kBaud) + " -f fw.bin -n lira > paced.log";
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  const auto t0 = Clock::now();
  const int r = std::system(cmd.c_str());
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  auto secs = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  cpu = secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
  if (r != 0) std::fprintf(stderr, "paced run failed: %d (see %s)\n", r, (dir / "paced.log").c_str());
  return s;
}

}  // namespace

int main() {
  const fwbuild::Sample sample = bench_firmware();
  const fs::path dir = fs::temp_directory_path() / ("nand_write_bench." + std::to_string(getpid()));
  prepare(dir, sample);
  const double mib = kSections / double(1 << 20);

  const double a = unpaced(dir);
  std::printf("(a) unpaced, in-process: %.2f s for %.0f MiB of sections, %.2f MB/s (%.2f MiB/s)\n", a, mib,
              kSections / a / 1e6, mib / a);

  const Wire w = wire_of(sample);
  const double bound = w.seconds(kBaud);
  double cpu = 0;
  const double b = paced_whole_program(dir, cpu);
  std::printf("(b) paced %d baud, %d ms turnaround, whole program with -n lira:\n", kBaud, kTurnaroundMs);
  std::printf("    wall %.2f s; lower bound %.2f s (%.0f bytes at %d, %.0f at 115200, %ld turnarounds, "
              "%.2f s fixed waits); %.1f %% above\n",
              b, bound, w.fast_bytes, kBaud, w.slow_bytes, w.turnarounds, w.fixed_ms / 1000, (b / bound - 1) * 100);
  std::printf("    tidewrite CPU time (user + system) %.2f s; the rest of the excess is the board's reply latency\n",
              cpu);
  fs::remove_all(dir);
  return 0;
}
